"""What the command line costs around the work it does, as ratios measured side
by side in one run (medians of interleaved runs, wall time of whole processes):

  start-up  `quorvane --version` against `python3 -c pass`        (target: within 4x)
  sweep     `quorvane sweep --emulate --gpus 8 --no-record` against its four
            stand-in programs run bare with the same command lines  (target: within 1.5x)

Not part of the test run; run it with the package installed:

  python3 bench/bench_cli.py [--reps N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

import quorvane.collsweep as cs
from quorvane.cli.emulate import emulated_binaries

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--only", choices=["startup", "sweep"])
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


if __name__ == "__main__":
    main()
