"""Threshold lookup with operator overrides, grading, and report finalisation."""

import json
import math
import sys
import types
from decimal import Decimal
from types import SimpleNamespace

import pytest

INTRA = {"H100_SXM": (320.0, 250.0), "H100_PCIE": (90.0, 60.0), "H200": (340.0, 260.0),
         "B200": (700.0, 550.0), "GH200": (380.0, 290.0), "A100_SXM": (210.0, 160.0),
         "A100_PCIE": (60.0, 40.0), "MI300X": (350.0, 270.0)}
MULTI = {"H100_SXM": (150.0, 80.0), "H200": (160.0, 90.0), "B200": (320.0, 180.0),
         "A100_SXM": (90.0, 50.0)}


def cutoffs(thr):
    assert type(thr.pass_min_gbps) is float and type(thr.warn_min_gbps) is float
    return (thr.pass_min_gbps, thr.warn_min_gbps)


def entry(pass_min, warn_min, **extra):
    return {"pass_min_gbps": pass_min, "warn_min_gbps": warn_min, **extra}


# ---------------------------------------------------------------------------
# Built-in tables


@pytest.mark.parametrize(
    "gpu, scope, expected",
    [(g, "intra", v) for g, v in INTRA.items()] + [(g, "multi", v) for g, v in MULTI.items()],
)
def test_builtin_cutoffs(cs, gpu, scope, expected):
    thr = cs.threshold_for(gpu, scope)
    assert type(thr) is cs.Threshold
    assert cutoffs(thr) == expected


@pytest.mark.parametrize(
    "gpu, scope",
    [("H100_PCIE", "multi"), ("GH200", "multi"), ("MI300X", "multi"), ("h100_sxm", "intra"),
     ("H100_SXM", "Intra"), ("H100_SXM", "MULTI"), ("", "intra"), ("H100_SXM", ""),
     (" H100_SXM", "intra"), ("H100_SXM ", "intra"), ("H100_SXM", "intra "), ("L40S", "intra"),
     ("H100_SXM", "lab"), ("H100_SXM\x00", "intra")],
)
def test_no_builtin_cutoffs(cs, gpu, scope):
    assert cs.threshold_for(gpu, scope) is None


def test_each_lookup_returns_a_new_threshold(cs):
    first = cs.threshold_for("B200", "multi")
    second = cs.threshold_for("B200", "multi")
    assert first == second == cs.Threshold(320.0, 180.0)
    assert first is not second


def test_builtin_entries_are_used_as_they_stand(cs, monkeypatch):
    monkeypatch.setattr(cs, "_INTRA_NODE_THRESHOLDS",
                        {"Z": {"pass_min_gbps": Decimal("7.5"), "warn_min_gbps": 3},
                         "EMPTY": {}})
    thr = cs.threshold_for("Z", "intra")
    assert type(thr.pass_min_gbps) is Decimal and type(thr.warn_min_gbps) is int
    assert cs.threshold_for("EMPTY", "intra") is None


# ---------------------------------------------------------------------------
# Override loader


def test_loader_without_variable(cs):
    first = cs._load_threshold_overrides()
    assert first == {} and type(first) is dict
    assert first is not cs._load_threshold_overrides()


@pytest.mark.parametrize(
    "text",
    ["", "   ", "\t\n", "[1, 2]", "5", '"H100_SXM:intra"', "null", "true", "{", "not json",
     '{"H100_SXM:intra": }', "[{\"H100_SXM:intra\": {\"pass_min_gbps\": 1, \"warn_min_gbps\": 1}}]",
     "{}"],
    ids=["empty", "blanks", "whitespace", "array", "number", "string", "null", "true",
         "truncated", "words", "malformed", "array-of-object", "empty-object"],
)
def test_ignored_variable_contents(cs, set_overrides, text):
    set_overrides(text)
    assert cs._load_threshold_overrides() == {}
    assert cutoffs(cs.threshold_for("H100_SXM", "intra")) == (320.0, 250.0)


