"""What the command line costs around the work it does, as ratios measured side
by side in one run (medians of interleaved runs, wall time of whole processes):

  start-up  `quorvane --version` against `python3 -c pass`        (target: within 4x)
  sweep     `quorvane sweep --emulate --gpus 8 --no-record` against its four
            stand-in programs run bare with the same command lines  (target: within 1.5x)
  grade     `quorvane grade` of a 100,000-row output against the reader alone on
            the same text plus start-up (`quorvane --version`)     (target: within 3x)
  record    writing a 4,096-host fleet record (JSON, to a file) against
            json.dumps of the same data                            (target: within 2x)

Not part of the test run; run it with the package installed:

  python3 bench/bench_cli.py [--reps N]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import quorvane.analysis as qa
import quorvane.collsweep as cs
from quorvane.cli.common import write_atomic
from quorvane.cli.emulate import emulated_binaries

try:
    from quorvane.record import strict_json
except ImportError:   # an older layout, for before/after figures
    from quorvane.cli.common import strict_json

PY = sys.executable


def wall(command, env=None):
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env, check=True,
                   timeout=120)
    return time.perf_counter() - started


def interleaved(reps, **cases):
    """Median wall time of each case, run in turn so that none always goes first."""
    times = {name: [] for name in cases}
    order = list(cases.items())
    for fn in cases.values():
        fn()  # warm the file cache
    for _ in range(reps):
        order.reverse()
        for name, fn in order:
            times[name].append(fn())
    return {name: statistics.median(t) for name, t in times.items()}


def startup(reps):
    return interleaved(reps, quorvane=lambda: wall([PY, "-m", "quorvane", "--version"]),
                       python=lambda: wall([PY, "-c", "pass"]))


def sweep(reps, gpus=8):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "QUORVANE_"))}
    with emulated_binaries(env) as root:
        cfg = cs._LauncherConfig(binary_root=root)
        commands = [cs._build_binary_command(os.path.join(root, name), gpus, cfg) for name in cs.COLLECTIVES]

        def bare():
            started = time.perf_counter()
            for command in commands:
                subprocess.run(command, capture_output=True, check=True, env=env, timeout=60)
            return time.perf_counter() - started

        return interleaved(reps, bare=bare, sweep=lambda: wall(
            [PY, "-m", "quorvane", "sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus", str(gpus),
             "--no-record"], env=env))


def output(rows):
    """An all_reduce output of `rows` rows, 8 bytes apart, as nccl-tests prints it."""
    head = ("# nccl-tests version 2.18.0 nccl-headers=22907 nccl-library=22907\n"
            "# Collective test starting: all_reduce_perf\n"
            f"# nThread 1 nGpus 2 minBytes 8 maxBytes {8 * rows} step: 8(bytes) warmup iters: 5 iters: 20\n"
            "#  Rank  0 Group  0 Pid  1 on  node01 device  0 [0000:1b:00] NVIDIA H100 80GB HBM3\n"
            "#  Rank  1 Group  0 Pid  1 on  node01 device  1 [0000:43:00] NVIDIA H100 80GB HBM3\n"
            "#       size         count      type   redop    root     time   algbw   busbw  #wrong     time   algbw"
            "   busbw  #wrong\n")
    body = "".join(f"{8 * (i + 1):>12} {2 * (i + 1):>13}     float     sum      -1    10.00    0.00  "
                   f"{300 + i % 50:.2f}       0    10.20    0.00  {299 + i % 50:.2f}       0\n" for i in range(rows))
    return head + body + "# Out of bounds values : 0 OK\n# Avg bus bandwidth    : 1.0\n"


def grade(reps, rows=100_000):
    text = output(rows)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "all_reduce.txt")
        with open(path, "w") as f:
            f.write(text)

        def reader():
            started = time.perf_counter()
            reading = qa.read_output(text, "all_reduce")
            assert len(reading.rows) == rows
            return time.perf_counter() - started

        m = interleaved(reps, reader=reader, startup=lambda: wall([PY, "-m", "quorvane", "--version"]),
                        grade=lambda: wall([PY, "-m", "quorvane", "grade", path, "--gpu-type", "H100_SXM",
                                            "--no-record"]))
    m["rows"] = rows
    return m


def fleet_record(hosts=4096, seed_hosts=16):
    """A fleet record of `hosts` hosts: an emulated fleet of `seed_hosts`
    hosts, its per-host and per-pair parts repeated under new names."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "QUORVANE_"))}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fleet.json")
        subprocess.run([PY, "-m", "quorvane", "fleet", "--emulate", "--hosts", f"h[001-{seed_hosts:03d}]",
                        "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--no-record", "--json", path],
                       env=env, capture_output=True, check=True, timeout=300)
        with open(path) as f:
            seed = json.load(f)
    times = hosts // seed_hosts
    record = dict(seed)
    record["hosts"] = [f"gpu{i:05d}" for i in range(hosts)]
    record["num_nodes"] = hosts
    for key in ("hosts", "pair_results"):
        record[key] = [json.loads(json.dumps(item).replace('"h0', f'"r{n}h0')) for n in range(times)
                       for item in seed[key]]
    return record


def record_write(reps):
    record = fleet_record()
    with tempfile.TemporaryDirectory() as tmp:
        target = os.path.join(tmp, "record.json")

        def write():
            started = time.perf_counter()
            write_atomic(target, strict_json(record))
            return time.perf_counter() - started

        def dumps():
            started = time.perf_counter()
            json.dumps(record)
            return time.perf_counter() - started

        m = interleaved(reps, write=write, dumps=dumps)
        m["bytes"] = os.path.getsize(target)
    return m


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--only", choices=["startup", "sweep", "grade", "record"])
    args = parser.parse_args()
    print(f"python {sys.version.split()[0]}, {args.reps} reps, medians of interleaved runs")
    if args.only in (None, "startup"):
        m = startup(args.reps)
        print(f"start-up  quorvane --version {m['quorvane'] * 1e3:7.1f} ms   python -c pass {m['python'] * 1e3:7.1f} ms"
              f"   ratio {m['quorvane'] / m['python']:.2f} (target <= 4)")
    if args.only in (None, "sweep"):
        m = sweep(max(3, args.reps // 3))
        print(f"sweep     emulated sweep {m['sweep'] * 1e3:7.1f} ms   stand-ins bare {m['bare'] * 1e3:7.1f} ms"
              f"   ratio {m['sweep'] / m['bare']:.2f} (target <= 1.5)")
    if args.only in (None, "grade"):
        m = grade(max(3, args.reps // 3))
        base = m["reader"] + m["startup"]
        print(f"grade     {m['rows']:,} rows {m['grade'] * 1e3:7.1f} ms   reader {m['reader'] * 1e3:7.1f} ms + "
              f"start-up {m['startup'] * 1e3:6.1f} ms   ratio {m['grade'] / base:.2f} (target <= 3)")
    if args.only in (None, "record"):
        m = record_write(args.reps)
        print(f"record    4,096-host fleet record, {m['bytes'] / 1e6:.1f} MB: written {m['write'] * 1e3:7.1f} ms   "
              f"json.dumps {m['dumps'] * 1e3:7.1f} ms   ratio {m['write'] / m['dumps']:.2f} (target <= 2)")


if __name__ == "__main__":
    main()
