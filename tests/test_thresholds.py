"""Threshold lookup with operator overrides, grading, and report finalisation."""

import json
import math
import sys
import types
from types import SimpleNamespace

import pytest


def entry(pass_min, warn_min, **extra):
    return {"pass_min_gbps": pass_min, "warn_min_gbps": warn_min, **extra}


def cutoffs(thr):
    if thr is None:
        return None
    assert type(thr.pass_min_gbps) is float and type(thr.warn_min_gbps) is float
    return (thr.pass_min_gbps, thr.warn_min_gbps)


# ---------------------------------------------------------------------------
# Built-in tables and lookups


def test_builtin_tables(cs):
    intra, multi = cs._INTRA_NODE_THRESHOLDS, cs._MULTI_NODE_THRESHOLDS
    assert list(intra) == ["H100_SXM", "H100_PCIE", "H200", "B200", "GH200", "A100_SXM",
                           "A100_PCIE", "MI300X"]
    assert list(multi) == ["H100_SXM", "H200", "B200", "A100_SXM"]
    for table in (intra, multi):
        for row in table.values():
            assert list(row) == ["pass_min_gbps", "warn_min_gbps"]
            assert all(type(v) is float for v in row.values())
            assert row["warn_min_gbps"] < row["pass_min_gbps"]


H100_OVERRIDE = {"H100_SXM:intra": entry(300, 200)}
LOOKUPS = [
    # (override variable, gpu type, scope, expected cutoffs)
    (None, "H100_SXM", "intra", (320.0, 250.0)),
    (None, "B200", "multi", (320.0, 180.0)),
    (None, "H100_PCIE", "multi", None),
    (None, "h100_sxm", "intra", None),
    (None, "H100_SXM", "Intra", None),
    (None, "", "intra", None),
    (None, "H100_SXM", "lab", None),
    (H100_OVERRIDE, "H100_SXM", "intra", (300.0, 200.0)),
    (H100_OVERRIDE, "H100_SXM", "multi", (150.0, 80.0)),
    ({"H100_SXM:lab": entry(12, 6)}, "H100_SXM", "lab", (12.0, 6.0)),
    ({"L40S:intra": entry(120, 80)}, "L40S", "intra", (120.0, 80.0)),
    ({"H100_PCIE:multi": entry(40, 20)}, "H100_PCIE", "multi", (40.0, 20.0)),
    ({"H100_SXM:intra": {"pass_min_gbps": 1}}, "H100_SXM", "intra", (320.0, 250.0)),
    ({"H100_SXM:intra": "300"}, "H100_SXM", "intra", (320.0, 250.0)),
    ({"H100_SXM:intra": entry("300", " 2e2 ")}, "H100_SXM", "intra", (300.0, 200.0)),
    ({"H100_SXM:intra": entry(100, 200)}, "H100_SXM", "intra", (100.0, 200.0)),
    ({"H100_SXM :intra": entry(1, 1)}, "H100_SXM", "intra", (320.0, 250.0)),
    ({"H100_SXM: intra": entry(2, 2)}, "H100_SXM", " intra", (2.0, 2.0)),
    ("\n\t " + json.dumps({"B200:intra": entry(1, 0.5)}) + " \n", "B200", "intra", (1.0, 0.5)),
    ("\u3000" + json.dumps({"B200:intra": entry(2, 1)}) + "\x85\u2028", "B200", "intra",
     (2.0, 1.0)),
] + [(text, "H100_SXM", "intra", (320.0, 250.0))
     for text in ["", "  \t\n", '[{"H100_SXM:intra": {}}]', "5", "null", "not json", "\udcff{"]]


@pytest.mark.parametrize("variable, gpu, scope, expected", LOOKUPS)
def test_threshold_for(cs, set_overrides, variable, gpu, scope, expected):
    if variable is not None:
        set_overrides(variable if isinstance(variable, str) else json.dumps(variable))
    thr = cs.threshold_for(gpu, scope)
    assert thr is None or type(thr) is cs.Threshold
    assert cutoffs(thr) == expected
    assert thr is None or cs.threshold_for(gpu, scope) is not thr      # a new record every time


def test_environment_is_read_at_every_lookup(cs, set_overrides, monkeypatch):
    assert cutoffs(cs.threshold_for("H200", "multi")) == (160.0, 90.0)
    set_overrides(json.dumps({"H200:multi": entry(10, 5)}))
    assert cutoffs(cs.threshold_for("H200", "multi")) == (10.0, 5.0)
    set_overrides(json.dumps({"H200:multi": entry(20, 15)}))
    assert cutoffs(cs.threshold_for("H200", "multi")) == (20.0, 15.0)
    monkeypatch.delenv("QUORVANE_NCCL_THRESHOLD_OVERRIDES")
    assert cutoffs(cs.threshold_for("H200", "multi")) == (160.0, 90.0)


# ---------------------------------------------------------------------------
# The override loader


