"""Record types, module constants and the report dictionary."""

import dataclasses
import json
import math
import re

import pytest

MODULE = "quorvane.collsweep"

RESULT_FIELDS = ["collective", "size_bytes", "busbw_gbps", "algbw_gbps", "latency_us", "wrong"]
REPORT_FIELDS = ["schema_version", "gpu_type", "scope", "num_nodes", "gpus_per_node",
                 "interconnect", "results", "threshold", "status", "error"]

# record name -> (frozen, [(field, annotation or None when not pinned, default or MISSING)])
MISSING = dataclasses.MISSING
RECORDS = {
    "NcclResult": (True, [("collective", "str", MISSING), ("size_bytes", "int", MISSING),
                          ("busbw_gbps", "float", MISSING), ("algbw_gbps", "float", MISSING),
                          ("latency_us", "float", MISSING), ("wrong", "int", MISSING)]),
    "Threshold": (True, [("pass_min_gbps", "float", MISSING), ("warn_min_gbps", "float", MISSING)]),
    "NcclReport": (False, [("schema_version", "int", 1), ("gpu_type", "str", ""),
                           ("scope", "str", "intra"), ("num_nodes", "int", 1),
                           ("gpus_per_node", "int", 0), ("interconnect", "str", ""),
                           ("results", None, MISSING), ("threshold", None, None),
                           ("status", "str", "unknown"), ("error", None, None)]),
    "ShellResult": (True, [("returncode", "int", MISSING), ("stdout", "str", MISSING),
                           ("stderr", "str", MISSING)]),
    "_LauncherConfig": (True, [("binary_root", "str", "/opt/nccl-tests/build"),
                               ("begin_bytes", "int", 8192), ("end_bytes", "int", 134217728),
                               ("step_factor", "int", 16), ("iterations", "int", 50),
                               ("warmup_iters", "int", 5)]),
}

SAMPLE_ARGS = {
    "NcclResult": ("all_reduce", 8192, 5.0, 2.5, 12.5, 0),
    "Threshold": (320.0, 250.0),
    "NcclReport": (1, "H100_SXM", "intra", 1, 8, "nvlink", [], None, "pass", None),
    "ShellResult": (0, "out", "err"),
    "_LauncherConfig": ("/x", 1, 2, 3, 4, 5),
}


def row(cs, collective="all_reduce", size=8192, busbw=1.0, algbw=0.5, latency=10.0, wrong=0):
    return cs.NcclResult(collective, size, busbw, algbw, latency, wrong)


# ---------------------------------------------------------------------------
# Shape of the record types


@pytest.mark.parametrize("name", list(RECORDS))
def test_record_is_a_dataclass_with_declared_fields(cs, name):
    frozen, fields = RECORDS[name]
    cls = getattr(cs, name)
    assert dataclasses.is_dataclass(cls)
    assert cls.__dataclass_params__.frozen is frozen
    assert cls.__module__ == MODULE
    assert cls.__qualname__ == name and cls.__name__ == name
    declared = dataclasses.fields(cls)
    assert [f.name for f in declared] == [f[0] for f in fields]
    for f, (_, annotation, default) in zip(declared, fields):
        assert type(f.type) is str
        if annotation is not None:
            assert f.type == annotation
        if f.name != "results":
            assert f.default == default or (default is None and f.default is None)
    assert list(cls.__annotations__) == [f[0] for f in fields]


def test_report_results_uses_a_factory(cs):
    results = {f.name: f for f in dataclasses.fields(cs.NcclReport)}["results"]
    assert results.default is MISSING
    assert results.default_factory is list


@pytest.mark.parametrize(
    "name, doc",
    [("NcclResult", "One row from the nccl-tests output table."),
     ("_LauncherConfig", "Inputs the launcher needs that vary by deployment context.")],
)
def test_record_documentation(cs, name, doc):
    assert getattr(cs, name).__doc__ == doc


@pytest.mark.parametrize("name", ["Threshold", "NcclReport", "ShellResult"])
def test_records_without_documentation_get_the_generated_text(cs, name):
    # dataclass fills in "Name(field: type, ...)" when the class has no docstring
    assert getattr(cs, name).__doc__.startswith(name + "(")


@pytest.mark.parametrize("name", list(RECORDS))
def test_construction_by_position_and_by_name(cs, name):
    cls = getattr(cs, name)
    names = [f[0] for f in RECORDS[name][1]]
    args = SAMPLE_ARGS[name]
    by_position = cls(*args)
    by_name = cls(**dict(zip(names, args)))
    assert by_position == by_name
    assert [getattr(by_position, n) for n in names] == list(args)
    assert repr(by_position) == "%s(%s)" % (
        name, ", ".join(f"{n}={v!r}" for n, v in zip(names, args)))


