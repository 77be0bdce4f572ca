"""What `fleet --drain print` adds to a fleet check, as a ratio measured in one run
(target: under 1% on 4,096 emulated hosts).

Two figures, side by side:

  step   the drain step itself (reading the suspects, building each scontrol
         line with its reason, printing them) on the record of a real
         emulated fleet, against that fleet's own wall time;
  whole  `fleet --emulate --drain print` against the same fleet without it,
         whole processes, interleaved (noisier: two fleets of thousands of
         runs differ by more than 1% on a busy machine).

  python3 bench/bench_drain.py [--hosts 4096] [--reps 1] [--no-whole]
"""

import argparse
import io
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from contextlib import redirect_stdout
from types import SimpleNamespace

from quorvane.cli.fleet import slurm_actions

PY = sys.executable


def fleet(hosts, suspects, extra, json_path=None):
    faults = {f"h{i:05d}": {"net": 0.4} for i in range(1, suspects + 1)}
    env = {**os.environ, "QUORVANE_EMULATE_FAULTS": json.dumps(faults), "QUORVANE_EMULATE_NOISE": "0"}
    cmd = [PY, "-m", "quorvane", "fleet", "--emulate", "--hosts", f"h[00001-{hosts:05d}]", "--gpus-per-node", "8",
           "--gpu-type", "H100_SXM", "--no-record", "--max-hosts", str(max(hosts, 65536)), *extra]
    if json_path:
        cmd += ["--json", json_path]
    t0 = time.perf_counter()
    subprocess.run(cmd, env=env, capture_output=True, timeout=7200)
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--hosts", type=int, default=4096)
    ap.add_argument("--reps", type=int, default=1)
    ap.add_argument("--no-whole", action="store_true", help="only the drain step against the fleet")
    args = ap.parse_args()
    suspects = max(1, args.hosts // 100)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "fleet.json")
        base = fleet(args.hosts, suspects, [], path)
        with open(path) as f:
            record = json.load(f)
        opts = SimpleNamespace(drain="print", resume=None, max_drain=None)
        steps = []
        for _ in range(max(5, args.reps)):
            t0 = time.perf_counter()
            part, lines = slurm_actions(record, opts)
            with redirect_stdout(io.StringIO()):
                for line in lines:
                    print(line)
            steps.append(time.perf_counter() - t0)
        step = statistics.median(steps)
        print(f"{args.hosts} emulated hosts, {len(record['suspects'])} suspects, {len(lines)} drain lines")
        print(f"step   drain step {step * 1e3:.2f} ms against the fleet's {base:.1f} s: "
              f"{100 * step / base:.4f}% (target under 1%)")
        if not args.no_whole:
            plain, drained = [base], []
            for _ in range(args.reps):
                drained.append(fleet(args.hosts, suspects, ["--drain", "print", "--max-drain", str(suspects)]))
                if len(plain) < len(drained):
                    plain.append(fleet(args.hosts, suspects, []))
            a, b = statistics.median(plain), statistics.median(drained)
            print(f"whole  fleet {a:.1f} s, with --drain print {b:.1f} s: ratio {b / a:.4f} "
                  f"({100 * (b / a - 1):+.2f}%)")


if __name__ == "__main__":
    sys.exit(main())
