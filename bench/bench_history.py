"""Cost of the run history, timed side by side in one run:

  sweep           `quorvane sweep --emulate --gpus 8 --no-record` (the whole command, its own process)
  sweep + record  the same command recording itself into a history
  record          open the history, store one sweep's record, close (in process: the part recording adds)
  history         `quorvane history` over 100,000 recorded runs (own process, output to /dev/null):
                  as typed (the newest 100), filtered by --host, --gpu-type and --since, and all
                  of them with --all and --json -

Targets: recording adds under 5 % to an emulated sweep's wall time; `history`
over 100,000 runs answers in well under a second. Medians; the ratio of each to
the emulated sweep is printed beside it. Where the sweep command cannot run, the
sweep is timed through the library with the same stand-in. Not part of the test
run:

  python3 bench/bench_history.py [--reps N] [--runs N]
"""
from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from history_records import emulated_report, wrap  # noqa: E402

from quorvane.history import History  # noqa: E402


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def command(*argv: str, env: dict[str, str]) -> float:
    def go() -> None:
        done = subprocess.run([sys.executable, "-m", "quorvane", *argv], stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, env=env, timeout=120)
        if done.returncode not in (0, 1):
            raise RuntimeError(done.stderr.decode()[-300:])
    return timed(go)


def sweep_record(folder: Path) -> dict:
    """The record a sweep writes (the real one where the command runs here)."""
    target = folder / "r.json"
    done = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                           "H100_SXM", "--no-record", "--json", str(target)], capture_output=True, timeout=120)
    if done.returncode in (0, 1) and target.exists():
        return json.loads(target.read_text())
    return wrap(emulated_report())


def fill(path: Path, record: dict, runs: int) -> None:
    rng = random.Random(7)
    first = datetime(2024, 1, 1, tzinfo=timezone.utc)
    hosts = [f"gpu{i:04d}" for i in range(500)]
    with History(path) as h:
        for start in range(0, runs, 5000):
            batch = []
            for i in range(start, min(runs, start + 5000)):
                r = dict(record)
                # recorded as they happen: in time order, about one run every 15 minutes
                r["started_at"] = (first + timedelta(minutes=15 * i)).isoformat()
                r["hosts"] = [rng.choice(hosts)]
                r["gpu_type"] = rng.choice(["H100_SXM", "H200", "A100_SXM"])
                batch.append(r)
            h.add_many(batch)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=21)
    parser.add_argument("--runs", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorvane-bench-") as tmp:
        folder = Path(tmp)
        env = {**os.environ, "QUORVANE_DB": str(folder / "sweeps.sqlite3")}
        record = sweep_record(folder)
        sweep_argv = ["sweep", "--emulate", "--gpus", "8", "--gpu-type", "H100_SXM"]
        try:
            command(*sweep_argv, "--no-record", env=env)
            plain = lambda: command(*sweep_argv, "--no-record", env=env)          # noqa: E731
            recorded = lambda: command(*sweep_argv, env=env)                      # noqa: E731
            how = "command"
        except RuntimeError:
            from quorvane import collsweep as cs
            from quorvane.cli.emulate import emulated_binaries

            def library_sweep() -> None:
                with emulated_binaries() as root:
                    cs.launch_intra_node(8, "H100_SXM", binary_root=root)
            plain = lambda: timed(library_sweep)                                  # noqa: E731
            recorded = lambda: timed(lambda: (library_sweep(), store()))           # noqa: E731
            how = "library (the sweep command cannot run here)"

        def store() -> None:
            with History(folder / "records.sqlite3") as h:
                h.add(record)

        times: dict[str, list[float]] = {"sweep": [], "sweep + record": [], "record": []}
        for _ in range(args.reps):           # alternate, so drift hits both alike
            times["sweep"].append(plain())
            times["sweep + record"].append(recorded())
            times["record"].append(timed(store))

        big = folder / "big.sqlite3"
        built = timed(lambda: fill(big, record, args.runs))
        size_mb = big.stat().st_size / 2**20
        big_env = {**os.environ, "QUORVANE_DB": str(big)}
        queries = {
            f"history ({args.runs:,} runs: the newest 100)": ["history"],
            "history --host gpu0042": ["history", "--host", "gpu0042"],
            "history --gpu-type H200 --since 2026-06-01": ["history", "--gpu-type", "H200", "--since", "2026-06-01"],
            f"history --all ({args.runs:,} lines)": ["history", "--all"],
            f"history --json - ({args.runs:,} objects)": ["history", "--json", "-"],
        }
        for name, argv in queries.items():
            times[name] = [command(*argv, env=big_env) for _ in range(args.reps)]

    base = statistics.median(times["sweep"])
    print(f"emulated sweep through the {how}; {args.reps} repetitions, medians; "
          f"history of {args.runs:,} runs built in {built:.0f} s ({size_mb:.0f} MiB)")
    print(f"{'':48} {'seconds':>9} {'x sweep':>9}")
    for name, values in times.items():
        m = statistics.median(values)
        print(f"{name:48} {m:9.4f} {m / base:9.3f}")
    added = statistics.median(times["sweep + record"]) - base
    print(f"recording adds {added * 1000:+.1f} ms to the sweep ({added / base:+.1%}; in process the record "
          f"step alone is {statistics.median(times['record']) / base:.1%} of the sweep)")


if __name__ == "__main__":
    main()