def test_loader_mapping_shape_and_order(cs, set_overrides):
    first = cs._load_threshold_overrides()
    assert first == {} and type(first) is dict and first is not cs._load_threshold_overrides()
    set_overrides(json.dumps({
        "B:multi": entry(3, "2.5", note="ignored"),
        "A:intra": {"warn_min_gbps": 1.5, "pass_min_gbps": 4.25},
        "skip:list": [1, 2],
        "skip:missing": {"pass_min_gbps": "fast"},      # skipped members are not converted
        "skip:scalar": 7,
        "C:x": entry(True, False),
    }))
    loaded = cs._load_threshold_overrides()
    assert list(loaded) == ["B:multi", "A:intra", "C:x"]
    for value in loaded.values():
        assert list(value) == ["pass_min_gbps", "warn_min_gbps"]
        assert all(type(v) is float for v in value.values())
    assert loaded == {"B:multi": entry(3.0, 2.5), "A:intra": entry(4.25, 1.5),
                      "C:x": entry(1.0, 0.0)}


@pytest.mark.parametrize(
    "bad, error",
    [
        (entry("fast", 1), ValueError),
        (entry(1, "slow"), ValueError),
        (entry(None, 1), TypeError),
        (entry([300], 1), TypeError),
        (entry("fast", None), ValueError),      # pass is converted before warn
        (entry(None, "slow"), TypeError),
    ],
)
def test_unconvertible_override_fails_every_lookup(cs, set_overrides, bad, error):
    set_overrides(json.dumps({"GOOD:intra": entry(1, 1), "H100_SXM:intra": bad}))
    for gpu, scope in [("H100_SXM", "intra"), ("B200", "multi"), ("GOOD", "intra")]:
        with pytest.raises(error) as exc:
            cs.threshold_for(gpu, scope)
    with pytest.raises(error) as expected:
        float(bad["pass_min_gbps"]), float(bad["warn_min_gbps"])
    assert str(exc.value) == str(expected.value)


@pytest.mark.parametrize(
    "loads, expected",
    [
        (lambda text: {"F:intra": entry(9, 8), "raw:" + text: entry(1, 1)},
         {"F:intra": entry(9.0, 8.0), "raw:anything": entry(1.0, 1.0)}),
        (lambda text: [1], {}),
        (lambda text: json.loads(text), {}),                 # the real decoder's ValueError
        (None, {}),                                         # json cannot be imported
    ],
    ids=["used", "list", "value-error", "no-json"],
)
def test_json_is_imported_at_every_call(cs, set_overrides, monkeypatch, loads, expected):
    set_overrides("anything")
    monkeypatch.setitem(sys.modules, "json", loads and types.ModuleType("json"))
    if loads:
        sys.modules["json"].loads = loads
    assert cs._load_threshold_overrides() == expected


# ---------------------------------------------------------------------------
# classify

H100 = (320.0, 250.0)


class PassOnly:
    pass_min_gbps = 1.0


@pytest.mark.parametrize(
    "busbw, thr, verdict",
    [
        (320.0, H100, "pass"), (319.9, H100, "warn"), (250.0, H100, "warn"),
        (249.99, H100, "fail"), (400, H100, "pass"),
        (math.inf, H100, "pass"), (math.nan, H100, "fail"), (None, H100, "unknown"),
        (1e9, None, "unknown"), (None, object(), "unknown"),
        # pass cutoff at or below warn: nothing grades warn
        (150.0, (100.0, 200.0), "pass"), (99.0, (100.0, 200.0), "fail"),
        (1.0, (math.nan, 0.0), "warn"),
        (7, SimpleNamespace(pass_min_gbps=10, warn_min_gbps=5), "warn"),
        (2.0, PassOnly(), "pass"), (0.5, PassOnly(), AttributeError),
        (300.0, object(), AttributeError),
        (300.0, SimpleNamespace(pass_min_gbps="x", warn_min_gbps=1.0), TypeError),
        (300.0, (500.0, None), TypeError),
    ],
)
def test_classify(cs, busbw, thr, verdict):
    if isinstance(thr, tuple):
        thr = cs.Threshold(*thr)
    if isinstance(verdict, str):
        assert cs.classify(busbw, thr) == verdict
    else:
        with pytest.raises(verdict):
            cs.classify(busbw, thr)


# ---------------------------------------------------------------------------
# _finalize_status


def rows(cs, *specs):
    return [cs.NcclResult(c, 8192, b, b / 2, 10.0, w) for c, b, w in specs]


