"""Peak memory of `quorvane sweep` while a benchmark prints 2 GB.

A fake all_reduce_perf prints SIZE of junk lines and then a sound table from
the stand-in.  The command runs it as a user would (`python -m quorvane sweep
... --json FILE`); its peak resident set size (wait4's ru_maxrss) is printed
beside that of the same sweep with the table alone, and their ratio.  The
target is < 200 MB for 2 GB of output.  Not part of the test run:

  python3 bench/bench_rss.py [--gib 2]
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

STANDIN = Path(__file__).resolve().parent.parent / "python" / "quorvane" / "_standin.py"
FAKE = """#!/bin/sh
head -c {size} /dev/zero | tr '\\0' 'x' | fold -w 1023
NCCL_STANDIN_COLLECTIVE=all_reduce NCCL_STANDIN_LATENCY_US=0 exec '{py}' '{standin}' "$@"
"""


def peak_rss(size):
    """(peak RSS in MiB, seconds, verdict, exit status) of one sweep whose benchmark prints `size` junk bytes."""
    with tempfile.TemporaryDirectory() as root:
        fake = Path(root, "all_reduce_perf")
        fake.write_text(FAKE.format(size=size, py=sys.executable, standin=STANDIN))
        fake.chmod(0o755)
        record = Path(root, "record.json")
        env = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "QUORVANE_"))}
        started = time.monotonic()
        proc = subprocess.Popen([sys.executable, "-m", "quorvane", "sweep", "--gpus", "8", "--gpu-type", "H100_SXM",
                                 "--binary-root", root, "--collectives", "all_reduce", "--timeout", "600",
                                 "--json", str(record)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.monotonic() - started
        verdict = json.loads(record.read_text())["verdict"] if record.exists() else "-"
        return usage.ru_maxrss / 1024, seconds, verdict, os.waitstatus_to_exitcode(status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gib", type=float, default=2.0)
    args = parser.parse_args()
    size = int(args.gib * (1 << 30))
    small = peak_rss(0)
    big = peak_rss(size)
    print(f"{'output':>12}{'peak RSS MiB':>14}{'seconds':>10}  verdict  exit")
    for label, (rss, secs, verdict, code) in (("table only", small), (f"{args.gib:g} GiB", big)):
        print(f"{label:>12}{rss:14.1f}{secs:10.1f}  {verdict:7}  {code}")
    print(f"ratio {args.gib:g} GiB / table only: {big[0] / small[0]:.2f}  (target: < 200 MB at 2 GiB)")


if __name__ == "__main__":
    sys.exit(main())