def test_loader_mapping_shape_and_order(cs, set_overrides):
    set_overrides(json.dumps({
        "B:multi": entry(3, "2.5", note="ignored"),
        "A:intra": {"warn_min_gbps": 1.5, "pass_min_gbps": 4.25},
        "skip:list": [1, 2],
        "skip:missing": {"pass_min_gbps": 1},
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


def test_repeated_member_keeps_the_last_value(cs, set_overrides):
    set_overrides('{"A:intra": {"pass_min_gbps": 1, "warn_min_gbps": 1},'
                  ' "B:intra": {"pass_min_gbps": 2, "warn_min_gbps": 2},'
                  ' "A:intra": {"pass_min_gbps": 3, "warn_min_gbps": 3}}')
    loaded = cs._load_threshold_overrides()
    assert list(loaded) == ["A:intra", "B:intra"]
    assert loaded["A:intra"] == entry(3.0, 3.0)


def test_json_special_numbers(cs, set_overrides):
    set_overrides('{"X:intra": {"pass_min_gbps": Infinity, "warn_min_gbps": NaN},'
                  ' "Y:intra": {"pass_min_gbps": "1e3", "warn_min_gbps": " -0.5 "},'
                  ' "Z:intra": {"pass_min_gbps": 1e400, "warn_min_gbps": "inf"}}')
    loaded = cs._load_threshold_overrides()
    assert loaded["X:intra"]["pass_min_gbps"] == math.inf
    assert math.isnan(loaded["X:intra"]["warn_min_gbps"])
    assert loaded["Y:intra"] == entry(1000.0, -0.5)
    assert loaded["Z:intra"] == entry(math.inf, math.inf)


# ---------------------------------------------------------------------------
# Lookups with overrides


@pytest.mark.parametrize(
    "document, gpu, scope, expected",
    [
        ({"H100_SXM:intra": entry(300, 200)}, "H100_SXM", "intra", (300.0, 200.0)),
        ({"H100_SXM:intra": entry(300, 200)}, "H100_SXM", "multi", (150.0, 80.0)),
        ({"H100_SXM:intra": entry(300, 200)}, "H200", "intra", (340.0, 260.0)),
        ({"H100_SXM:lab": entry(12, 6)}, "H100_SXM", "lab", (12.0, 6.0)),
        ({"L40S:intra": entry(120, 80)}, "L40S", "intra", (120.0, 80.0)),
        ({"H100_PCIE:multi": entry(40, 20)}, "H100_PCIE", "multi", (40.0, 20.0)),
        ({"H100_SXM:intra": {"pass_min_gbps": 1}}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM:intra": {"warn_min_gbps": 1}}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM:intra": "300"}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM:intra": None}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM:intra": entry("300", "200")}, "H100_SXM", "intra", (300.0, 200.0)),
        ({"H100_SXM:intra": entry(100, 200)}, "H100_SXM", "intra", (100.0, 200.0)),
        ({"h100_sxm:intra": entry(1, 1)}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM :intra": entry(1, 1)}, "H100_SXM", "intra", (320.0, 250.0)),
        ({"H100_SXM :intra": entry(1, 1)}, "H100_SXM ", "intra", (1.0, 1.0)),
        ({"H100_SXM: intra": entry(2, 2)}, "H100_SXM", " intra", (2.0, 2.0)),
        ({"A:B:C": entry(3, 3)}, "A:B", "C", (3.0, 3.0)),
        ({"A:B:C": entry(3, 3)}, "A", "B:C", (3.0, 3.0)),
        ({":": entry(4, 4)}, "", "", (4.0, 4.0)),
        ({"\u00e9:intra": entry(5, 5)}, "\u00e9", "intra", (5.0, 5.0)),
    ],
)
def test_override_lookups(cs, set_overrides, document, gpu, scope, expected):
    set_overrides(json.dumps(document))
    assert cutoffs(cs.threshold_for(gpu, scope)) == expected


def test_override_absent_and_no_table(cs, set_overrides):
    set_overrides(json.dumps({"H100_SXM:intra": entry(300, 200)}))
    assert cs.threshold_for("H100_SXM", "lab") is None
    assert cs.threshold_for("L40S", "intra") is None


def test_surrounding_whitespace_is_ignored(cs, set_overrides):
    set_overrides("\n\t  " + json.dumps({"B200:intra": entry(1, 0.5)}) + "  \n")
    assert cutoffs(cs.threshold_for("B200", "intra")) == (1.0, 0.5)


def test_unicode_whitespace_around_the_document_is_ignored(cs, set_overrides):
    set_overrides("\u3000\u2003" + json.dumps({"B200:intra": entry(2, 1)}) + "\x85\u2028")
    assert cutoffs(cs.threshold_for("B200", "intra")) == (2.0, 1.0)


def test_undecodable_variable_is_ignored(cs, set_overrides):
    set_overrides("\udcff{")
    assert cs._load_threshold_overrides() == {}
    assert cutoffs(cs.threshold_for("B200", "intra")) == (700.0, 550.0)


def test_environment_is_read_at_every_lookup(cs, set_overrides, monkeypatch):
    assert cutoffs(cs.threshold_for("H200", "multi")) == (160.0, 90.0)
    set_overrides(json.dumps({"H200:multi": entry(10, 5)}))
    assert cutoffs(cs.threshold_for("H200", "multi")) == (10.0, 5.0)
    set_overrides(json.dumps({"H200:multi": entry(20, 15)}))
    assert cutoffs(cs.threshold_for("H200", "multi")) == (20.0, 15.0)
    monkeypatch.delenv("QUORVANE_NCCL_THRESHOLD_OVERRIDES")
    assert cutoffs(cs.threshold_for("H200", "multi")) == (160.0, 90.0)


@pytest.mark.parametrize(
    "bad, error",
    [
        ({"pass_min_gbps": "fast", "warn_min_gbps": 1}, ValueError),
        ({"pass_min_gbps": 1, "warn_min_gbps": "slow"}, ValueError),
        ({"pass_min_gbps": "", "warn_min_gbps": 1}, ValueError),
        ({"pass_min_gbps": None, "warn_min_gbps": 1}, TypeError),
        ({"pass_min_gbps": [300], "warn_min_gbps": 1}, TypeError),
        ({"pass_min_gbps": {"v": 300}, "warn_min_gbps": 1}, TypeError),
        ({"pass_min_gbps": 1, "warn_min_gbps": None}, TypeError),
        # pass is converted before warn
        ({"pass_min_gbps": "fast", "warn_min_gbps": None}, ValueError),
        ({"pass_min_gbps": None, "warn_min_gbps": "slow"}, TypeError),
    ],
)
def test_unconvertible_override_fails_every_lookup(cs, set_overrides, bad, error):
    set_overrides(json.dumps({"GOOD:intra": entry(1, 1), "H100_SXM:intra": bad}))
    for gpu, scope in [("H100_SXM", "intra"), ("B200", "multi"), ("GOOD", "intra"),
                       ("unknown", "nowhere")]:
        with pytest.raises(error):
            cs.threshold_for(gpu, scope)
    with pytest.raises(error):
        cs._load_threshold_overrides()


def test_conversion_error_messages_are_the_hosts(cs, set_overrides):
    set_overrides(json.dumps({"X:intra": entry("fast", 1)}))
    with pytest.raises(ValueError) as exc:
        cs.threshold_for("X", "intra")
    assert str(exc.value) == "could not convert string to float: 'fast'"


def test_skipped_members_are_not_converted(cs, set_overrides):
    set_overrides(json.dumps({"X:intra": {"pass_min_gbps": "fast"},
                              "Y:intra": ["fast", "slow"]}))
    assert cs._load_threshold_overrides() == {}
    assert cutoffs(cs.threshold_for("H100_SXM", "intra")) == (320.0, 250.0)


def test_json_is_imported_at_every_call(cs, set_overrides, monkeypatch):
    set_overrides("anything")
    fake = types.ModuleType("json")
    fake.loads = lambda text: {"F:intra": entry(9, 8), "raw:" + text: entry(1, 1)}
    monkeypatch.setitem(sys.modules, "json", fake)
    assert list(cs._load_threshold_overrides()) == ["F:intra", "raw:anything"]
    assert cutoffs(cs.threshold_for("F", "intra")) == (9.0, 8.0)


def _loads_raising_value_error(text):
    raise ValueError("nope")


@pytest.mark.parametrize(
    "loads",
    [lambda text: [1], _loads_raising_value_error, lambda text: "text"],
    ids=["list", "value-error", "string"],
)
def test_loads_results_that_are_ignored(cs, set_overrides, monkeypatch, loads):
    set_overrides("anything")
    fake = types.ModuleType("json")
    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    assert cs._load_threshold_overrides() == {}


def test_loads_errors_other_than_value_errors_propagate(cs, set_overrides, monkeypatch):
    set_overrides("anything")
    fake = types.ModuleType("json")

    def loads(text):
        raise KeyError("unexpected")

    fake.loads = loads
    monkeypatch.setitem(sys.modules, "json", fake)
    with pytest.raises(KeyError):
        cs._load_threshold_overrides()


def test_missing_json_module_means_no_overrides(cs, set_overrides, monkeypatch):
    set_overrides(json.dumps({"H100_SXM:intra": entry(1, 1)}))
    monkeypatch.setitem(sys.modules, "json", None)
    assert cs._load_threshold_overrides() == {}
    assert cutoffs(cs.threshold_for("H100_SXM", "intra")) == (320.0, 250.0)


def test_threshold_for_converts_override_values(cs, monkeypatch):
    monkeypatch.setattr(cs, "_load_threshold_overrides",
                        lambda: {"Q:intra": {"pass_min_gbps": 3, "warn_min_gbps": Decimal("1.5")}})
    assert cutoffs(cs.threshold_for("Q", "intra")) == (3.0, 1.5)


# ---------------------------------------------------------------------------
# classify

H100 = (320.0, 250.0)


@pytest.mark.parametrize(
    "busbw, cut, verdict",
    [
        (320.0, H100, "pass"), (319.9, H100, "warn"), (250.0, H100, "warn"),
        (249.99, H100, "fail"), (400, H100, "pass"), (320, H100, "pass"), (0, H100, "fail"),
        (-1.0, H100, "fail"), (math.inf, H100, "pass"), (-math.inf, H100, "fail"),
        (math.nan, H100, "fail"), (True, (1.0, 0.5), "pass"), (False, (1.0, 0.5), "fail"),
        (None, H100, "unknown"),
        # pass cutoff at or below warn: nothing grades warn
        (150.0, (100.0, 200.0), "pass"), (99.0, (100.0, 200.0), "fail"),
        (100.0, (100.0, 100.0), "pass"), (99.9, (100.0, 100.0), "fail"),
        (1.0, (math.nan, 0.0), "warn"), (1.0, (math.nan, math.nan), "fail"),
    ],
)
def test_classify(cs, busbw, cut, verdict):
    assert cs.classify(busbw, cs.Threshold(*cut)) == verdict


@pytest.mark.parametrize("busbw", [None, 0.0, 1e9, math.nan])
def test_classify_without_threshold_is_unknown(cs, busbw):
    assert cs.classify(busbw, None) == "unknown"


def test_classify_accepts_any_threshold_like_object(cs):
    duck = SimpleNamespace(pass_min_gbps=10, warn_min_gbps=5)
    assert [cs.classify(v, duck) for v in (10, 7, 4)] == ["pass", "warn", "fail"]
    assert cs.classify(None, object()) == "unknown"


def test_classify_reads_warn_only_when_needed(cs):
    class PassOnly:
        pass_min_gbps = 1.0

    assert cs.classify(2.0, PassOnly()) == "pass"
    with pytest.raises(AttributeError):
        cs.classify(0.5, PassOnly())


@pytest.mark.parametrize(
    "thr, error",
    [(object(), AttributeError), (SimpleNamespace(pass_min_gbps="x", warn_min_gbps=1.0), TypeError),
     (SimpleNamespace(pass_min_gbps=500.0, warn_min_gbps=None), TypeError)],
    ids=["no-attributes", "text-cutoff", "none-warn"],
)
def test_classify_host_errors(cs, thr, error):
    with pytest.raises(error):
        cs.classify(300.0, thr)


def test_classify_compares_the_converted_float(cs, recorder):
    cut = recorder(answer=False)
    warn = recorder(answer=True)
    assert cs.classify(7, SimpleNamespace(pass_min_gbps=cut, warn_min_gbps=warn)) == "warn"
    assert cut.seen == [7.0] and warn.seen == [7.0]
    assert type(cut.seen[0]) is float


# ---------------------------------------------------------------------------
# _finalize_status


def result(cs, collective="all_reduce", busbw=330.0, wrong=0, size=8192):
    return cs.NcclResult(collective, size, busbw, busbw / 2, 10.0, wrong)


def finalized(cs, **fields):
    report = cs.NcclReport(**fields)
    assert cs._finalize_status(report) is None
    return report


@pytest.mark.parametrize(
    "busbw, status",
    [(330.0, "pass"), (320.0, "pass"), (319.9, "warn"), (250.0, "warn"), (249.99, "fail")],
)
def test_finalize_grades_the_headline(cs, busbw, status):
    report = finalized(cs, gpu_type="H100_SXM", results=[
        result(cs, busbw=5.0, size=8), result(cs, busbw=busbw), result(cs, "all_gather", 999.0)])
    assert report.status == status
    assert report.threshold == cs.Threshold(320.0, 250.0)


@pytest.mark.parametrize(
    "fields, status, threshold",
    [
        (dict(gpu_type="H100_SXM", scope="intra", results=[]), "unknown", (320.0, 250.0)),
        (dict(gpu_type="H100_SXM", scope="multi", results=[]), "unknown", (150.0, 80.0)),
        (dict(gpu_type="H100_SXM", results=["all_gather"]), "unknown", (320.0, 250.0)),
        (dict(gpu_type="NOPE", results=["all_reduce"]), "unknown", None),
        (dict(gpu_type="H100_PCIE", scope="multi", results=["all_reduce"]), "unknown", None),
        (dict(gpu_type="", results=["all_reduce"]), "unknown", None),
        (dict(gpu_type="H100_SXM", scope="multi", results=["all_reduce"]), "pass", (150.0, 80.0)),
    ],
)
def test_finalize_without_headline_or_threshold(cs, fields, status, threshold):
    fields = dict(fields)
    fields["results"] = [result(cs, c) for c in fields["results"]]
    report = finalized(cs, **fields)
    assert report.status == status
    if threshold is None:
        assert report.threshold is None
    else:
        assert cutoffs(report.threshold) == threshold


@pytest.mark.parametrize(
    "gpu, rows",
    [
        ("H100_SXM", [("all_reduce", 500.0, 0), ("all_gather", 500.0, 1)]),
        ("H100_SXM", [("all_reduce", 500.0, 3)]),
        ("H100_SXM", [("broadcast", 1.0, 2)]),
        ("NOPE", [("all_reduce", 500.0, 0), ("reduce_scatter", 1.0, 1)]),
        ("H100_SXM", [("all_reduce", 500.0, 0), ("all_reduce", 1.0, 12345678901)]),
    ],
    ids=["all-gather-wrong", "all-reduce-wrong", "only-wrong-row", "no-threshold", "big-count"],
)
def test_wrong_results_fail_the_report(cs, gpu, rows):
    report = finalized(cs, gpu_type=gpu, results=[
        cs.NcclResult(c, 8, b, b, 1.0, w) for c, b, w in rows])
    assert report.status == "fail"
    assert report.threshold == cs.threshold_for(gpu, "intra")


@pytest.mark.parametrize(
    "wrong, status",
    [(0.5, "fail"), (True, "fail"), (2**70, "fail"), (Decimal("0.1"), "fail"), (-(2**70), "unknown"),
     (False, "unknown"), (0.0, "unknown")],
    ids=["half", "true", "huge", "decimal", "huge-negative", "false", "zero-float"],
)
def test_wrong_count_compares_like_a_number(cs, wrong, status):
    report = finalized(cs, gpu_type="NOPE", results=[cs.NcclResult("all_gather", 8, 1.0, 1.0, 1.0,
                                                                   wrong)])
    assert report.status == status


@pytest.mark.parametrize("wrong", ["1", None, [1]])
def test_wrong_count_that_does_not_compare(cs, wrong):
    report = cs.NcclReport(results=[cs.NcclResult("all_gather", 8, 1.0, 1.0, 1.0, wrong)])
    with pytest.raises(TypeError):
        cs._finalize_status(report)
    assert report.status == "unknown"


def test_negative_wrong_count_does_not_fail(cs):
    report = finalized(cs, gpu_type="H100_SXM", results=[
        cs.NcclResult("all_reduce", 8, 400.0, 1.0, 1.0, -1)])
    assert report.status == "pass"


def test_error_without_rows(cs, monkeypatch):
    def no_lookup(*args, **kwargs):
        raise AssertionError("no threshold lookup expected")

    monkeypatch.setattr(cs, "threshold_for", no_lookup)
    sentinel = cs.Threshold(1.0, 0.5)
    report = finalized(cs, gpu_type="H100_SXM", error="all_reduce_perf not found",
                       threshold=sentinel, status="pass")
    assert report.status == "error"
    assert report.threshold is sentinel
    assert report.error == "all_reduce_perf not found"
    assert finalized(cs, error="x").threshold is None


def test_error_with_rows_is_graded_on_the_rows(cs):
    report = finalized(cs, gpu_type="H100_SXM", error="broadcast_perf: timed out",
                       results=[result(cs, busbw=330.0)])
    assert report.status == "pass"
    assert report.error == "broadcast_perf: timed out"
    assert report.to_dict()["error"] == "broadcast_perf: timed out"


@pytest.mark.parametrize("error", ["", None])
def test_empty_error_is_not_an_error_report(cs, error):
    report = finalized(cs, gpu_type="H100_SXM", error=error)
    assert report.status == "unknown"
    assert report.threshold == cs.Threshold(320.0, 250.0)


def test_finalize_uses_overrides_and_recomputes(cs, set_overrides):
    report = cs.NcclReport(gpu_type="H100_SXM", results=[result(cs, busbw=280.0)])
    cs._finalize_status(report)
    assert (report.status, cutoffs(report.threshold)) == ("warn", (320.0, 250.0))
    set_overrides(json.dumps({"H100_SXM:intra": entry(270, 200)}))
    cs._finalize_status(report)
    assert (report.status, cutoffs(report.threshold)) == ("pass", (270.0, 200.0))
    report.results.append(result(cs, "all_gather", wrong=1))
    cs._finalize_status(report)
    assert report.status == "fail"


@pytest.mark.parametrize(
    "change, error, message",
    [
        (lambda cs, r, env: env(json.dumps({"Z:intra": entry("fast", 1)})), ValueError, None),
        (lambda cs, r, env: env(json.dumps({"Z:intra": entry(None, 1)})), TypeError, None),
        (lambda cs, r, env: setattr(r, "gpu_type", None), TypeError,
         "Argument 'gpu_type' has incorrect type (expected str, got NoneType)"),
        (lambda cs, r, env: setattr(r, "scope", 1), TypeError,
         "Argument 'scope' has incorrect type (expected str, got int)"),
        (lambda cs, r, env: setattr(r, "gpu_type", type("Gpu", (str,), {})("H100_SXM")), TypeError,
         "Argument 'gpu_type' has incorrect type (expected str, got Gpu). "
         "Subclasses of built-in types are refused."),
    ],
    ids=["unconvertible-text", "unconvertible-null", "none-gpu", "int-scope", "str-subclass"],
)
def test_failed_lookup_leaves_the_report_alone(cs, set_overrides, change, error, message):
    previous = cs.Threshold(1.0, 0.5)
    report = cs.NcclReport(gpu_type="H100_SXM", results=[result(cs)], threshold=previous,
                           status="warn")
    change(cs, report, set_overrides)
    with pytest.raises(error) as exc:
        cs._finalize_status(report)
    if message:
        assert str(exc.value) == message
    assert report.status == "warn" and report.threshold is previous


def test_fresh_report_keeps_unknown_when_lookup_fails(cs, set_overrides):
    set_overrides(json.dumps({"Z:intra": entry("fast", 1)}))
    report = cs.NcclReport(gpu_type="H100_SXM", results=[result(cs)])
    with pytest.raises(ValueError):
        cs._finalize_status(report)
    assert (report.status, report.threshold) == ("unknown", None)


def test_headline_failure_leaves_status(cs):
    report = cs.NcclReport(gpu_type="H100_SXM", status="warn",
                           results=[result(cs), cs.NcclResult("all_reduce", 8, None, 0, 0, 0)])
    with pytest.raises(TypeError):
        cs._finalize_status(report)
    assert report.status == "warn"


def test_wrong_scan_stops_at_the_first_failing_row(cs):
    report = cs.NcclReport(gpu_type="H100_SXM", results=[
        result(cs, wrong=1), cs.NcclResult("all_gather", 8, 1.0, 1.0, 1.0, None)])
    cs._finalize_status(report)
    assert report.status == "fail"
    report.results.reverse()
    report.status = "unknown"
    with pytest.raises(TypeError):
        cs._finalize_status(report)
    assert report.status == "unknown"


def test_finalize_accepts_any_report_like_object(cs):
    rows = [result(cs, busbw=100.0)]
    duck = SimpleNamespace(error=None, results=rows, gpu_type="A100_SXM", scope="multi",
                           threshold=None, status="unknown",
                           headline_all_reduce_busbw=lambda: 100.0)
    cs._finalize_status(duck)
    assert (duck.status, duck.threshold) == ("pass", cs.Threshold(90.0, 50.0))


def test_finalize_needs_report_attributes(cs):
    with pytest.raises(AttributeError):
        cs._finalize_status(object())
