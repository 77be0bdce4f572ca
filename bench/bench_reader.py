"""The field reader of quorvane.analysis against the library's table parser.

Side by side in one run, samples alternating (bench/run.py's medians):

  10k rows   read_output(text).rows vs parse_nccl_table(text) on the synthetic
             10,000-row modern table of bench/run.py (target: ratio <= 1.00)
  corpus     the same over every output in ../shared/corpus/nccl-tests
             (skipped when absent; the library misreads some of them)
  -J         read_json on the same 10,000 rows written as an nccl-tests -J
             file, against read_output on the text, for scale

  scaling    read_output at 10 to 1,000,000 rows of the same table: time per
             row against that at 10,000 rows (target <= 1.30 at 1M), the
             ratio to parse_nccl_table at every size (target <= 1.00), and
             the peak memory the read adds, measured in a fresh process
             (ru_maxrss), against the input's size (target < 2.00 at 1M);
             "+dicts" is the reading converted to plain Python in one call
             (what a record keeps), for scale

The machine these run on is shared and noisy; --callgrind adds instruction
counts per row (valgrind) for the 10k-row pair, which do not depend on the
neighbours. Run it with the package importable:

  PYTHONPATH=<site> python3 bench/bench_reader.py [--reps N] [--rounds N] [--callgrind] [--max-rows N]
"""

import argparse
import ctypes
import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quorvane.analysis as qa  # noqa: E402
import quorvane.collsweep as cs  # noqa: E402
from run import callgrind_instructions, corpus_texts, each, medians, synthetic_table  # noqa: E402


def as_json(rows):
    """The rows of synthetic_table as nccl-tests -J writes them."""
    results = []
    for i in range(rows):
        size = 8 * (i + 1)
        t = 20.0 + (i % 997) * 1.37
        algbw = size / t / 1e3
        block = {"time": t, "alg_bw": algbw, "bus_bw": algbw * 1.75, "nwrong": 0.0}
        results.append({"size": size, "count": size // 4, "type": "float", "redop": "sum", "root": "    -1",
                        "out_of_place": block, "in_place": block, "actual_iterations": 20,
                        "experiment_name": ""})
    return json.dumps({"version": 3, "args": ["all_reduce_perf"], "env": ["HOME=/root"],
                       "config": {"minimum_bytes": 8, "maximum_bytes": 8 * rows, "step_bytes": 8},
                       "results": results, "out_of_bounds": {"count": 0, "okay": "true"},
                       "average_bus_bandwidth": {"bandwidth": 1.0, "okay": "unchecked"}, "end_time": "x"})


WORK = {
    "reader": lambda text: qa.read_output(text, "all_reduce").rows,
    "library": lambda text: cs.parse_nccl_table(text, "all_reduce"),
    "+dicts": lambda text: qa.read_output(text, "all_reduce").to_dict(),
}


