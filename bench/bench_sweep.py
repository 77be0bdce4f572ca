"""Overhead of a single-host sweep over running the benchmark programs by hand.

Installs the stand-in benchmark under the four executable names in a temporary
directory, then times, side by side in one run:

  sweep  launch_intra_node over the four executables (search, command lines,
         runner, parsing, grading)
  bare   the same four command lines run by a plain subprocess.run loop

and prints the median wall time of each and their ratio. For scale it also
times the sweep with a runner that hands back the programs' captured output
at once, i.e. the driver's own work without any process. bench/run.py calls
measure() for its table. Not part of the test
run; run it with the module importable, e.g.

  PYTHONPATH=<site> python3 bench/bench_sweep.py [--reps N] [--gpus G]
"""

import argparse
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quorvane.collsweep as cs

STANDIN = Path(__file__).resolve().parent.parent / "tests" / "bin" / "nccl_standin.py"


def timeit_once(fn):
    started = time.perf_counter()
    fn()
    return time.perf_counter() - started


@contextlib.contextmanager
def standin_binaries(standin, gpus):
    """A temporary binary root holding the stand-in under the four executable
    names, and the sweep's four command lines for it; the stand-in's
    NCCL_STANDIN_* variables are set aside meanwhile."""
    saved = {k: os.environ.pop(k) for k in [k for k in os.environ if k.startswith("NCCL_STANDIN_")]}
    try:
        with tempfile.TemporaryDirectory() as root:
            for name in cs.COLLECTIVES:
                os.symlink(standin, os.path.join(root, name))
            cfg = cs._LauncherConfig(binary_root=root)
            yield root, [cs._build_binary_command(os.path.join(root, name), gpus, cfg) for name in cs.COLLECTIVES]
    finally:
        os.environ.update(saved)


def measure(reps=15, gpus=8):
    """Median wall times (seconds) of the sweep and of the bare loop, their
    fastest reps, and the best time of the driver alone (replayed output)."""
    with standin_binaries(STANDIN, gpus) as (root, commands):
        def sweep():
            report = cs.launch_intra_node(gpus, "H100_SXM", binary_root=root, timeout_s=60)
            assert report.error is None and len(report.results) == 16, report

        def bare():
            for command in commands:
                result = subprocess.run(command, capture_output=True, text=True, timeout=60)
                assert result.returncode == 0, result

        outputs = {c[0]: subprocess.run(c, capture_output=True, text=True, timeout=60).stdout for c in commands}

        class Replay(cs.ShellRunner):
            def run(self, cmd, *, timeout, input_text=None):
                return cs.ShellResult(0, outputs[cmd[0]], "")

        def driver_only():
            report = cs.launch_intra_node(gpus, "H100_SXM", binary_root=root, runner=Replay())
            assert report.error is None and len(report.results) == 16, report

        sweep(), bare()  # warm the file cache and the interpreter
        driver_s = min(timeit_once(driver_only) for _ in range(200))
        timings = {"sweep": [], "bare": []}
        pair = [("sweep", sweep), ("bare", bare)]
        for _ in range(reps):
            pair.reverse()  # neither side always runs first
            for name, fn in pair:
                timings[name].append(timeit_once(fn))
    return {
        "commands": len(commands),
        "sweep": statistics.median(timings["sweep"]),
        "bare": statistics.median(timings["bare"]),
        "sweep_best": min(timings["sweep"]),
        "bare_best": min(timings["bare"]),
        "driver_best": driver_s,
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--gpus", type=int, default=8)
    args = parser.parse_args()

    m = measure(args.reps, args.gpus)
    sweep_s, bare_s = m["sweep"], m["bare"]
    print(f"python {sys.version.split()[0]}, {args.reps} reps, {m['commands']} executables, -g {args.gpus}")
    print(f"sweep (launch_intra_node)  median {sweep_s * 1e3:8.2f} ms")
    print(f"bare subprocess.run loop   median {bare_s * 1e3:8.2f} ms")
    print(f"ratio sweep / bare         {sweep_s / bare_s:.3f}")
    print(f"overhead per sweep         {(sweep_s - bare_s) * 1e3:+.2f} ms")
    # On a busy machine the fastest rep is the steadier figure.
    print(f"ratio of the fastest reps  {m['sweep_best'] / m['bare_best']:.3f}")
    print(f"driver alone (replayed)    best   {m['driver_best'] * 1e3:8.3f} ms")


if __name__ == "__main__":
    main()
