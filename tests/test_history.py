"""The run history on real SQLite files, and the commands that read it."""
import json
import sqlite3
import subprocess
import sys

import pytest

from history_records import emulated_report, wrap
from quorvane import analysis
from quorvane.cli import main
from quorvane.history import History, HistoryError

DAY = "2026-12-0{}T10:00:00+00:00"


@pytest.fixture(scope="module")
def report():
    return emulated_report()


@pytest.fixture
def db(tmp_path, monkeypatch):
    path = tmp_path / "h.sqlite3"
    monkeypatch.setenv("QUORVANE_DB", str(path))
    return path


def fill(path, report, scales, **kw):
    with History(path) as h:
        return [h.add(wrap(report, scale=s, started_at=DAY.format(i + 1), **kw)) for i, s in enumerate(scales)]


def run(capsys, *argv):
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("argv, expected", [
    ([], [4, 3, 2, 1]),
    (["--host", "b"], [4, 2]),
    (["--host", "c"], [4]),
    (["--gpu-type", "H200"], [4]),
    (["--since", "2026-12-03"], [4, 3]),
    (["--since", "2026-12-03T11:00+01:00"], [4, 3]),
    (["--limit", "1"], [4]),
])
def test_history_filters(db, report, capsys, argv, expected):
    with History(db) as h:
        for day, hosts, gpu in [(1, ["a"], None), (2, ["a", "b"], None), (3, ["a"], None), (4, ["b", "c"], "H200")]:
            h.add(wrap(report, started_at=DAY.format(day), hosts=hosts, gpu_type=gpu))
    status, out, _ = run(capsys, "history", "--json", "-", *argv)
    assert status == 0 and [r["id"] for r in json.loads(out)["runs"]] == expected
    status, out, _ = run(capsys, "history", *argv)
    lines = out.splitlines()[1:]
    more = 4 - len(expected) if "--limit" in argv else 0      # a limited listing says how many it left out
    assert [int(line.split()[0]) for line in lines[:len(expected)]] == expected
    assert lines[len(expected):] == ([f"... and {more} older runs (--all lists them, --limit N shows N)"]
                                     if more else [])


def test_two_processes_write_at_once(db, report):
    record = json.dumps(wrap(report))
    code = ("import json,sys; from quorvane.history import History\n"
            "with History(sys.argv[1]) as h:\n"
            "    for _ in range(40): h.add(json.loads(sys.argv[2]))")
    procs = [subprocess.Popen([sys.executable, "-c", code, str(db), record]) for _ in range(2)]
    assert [p.wait(timeout=60) for p in procs] == [0, 0]
    with History(db) as h:
        assert len(h.runs()) == 80
    assert sqlite3.connect(db).execute("PRAGMA integrity_check").fetchone() == ("ok",)


def test_busy_history_gives_up_with_one_line(db, report):
    fill(db, report, [1])
    holder = sqlite3.connect(db, isolation_level=None)
    holder.execute("BEGIN IMMEDIATE")
    with History(db, busy_timeout_s=0.2) as h, pytest.raises(HistoryError, match="busy"):
        h.add(wrap(report))
    holder.execute("ROLLBACK")


def _garbage(path, report):
    path.write_bytes(b"a,b,c\n1,2,3\n")


def _foreign(path, report):
    conn = sqlite3.connect(path)
    conn.execute("CREATE TABLE notes (text TEXT)")
    conn.commit()
    conn.close()


def _damaged(path, report):
    with History(path) as h:
        for _ in range(30):
            h.add(wrap(report))
    data = bytearray(path.read_bytes())
    data[100:4096 * 3] = b"\xff" * (4096 * 3 - 100)   # the schema pages
    path.write_bytes(bytes(data))


def _newer(path, report):
    with History(path):
        pass
    conn = sqlite3.connect(path)
    conn.execute("UPDATE schema_version SET version = 99")
    conn.commit()
    conn.close()


