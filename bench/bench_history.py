"""Cost of the run history, timed side by side in one run.

SQLite part (always):
  sweep           `quorvane sweep --emulate --gpus 8 --no-record` (the whole command, its own process)
  sweep + record  the same command recording itself into a history
  --version       `quorvane --version`: the yardstick of the commands below
  history         `quorvane history` over the big history (own process, output to /dev/null): as typed
                  (the newest 100), filtered by --host, --gpu-type and --since, --all and --json -
  baseline        `quorvane baseline` over the big history
  report --html   `quorvane report --html` of the newest run (site band over the big history)

The big history holds --runs runs (default 100,000), a fifth of them 1,024-host
fleet records. Targets: recording adds under 5 % to an emulated sweep;
`baseline` and `report --html` each within 5x `quorvane --version` and under
100 MB peak resident memory (wait4's ru_maxrss).

PostgreSQL part (with --pg URL, or $QUORVANE_TEST_PG; each in a schema of its own, dropped after):
  sweep + record  the emulated sweep recording into PostgreSQL, against the same sweep unrecorded
  history         the default listing over --pg-rows rows (default 1,000,000, made with INSERT ...
                  SELECT generate_series), against `quorvane --version`
Targets: recording adds under 5 %; the listing within 3x `quorvane --version`.

Medians of interleaved repetitions; ratios printed beside each figure. Not part
of the test run:

  python3 bench/bench_history.py [--reps N] [--runs N] [--pg URL] [--pg-rows N] [--skip-sqlite]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from datetime import datetime, timedelta, timezone
from pathlib import Path
from urllib.parse import quote

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from history_records import emulated_report, wrap  # noqa: E402

from quorvane.history import History  # noqa: E402

SWEEP = ["sweep", "--emulate", "--gpus", "8", "--gpu-type", "H100_SXM"]
FLEET_HOSTS = 1024


# Commands are started by a small helper process started first: a child's peak
# resident size (ru_maxrss) counts the memory of the process it was forked
# from, and this one grows to hold the histories it builds.
_SPAWNER = """
import json, os, subprocess, sys, time
for line in sys.stdin:
    argv, env = json.loads(line)
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    print(json.dumps([time.perf_counter() - start, usage.ru_maxrss, os.waitstatus_to_exitcode(status),
                      err.decode(errors="replace")[-300:]]), flush=True)
