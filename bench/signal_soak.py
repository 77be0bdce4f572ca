"""Soak: stop signals at random moments.

Starts an emulated sweep (or fleet, or a read of an endless input) again and
again, sends SIGINT, SIGTERM or SIGHUP at a random moment, and checks what the
user is promised: exit status 128+N (or the run's own status when it finished
first), within a second of the signal, no traceback, no staging folder of
--keep-logs, no temporary file in TMPDIR, no process of the run left behind.
Prints one line per kind and exits 1 on any broken promise.

  python3 bench/signal_soak.py [--rounds 45] [--seed 1]
"""
import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
COMMANDS = {
    "sweep": ["sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus", "8", "--no-record"],
    "fleet": ["fleet", "--emulate", "--hosts", "n[1-8]", "--gpus-per-node", "4", "--gpu-type", "H100_SXM",
              "--no-record"],
    "compare": ["compare", "/dev/zero", "/dev/zero"],
}


def leftovers(scratch: Path, logs: Path) -> list[str]:
    found = [str(p) for p in scratch.iterdir()]
    if logs.exists():
        found += [str(p) for p in logs.iterdir() if p.name.startswith(".quorvane-logs-")]
    return found


def group_alive(pgid: int) -> bool:
    try:
        os.killpg(pgid, 0)
    except ProcessLookupError:
        return False
    return True


def one(kind: str, rng: random.Random, top: Path) -> tuple[bool, str, float]:
    scratch = Path(tempfile.mkdtemp(dir=top))
    logs = scratch.parent / f"logs-{scratch.name}"
    argv = [sys.executable, "-m", "quorvane", *COMMANDS[kind]]
    if kind != "compare":
        argv += ["--keep-logs", str(logs), "--json", str(scratch.parent / f"{scratch.name}.json")]
    env = {**{k: v for k, v in os.environ.items() if not k.startswith(("NCCL_STANDIN_", "SLURM_"))},
           "TMPDIR": str(scratch)}
    proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env,
                            stdin=subprocess.DEVNULL, start_new_session=True)
    sig = rng.choice(SIGNALS)
    time.sleep(rng.uniform(0.05, 1.5))
    sent = time.monotonic()
    try:
        proc.send_signal(sig)
    except ProcessLookupError:
        pass
    try:
        _, err = proc.communicate(timeout=10)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        return False, f"{kind}: no end 10 s after {sig.name}", 10.0
    answered = time.monotonic() - sent
    time.sleep(0.2)
    problems = []
    finished_first = proc.returncode in (0, 1, 2, 3, 4, 64)
    if proc.returncode != 128 + sig and not finished_first:
        problems.append(f"exit {proc.returncode} after {sig.name}")
    if not finished_first and answered > 1.0:
        problems.append(f"answered {sig.name} after {answered:.2f} s")
    if "Traceback" in err:
        problems.append("traceback")
    left = leftovers(scratch, logs)
    if left:
        problems.append(f"left behind: {left[:3]}")
    if group_alive(proc.pid):
        problems.append("processes of the run still alive")
        os.killpg(proc.pid, signal.SIGKILL)
    return not problems, f"{kind}: {sig.name}: {'; '.join(problems)}", answered


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=45)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    failures = []
    with tempfile.TemporaryDirectory() as top:
        answered: dict[str, list[float]] = {k: [] for k in COMMANDS}
        for n in range(args.rounds):
            kind = list(COMMANDS)[n % len(COMMANDS)]
            ok, line, seconds = one(kind, rng, Path(top))
            answered[kind].append(seconds)
            if not ok:
                failures.append(line)
                print("FAIL", line, flush=True)
        for kind, times in answered.items():
            print(f"{kind:8} {len(times):3} signals, slowest answer {max(times):.2f} s, "
                  f"median {sorted(times)[len(times) // 2]:.2f} s")
    print(f"{args.rounds - len(failures)} of {args.rounds} signals kept every promise")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
