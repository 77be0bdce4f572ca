"""Long fuzz run for use before a release: the property tests of tests/
(table parser, topology parser, argument binding) with many more examples,
round after round with a new seed, until the time is up or a round fails.

  PYTHONPATH=<site> python3 bench/fuzz_long.py [--minutes 10] [--scale 25]

Each round runs pytest on those tests in a child with
QUORVANE_FUZZ_SCALE=<scale> (example counts times <scale>)
and --hypothesis-seed=<seed>; a failing round prints its output and the
command that repeats it. Under the sanitizers, run it through bench/asan.sh:

  bench/asan.sh -- python3 bench/fuzz_long.py --minutes 10
"""

import argparse
import os
import random
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
# The files whose property tests (names with "rules" in them) scale with QUORVANE_FUZZ_SCALE.
PROPERTY_TESTS = ("test_parser.py", "test_topology.py", "test_surface.py")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--minutes", type=float, default=10.0)
    parser.add_argument("--scale", type=int, default=25, help="multiplier of the example counts (default 25)")
    parser.add_argument("--seed", type=int, help="first seed (default: random)")
    parser.add_argument("-k", dest="select", help="pytest -k expression, to fuzz some properties only")
    args = parser.parse_args()

    deadline = time.monotonic() + args.minutes * 60
    seed = args.seed if args.seed is not None else random.randrange(2 ** 32)
    env = dict(os.environ, QUORVANE_FUZZ_SCALE=str(args.scale))
    rounds = 0
    print(f"fuzzing for {args.minutes:g} min at scale {args.scale}", flush=True)
    while time.monotonic() < deadline:
        cmd = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "ignore::DeprecationWarning",
               *(str(REPO / "tests" / name) for name in PROPERTY_TESTS), "-k", args.select or "fuzz or rules",
               f"--hypothesis-seed={seed}"]
        started = time.monotonic()
        remaining = max(60.0, deadline - started + 600)
        try:
            done = subprocess.run(cmd, cwd=REPO, env=env, capture_output=True, text=True, timeout=remaining)
        except subprocess.TimeoutExpired as exc:
            print(f"round {rounds + 1} (seed {seed}) hung; output so far:\n{exc.stdout or ''}", flush=True)
            return 1
        rounds += 1
        summary = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else "(no output)"
        print(f"round {rounds:3d}  seed {seed:10d}  {time.monotonic() - started:6.1f} s  {summary}", flush=True)
        if done.returncode != 0:
            print(done.stdout[-20000:], done.stderr[-5000:], sep="\n")
            print("repeat with:\n  QUORVANE_FUZZ_SCALE=%d %s" % (args.scale, " ".join(cmd)))
            return 1
        seed = (seed * 6364136223846793005 + 1442695040888963407) % 2 ** 32
    print(f"{rounds} rounds clean")
    return 0


if __name__ == "__main__":
    sys.exit(main())