"""
_spawner: subprocess.Popen | None = None


def command(*argv: str, env: dict[str, str]) -> tuple[float, float]:
    """(wall seconds, peak resident MiB) of one quorvane command."""
    global _spawner
    if _spawner is None:
        _spawner = subprocess.Popen([sys.executable, "-c", _SPAWNER], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)
    assert _spawner.stdin and _spawner.stdout
    _spawner.stdin.write(json.dumps([[sys.executable, "-m", "quorvane", *argv], env]) + "\n")
    _spawner.stdin.flush()
    seconds, maxrss_kb, status, err = json.loads(_spawner.stdout.readline())
    if status not in (0, 1):
        raise RuntimeError(f"{' '.join(argv)}: {err}")
    return seconds, maxrss_kb / 1024


def sweep_record(folder: Path) -> dict:
    """The record a sweep writes (the real one where the command runs here)."""
    target = folder / "r.json"
    done = subprocess.run([sys.executable, "-m", "quorvane", *SWEEP, "--no-record", "--json", str(target)],
                          capture_output=True, timeout=120)
    if done.returncode in (0, 1) and target.exists():
        return json.loads(target.read_text())
    return wrap(emulated_report())


def fleet_record(record: dict, rng: random.Random) -> dict:
    """A 1,024-host fleet record: every host alone and paired."""
    hosts = [f"gpu{i:04d}" for i in range(FLEET_HOSTS)]
    return {**record, "kind": "fleet", "scope": "multi", "hosts": hosts, "num_nodes": FLEET_HOSTS,
            "collectives": [], "headline": None, "verdict": "pass",
            "fleet": {"hosts": [{"host": h, "alone_gbps": round(rng.uniform(300, 360), 2),
                                 "paired_with": hosts[(i + 1) % FLEET_HOSTS],
                                 "pair_gbps": round(rng.uniform(40, 48), 2), "verdict": "pass", "kind": None}
                                for i, h in enumerate(hosts)]}}


def fill(path: Path, record: dict, runs: int) -> None:
    """runs runs in time order, about one every 15 minutes, every fifth a fleet:
    one sweep and one fleet recorded through the store, then copied in SQL
    (other hosts, GPU types, times and bandwidths), records and points included."""
    rng = random.Random(7)
    seed = {**record, "started_at": "2023-12-31T00:00:00+00:00"}
    with History(path) as h:
        seed_sweep = h.add(seed)
        seed_fleet = h.add(fleet_record(seed, rng))
    conn = sqlite3.connect(path)
    conn.executescript(f"""
        PRAGMA synchronous = OFF;
        BEGIN;
        CREATE TEMP TABLE n (i INTEGER PRIMARY KEY);
        WITH RECURSIVE c(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM c WHERE i < {runs - 3})
        INSERT INTO n SELECT i FROM c;
        INSERT INTO runs (id, kind, started_at, hosts, gpu_type, scope, verdict, headline_gbps, headline_size,
                          tool_version, nccl_version, nccl_tests_version, emulated)
        SELECT 10 + n.i, s.kind,
               strftime('%Y-%m-%dT%H:%M:%S+00:00', '2024-01-01', '+' || (15 * n.i) || ' minutes'),
               CASE WHEN s.kind = 'fleet' THEN s.hosts
                    ELSE '["gpu' || printf('%04d', (n.i * 7919) % 500) || '"]' END,
               CASE WHEN s.kind = 'fleet' THEN s.gpu_type
                    ELSE (CASE n.i % 3 WHEN 0 THEN 'H100_SXM' WHEN 1 THEN 'H200' ELSE 'A100_SXM' END) END,
               s.scope, s.verdict, s.headline_gbps * (0.9 + (n.i % 21) / 100.0), s.headline_size,
               s.tool_version, s.nccl_version, s.nccl_tests_version, s.emulated
        FROM n JOIN runs s ON s.id = CASE WHEN n.i % 5 = 4 THEN {seed_fleet} ELSE {seed_sweep} END;
        INSERT INTO run_records (run_id, record)
        SELECT r.id, s.record FROM runs r JOIN run_records s
          ON s.run_id = CASE WHEN r.kind = 'fleet' THEN {seed_fleet} ELSE {seed_sweep} END WHERE r.id >= 10;
        INSERT INTO run_points (run_id, size_bytes, busbw_gbps)
        SELECT r.id, p.size_bytes, p.busbw_gbps * (0.9 + (r.id % 21) / 100.0)
          FROM runs r JOIN run_points p ON p.run_id = {seed_sweep} WHERE r.kind = 'sweep' AND r.id >= 10;
        INSERT INTO run_hosts (host, run_id)
        SELECT substr(hosts, 3, 7), id FROM runs WHERE kind = 'sweep' AND id >= 10 ORDER BY 1, 2;
        INSERT INTO run_hosts (host, run_id)
        SELECT h.host, r.id FROM run_hosts h JOIN runs r ON r.kind = 'fleet' AND r.id >= 10
         WHERE h.run_id = {seed_fleet} ORDER BY 1, 2;
        COMMIT;
    """)
    conn.close()


def show(title: str, times: dict[str, list[tuple[float, float]]], base_name: str) -> None:
    base = statistics.median(t for t, _ in times[base_name])
    print(title)
    print(f"{'':52} {'seconds':>9} {'x ' + base_name:>14} {'peak MiB':>9}")
    for name, values in times.items():
        m = statistics.median(t for t, _ in values)
        print(f"{name:52} {m:9.4f} {m / base:14.2f} {max(r for _, r in values):9.1f}")


def sqlite_part(args: argparse.Namespace, folder: Path) -> None:
    env = {**os.environ, "QUORVANE_DB": str(folder / "sweeps.sqlite3")}
    record = sweep_record(folder)
    sweeps: dict[str, list[tuple[float, float]]] = {"sweep": [], "sweep + record": []}
    for _ in range(args.reps):                 # alternate, so drift hits both alike
        sweeps["sweep"].append(command(*SWEEP, "--no-record", env=env))
        sweeps["sweep + record"].append(command(*SWEEP, env=env))
    show("emulated sweep, recorded into SQLite or not", sweeps, "sweep")
    added = statistics.median(t for t, _ in sweeps["sweep + record"]) / statistics.median(
        t for t, _ in sweeps["sweep"]) - 1
    print(f"recording adds {added:+.1%} to the sweep (target: under 5%)\n")

    big = folder / "big.sqlite3"
    start = time.perf_counter()
    fill(big, record, args.runs)
    built = time.perf_counter() - start
    size_mb = big.stat().st_size / 2**20
    big_env = {**os.environ, "QUORVANE_DB": str(big)}
    with sqlite3.connect(big) as conn:
        newest_sweep = str(conn.execute("SELECT max(id) FROM runs WHERE kind = 'sweep'").fetchone()[0])
    queries = {
        "--version": ["--version"],
        f"history ({args.runs:,} runs: the newest 100)": ["history"],
        "history --host gpu0042": ["history", "--host", "gpu0042"],
        "history --gpu-type H200 --since 2026-06-01": ["history", "--gpu-type", "H200", "--since", "2026-06-01"],
        "baseline": ["baseline"],
        "report --html (the newest sweep)": ["report", newest_sweep, "--html", str(folder / "r.html")],
        f"history --json - ({args.runs:,} objects)": ["history", "--json", "-"],
    }
    times: dict[str, list[tuple[float, float]]] = {name: [] for name in queries}
    for _ in range(args.reps):
        for name, argv in queries.items():
            times[name].append(command(*argv, env=big_env))
    show(f"SQLite history of {args.runs:,} runs ({args.runs // 5:,} of them {FLEET_HOSTS:,}-host fleets; "
         f"built in {built:.0f} s, {size_mb:.0f} MiB)", times, "--version")
    version = statistics.median(t for t, _ in times["--version"])
    for name in ("baseline", "report --html (the newest sweep)"):
        m = statistics.median(t for t, _ in times[name])
        peak = max(r for _, r in times[name])
        print(f"{name}: {m / version:.2f}x --version (target within 5x), peak {peak:.0f} MiB (target under 100)")
    print()


def pg_part(args: argparse.Namespace, folder: Path) -> None:
    import psycopg

    schemas = [f"bench_{uuid.uuid4().hex[:12]}" for _ in range(2)]
    with psycopg.connect(args.pg, autocommit=True) as conn:
        for schema in schemas:
            conn.execute(f"CREATE SCHEMA {schema}")
    urls = [args.pg + ("&" if "?" in args.pg else "?") + "options=" + quote(f"-csearch_path={s}")
            for s in schemas]
    try:
        env = {**os.environ, "QUORVANE_DB": urls[0]}
        sweeps: dict[str, list[tuple[float, float]]] = {"sweep": [], "sweep + record (PostgreSQL)": []}
        command(*SWEEP, env=env)                  # creates the schema once, as a site's first run does
        for _ in range(args.reps):
            sweeps["sweep"].append(command(*SWEEP, "--no-record", env=env))
            sweeps["sweep + record (PostgreSQL)"].append(command(*SWEEP, env=env))
        show("emulated sweep, recorded into PostgreSQL or not", sweeps, "sweep")
        added = statistics.median(t for t, _ in sweeps["sweep + record (PostgreSQL)"]) / statistics.median(
            t for t, _ in sweeps["sweep"]) - 1
        print(f"recording into PostgreSQL adds {added:+.1%} to the sweep (target: under 5%)\n")

        with History(urls[1]):
            pass                                   # the schema, made by the store itself
        start = time.perf_counter()
        with psycopg.connect(urls[1], autocommit=True) as conn:
            conn.execute(
                "INSERT INTO runs (kind, started_at, hosts, gpu_type, scope, verdict, headline_gbps, "
                "headline_size, tool_version, nccl_version, emulated) "
                "SELECT (ARRAY['sweep', 'grade', 'fleet'])[1 + i %% 3], "
                "       to_char(timestamp '2020-01-01' + i * interval '1 minute', "
                "               'YYYY-MM-DD\"T\"HH24:MI:SS\"+00:00\"'), "
                "       '[\"gpu' || lpad((i %% 500)::text, 4, '0') || '\"]', "
                "       (ARRAY['H100_SXM', 'H200', 'A100_SXM'])[1 + i %% 3], 'intra', 'pass', "
                "       300 + (i %% 97), 33554432, '0.1.0', '22902', 1 "
                "FROM generate_series(1, %s) AS i", (args.pg_rows,))
            conn.execute("INSERT INTO run_hosts (host, run_id) SELECT substr(hosts, 3, 7), id FROM runs")
            conn.execute("INSERT INTO run_records (run_id, record) SELECT id, '{}' FROM runs")
            conn.execute("ANALYZE")
        built = time.perf_counter() - start
        env = {**os.environ, "QUORVANE_DB": urls[1]}
        times: dict[str, list[tuple[float, float]]] = {"--version": [], f"history ({args.pg_rows:,} rows)": [],
                                                       "history --host gpu0042": []}
        for _ in range(args.reps):
            times["--version"].append(command("--version", env=env))
            times[f"history ({args.pg_rows:,} rows)"].append(command("history", env=env))
            times["history --host gpu0042"].append(command("history", "--host", "gpu0042", env=env))
        show(f"PostgreSQL history of {args.pg_rows:,} runs (made in {built:.0f} s)", times, "--version")
        ratio = statistics.median(t for t, _ in times[f"history ({args.pg_rows:,} rows)"]) / statistics.median(
            t for t, _ in times["--version"])
        print(f"history over {args.pg_rows:,} PostgreSQL rows: {ratio:.2f}x --version (target within 3x)\n")
    finally:
        with psycopg.connect(args.pg, autocommit=True) as conn:
            for schema in schemas:
                conn.execute(f"DROP SCHEMA {schema} CASCADE")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=11)
    parser.add_argument("--runs", type=int, default=100_000)
    parser.add_argument("--pg", default=os.environ.get("QUORVANE_TEST_PG"),
                        help="a PostgreSQL server to measure too (default: $QUORVANE_TEST_PG)")
    parser.add_argument("--pg-rows", type=int, default=1_000_000)
    parser.add_argument("--skip-sqlite", action="store_true")
    args = parser.parse_args()
    command("--version", env=dict(os.environ))       # the helper starts while this process is small
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as tmp:
        if not args.skip_sqlite:
            sqlite_part(args, Path(tmp))
        if args.pg:
            pg_part(args, Path(tmp))
        else:
            print("PostgreSQL part skipped (no --pg URL and no $QUORVANE_TEST_PG)")


if __name__ == "__main__":
    main()
