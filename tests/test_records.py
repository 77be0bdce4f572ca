"""Records, constants, the report dictionary and the headline number. (Field
names, order, annotations, defaults and frozenness are pinned by the stub.)"""

import dataclasses
import math
from types import SimpleNamespace

import pytest


def test_constants(cs):  # field names, defaults and frozenness of the records are in the stub
    assert cs.COLLECTIVES == ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
    assert cs.SWEEP_SIZES == (cs.SIZE_SMALL, cs.SIZE_MID, cs.SIZE_LARGE) == (8192, 2 ** 20, 2 ** 27)
    with pytest.raises(dataclasses.FrozenInstanceError):
        cs.NcclResult("all_reduce", 8, 1.0, 0.5, 10.0, 0).wrong = 1


DEFAULT_DICT = [("schema_version", 1), ("gpu_type", ""), ("scope", "intra"), ("num_nodes", 1),
                ("gpus_per_node", 0), ("interconnect", ""), ("results", []), ("status", "unknown")]


@pytest.mark.parametrize("threshold, error, tail", [
    (None, None, []), (None, "", []), ((320.0, 250.0), None, [("threshold", {"pass_min_gbps": 320.0,
                                                                             "warn_min_gbps": 250.0})]),
    ((1.0, 0.5), "boom", [("threshold", {"pass_min_gbps": 1.0, "warn_min_gbps": 0.5}), ("error", "boom")]),
])
def test_report_dictionary_keys(cs, threshold, error, tail):
    report = cs.NcclReport(error=error, threshold=threshold and cs.Threshold(*threshold))
    assert list(report.to_dict().items()) == DEFAULT_DICT + tail


def test_report_dictionary_is_a_copy_built_from_each_row(cs):
    report = cs.NcclReport(results=[cs.NcclResult("broadcast", 1024, 0.5, 0.25, 2239.78, 3),
                                    SimpleNamespace(to_dict=lambda: {"duck": 1})], threshold=cs.Threshold(150.0, 80.0))
    d = report.to_dict()
    assert [list(row.items()) for row in d["results"]] == [[
        ("collective", "broadcast"), ("size_bytes", 1024), ("busbw_gbps", 0.5), ("algbw_gbps", 0.25),
        ("latency_us", 2239.78), ("wrong", 3)], [("duck", 1)]]
    d["results"].clear()
    d["threshold"]["pass_min_gbps"] = 0.0
    assert len(report.results) == 2 and report.threshold.pass_min_gbps == 150.0
    report.results.append(object())
    with pytest.raises(AttributeError):
        report.to_dict()


@pytest.mark.parametrize("rows, expected", [
    ([], None),
    ([("all_reduce", 5.0), ("all_gather", 400.0), ("all_reduce", 360.2), ("all_reduce", 80.5)], 360.2),
    ([("All_Reduce", 900.0), ("all_reduce_perf", 800.0), ("all_reduce", 1.5)], 1.5),
    ([("all_reduce", 300)], 300.0), ([("all_reduce", -0.0), ("all_reduce", 0.0)], -0.0),  # the first one kept
    ([("all_reduce", math.nan), ("all_reduce", 1.0)], math.nan),
    ([("all_gather", None), ("all_reduce", 2.0)], 2.0),
    ([("all_reduce", "a"), ("all_reduce", "b")], TypeError("Expected float, got str")),
    ([("all_reduce", None), ("all_reduce", 1.0)], TypeError),
])
def test_headline(cs, rows, expected):
    report = cs.NcclReport(results=[cs.NcclResult(c, 8, b, 1.0, 1.0, 0) for c, b in rows])
    try:
        got = report.headline_all_reduce_busbw()
    except TypeError as exc:
        got = exc if isinstance(expected, Exception) else TypeError
    assert repr(got) == repr(expected)


class Failing:
    """Results whose `failing`-th walk fails after the first row."""

    def __init__(self, cs, error, failing):
        self.row, self.error, self.walks = cs.NcclResult("all_reduce", 8, 1.0, 1.0, 1.0, 0), error, failing

    def __iter__(self):
        self.walks -= 1
        yield self.row
        if not self.walks:
            raise self.error


@pytest.mark.parametrize("step, failing", [("to_dict", 1), ("headline_all_reduce_busbw", 1), ("finalize", 2)])
def test_an_error_of_the_results_iterator_propagates_unchanged(cs, step, failing):
    error = LookupError("results went away")
    report = cs.NcclReport(gpu_type="H100_SXM", results=Failing(cs, error, failing))
    with pytest.raises(LookupError) as exc:
        cs._finalize_status(report) if step == "finalize" else getattr(report, step)()
    assert exc.value is error
