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
    assert thr is None or (type(thr.pass_min_gbps), type(thr.warn_min_gbps)) == (float, float)
    return thr and (thr.pass_min_gbps, thr.warn_min_gbps)


H100 = {"H100_SXM:intra": entry(300, 200)}


@pytest.mark.parametrize("variable, gpu, scope, expected", [
    (None, "H100_SXM", "intra", (320.0, 250.0)), (None, "B200", "multi", (320.0, 180.0)),
    (None, "MI300X", "intra", (350.0, 270.0)), (None, "H100_PCIE", "multi", None),
    (None, "h100_sxm", "intra", None), (None, "H100_SXM", "Intra", None), (None, "", "intra", None),
    (H100, "H100_SXM", "intra", (300.0, 200.0)), (H100, "H100_SXM", "multi", (150.0, 80.0)),
    ({"H100_SXM:lab": entry(12, 6)}, "H100_SXM", "lab", (12.0, 6.0)),
    ({"L40S:intra": entry("120", True)}, "L40S", "intra", (120.0, 1.0)),
    ({"H100_SXM:intra": {"pass_min_gbps": 1}}, "H100_SXM", "intra", (320.0, 250.0)),
    ({"H100_SXM:intra": "300", "A:intra": [1]}, "H100_SXM", "intra", (320.0, 250.0)),
    ({"H100_SXM: intra": entry(2, 2)}, "H100_SXM", " intra", (2.0, 2.0)),
    ("\n\u3000" + json.dumps({"B200:intra": entry(1, 0.5)}) + " \x85", "B200", "intra", (1.0, 0.5)),
] + [(text, "H100_SXM", "intra", (320.0, 250.0)) for text in ["  \t\n", "[1]", "5", "null", "not json", "\udcff{"]])
def test_threshold_for(cs, set_overrides, variable, gpu, scope, expected):
    if variable is not None:
        set_overrides(variable if isinstance(variable, str) else json.dumps(variable))
    thr = cs.threshold_for(gpu, scope)
    assert thr is None or type(thr) is cs.Threshold
    assert cutoffs(thr) == expected


def test_loader_keeps_document_order(cs, set_overrides):
    assert cs._load_threshold_overrides() == {}
    set_overrides(json.dumps({"B:multi": entry(3, "2.5", note="x"), "A:intra": {"warn_min_gbps": 1.5,
                              "pass_min_gbps": 4.25}, "skip:missing": {"pass_min_gbps": "fast"}}))
    loaded = cs._load_threshold_overrides()
    assert [(k, list(v.items())) for k, v in loaded.items()] == [
        ("B:multi", [("pass_min_gbps", 3.0), ("warn_min_gbps", 2.5)]),
        ("A:intra", [("pass_min_gbps", 4.25), ("warn_min_gbps", 1.5)])]


@pytest.mark.parametrize("bad, error", [
    (entry("fast", 1), ValueError), (entry(None, 1), TypeError), (entry("fast", None), ValueError),
    (entry(None, "slow"), TypeError), (entry(1, [300]), TypeError)])
def test_unconvertible_override_fails_every_lookup(cs, set_overrides, bad, error):
    set_overrides(json.dumps({"GOOD:intra": entry(1, 1), "H100_SXM:intra": bad}))
    with pytest.raises(error) as expected:
        float(bad["pass_min_gbps"]), float(bad["warn_min_gbps"])
    for gpu, scope in [("H100_SXM", "intra"), ("GOOD", "intra"), ("B200", "x")]:
        with pytest.raises(error) as exc:
            cs.threshold_for(gpu, scope)
        assert str(exc.value) == str(expected.value)


@pytest.mark.parametrize("loads, expected", [
    (lambda text: {"F:intra": entry(9, 8), "raw:" + text: entry(1, 1)},
     {"F:intra": entry(9.0, 8.0), "raw:anything": entry(1.0, 1.0)}),
    (lambda text: [1], {}), (json.loads, {}), (None, {}),
], ids=["used", "list", "value-error", "no-json"])
def test_json_is_imported_at_every_call(cs, set_overrides, monkeypatch, loads, expected):
    set_overrides("anything")
    monkeypatch.setitem(sys.modules, "json", loads and types.SimpleNamespace(loads=loads))
    assert cs._load_threshold_overrides() == expected


