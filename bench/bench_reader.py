"""The field reader of quorvane.analysis against the library's table parser.

Side by side in one run, samples alternating (bench/run.py's medians):

  10k rows   read_output(text).rows vs parse_nccl_table(text) on the synthetic
             10,000-row modern table of bench/run.py (target: ratio <= 1.00)
  corpus     the same over every output in ../shared/corpus/nccl-tests
             (skipped when absent; the library misreads some of them)
  -J         read_json on the same 10,000 rows written as an nccl-tests -J
             file, against read_output on the text, for scale

The machine these run on is shared and noisy; --callgrind adds instruction
counts per row (valgrind) for the 10k-row pair, which do not depend on the
neighbours. Run it with the package importable:

  PYTHONPATH=<site> python3 bench/bench_reader.py [--reps N] [--rounds N] [--callgrind]
"""

import argparse
import gc
import json
import os
import sys
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
}


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
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
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
              lambda: cs.parse_nccl_table(text, "all_reduce"), "parse_nccl_table")]
    if corpus:
        pairs.append((f"corpus ({len(corpus)})", each(lambda t: qa.read_output(t, "x").rows, corpus),
                      each(lambda t: cs.parse_nccl_table(t, "x"), corpus), "parse_nccl_table"))
    pairs.append(("-J 10k rows", lambda: qa.read_json(doc).rows, lambda: qa.read_output(text).rows,
                  "read_output"))

    print(f"{'input':<14} {'round':>5} {'reader ms':>10} {'other ms':>10} {'ratio':>7}  other")
    for name, ours, theirs, other in pairs:
        ratios = []
        for round_ in range(1, args.rounds + 1):
            a, b = medians([ours, theirs], args.reps)
            ratios.append(a / b)
            print(f"{name:<14} {round_:>5} {a * 1e3:>10.3f} {b * 1e3:>10.3f} {a / b:>7.2f}  {other}")
        target = "target <= 1.00" if other == "parse_nccl_table" else "for scale"
        print(f"{name:<14} {'best':>5} {'':>10} {'':>10} {min(ratios):>7.2f}  {target}")
    if args.callgrind:
        ours, theirs = instructions_per_row("reader"), instructions_per_row("library")
        print(f"callgrind, 10k rows: reader {ours:,.0f} Ir/row, parse_nccl_table {theirs:,.0f} Ir/row, "
              f"ratio {ours / theirs:.2f} (target <= 1.00)")


if __name__ == "__main__":
    main()