@pytest.mark.parametrize("make, message", [
    (_garbage, "not an SQLite database"),
    (_foreign, "another program"),
    (_damaged, "damaged"),
    (_newer, "newer quorvane"),
])
def test_refused_files_are_left_as_they_are(db, report, capsys, make, message):
    make(db, report)
    before = db.read_bytes()
    for argv in (["history"], ["report", "--html", str(db.parent / "r.html")]):
        status, out, err = run(capsys, *argv)
        assert status == 4 and message in err and len(err.strip().splitlines()) == 1, err
    with pytest.raises(HistoryError, match=message):
        History(db).add(wrap(report))
    assert db.read_bytes() == before


# The first schema as shipped: files written by it must still open.
FIRST_SCHEMA = """
CREATE TABLE schema_version (version INTEGER NOT NULL);
INSERT INTO schema_version VALUES (1);
CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, kind TEXT NOT NULL, started_at TEXT NOT NULL,
    hosts TEXT NOT NULL, gpu_type TEXT, scope TEXT, verdict TEXT, headline_gbps REAL, headline_size INTEGER,
    tool_version TEXT, record TEXT NOT NULL);
CREATE INDEX runs_started ON runs (started_at);
PRAGMA application_id = 1364610632;
"""


def test_migration_from_the_first_schema(db, report, capsys):
    conn = sqlite3.connect(db)
    conn.executescript(FIRST_SCHEMA)
    for i, host in enumerate(["x", "y"]):
        rec = wrap(report, host=host, started_at=DAY.format(i + 1), versions={"nccl_library": "22902"})
        conn.execute("INSERT INTO runs (kind, started_at, hosts, gpu_type, scope, verdict, headline_gbps, "
                     "headline_size, tool_version, record) VALUES (?,?,?,?,?,?,?,?,?,?)",
                     ("sweep", rec["started_at"], json.dumps(rec["hosts"]), "H100_SXM", "intra", "pass",
                      348.07, 33554432, "0.1.0", json.dumps(rec)))
    conn.commit()
    conn.close()
    status, out, _ = run(capsys, "history", "--host", "y", "--json", "-")
    assert status == 0
    [row] = json.loads(out)["runs"]
    assert (row["id"], row["nccl_version"]) == (2, "22902")
    with History(db) as h:
        assert h.add(wrap(report)) == 3


@pytest.mark.parametrize("scale, argv, status", [
    (0.96, [], 0),
    (0.94, [], 1),
    (0.94, ["--tolerance", "7"], 0),
    (1.20, [], 0),
])
def test_compare_exit_status(db, report, capsys, tmp_path, scale, argv, status):
    fill(db, report, [1.0])
    later = tmp_path / "later.json"
    later.write_text(json.dumps(wrap(report, scale=scale)))
    got, out, _ = run(capsys, "compare", "1", str(later), *argv)
    assert got == status and ("REGRESSED" in out) == bool(status)


@pytest.mark.parametrize("argv, message", [
    (["compare", "7", "1"], "no run 7"),
    (["compare", "1", "missing.json"], "cannot read"),
    (["compare", "1", "bad.json"], "not a quorvane record"),
    (["compare", "1", "1", "--tolerance", "100"], "tolerance"),
    (["history", "--since", "last week"], "--since"),
])
def test_bad_input_is_one_usage_line(db, report, capsys, monkeypatch, argv, message):
    fill(db, report, [1.0])
    monkeypatch.chdir(db.parent)
    (db.parent / "bad.json").write_text('{"collectives": [{"collective": "x", "rows": [{"busbw_gbps": "fast"}]}]}')
    status, _, err = run(capsys, *argv)
    assert status == 64 and message in err and len(err.strip().splitlines()) == 1


def test_compare_points():
    a = [("all_reduce", 8, 10.0), ("all_reduce", 16, 100.0), ("all_reduce", 16, 90.0), ("broadcast", 8, 5.0)]
    b = [("all_reduce", 8, 9.4), ("all_reduce", 16, 96.0), ("all_gather", 8, 1.0)]
    got = analysis.compare_busbw(a, b, 5.0)
    changes = {(c.collective, c.size_bytes): (c.change_pct, c.regressed) for c in got.changes}
    assert changes[("all_reduce", 8)] == (pytest.approx(-6.0), True)
    assert changes[("all_reduce", 16)] == (pytest.approx(-4.0), False)   # the best of a run counts
    assert changes[("broadcast", 8)] == (None, False) and changes[("all_gather", 8)] == (None, False)
    assert got.regressed and got.worst_change_pct == pytest.approx(-6.0)


