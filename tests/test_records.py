"""Records, constants, the report dictionary and the headline number. (Field
names, order, annotations, defaults and frozenness are pinned by the stub.)"""

import dataclasses
import json
import math
from types import SimpleNamespace

import pytest


def test_records_and_constants(cs):
    row = cs.NcclResult("all_reduce", 8, 1.0, 0.5, 10.0, 0)
    for frozen in (row, cs.Threshold(1.0, 0.5), cs.ShellResult(0, "", ""), cs._LauncherConfig()):
        with pytest.raises(dataclasses.FrozenInstanceError):
            frozen.__setattr__(dataclasses.fields(frozen)[0].name, None)
    first, second = cs.NcclReport(), cs.NcclReport()
    first.results.append(row)
    first.status = "pass"
    assert second.results == [] and cs.NcclReport().results == [] and first.status == "pass"
    assert cs._LauncherConfig() == cs._LauncherConfig("/opt/nccl-tests/build", 8192, 134217728, 16, 50, 5)
    assert cs.COLLECTIVES == ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
    assert cs.SWEEP_SIZES == (cs.SIZE_SMALL, cs.SIZE_MID, cs.SIZE_LARGE) == (8192, 2 ** 20, 2 ** 27)
    assert cs._COLLECTIVE_NAME_FROM_BIN == {name: name[:-5] for name in cs.COLLECTIVES}


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
    rows = [cs.NcclResult("broadcast", 1024, 0.5, 0.25, 2239.78, 3)]
    report = cs.NcclReport(gpu_type="H100_SXM", results=rows, threshold=cs.Threshold(150.0, 80.0))
    d = report.to_dict()
    assert list(d["results"][0].items()) == [("collective", "broadcast"), ("size_bytes", 1024), ("busbw_gbps", 0.5),
                                             ("algbw_gbps", 0.25), ("latency_us", 2239.78), ("wrong", 3)]
    assert json.loads(json.dumps(d)) == d
    d["results"].clear()
    d["threshold"]["pass_min_gbps"] = 0.0
    assert len(report.results) == 1 and report.threshold.pass_min_gbps == 150.0
    report.results.append(SimpleNamespace(to_dict=lambda: {"duck": 1}))
    assert report.to_dict()["results"][-1] == {"duck": 1}
    report.results.append(object())
    with pytest.raises(AttributeError):
        report.to_dict()


@pytest.mark.parametrize("rows, expected", [
    ([], None),
    ([("all_gather", 400.0), ("broadcast", 10.0)], None),
    ([("all_reduce", 5.0), ("all_gather", 400.0), ("all_reduce", 360.2), ("all_reduce", 80.5)], 360.2),
    ([("All_Reduce", 900.0), ("all_reduce_perf", 800.0), ("all_reduce", 1.5)], 1.5),
    ([("all_reduce", 300)], 300.0),
    ([("all_reduce", -0.0), ("all_reduce", 0.0)], -0.0),      # the first that no later value exceeds
    ([("all_reduce", math.nan), ("all_reduce", 1.0)], math.nan),
    ([("all_gather", None), ("all_reduce", 2.0)], 2.0),
    ([("all_reduce", "a"), ("all_reduce", "b")], TypeError("Expected float, got str")),
    ([("all_reduce", None), ("all_reduce", 1.0)], TypeError),
])
def test_headline(cs, rows, expected):
    report = cs.NcclReport(results=[cs.NcclResult(c, 8, b, 1.0, 1.0, 0) for c, b in rows])
    if isinstance(expected, (Exception, type)):
        with pytest.raises(TypeError, match=str(expected) if isinstance(expected, Exception) else None):
            report.headline_all_reduce_busbw()
    else:
        assert repr(report.headline_all_reduce_busbw()) == repr(expected)


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
