"""Record types, module constants, the report dictionary and the headline."""

import copy
import dataclasses
import json
import math
import pickle
from types import SimpleNamespace

import pytest

MODULE = "quorvane.collsweep"

# record -> (frozen, class documentation or None for the generated one, sample field values)
RECORDS = {
    "NcclResult": (True, "One row from the nccl-tests output table.",
                   dict(collective="all_reduce", size_bytes=8192, busbw_gbps=5.0, algbw_gbps=2.5,
                        latency_us=12.5, wrong=0)),
    "Threshold": (True, None, dict(pass_min_gbps=320.0, warn_min_gbps=250.0)),
    "NcclReport": (False, None,
                   dict(schema_version=1, gpu_type="H100_SXM", scope="intra", num_nodes=1,
                        gpus_per_node=8, interconnect="nvlink", results=[], threshold=None,
                        status="pass", error=None)),
    "ShellResult": (True, None, dict(returncode=0, stdout="out", stderr="err")),
    "_LauncherConfig": (True, "Inputs the launcher needs that vary by deployment context.",
                        dict(binary_root="/x", begin_bytes=1, end_bytes=2, step_factor=3,
                             iterations=4, warmup_iters=5)),
}


def row(cs, collective="all_reduce", busbw=1.0, size=8192, wrong=0):
    return cs.NcclResult(collective, size, busbw, busbw / 2, 10.0, wrong)


@pytest.mark.parametrize("name", list(RECORDS))
def test_record_types(cs, name):
    frozen, doc, sample = RECORDS[name]
    cls = getattr(cs, name)
    assert dataclasses.is_dataclass(cls) and cls.__dataclass_params__.frozen is frozen
    assert (cls.__module__, cls.__qualname__) == (MODULE, name)
    assert cls.__doc__ == doc if doc else cls.__doc__.startswith(name + "(")
    assert [f.name for f in dataclasses.fields(cls)] == list(sample)
    assert all(type(a) is str for a in cls.__annotations__.values())
    rec = cls(*sample.values())
    assert rec == cls(**sample) and vars(rec) == sample
    assert repr(rec) == "%s(%s)" % (name, ", ".join(f"{k}={v!r}" for k, v in sample.items()))
    assert pickle.loads(pickle.dumps(rec)) == rec == copy.deepcopy(rec)
    if name in ("NcclResult", "Threshold", "ShellResult"):     # no field has a default
        with pytest.raises(TypeError):
            cls(*list(sample.values())[:-1])
    first = next(iter(sample))
    if frozen:
        with pytest.raises(dataclasses.FrozenInstanceError):
            setattr(rec, first, "changed")
        assert hash(rec) == hash(cls(**sample))
    else:
        setattr(rec, first, "changed")
        assert getattr(rec, first) == "changed"
        with pytest.raises(TypeError):
            hash(rec)


def test_record_values(cs):
    odd = cs.NcclResult(None, "8", 1, "x", [1], 0.5)        # nothing is checked or converted
    assert list(vars(odd).values()) == [None, "8", 1, "x", [1], 0.5]
    assert row(cs) != row(cs, wrong=1) and cs.Threshold(1.0, 2.0) != cs.Threshold(2.0, 1.0)
    assert cs.ShellResult(0, "a", "b") != (0, "a", "b")
    first, second = cs.NcclReport(), cs.NcclReport()
    first.results.append(row(cs))
    assert first != second and second.results == [] and cs.NcclReport().results == []


def test_launcher_config_defaults_were_fixed_at_import(cs, monkeypatch):
    monkeypatch.setattr(cs, "SIZE_SMALL", 1)
    monkeypatch.setattr(cs, "SIZE_LARGE", 2)
    assert cs._LauncherConfig() == cs._LauncherConfig(
        binary_root="/opt/nccl-tests/build", begin_bytes=8192, end_bytes=134217728,
        step_factor=16, iterations=50, warmup_iters=5)
    assert cs._LauncherConfig("/elsewhere").begin_bytes == 8192


def test_public_constants(cs):
    assert cs.COLLECTIVES == ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf",
                              "broadcast_perf")
    assert cs.SWEEP_SIZES == (cs.SIZE_SMALL, cs.SIZE_MID, cs.SIZE_LARGE) == (8192, 2**20, 2**27)


# ---------------------------------------------------------------------------
# Row and report dictionaries


def test_row_dictionary(cs):
    r = cs.NcclResult("broadcast", 1024, 0.5, 0.25, 2239.78, 3)
    d = r.to_dict()
    assert list(d.items()) == [("collective", "broadcast"), ("size_bytes", 1024),
                               ("busbw_gbps", 0.5), ("algbw_gbps", 0.25),
                               ("latency_us", 2239.78), ("wrong", 3)]
    d["wrong"] = 99
    assert r.wrong == 3 and r.to_dict()["wrong"] == 3