@pytest.mark.parametrize("headlines, cutoffs", [
    ([300, 298, 302], (285.0, 240.0)),                       # tight: 5 % below the median
    ([300, 292, 308, 300, 300, 292, 308], (264.4, 240.0)),  # spread 11.86: 3 spreads widen the margin
    ([300, 200, 400, 300, 100], (255.0, 240.0)),             # wild: never more than 15 % below
    ([300, 301, 299, 30], (284.5, 239.6)),                   # one sick host moves little
    ([300, 300], None),                             # too few
])
def test_baseline_rule(headlines, cutoffs):
    got = analysis.baseline_cutoffs(headlines, 3)
    assert (got if got is None else (got.pass_min_gbps, got.warn_min_gbps)) == cutoffs


def test_baseline_overrides_are_accepted_as_they_are(db, report, capsys, monkeypatch, cs):
    fill(db, report, [0.80, 0.82, 0.84], versions={"nccl_library": "21805"})
    fill(db, report, [0.85, 0.86], versions={"nccl_library": "22902"})
    with History(db) as h:
        h.add(wrap(report, scale=0.86, started_at=DAY.format(7), versions={"nccl_library": "22902"}))
    status, out, err = run(capsys, "baseline", "--emit-overrides")   # nothing real: emulated, said so
    assert status == 0 and "21805" in err and "come from emulated runs" in err   # older NCCL named, not emitted
    assert run(capsys, "baseline", "--emulated", "--emit-overrides")[1] == out
    doc = json.loads(out)
    median = 0.86 * 348.07
    assert doc == {"H100_SXM:intra": {"pass_min_gbps": pytest.approx(median * 0.95, abs=0.1),
                                      "warn_min_gbps": pytest.approx(median * 0.80, abs=0.1)}}
    monkeypatch.setenv("QUORVANE_NCCL_THRESHOLD_OVERRIDES", out)
    thr = cs.threshold_for("H100_SXM", "intra")
    assert (thr.pass_min_gbps, thr.warn_min_gbps) == tuple(doc["H100_SXM:intra"].values())
    assert main(["thresholds"]) == 0
    capsys.readouterr()
    fill(db, report, [0.70, 0.70, 0.70], emulated=False, versions={"nccl_library": "22902"})
    status, out, err = run(capsys, "baseline", "--emit-overrides")   # real runs, once there, rule alone
    assert status == 0 and "emulated" not in err
    assert json.loads(out)["H100_SXM:intra"]["pass_min_gbps"] == pytest.approx(0.70 * 348.07 * 0.95, abs=0.1)


@pytest.mark.skipif(not hasattr(analysis, "read_output"), reason="the sweep needs the field reader")
@pytest.mark.parametrize("extra, recorded", [([], 1), (["--no-record"], 0)])
def test_sweep_records_itself(db, tmp_path, extra, recorded):
    done = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                           "H100_SXM", "--json", str(tmp_path / "r.json"), *extra],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    with History(db) as h:
        runs = h.runs()
        assert len(runs) == recorded
        if recorded:
            assert f"recorded as run {runs[0]['id']}" in done.stderr
            assert h.get(runs[0]["id"]) == json.loads((tmp_path / "r.json").read_text())


def test_non_finite_numbers_are_stored_as_null(db, report):
    record = wrap(report)
    record["collectives"][0]["rows"][0]["busbw_gbps"] = float("inf")
    record["report"]["results"][0]["busbw_gbps"] = float("nan")
    with History(db) as h:
        got = h.get(h.add(record))
    assert got["collectives"][0]["rows"][0]["busbw_gbps"] is None is got["report"]["results"][0]["busbw_gbps"]