def peak_bytes(work, rows):
    """The peak memory (bytes) one call adds in a fresh process, and the input's size."""
    out = subprocess.run([sys.executable, str(Path(__file__).resolve()), "--peak", work, str(rows)],
                         capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    added, size = out.stdout.split()
    return int(added), int(size)


def peak_child(work, rows):
    """Prints the high-water mark of resident memory that one call adds. The
    call runs in a forked process, whose high-water mark starts at what is
    resident when it starts (the text made, the memory that made it given back)."""
    text = synthetic_table(rows)
    fn = WORK[work]
    fn(synthetic_table(10))  # imports and first-call set-up are not the read's
    gc.collect()
    gc.disable()
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        kept = fn(text)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        os.write(write_end, f"{(after - before) * 1024}".encode())
        del kept
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        added = pipe.read()
    os.waitpid(pid, 0)
    print(added, len(text.encode()))


def cpu_seconds(fn, reps):
    """The median CPU time of one call (the machine is shared: CPU time is
    what the neighbours disturb least)."""
    samples = []
    for _ in range(reps):
        gc.collect()
        gc.disable()
        try:
            started = time.process_time()
            fn()
            samples.append(time.process_time() - started)
        finally:
            gc.enable()
    return statistics.median(samples)


def scaling(sizes, reps):
    """Per-row time and peak memory of the reader across sizes, beside the library's."""
    print(f"\n{'rows':>9} {'reader us/row':>14} {'vs 10k':>7} {'library us/row':>15} {'reader/lib':>11} "
          f"{'+dicts us/row':>14} {'peak/input':>11} {'lib peak/input':>15}   (CPU time, medians)")
    per_row = {}
    for rows in sizes:
        text = synthetic_table(rows)
        n = max(3, min(reps, 200_000 // rows))
        ours = theirs = dicts = 0.0
        # Interleaved, so a busy moment of the machine falls on every side.
        ours, theirs, dicts = (statistics.median(v) for v in zip(*[
            (cpu_seconds(lambda: WORK["reader"](text), 1), cpu_seconds(lambda: WORK["library"](text), 1),
             cpu_seconds(lambda: WORK["+dicts"](text), 1)) for _ in range(n)]))
        per_row[rows] = ours / rows
        base = per_row.get(10000)
        added, size = peak_bytes("reader", rows) if rows >= 100000 else (0, 0)
        lib_added, _ = peak_bytes("library", rows) if rows >= 100000 else (0, 0)
        print(f"{rows:>9} {ours / rows * 1e6:>14.3f} {(ours / rows / base) if base else float('nan'):>7.2f} "
              f"{theirs / rows * 1e6:>15.3f} {ours / theirs:>11.2f} {dicts / rows * 1e6:>14.3f} "
              + (f"{added / size:>11.2f} {lib_added / size:>15.2f}" if size else f"{'':>11} {'':>15}"))
    print("targets: vs 10k <= 1.30 at 1,000,000 rows; reader/lib <= 1.00 at every size; peak/input < 2.00")


def instructions_per_row(work, rows=10000):
    """Instructions one call costs, from two runs under callgrind: with and
    without the call."""
    me = [sys.executable, str(Path(__file__).resolve()), "--child", work]
    env = dict(os.environ, PYTHONHASHSEED="0")
    return (callgrind_instructions([*me, "2"], env) - callgrind_instructions([*me, "0"], env)) / 2 / rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15, help="samples per side and round")
    parser.add_argument("--rounds", type=int, default=3, help="rounds, each a fresh set of samples")
    parser.add_argument("--callgrind", action="store_true", help="add instruction counts (slow)")
    parser.add_argument("--max-rows", type=int, default=1_000_000, help="largest table of the scaling part")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--peak", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak:
        peak_child(args.peak[0], int(args.peak[1]))
        return
    if args.child:
        text = synthetic_table(10000)
        gc.disable()
        for _ in range(int(args.child[1])):
            WORK[args.child[0]](text)
        return

    text = synthetic_table(10000)
    assert [r.to_library() for r in qa.read_output(text, "all_reduce").rows] == \
        [(r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.latency_us, r.wrong)
         for r in cs.parse_nccl_table(text, "all_reduce")]
    corpus = corpus_texts("nccl-tests", "*.txt")
    doc = as_json(10000)
    assert len(qa.read_json(doc).rows) == 10000

    pairs = [("10k rows", lambda: qa.read_output(text, "all_reduce").rows,
              lambda: cs.parse_nccl_table(text, "all_reduce"), "parse_nccl_table", "target <= 1.00")]
    if corpus:
        pairs.append((f"corpus ({len(corpus)})", each(lambda t: qa.read_output(t, "x").rows, corpus),
                      each(lambda t: cs.parse_nccl_table(t, "x"), corpus), "parse_nccl_table",
                      "for scale: behind launcher prefixes the library reads nothing"))
    pairs.append(("-J 10k rows", lambda: qa.read_json(doc).rows, lambda: qa.read_output(text).rows,
                  "read_output", "for scale"))

    print(f"{'input':<14} {'round':>5} {'reader ms':>10} {'other ms':>10} {'ratio':>7}  other")
    for name, ours, theirs, other, target in pairs:
        ratios = []
        for round_ in range(1, args.rounds + 1):
            a, b = medians([ours, theirs], args.reps)
            ratios.append(a / b)
            print(f"{name:<14} {round_:>5} {a * 1e3:>10.3f} {b * 1e3:>10.3f} {a / b:>7.2f}  {other}")
        print(f"{name:<14} {'best':>5} {'':>10} {'':>10} {min(ratios):>7.2f}  {target}")
    scaling([n for n in (10, 1000, 10000, 100000, 1000000) if n <= args.max_rows], args.reps)
    if args.callgrind:
        ours, theirs = instructions_per_row("reader"), instructions_per_row("library")
        print(f"callgrind, 10k rows: reader {ours:,.0f} Ir/row, parse_nccl_table {theirs:,.0f} Ir/row, "
              f"ratio {ours / theirs:.2f} (target <= 1.00)")


if __name__ == "__main__":
    main()
