"""`quorvane compare` as users run it: what is judged, what is refused, and what each exit status says."""
import copy
import json
import math

import pytest

from history_records import emulated_report, wrap
from quorvane import analysis
from quorvane.cli import main


@pytest.fixture(scope="module")
def report():
    return emulated_report()


def write(tmp_path, name, record):
    path = tmp_path / name
    path.write_text(json.dumps(record))     # NaN and Infinity as Python writes them
    return str(path)


def compare(capsys, *argv):
    status = main(["compare", *map(str, argv), "--json", "-"])
    out, err = capsys.readouterr()
    return status, (json.loads(out) if out.strip().startswith("{") else None), err


def scaled(record, collective, size, factor):
    """The record with one row's bus bandwidth times factor."""
    record = copy.deepcopy(record)
    for coll in record["collectives"]:
        for row in coll["rows"]:
            if coll["collective"] == collective and row["size_bytes"] == size:
                row["busbw_gbps"] *= factor
    return record


def test_latency_bound_sizes_are_judged_only_when_asked(report, tmp_path, capsys):
    a = wrap(report)
    smallest = min(r["size_bytes"] for r in a["collectives"][0]["rows"])
    b = scaled(a, a["collectives"][0]["collective"], smallest, 0.5)   # the 8 KiB row halves: jitter
    pa, pb = write(tmp_path, "a.json", a), write(tmp_path, "b.json", b)
    status, doc, _ = compare(capsys, pa, pb)
    assert (status, doc["regressed"]) == (0, False) and doc["judged"] > 0
    assert all(not c["judged"] for c in doc["changes"] if c["size_bytes"] == smallest)
    status, doc, _ = compare(capsys, pa, pb, "--all-sizes")
    assert status == 1 and any(c["regressed"] and c["size_bytes"] == smallest for c in doc["changes"])


def test_a_plateau_size_that_falls_is_a_regression(report, tmp_path, capsys):
    a = wrap(report)
    coll = a["collectives"][0]
    best = max(coll["rows"], key=lambda r: r["busbw_gbps"])["size_bytes"]
    status, doc, _ = compare(capsys, write(tmp_path, "a.json", a),
                             write(tmp_path, "b.json", scaled(a, coll["collective"], best, 0.9)))
    assert status == 1 and [c["size_bytes"] for c in doc["changes"] if c["regressed"]] == [best]


def test_a_lost_collective_is_never_a_pass(report, tmp_path, capsys):
    a = wrap(report)
    b = copy.deepcopy(a)
    b["collectives"] = [c for c in b["collectives"] if c["collective"] != "all_reduce"]
    status, doc, _ = compare(capsys, write(tmp_path, "a.json", a), write(tmp_path, "b.json", b))
    assert status == 1 and doc["lost"] == ["all_reduce"] and doc["regressed"]


def test_nothing_to_compare_is_unknown(report, tmp_path, capsys):
    a = wrap(report)
    b = copy.deepcopy(a)
    for coll in a["collectives"]:
        coll["rows"] = []
    status, doc, _ = compare(capsys, write(tmp_path, "a.json", a), write(tmp_path, "b.json", b))
    assert (status, doc["judged"], doc["lost"]) == (3, 0, [])


@pytest.mark.parametrize("value", [math.nan, math.inf, -5.0])
@pytest.mark.parametrize("side", ["a", "b"])
def test_a_value_that_is_no_bandwidth_is_an_error(report, tmp_path, capsys, value, side):
    good = wrap(report)
    bad = copy.deepcopy(good)
    bad["collectives"][0]["rows"][-1]["busbw_gbps"] = value
    a, b = (bad, good) if side == "a" else (good, bad)
    status, doc, err = compare(capsys, write(tmp_path, "a.json", a), write(tmp_path, "b.json", b))
    assert (status, doc) == (4, None)
    assert f"{side}.json: " in err and "is no measurement" in err and len(err.strip().splitlines()) == 1


def test_emulated_against_real_is_refused_unless_asked(report, tmp_path, capsys):
    real = wrap(report, emulated=False)
    pa, pb = write(tmp_path, "emulated.json", wrap(report)), write(tmp_path, "real.json", real)
    status, doc, err = compare(capsys, pa, pb)
    assert (status, doc) == (64, None) and "emulated.json is emulated" in err and "--allow-emulated" in err
    status, doc, _ = compare(capsys, pa, pb, "--allow-emulated")
    assert status == 0 and doc["judged"] > 0


def fleet(report, headlines):
    record = wrap(report, kind="fleet", hosts=list(headlines))
    record["collectives"] = []
    record["host_results"] = [{"host": h, "busbw_gbps": v, "size_bytes": 33554432} for h, v in headlines.items()]
    return record


def test_two_fleets_are_compared_host_by_host(report, tmp_path, capsys):
    a = fleet(report, {"n1": 348.0, "n2": 350.0, "n3": 349.0})
    b = fleet(report, {"n1": 347.0, "n2": 300.0, "n4": 351.0})
    status, doc, _ = compare(capsys, write(tmp_path, "a.json", a), write(tmp_path, "b.json", b))
    assert (status, doc["by"], doc["judged"]) == (1, "host", 2)
    assert {c["host"]: c["regressed"] for c in doc["changes"] if c["judged"]} == {"n1": False, "n2": True}
    assert doc["lost"] == [] and [c["a_gbps"] for c in doc["changes"] if c["host"] == "n3"] == [349.0]


def test_plateau_share_is_checked():
    with pytest.raises(ValueError):
        analysis.compare_busbw([("all_reduce", 8, 1.0)], [("all_reduce", 8, 1.0)], 5.0, 1.5)