@pytest.mark.parametrize("name", ["NcclResult", "Threshold", "ShellResult"])
def test_required_fields(cs, name):
    cls = getattr(cs, name)
    with pytest.raises(TypeError):
        cls(*SAMPLE_ARGS[name][:-1])
    with pytest.raises(TypeError):
        cls(*SAMPLE_ARGS[name], "extra")


def test_construction_stores_values_unconverted(cs):
    odd = cs.NcclResult(None, "8", 1, "x", [1], 0.5)
    assert (odd.collective, odd.size_bytes, odd.busbw_gbps, odd.algbw_gbps, odd.latency_us,
            odd.wrong) == (None, "8", 1, "x", [1], 0.5)
    assert cs.Threshold(3, 2).pass_min_gbps == 3 and type(cs.Threshold(3, 2).pass_min_gbps) is int


# ---------------------------------------------------------------------------
# Equality, immutability, hashing


def test_equality_is_field_wise_and_type_sensitive(cs):
    assert row(cs) == row(cs)
    assert row(cs) != row(cs, wrong=1)
    assert row(cs) != row(cs, collective="all_gather")
    assert cs.Threshold(1.0, 2.0) != cs.Threshold(2.0, 1.0)
    assert cs.ShellResult(0, "a", "b") != (0, "a", "b")
    assert cs.Threshold(1.0, 2.0) != cs.ShellResult(1.0, 2.0, None)
    assert cs.NcclReport() == cs.NcclReport()
    assert cs.NcclReport(results=[row(cs)]) != cs.NcclReport()


@pytest.mark.parametrize("name", ["NcclResult", "Threshold", "ShellResult", "_LauncherConfig"])
def test_frozen_records_refuse_assignment_and_hash(cs, name):
    cls = getattr(cs, name)
    first_field = RECORDS[name][1][0][0]
    rec = cls(*SAMPLE_ARGS[name])
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(rec, first_field, "changed")
    with pytest.raises(dataclasses.FrozenInstanceError):
        delattr(rec, first_field)
    with pytest.raises(dataclasses.FrozenInstanceError):
        rec.brand_new = 1
    assert getattr(rec, first_field) == SAMPLE_ARGS[name][0]
    twin = cls(*SAMPLE_ARGS[name])
    assert hash(rec) == hash(twin)
    assert len({rec, twin}) == 1


def test_report_is_mutable_and_unhashable(cs):
    report = cs.NcclReport()
    report.status = "pass"
    report.gpu_type = "B200"
    report.results.append(row(cs))
    assert (report.status, report.gpu_type, len(report.results)) == ("pass", "B200", 1)
    with pytest.raises(TypeError):
        hash(report)


def test_reports_do_not_share_their_results_list(cs):
    first, second = cs.NcclReport(), cs.NcclReport()
    assert first.results == [] and first.results is not second.results
    first.results.append(row(cs))
    assert second.results == []
    assert cs.NcclReport().results == []


def test_report_defaults(cs):
    report = cs.NcclReport()
    assert [getattr(report, f) for f in REPORT_FIELDS] == [
        1, "", "intra", 1, 0, "", [], None, "unknown", None]


def test_launcher_config_defaults(cs):
    assert cs._LauncherConfig() == cs._LauncherConfig(
        binary_root="/opt/nccl-tests/build", begin_bytes=8192, end_bytes=134217728,
        step_factor=16, iterations=50, warmup_iters=5)
    assert cs._LauncherConfig("/elsewhere").begin_bytes == 8192


def test_launcher_config_defaults_were_fixed_at_import(cs, monkeypatch):
    monkeypatch.setattr(cs, "SIZE_SMALL", 1)
    monkeypatch.setattr(cs, "SIZE_LARGE", 2)
    cfg = cs._LauncherConfig()
    assert (cfg.begin_bytes, cfg.end_bytes) == (8192, 134217728)


@pytest.mark.parametrize("name", list(RECORDS))
def test_records_copy_and_pickle(cs, name):
    import copy
    import pickle

    rec = getattr(cs, name)(*SAMPLE_ARGS[name])
    assert pickle.loads(pickle.dumps(rec)) == rec
    assert copy.deepcopy(rec) == rec and copy.copy(rec) == rec


def test_report_subclass_keeps_the_methods(cs):
    class TaggedReport(cs.NcclReport):
        pass

    report = TaggedReport(gpu_type="B200", results=[row(cs, busbw=7.0)])
    assert report.to_dict()["gpu_type"] == "B200"
    assert report.headline_all_reduce_busbw() == 7.0


