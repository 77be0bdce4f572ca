"""Soak: call every callable of quorvane.collsweep over and over and watch the
process's memory.

Each cycle builds and converts the records, parses tables (ASCII and not,
real and malformed), topology dumps, thresholds with and without overrides,
grades reports, builds every command line, searches for executables, runs
both sweeps with a runner that replays canned output, runs /bin/true (and a
missing program) through LocalShellRunner, and has the argument checking
refuse a few calls. Every few seconds it prints the memory traced by the
interpreter's allocator, the resident size, open file descriptors and the
calls made so far; at the end it compares the last sample with the first one
after the warm-up and exits 1 when either grew past its limit.

  PYTHONPATH=<site> python3 bench/soak.py [--seconds 60] [--every 5]
"""

import argparse
import gc
import json
import os
import sys
import time
import tracemalloc
from pathlib import Path

import quorvane.collsweep as cs

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import run as bench  # noqa: E402  (the synthetic inputs)

CORPUS = Path(os.environ.get("QUORVANE_CORPUS", HERE.parent.parent / "shared" / "corpus"))
OVERRIDES = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"

# Limits for "no growth" between the first sample after the warm-up and the
# last: far below what one object (or one file descriptor) kept per call adds.
TRACED_LIMIT = 256 * 1024
RSS_LIMIT = 4 * 1024 * 1024


def read_corpus(kind, pattern):
    folder = CORPUS / kind
    return [p.read_text(encoding="utf-8") for p in sorted(folder.glob(pattern))] if folder.is_dir() else []


class Replay(cs.ShellRunner):
    """Hands back canned benchmark output: the sweeps run without processes."""

    def __init__(self, outputs):
        self.outputs = outputs

    def run(self, cmd, *, timeout, input_text=None):
        line = " ".join(cmd)
        for key, text in self.outputs.items():
            if key in line:
                return cs.ShellResult(0, text, "")
        return cs.ShellResult(1, "", f"no output for {line}")