AR, AG, H = "all_reduce", "all_gather", (320.0, 250.0)
FINALIZE = [
    # (report fields, result rows as (collective, busbw, wrong), status, threshold)
    (dict(gpu_type="H100_SXM"), [(AR, 5.0, 0), (AR, 320.0, 0), (AG, 999.0, 0)], "pass", H),
    (dict(gpu_type="H100_SXM"), [(AR, 319.9, 0)], "warn", H),
    (dict(gpu_type="H100_SXM"), [(AR, 249.99, 0)], "fail", H),
    (dict(gpu_type="H100_SXM", scope="multi"), [(AR, 160.0, 0)], "pass", (150.0, 80.0)),
    (dict(gpu_type="H100_SXM"), [], "unknown", H),
    (dict(gpu_type="H100_SXM"), [(AG, 400.0, 0)], "unknown", H),
    (dict(gpu_type="NOPE"), [(AR, 400.0, 0)], "unknown", None),
    (dict(gpu_type="H100_PCIE", scope="multi"), [(AR, 400.0, 0)], "unknown", None),
    # wrong results fail the report whatever the bandwidth, collective or threshold;
    # the scan stops at the first one
    (dict(gpu_type="H100_SXM"), [(AR, 500.0, 0), (AG, 500.0, 1), (AG, 1.0, None)], "fail", H),
    (dict(gpu_type="H100_SXM"), [(AR, 500.0, 12345678901)], "fail", H),
    (dict(gpu_type="NOPE"), [(AR, 500.0, 0), ("broadcast", 1.0, 0.5)], "fail", None),
    (dict(gpu_type="H100_SXM"), [(AR, 500.0, -1)], "pass", H),
    (dict(gpu_type="NOPE"), [(AG, 1.0, False), (AG, 1.0, 0.0)], "unknown", None),
    # an error counts only when there are no rows; then nothing is looked up
    (dict(gpu_type="H100_SXM", error="all_reduce_perf not found"), [], "error", None),
    (dict(gpu_type="H100_SXM", error="x", threshold=(1.0, 0.5), status="pass"), [], "error",
     (1.0, 0.5)),
    (dict(gpu_type="H100_SXM", error="broadcast_perf: timed out"), [(AR, 330.0, 0)], "pass", H),
    (dict(gpu_type="H100_SXM", error=""), [], "unknown", H),
]


@pytest.mark.parametrize("fields, results, status, threshold", FINALIZE)
def test_finalize_status(cs, fields, results, status, threshold):
    fields = dict(fields)
    if "threshold" in fields:
        fields["threshold"] = cs.Threshold(*fields["threshold"])
    report = cs.NcclReport(results=rows(cs, *results), **fields)
    assert cs._finalize_status(report) is None
    assert (report.status, cutoffs(report.threshold)) == (status, threshold)
    assert report.error == fields.get("error")


def test_finalize_reads_overrides_and_recomputes(cs, set_overrides):
    report = cs.NcclReport(gpu_type="H100_SXM", results=rows(cs, (AR, 280.0, 0)))
    cs._finalize_status(report)
    assert (report.status, cutoffs(report.threshold)) == ("warn", H)
    set_overrides(json.dumps({"H100_SXM:intra": entry(270, 200)}))
    cs._finalize_status(report)
    assert (report.status, cutoffs(report.threshold)) == ("pass", (270.0, 200.0))


BAD_HEADLINE, BAD_WRONG = SimpleNamespace(collective=AR, busbw_gbps=None), SimpleNamespace(
    collective=AG, wrong="1")
FAILURES = [  # (change to a passing report, error, whether the threshold was recorded first)
    (lambda r, env: env(json.dumps({"Z:intra": entry("fast", 1)})), ValueError, False),
    (lambda r, env: env(json.dumps({"Z:intra": entry(None, 1)})), TypeError, False),
    (lambda r, env: setattr(r, "gpu_type", None), TypeError, False),
    (lambda r, env: setattr(r, "scope", type("Scope", (str,), {})("intra")), TypeError, False),
    (lambda r, env: r.results.append(BAD_HEADLINE), TypeError, True),
    (lambda r, env: r.results.append(BAD_WRONG), TypeError, True),
]


@pytest.mark.parametrize("change, error, recorded", FAILURES)
@pytest.mark.parametrize("fresh", [True, False], ids=["fresh", "graded-before"])
def test_failure_leaves_the_status_alone(cs, set_overrides, change, error, recorded, fresh):
    previous = (None, "unknown") if fresh else (cs.Threshold(1.0, 0.5), "warn")
    report = cs.NcclReport(gpu_type="H100_SXM", results=rows(cs, (AR, 330.0, 0)),
                           threshold=previous[0], status=previous[1])
    change(report, set_overrides)
    with pytest.raises(error):
        cs._finalize_status(report)
    assert report.status == previous[1]
    assert report.threshold == (cs.Threshold(*H) if recorded else previous[0])


def test_finalize_accepts_any_report_like_object(cs):
    duck = SimpleNamespace(error=None, results=[], gpu_type="A100_SXM", scope="multi",
                           threshold=None, headline_all_reduce_busbw=lambda: 100.0)
    cs._finalize_status(duck)
    assert (duck.status, duck.threshold) == ("pass", cs.Threshold(90.0, 50.0))
    with pytest.raises(AttributeError):
        cs._finalize_status(object())