DEFAULT_DICT = [("schema_version", 1), ("gpu_type", ""), ("scope", "intra"), ("num_nodes", 1),
                ("gpus_per_node", 0), ("interconnect", ""), ("results", []), ("status", "unknown")]


@pytest.mark.parametrize(
    "threshold, error, tail",
    [
        (None, None, []),
        (None, "", []),
        ((320.0, 250.0), None, [("threshold", {"pass_min_gbps": 320.0, "warn_min_gbps": 250.0})]),
        (None, "boom", [("error", "boom")]),
        ((1.0, 0.5), "boom", [("threshold", {"pass_min_gbps": 1.0, "warn_min_gbps": 0.5}),
                              ("error", "boom")]),
    ],
)
def test_report_dictionary_keys(cs, threshold, error, tail):
    report = cs.NcclReport(error=error, threshold=threshold and cs.Threshold(*threshold))
    d = report.to_dict()
    assert list(d.items()) == DEFAULT_DICT + tail
    if threshold:
        assert list(d["threshold"]) == ["pass_min_gbps", "warn_min_gbps"]


def test_full_report_dictionary_is_a_copy(cs):
    rows = [row(cs, "all_reduce", 5.0), row(cs, "broadcast", 0.5, size=16, wrong=2)]
    report = cs.NcclReport(gpu_type="H100_SXM", scope="multi", num_nodes=2, gpus_per_node=8,
                           interconnect="ib", results=rows, threshold=cs.Threshold(150.0, 80.0),
                           status="fail", error="all_gather_perf: exit 1")
    d = report.to_dict()
    assert d == {"schema_version": 1, "gpu_type": "H100_SXM", "scope": "multi", "num_nodes": 2,
                 "gpus_per_node": 8, "interconnect": "ib", "results": [r.to_dict() for r in rows],
                 "status": "fail", "threshold": {"pass_min_gbps": 150.0, "warn_min_gbps": 80.0},
                 "error": "all_gather_perf: exit 1"}
    assert json.loads(json.dumps(d)) == d
    d["results"].clear()
    d["threshold"]["pass_min_gbps"] = 0.0
    assert len(report.results) == 2 and report.threshold.pass_min_gbps == 150.0
    # each element's own to_dict is called
    report.results.append(SimpleNamespace(to_dict=lambda: {"duck": 1}))
    assert report.to_dict()["results"][-1] == {"duck": 1}
    report.results.append(object())
    with pytest.raises(AttributeError):
        report.to_dict()


# ---------------------------------------------------------------------------
# Headline number


@pytest.mark.parametrize(
    "rows, expected",
    [
        ([], None),
        ([("all_gather", 400.0), ("broadcast", 10.0)], None),
        ([("all_reduce", 5.0), ("all_gather", 400.0), ("all_reduce", 360.2),
          ("all_reduce", 80.5)], 360.2),
        ([("All_Reduce", 900.0), ("all_reduce_perf", 800.0), ("all_reduce ", 700.0),
          ("all_reduce", 1.5)], 1.5),
        ([("all_reduce", 300)], 300.0),
        ([("all_reduce", True)], 1.0),
        ([("all_reduce", -1.0), ("all_reduce", -3.0)], -1.0),
        ([("all_reduce", -0.0), ("all_reduce", 0.0)], -0.0),
        ([("all_reduce", math.nan), ("all_reduce", 1.0)], math.nan),
        ([("all_reduce", 1.0), ("all_reduce", math.nan)], 1.0),
        ([("all_gather", None), ("all_reduce", 2.0)], 2.0),
        ([("all_reduce", None)], "Expected float, got NoneType"),
        ([("all_reduce", "a"), ("all_reduce", "b")], "Expected float, got str"),
        ([("all_reduce", None), ("all_reduce", 1.0)], TypeError),
    ],
)
def test_headline(cs, rows, expected):
    report = cs.NcclReport(results=[cs.NcclResult(c, 8, b, 1.0, 1.0, 0) for c, b in rows])
    if expected is TypeError or (isinstance(expected, str) and expected.startswith("Expected")):
        with pytest.raises(TypeError) as exc:
            report.headline_all_reduce_busbw()
        assert expected is TypeError or str(exc.value) == expected
        return
    got = report.headline_all_reduce_busbw()
    assert got is None or type(got) is float
    assert repr(got) == repr(expected)      # NaN first: no later value exceeds it