def test_records_work_with_dataclass_helpers(cs):
    r = row(cs, size=16)
    assert dataclasses.asdict(r)["size_bytes"] == 16
    assert dataclasses.replace(r, wrong=3).wrong == 3
    assert dataclasses.astuple(cs.Threshold(1.0, 2.0)) == (1.0, 2.0)


# ---------------------------------------------------------------------------
# Constants


def test_collective_and_size_constants(cs):
    assert cs.COLLECTIVES == ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf",
                              "broadcast_perf")
    assert type(cs.COLLECTIVES) is tuple
    assert (cs.SIZE_SMALL, cs.SIZE_MID, cs.SIZE_LARGE) == (8192, 1048576, 134217728)
    assert all(type(v) is int for v in (cs.SIZE_SMALL, cs.SIZE_MID, cs.SIZE_LARGE))
    assert cs.SWEEP_SIZES == (8192, 1048576, 134217728) and type(cs.SWEEP_SIZES) is tuple


INTRA = [("H100_SXM", 320.0, 250.0), ("H100_PCIE", 90.0, 60.0), ("H200", 340.0, 260.0),
         ("B200", 700.0, 550.0), ("GH200", 380.0, 290.0), ("A100_SXM", 210.0, 160.0),
         ("A100_PCIE", 60.0, 40.0), ("MI300X", 350.0, 270.0)]
MULTI = [("H100_SXM", 150.0, 80.0), ("H200", 160.0, 90.0), ("B200", 320.0, 180.0),
         ("A100_SXM", 90.0, 50.0)]


@pytest.mark.parametrize("attr, rows", [("_INTRA_NODE_THRESHOLDS", INTRA),
                                        ("_MULTI_NODE_THRESHOLDS", MULTI)])
def test_threshold_tables(cs, attr, rows):
    table = getattr(cs, attr)
    assert type(table) is dict
    assert list(table) == [r[0] for r in rows]
    for gpu, pass_min, warn_min in rows:
        entry = table[gpu]
        assert list(entry.items()) == [("pass_min_gbps", pass_min), ("warn_min_gbps", warn_min)]
        assert all(type(v) is float for v in entry.values())


def test_row_patterns(cs):
    assert isinstance(cs._DATA_ROW, re.Pattern) and isinstance(cs._NUMERIC, re.Pattern)
    assert cs._DATA_ROW.pattern == r"^\s*(\d+)\s+.*$"
    assert cs._NUMERIC.pattern == r"-?\d+(?:\.\d+)?"
    # no flags beyond the default for text patterns
    assert cs._DATA_ROW.flags == re.UNICODE and cs._NUMERIC.flags == re.UNICODE


def test_label_map(cs):
    assert list(cs._COLLECTIVE_NAME_FROM_BIN.items()) == [
        ("all_reduce_perf", "all_reduce"), ("all_gather_perf", "all_gather"),
        ("reduce_scatter_perf", "reduce_scatter"), ("broadcast_perf", "broadcast")]


# ---------------------------------------------------------------------------
# Row and report dictionaries


def test_row_dictionary(cs):
    values = ("broadcast", 1024, 0.5, 0.25, 2239.78, 3)
    r = cs.NcclResult(*values)
    d = r.to_dict()
    assert list(d.items()) == list(zip(RESULT_FIELDS, values))
    assert d is not r.to_dict()
    d["wrong"] = 99
    assert r.wrong == 3


def test_default_report_dictionary(cs):
    d = cs.NcclReport().to_dict()
    assert list(d.items()) == [("schema_version", 1), ("gpu_type", ""), ("scope", "intra"),
                               ("num_nodes", 1), ("gpus_per_node", 0), ("interconnect", ""),
                               ("results", []), ("status", "unknown")]


@pytest.mark.parametrize(
    "threshold, error, tail_keys",
    [
        (None, None, ["status"]),
        (None, "", ["status"]),
        ("set", None, ["status", "threshold"]),
        (None, "boom", ["status", "error"]),
        ("set", "boom", ["status", "threshold", "error"]),
        ("set", "", ["status", "threshold"]),
    ],
)
def test_report_dictionary_optional_keys(cs, threshold, error, tail_keys):
    report = cs.NcclReport()
    if threshold:
        report.threshold = cs.Threshold(320.0, 250.0)
    report.error = error
    d = report.to_dict()
    assert list(d)[7:] == tail_keys
    if threshold:
        assert list(d["threshold"].items()) == [("pass_min_gbps", 320.0), ("warn_min_gbps", 250.0)]
    if error:
        assert d["error"] == error


