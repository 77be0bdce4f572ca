"""Soak: many processes recording at once into a history that does not exist yet.

Each round names a new history (an SQLite file; with --pg, also a new
PostgreSQL schema); --writers processes wait at a barrier and then all open it
and record one run. After the rounds, every history must hold exactly
--writers runs: it prints, per store, the runs lost, the errors the writers
saw (first lines, counted), and the slowest open-and-record; exits 1 when
anything was lost or refused.

  python3 bench/soak_history.py [--writers 64] [--rounds 20] [--pg URL]
"""
from __future__ import annotations

import argparse
import collections
import json
import multiprocessing
import os
import sys
import tempfile
import time
import uuid
from pathlib import Path
from urllib.parse import quote

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from history_records import emulated_report, wrap  # noqa: E402

from quorvane.history import History, HistoryError  # noqa: E402


def writer(locations: list[str], record: dict, barrier, results) -> None:
    for location in locations:
        barrier.wait(timeout=120)
        start = time.perf_counter()
        try:
            with History(location) as h:
                h.add(record)
            results.put((location, None, time.perf_counter() - start))
        except HistoryError as exc:
            results.put((location, str(exc).splitlines()[0], time.perf_counter() - start))


def soak(name: str, locations: list[str], writers: int, record: dict) -> bool:
    ctx = multiprocessing.get_context("fork")
    barrier = ctx.Barrier(writers)
    results = ctx.Queue()
    start = time.perf_counter()
    procs = [ctx.Process(target=writer, args=(locations, record, barrier, results)) for _ in range(writers)]
    for p in procs:
        p.start()
    got = [results.get(timeout=600) for _ in range(writers * len(locations))]
    for p in procs:
        p.join(timeout=60)
    wall = time.perf_counter() - start
    errors = collections.Counter(e for _, e, _ in got if e)
    lost = 0
    for location in locations:
        with History(location, create=False) as h:
            lost += writers - h.count()
    slowest = max(t for _, _, t in got)
    print(f"{name}: {writers} first writers x {len(locations)} rounds in {wall:.1f} s: "
          f"{writers * len(locations) - lost} of {writers * len(locations)} runs recorded, {lost} lost, "
          f"{sum(errors.values())} refused; slowest open-and-record {slowest:.2f} s")
    for text, count in errors.most_common():
        print(f"  {count} x {text}")
    return lost == 0 and not errors


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--writers", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--pg", default=os.environ.get("QUORVANE_TEST_PG"),
                        help="a PostgreSQL server to soak too (default: $QUORVANE_TEST_PG)")
    args = parser.parse_args()
    record = wrap(emulated_report())
    ok = True
    with tempfile.TemporaryDirectory(prefix="quorvane-soak-") as tmp:
        files = [str(Path(tmp) / f"round{r}" / "history.sqlite3") for r in range(args.rounds)]
        ok &= soak("SQLite", files, args.writers, record)
    if args.pg:
        import psycopg

        schemas = [f"soak_{uuid.uuid4().hex[:12]}" for _ in range(args.rounds)]
        with psycopg.connect(args.pg, autocommit=True) as conn:
            for schema in schemas:
                conn.execute(f"CREATE SCHEMA {schema}")
        try:
            urls = [args.pg + ("&" if "?" in args.pg else "?") + "options=" + quote(f"-csearch_path={s}")
                    for s in schemas]
            ok &= soak("PostgreSQL", urls, args.writers, record)
        finally:
            with psycopg.connect(args.pg, autocommit=True) as conn:
                for schema in schemas:
                    conn.execute(f"DROP SCHEMA {schema} CASCADE")
    print(json.dumps({"ok": ok}))
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