def make_cycle(tmp):
    tables = read_corpus("nccl-tests", "*.txt") or [bench.synthetic_table(40)]
    dumps = read_corpus("topo", "*.xml")
    table = bench.synthetic_table(300)
    topo = bench.synthetic_topology(cpus=1, fanout=(2, 2, 1, 2))
    root = os.path.join(tmp, "bin")
    os.makedirs(root, exist_ok=True)
    for name in cs.COLLECTIVES:
        path = os.path.join(root, name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\nexit 0\n")
        os.chmod(path, 0o755)
    outputs = {name: table for name in cs.COLLECTIVES}
    replay = Replay(outputs)
    cfg = cs._LauncherConfig(binary_root=root)
    runner = cs.LocalShellRunner()
    calls = {"n": 0}

    def refused(fn, *args, **kwargs):
        try:
            fn(*args, **kwargs)
        except TypeError:
            calls["n"] += 1
        else:
            raise AssertionError(f"{fn.__name__} accepted {args} {kwargs}")

    def cycle():
        n = 0
        # records
        row = cs.NcclResult(collective="all_reduce", size_bytes=8, busbw_gbps=1.5, algbw_gbps=1.0,
                            latency_us=3.0, wrong=0)
        report = cs.NcclReport(gpu_type="H100_SXM", gpus_per_node=8, results=[row] * 3)
        report.to_dict(), row.to_dict(), report.headline_all_reduce_busbw(), cs.Threshold(1.0, 2.0)
        cs.ShellResult(0, "", ""), cs._LauncherConfig()
        n += 8
        # tables
        for text in tables:
            cs.parse_nccl_table(text, "all_reduce")
        cs.parse_nccl_table(table, "all_gather")
        cs.parse_nccl_table("\u2014\n" + table[:4000], "broadcast")  # the general path
        cs.parse_nccl_table("8 2 1.5 2.5 3.5 99999999999999999999999\n\x00#\r\n", "x")
        for binary in ("all_reduce_perf", "/x/y/broadcast_perf", "odd_perf.bin", ""):
            cs.collective_name_for_binary(binary)
        for raw in ("7", " 12 ", "1_000", "0x10", "", None, "\u0663"):
            cs._to_int(raw)
        n += len(tables) + 3 + 4 + 7
        # topology
        for text in dumps:
            cs.parse_nccl_topo_xml(text)
        cs.parse_nccl_topo_xml(topo)
        cs.parse_nccl_topo_xml("<system><gpu dev='0'>")  # malformed: {}
        cs.parse_nccl_topo_xml("no system here")
        cs._shared_prefix_len(["a", "b", "c"], ["a", "b", "d"])
        n += len(dumps) + 4
        # thresholds and verdicts
        os.environ.pop(OVERRIDES, None)
        cs.threshold_for("H100_SXM", "intra"), cs.threshold_for("nope", "multi"), cs._load_threshold_overrides()
        os.environ[OVERRIDES] = json.dumps({"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200},
                                            "bad": 1, "B200:multi": {"pass_min_gbps": "1"}})
        cs.threshold_for("H100_SXM", "intra"), cs._load_threshold_overrides()
        os.environ[OVERRIDES] = "{not json"
        cs._load_threshold_overrides()
        os.environ.pop(OVERRIDES, None)
        thr = cs.Threshold(300.0, 200.0)
        cs.classify(350.0, thr), cs.classify(250, thr), cs.classify(None, thr), cs.classify(1.0, None)
        cs._finalize_status(report)
        cs._finalize_status(cs.NcclReport(error="boom"))
        n += 14
        # command lines and executables
        cs._build_binary_command("/x/all_reduce_perf", 8, cfg)
        for mode in ("srun", "mpirun", "ssh"):
            cs._build_multi_node_command(mode=mode, binary="/x/all_reduce_perf", node_ips=["10.0.0.1", "10.0.0.2"],
                                         gpus_per_node=8, total_ranks=16, cfg=cfg)
        cs._select_launcher_mode()
        cs._resolve_binary("all_reduce_perf", root), cs._resolve_binary("quorvane-no-such-program", root)
        n += 7
        # sweeps without processes, then real processes
        cs.launch_intra_node(8, "H100_SXM", binary_root=root, runner=replay)
        cs.launch_multi_node(["10.0.0.1", "10.0.0.2"], 8, "H100_SXM", binary_root=root, runner=replay,
                             launcher_mode="srun")
        runner.run(["/bin/true"], timeout=5)
        runner.run(["/bin/true"], timeout=5, input_text="fed\n")
        runner.run([os.path.join(tmp, "missing")], timeout=5)
        n += 5
        # refusals
        refused(cs.parse_nccl_table, None, "x")
        refused(cs.classify, "300", None)
        refused(runner.run, ("/bin/true",), timeout=5)
        refused(cs.launch_intra_node, 8, "H100_SXM", 1)
        calls["n"] += n

    return cycle, calls


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def zombie_children():
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                state, ppid = f.read().rsplit(")", 1)[1].split()[:2]
        except OSError:
            continue
        if int(ppid) == os.getpid() and state == "Z":
            found.append(int(entry))
    return found


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--every", type=float, default=5.0, help="seconds between samples")
    parser.add_argument("--warmup", type=float, default=0.15, help="share of the time before the reference sample")
    args = parser.parse_args()

    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        cycle, calls = make_cycle(tmp)
        for _ in range(3):
            cycle()
        tracemalloc.start()
        started = time.monotonic()
        end = started + args.seconds
        next_sample = started
        samples = []
        print(f"{'time':>6} {'calls':>9} {'traced':>12} {'rss':>12} {'fds':>4}")
        while True:
            now = time.monotonic()
            if now >= next_sample or now >= end:
                gc.collect()
                sample = (now - started, calls["n"], tracemalloc.get_traced_memory()[0], resident(), open_fds())
                samples.append(sample)
                print(f"{sample[0]:6.1f} {sample[1]:9d} {sample[2]:12,d} {sample[3]:12,d} {sample[4]:4d}", flush=True)
                next_sample += args.every
                if now >= end:
                    break
            cycle()
        tracemalloc.stop()

    zombies = len(zombie_children())
    reference = next(s for s in samples if s[0] >= args.warmup * args.seconds)
    middle = next(s for s in samples if s[0] >= args.seconds / 2)
    last = samples[-1]
    traced, rss, fds = last[2] - reference[2], last[3] - reference[3], last[4] - reference[4]
    rate = last[1] / last[0] if last[0] else 0
    print(f"\n{last[1]:,} calls in {last[0]:.0f} s ({rate:,.0f}/s); from {reference[0]:.0f} s to the end:")
    print(f"  traced memory {traced:+,d} bytes (limit {TRACED_LIMIT:,})")
    print(f"  resident size {rss:+,d} bytes (limit {RSS_LIMIT:,})")
    print(f"  open files    {fds:+d}; zombie children {zombies}")
    print(f"  (second half alone: traced {last[2] - middle[2]:+,d} bytes, resident {last[3] - middle[3]:+,d} bytes)")
    grown = traced > TRACED_LIMIT or rss > RSS_LIMIT or fds > 0 or zombies > 0
    print("GREW" if grown else "flat")
    return 1 if grown else 0


if __name__ == "__main__":
    sys.exit(main())