def test_full_report_dictionary(cs):
    rows = [row(cs, "all_reduce", 8192, 5.0, 2.5, 30.0, 0),
            row(cs, "broadcast", 16, 0.5, 0.5, 40.0, 2)]
    report = cs.NcclReport(schema_version=1, gpu_type="H100_SXM", scope="multi", num_nodes=2,
                           gpus_per_node=8, interconnect="ib", results=rows,
                           threshold=cs.Threshold(150.0, 80.0), status="fail",
                           error="all_gather_perf: exit 1")
    d = report.to_dict()
    assert d == {
        "schema_version": 1, "gpu_type": "H100_SXM", "scope": "multi", "num_nodes": 2,
        "gpus_per_node": 8, "interconnect": "ib",
        "results": [dict(zip(RESULT_FIELDS, ("all_reduce", 8192, 5.0, 2.5, 30.0, 0))),
                    dict(zip(RESULT_FIELDS, ("broadcast", 16, 0.5, 0.5, 40.0, 2)))],
        "status": "fail", "threshold": {"pass_min_gbps": 150.0, "warn_min_gbps": 80.0},
        "error": "all_gather_perf: exit 1",
    }
    assert list(d) == ["schema_version", "gpu_type", "scope", "num_nodes", "gpus_per_node",
                       "interconnect", "results", "status", "threshold", "error"]
    assert json.loads(json.dumps(d)) == d
    # the dictionary is a copy: changing it leaves the report alone
    assert d["results"] is not report.results
    d["results"].clear()
    d["threshold"]["pass_min_gbps"] = 0.0
    assert len(report.results) == 2 and report.threshold.pass_min_gbps == 150.0


def test_report_dictionary_calls_each_rows_to_dict(cs):
    class Duck:
        def __init__(self, tag):
            self.tag = tag

        def to_dict(self):
            return {"tag": self.tag}

    report = cs.NcclReport(results=[Duck(1), Duck(2)])
    assert report.to_dict()["results"] == [{"tag": 1}, {"tag": 2}]
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
        ([("all_reduce", 5.0), ("all_reduce", 80.5), ("all_reduce", 360.2)], 360.2),
        ([("all_reduce", 5.0), ("all_gather", 400.0), ("all_reduce", 360.2),
          ("all_reduce", 80.5)], 360.2),
        ([("All_Reduce", 900.0), ("all_reduce_perf", 800.0), ("all_reduce", 1.5)], 1.5),
        ([("all_reduce ", 900.0)], None),
        ([("all_reduce", 300)], 300.0),
        ([("all_reduce", True)], 1.0),
        ([("all_reduce", -1.0), ("all_reduce", -3.0)], -1.0),
    ],
)
def test_headline(cs, rows, expected):
    report = cs.NcclReport(results=[row(cs, c, busbw=b) for c, b in rows])
    got = report.headline_all_reduce_busbw()
    assert got == expected
    if expected is not None:
        assert type(got) is float


def test_headline_with_example_sizes(cs):
    report = cs.NcclReport(results=[
        row(cs, "all_reduce", 8192, 5.0), row(cs, "all_reduce", 131072, 80.5),
        row(cs, "all_reduce", 134217728, 360.2), row(cs, "all_gather", 134217728, 400.0)])
    assert report.headline_all_reduce_busbw() == 360.2


@pytest.mark.parametrize(
    "values, expected_sign",
    [((0.0, -0.0), 1.0), ((-0.0, 0.0), -1.0)],
)
def test_headline_keeps_the_first_of_equal_maxima(cs, values, expected_sign):
    report = cs.NcclReport(results=[row(cs, busbw=v) for v in values])
    assert math.copysign(1.0, report.headline_all_reduce_busbw()) == expected_sign


def test_headline_with_nan(cs):
    first_nan = cs.NcclReport(results=[row(cs, busbw=math.nan), row(cs, busbw=1.0)])
    assert math.isnan(first_nan.headline_all_reduce_busbw())
    later_nan = cs.NcclReport(results=[row(cs, busbw=1.0), row(cs, busbw=math.nan)])
    assert later_nan.headline_all_reduce_busbw() == 1.0


@pytest.mark.parametrize(
    "values, message",
    [((None,), "Expected float, got NoneType"), (("12",), "Expected float, got str"),
     (("a", "b"), "Expected float, got str"), ((None, 1.0), None), ((1.0, "x"), None)],
)
def test_headline_errors(cs, values, message):
    report = cs.NcclReport(results=[row(cs, busbw=v) for v in values])
    with pytest.raises(TypeError) as exc:
        report.headline_all_reduce_busbw()
    if message is not None:
        assert str(exc.value) == message


def test_headline_ignores_other_collectives_with_bad_values(cs):
    report = cs.NcclReport(results=[row(cs, "all_gather", busbw=None), row(cs, busbw=2.0)])
    assert report.headline_all_reduce_busbw() == 2.0
