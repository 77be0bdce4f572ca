"""The command's runner against a bare subprocess.run loop, over the stand-ins.

Installs the stand-in benchmark under the four executable names in a temporary
folder and runs the same four single-host command lines, side by side in one
run, samples alternating:

  runner  quorvane.runner.CommandRunner.run (own session, bounded capture,
          group clean-up, UTF-8 decoding)
  bare    subprocess.run(cmd, capture_output=True, text=True, timeout=...)

and prints the median wall time of each and their ratio (target <= 1.03).
Not part of the test run:

  python3 bench/bench_runner.py [--reps N] [--gpus G]
"""

import argparse
import statistics
import subprocess
import sys
import time
from pathlib import Path

from bench_sweep import standin_binaries
from quorvane.runner import CommandRunner

STANDIN = Path(__file__).resolve().parent.parent / "python" / "quorvane" / "_standin.py"


def measure(reps=15, gpus=8):
    """Median seconds per four-collective round: (runner, bare)."""
    with standin_binaries(STANDIN, gpus) as (_, commands):
        runner = CommandRunner()

        def ours():
            for command in commands:
                result = runner.run(command, timeout=60)
                assert result.returncode == 0 and result.stdout, result

        def bare():
            for command in commands:
                result = subprocess.run(command, capture_output=True, text=True, timeout=60)
                assert result.returncode == 0 and result.stdout, result

        samples = {ours: [], bare: []}
        ours(), bare()  # warm the page cache
        for i in range(reps):
            for fn in ((ours, bare) if i % 2 == 0 else (bare, ours)):
                started = time.perf_counter()
                fn()
                samples[fn].append(time.perf_counter() - started)
        return statistics.median(samples[ours]), statistics.median(samples[bare])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15)
    parser.add_argument("--gpus", type=int, default=8)
    args = parser.parse_args()
    ours, bare = measure(args.reps, args.gpus)
    print(f"{'':8}{'median s/round':>16}")
    print(f"{'runner':8}{ours:16.4f}")
    print(f"{'bare':8}{bare:16.4f}")
    print(f"ratio runner/bare: {ours / bare:.3f}  (target <= 1.03; {args.reps} rounds of 4 runs each)")


if __name__ == "__main__":
    sys.exit(main())
