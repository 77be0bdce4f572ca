"""What planning costs: building the command lines of a 1,024-host plan, and
`quorvane sweep --dry-run` from start to finish against `quorvane --version`.

  lines     every command line of the full plan over 1,024 hosts x 8 GPUs, for
            each launcher (srun with its compressed --nodelist, mpirun, mpirun
            over ssh), and the fleet's first round over the same hosts (1,024
            runs alone and 512 pairs) through its launchers; median of --reps,
            against the 10 ms target
  dry-run   `python3 -m quorvane sweep --dry-run` of that plan (srun) against
            `python3 -m quorvane --version`, each started --runs times in turn;
            medians and their ratio, against the 1.5 target

Run it with the package importable:  python3 bench/bench_plans.py [--reps N] [--runs N]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

from quorvane import fleet, plans

HOSTS = [f"gpu{i:04d}" for i in range(1, 1025)]
TARGET_MS = 10.0
TARGET_RATIO = 1.5


def median_s(fn, reps):
    times = []
    for _ in range(reps):
        started = time.perf_counter()
        fn()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def sweep_lines(launcher):
    def build():
        plan = plans.make_plan("full", env=[("NCCL_IB_HCA", "mlx5_0")])
        forward = plans.forwarded_nccl({"NCCL_SOCKET_IFNAME": "eth0"}, launcher)
        target = plans.Target(launcher, 8, tuple(HOSTS), forward)
        return plans.command_lines(plan, target, lambda exe: f"/opt/nccl-tests/build/{exe}")
    return build


def fleet_round(launcher_class):
    launcher = launcher_class(env=[("NCCL_IB_HCA", "mlx5_0")])
    check = fleet.FleetCheck(HOSTS, 8, "H100_SXM", launcher, "/opt/nccl-tests/build/all_reduce_perf")

    def build():
        bench = check.benchmark()
        for host in HOSTS:
            launcher.command([host], bench)
        for a, b in zip(HOSTS[::2], HOSTS[1::2]):
            launcher.command([a, b], bench)
    return build


def start_to_finish(args, runs):
    env = {**os.environ, "QUORVANE_DB": os.path.join(tempfile.gettempdir(), "bench-plans-unused.sqlite3")}
    env.pop("SLURM_JOB_ID", None)
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        done = subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, env=env, timeout=60)
        times.append(time.perf_counter() - started)
        if done.returncode != 0:
            raise SystemExit(f"quorvane {' '.join(args[:2])} ... exited {done.returncode}: "
                             f"{done.stderr.decode()[-300:]}")
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--reps", type=int, default=50)
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()

    print(f"{'command lines of 1,024 hosts':<40} {'median ms':>10} {'target ms':>10} {'ratio':>7}")
    for name, fn in [(f"sweep, full plan, {launcher}", sweep_lines(launcher)) for launcher in ("srun", "mpirun", "ssh")] \
            + [(f"fleet round 1, {cls.name}", fleet_round(cls)) for cls in (fleet.SrunLauncher, fleet.SshLauncher)]:
        fn()  # imports and caches warm
        ms = median_s(fn, args.reps) * 1e3
        print(f"{name:<40} {ms:10.3f} {TARGET_MS:10.1f} {ms / TARGET_MS:7.3f}")

    dry = ["sweep", "--dry-run", "--plan", "full", "--hosts", ",".join(HOSTS), "--gpus-per-node", "8",
           "--gpu-type", "H100_SXM", "--launcher", "srun", "--binary-root", "/opt/nccl-tests/build"]
    version = start_to_finish(["--version"], args.runs)
    dry_run = start_to_finish(dry, args.runs)
    print()
    print(f"{'start to finish':<40} {'median ms':>10}")
    print(f"{'quorvane --version':<40} {version * 1e3:10.1f}")
    print(f"{'quorvane sweep --dry-run (1,024 hosts)':<40} {dry_run * 1e3:10.1f}")
    print(f"{'ratio (target <= 1.5)':<40} {dry_run / version:10.3f}")


if __name__ == "__main__":
    main()