@pytest.mark.parametrize("busbw, thr, verdict", [
    (320.0, (320.0, 250.0), "pass"), (319.9, (320.0, 250.0), "warn"), (250.0, (320.0, 250.0), "warn"),
    (249.99, (320.0, 250.0), "fail"), (math.nan, (320.0, 250.0), "fail"), (1e9, None, "unknown"),
    (150.0, (100.0, 200.0), "pass"), (99.0, (100.0, 200.0), "fail"), (1.0, (math.nan, 0.0), "warn"),
    (2.0, SimpleNamespace(pass_min_gbps=1.0), "pass"), (0.5, SimpleNamespace(pass_min_gbps=1.0), AttributeError),
    (300.0, (500.0, None), TypeError),
])
def test_classify(cs, busbw, thr, verdict):
    thr = cs.Threshold(*thr) if isinstance(thr, tuple) else thr
    if isinstance(verdict, str):
        assert cs.classify(busbw, thr) == verdict
    else:
        with pytest.raises(verdict):
            cs.classify(busbw, thr)


AR, AG, H = "all_reduce", "all_gather", (320.0, 250.0)


@pytest.mark.parametrize("fields, results, status, threshold", [
    (dict(gpu_type="H100_SXM"), [(AR, 5.0, 0), (AR, 320.0, 0), (AG, 999.0, 0)], "pass", H),
    (dict(gpu_type="H100_SXM", scope="multi"), [(AR, 149.0, 0)], "warn", (150.0, 80.0)),
    (dict(gpu_type="H100_SXM"), [(AG, 400.0, 0)], "unknown", H),
    (dict(gpu_type="H100_PCIE", scope="multi"), [(AR, 400.0, 0)], "unknown", None),
    # wrong results fail the report whatever the rest; the scan stops at the first
    (dict(gpu_type="H100_SXM"), [(AR, 500.0, 0), (AG, 500.0, 1), (AG, 1.0, None)], "fail", H),
    (dict(gpu_type="NOPE"), [(AR, 500.0, 0), ("broadcast", 1.0, 0.5)], "fail", None),
    (dict(gpu_type="H100_SXM"), [(AR, 500.0, -1), (AR, 1.0, False)], "pass", H),
    # an error counts only when there are no rows; then nothing is looked up
    (dict(gpu_type="H100_SXM", error="x", threshold=(1.0, 0.5), status="pass"), [], "error", (1.0, 0.5)),
    (dict(gpu_type="H100_SXM", error="broadcast_perf: timed out"), [(AR, 330.0, 0)], "pass", H),
    (dict(gpu_type="H100_SXM", error=""), [], "unknown", H),
])
def test_finalize_status(cs, fields, results, status, threshold):
    if "threshold" in fields:
        fields = {**fields, "threshold": cs.Threshold(*fields["threshold"])}
    report = cs.NcclReport(results=[cs.NcclResult(c, 8192, b, b / 2, 10.0, w) for c, b, w in results], **fields)
    assert cs._finalize_status(report) is None
    assert (report.status, cutoffs(report.threshold), report.error) == (status, threshold, fields.get("error"))


@pytest.mark.parametrize("change, error, recorded", [
    (lambda r, env: env(json.dumps({"Z:intra": entry("fast", 1)})), ValueError, False),
    (lambda r, env: setattr(r, "gpu_type", None), TypeError, False),
    (lambda r, env: r.results.append(SimpleNamespace(collective=AR, busbw_gbps=None)), TypeError, True),
    (lambda r, env: r.results.append(SimpleNamespace(collective=AG, busbw_gbps=1.0, wrong="1")), TypeError, True),
])
def test_a_failed_finalisation_leaves_the_status_alone(cs, set_overrides, change, error, recorded):
    report = cs.NcclReport(gpu_type="H100_SXM", results=[cs.NcclResult(AR, 8, 330.0, 1.0, 1.0, 0)],
                           threshold=cs.Threshold(1.0, 0.5), status="warn")
    change(report, set_overrides)
    with pytest.raises(error):
        cs._finalize_status(report)
    assert (report.status, cutoffs(report.threshold)) == ("warn", H if recorded else (1.0, 0.5))
