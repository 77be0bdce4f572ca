"""Benchmarks of quorvane.collsweep against plain Python, printed as one table.

Every figure is a ratio of two things measured side by side in the same run:
the samples of both sides alternate, each side gets the same garbage-collector
state, and the table shows medians. The machine this runs on is shared and
noisy, so `--callgrind` adds instruction counts (valgrind) for the CPU-bound
pairs, which do not depend on the neighbours.

  table    parse_nccl_table vs bench/baseline.py on a synthetic 10,000-row
           modern table and on the real outputs in ../shared/corpus/nccl-tests
           (skipped when absent); and vs its floor, the same rows made by
           calling NcclResult with keywords (a dataclass __init__ per row)
  topo     parse_nccl_topo_xml vs bench/baseline.py on a synthetic dump (72
           GPUs, 72 NICs, four levels of PCIe switches) and the corpus dumps
  sweep    launch_intra_node over the stand-in executables vs a bare loop of
           subprocess.run over the same four command lines (bench_sweep.py)
  import   importing quorvane.collsweep in a fresh interpreter vs importing the
           standard-library modules it uses; and, for scale, the five record
           classes made in plain Python with type() and dataclass

Run it with the module importable, from anywhere:

  PYTHONPATH=<site> python3 bench/run.py [--reps N] [--quick] [--callgrind]
                                         [--only table,topo,sweep,import]
"""

import argparse
import gc
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baseline  # noqa: E402

CORPUS = Path(os.environ.get("QUORVANE_CORPUS", HERE.parent.parent / "shared" / "corpus"))
STDLIB = "import os, re, shlex, subprocess, xml.etree.ElementTree, dataclasses, typing"

# ---------------------------------------------------------------------------
# Inputs


def synthetic_table(rows=10000):
    """A modern nccl-tests all_reduce table (out-of-place and in-place blocks,
    root column) with `rows` data rows, as the program prints it."""
    out = [
        "# nThread 1 nGpus 8 minBytes 8 maxBytes 8589934592 step: 2(factor) warmup iters: 5 iters: 20",
        "#",
        "#                                                              out-of-place                       in-place",
        "#       size         count      type   redop    root     time   algbw   busbw #wrong     time   algbw   busbw #wrong",
        "#        (B)    (elements)                               (us)  (GB/s)  (GB/s)            (us)  (GB/s)  (GB/s)",
    ]
    for i in range(rows):
        size = 8 * (i + 1)
        t = 20.0 + (i % 997) * 1.37
        algbw = size / t / 1e3
        busbw = algbw * 1.75
        out.append(f"{size:12d}  {size // 4:12d}     float     sum      -1  {t:7.2f}  {algbw:6.2f}  {busbw:6.2f}"
                   f"  {0:5d}  {t * 0.98:7.2f}  {algbw * 1.02:6.2f}  {busbw * 1.02:6.2f}  {0:5d}")
    out.append("# Out of bounds values : 0 OK")
    out.append("# Avg bus bandwidth    : 123.456")
    return "\n".join(out) + "\n"


def synthetic_topology(cpus=2, fanout=(3, 2, 2, 3)):
    """An NCCL topology dump: `cpus` NUMA nodes, four levels of PCIe switches
    below each with the given fan-outs, and one GPU (with NVLinks) and one NIC
    under every last-level switch: 2 * 3 * 2 * 2 * 3 = 72 of each."""
    lines = ['<?xml version="1.0"?>', '<system version="1">']
    counter = {"bus": 0, "dev": 0}

    def busid():
        counter["bus"] += 1
        n = counter["bus"]
        return f"{n >> 8:04x}:{n & 0xff:02x}:00.0"

    def switch(level, indent):
        pad = "  " * indent
        lines.append(f'{pad}<pci busid="{busid()}" class="0x060400" link_speed="32.0 GT/s PCIe" link_width="16">')
        if level + 1 < len(fanout):
            for _ in range(fanout[level + 1]):
                switch(level + 1, indent + 1)
        else:
            dev = counter["dev"]
            counter["dev"] += 1
            inner = "  " * (indent + 1)
            lines.append(f'{inner}<pci busid="{busid()}" class="0x030200" link_speed="32.0 GT/s PCIe" link_width="16">')
            lines.append(f'{inner}  <gpu dev="{dev}" sm="90" rank="{dev}" gdr="1">')
            for peer in range(4):
                lines.append(f'{inner}    <nvlink target="nvswitch{peer}" count="4" tclass="0x068000"/>')
            lines.append(f"{inner}  </gpu>")
            lines.append(f"{inner}</pci>")
            lines.append(f'{inner}<pci busid="{busid()}" class="0x020700" link_speed="32.0 GT/s PCIe" link_width="16">')
            lines.append(f'{inner}  <nic>')
            lines.append(f'{inner}    <net name="mlx5_{dev}" dev="{dev}" speed="400000" port="1" latency="0.000000"'
                         f' guid="0x{0x1000 + dev:x}" maxconn="131072" gdr="1"/>')
            lines.append(f"{inner}  </nic>")
            lines.append(f"{inner}</pci>")
        lines.append(f"{pad}</pci>")

    for numa in range(cpus):
        lines.append(f'  <cpu numaid="{numa}" affinity="ffffffff" arch="x86_64" vendor="GenuineIntel">')
        for _ in range(fanout[0]):
            switch(0, 2)
        lines.append("  </cpu>")
    lines.append("</system>")
    return "\n".join(lines) + "\n"


def corpus_texts(kind, pattern):
    folder = CORPUS / kind
    if not folder.is_dir():
        return []
    texts = []
    for path in sorted(folder.glob(pattern)):
        with open(path, encoding="utf-8", newline="") as f:
            texts.append(f.read())
    return texts


# ---------------------------------------------------------------------------
# Timing


def medians(fns, reps, gc_enabled=False):
    """Alternating samples of several callables (the order rotates, so no one
    always runs first); the median seconds per call of each. Every side runs
    with the collector in the same state (off, or on and collected before
    each sample)."""
    samples = [[] for _ in fns]
    order = list(range(len(fns)))
    for _ in range(reps):
        order = order[1:] + order[:1]
        for index in order:
            gc.collect()
            if not gc_enabled:
                gc.disable()
            try:
                started = time.perf_counter()
                fns[index]()
                samples[index].append(time.perf_counter() - started)
            finally:
                gc.enable()
    return [statistics.median(s) for s in samples]


def median_pair(first, second, reps, gc_enabled=False):
    return tuple(medians([first, second], reps, gc_enabled))


def each(fn, items):
    def run():
        for item in items:
            fn(item)
    return run


# ---------------------------------------------------------------------------
# Instruction counts (valgrind --tool=callgrind) of child processes


def child_main(work, count):
    """Runs one workload `count` times (in a child under callgrind)."""
    import quorvane.collsweep as cs

    gc.disable()
    if work.startswith("table"):
        text = synthetic_table()
        values = baseline.parse_nccl_table(text, "all_reduce", record=baseline.tuple_row)
        record = cs.NcclResult
        fn = {
            "table-module": lambda: cs.parse_nccl_table(text, "all_reduce"),
            "table-baseline": lambda: baseline.parse_nccl_table(text, "all_reduce"),
            "table-floor": lambda: [record(collective=c, size_bytes=s, busbw_gbps=b, algbw_gbps=a, latency_us=t,
                                           wrong=w) for c, s, b, a, t, w in values],
        }[work]
    else:
        xml = synthetic_topology()
        import xml.etree.ElementTree as ET

        stripped = xml.strip()
        fn = {
            "topo-module": lambda: cs.parse_nccl_topo_xml(xml),
            "topo-baseline": lambda: baseline.parse_nccl_topo_xml(xml),
            "topo-fromstring": lambda: ET.fromstring(stripped),
        }[work]
    for _ in range(count):
        fn()


def callgrind_instructions(argv, env=None):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg.out")
        cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *argv]
        result = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=900)
        found = re.search(r"Collected : (\d+)", result.stderr)
        if result.returncode != 0 or not found:
            raise RuntimeError(f"callgrind failed: {result.stderr[-2000:]}")
        return int(found.group(1))


def instructions_per_call(work, count):
    env = dict(os.environ, PYTHONHASHSEED="0")
    me = [sys.executable, str(Path(__file__).resolve()), "--child", work]
    with_work = callgrind_instructions([*me, str(count)], env)
    without = callgrind_instructions([*me, "0"], env)
    return (with_work - without) / count


# ---------------------------------------------------------------------------
# Import time in fresh interpreters

RECORDS = '''
from dataclasses import dataclass, field
def _method(self):
    pass
def _record(name, doc, frozen, fields, methods=()):
    namespace = {"__module__": __name__, "__qualname__": name, "__annotations__": {}}
    if doc:
        namespace["__doc__"] = doc
    for field_name, annotation, *default in fields:
        namespace["__annotations__"][field_name] = annotation
        if default:
            namespace[field_name] = default[0]
    for method in methods:
        namespace[method] = _method
    cls = type(name, (object,), namespace)
    return dataclass(frozen=True)(cls) if frozen else dataclass(cls)
_record("NcclResult", "One row from the nccl-tests output table.", True,
        [("collective", "str"), ("size_bytes", "int"), ("busbw_gbps", "float"), ("algbw_gbps", "float"),
         ("latency_us", "float"), ("wrong", "int")], ["to_dict"])
_record("Threshold", None, True, [("pass_min_gbps", "float"), ("warn_min_gbps", "float")])
_record("NcclReport", None, False,
        [("schema_version", "int", 1), ("gpu_type", "str", ""), ("scope", "str", "intra"), ("num_nodes", "int", 1),
         ("gpus_per_node", "int", 0), ("interconnect", "str", ""),
         ("results", "list[NcclResult]", field(default_factory=list)), ("threshold", "Optional[Threshold]", None),
         ("status", "str", "unknown"), ("error", "Optional[str]", None)],
        ["to_dict", "headline_all_reduce_busbw"])
_record("_LauncherConfig", "Inputs the launcher needs that vary by deployment context.", True,
        [("binary_root", "str", "/opt/nccl-tests/build"), ("begin_bytes", "int", 8192),
         ("end_bytes", "int", 134217728), ("step_factor", "int", 16), ("iterations", "int", 50),
         ("warmup_iters", "int", 5)])
_record("ShellResult", None, True, [("returncode", "int"), ("stdout", "str"), ("stderr", "str")])
'''

IMPORTS = {
    "stdlib": STDLIB,
    "module": "import quorvane.collsweep",
    "records": STDLIB + "\n" + RECORDS,
}


def timed_import(code):
    """Nanoseconds that `code` takes in a fresh interpreter (clock read inside)."""
    program = f"import time\n_t0 = time.perf_counter_ns()\n{code}\nprint(time.perf_counter_ns() - _t0)\n"
    out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise RuntimeError(out.stderr)
    return int(out.stdout)


def importtime_self_us(reps):
    """-X importtime's own time (us) of quorvane.collsweep, median over reps."""
    values = []
    for _ in range(reps):
        out = subprocess.run([sys.executable, "-X", "importtime", "-c", "import quorvane.collsweep"],
                             capture_output=True, text=True, timeout=60)
        for line in out.stderr.splitlines():
            parts = [p.strip() for p in line.split("|")]
            if len(parts) == 3 and parts[2] == "quorvane.collsweep":
                values.append(int(parts[0].split(":")[-1]))
    return statistics.median(values)


# ---------------------------------------------------------------------------
# The table


class Table:
    def __init__(self):
        self.rows = []

    def add(self, what, ours, theirs, ratio, target="", met=None):
        mark = "" if met is None else ("yes" if met else "NO")
        self.rows.append((what, ours, theirs, ratio, target, mark))

    def print(self):
        head = ("measurement", "quorvane", "reference", "ratio", "target", "met")
        widths = [max(len(str(r[i])) for r in [head, *self.rows]) for i in range(len(head))]
        line = "  ".join("{:<%d}" % w for w in widths)
        print(line.format(*head))
        print(line.format(*("-" * w for w in widths)))
        for row in self.rows:
            print(line.format(*row))


def ms(seconds):
    return f"{seconds * 1e3:.2f} ms"


def bench_table(table, reps, callgrind):
    import quorvane.collsweep as cs

    text = synthetic_table()
    rows = cs.parse_nccl_table(text, "all_reduce")
    assert rows == baseline.parse_nccl_table(text, "all_reduce") and len(rows) == 10000
    record = cs.NcclResult
    values = baseline.parse_nccl_table(text, "all_reduce", record=baseline.tuple_row)

    def module():
        cs.parse_nccl_table(text, "all_reduce")

    def plain():
        baseline.parse_nccl_table(text, "all_reduce")

    def floor():
        return [record(collective=c, size_bytes=s, busbw_gbps=b, algbw_gbps=a, latency_us=t, wrong=w)
                for c, s, b, a, t, w in values]

    ours, theirs = median_pair(module, plain, reps)
    table.add("table, 10,000 rows: baseline / parser", ms(ours), ms(theirs), f"{theirs / ours:.2f}x", ">= 4x",
              theirs / ours >= 4)
    for gc_enabled in (False, True):
        ours, bound = median_pair(module, floor, reps, gc_enabled)
        table.add(f"table, 10,000 rows: parser / floor (gc {'on' if gc_enabled else 'off'})", ms(ours), ms(bound),
                  f"{ours / bound:.2f}x", "<= 1.3x", ours / bound <= 1.3)

    texts = corpus_texts("nccl-tests", "*.txt")
    if texts:
        for t in texts:
            assert cs.parse_nccl_table(t, "all_reduce") == baseline.parse_nccl_table(t, "all_reduce")
        ours, theirs = median_pair(each(lambda t: cs.parse_nccl_table(t, "all_reduce"), texts),
                                   each(lambda t: baseline.parse_nccl_table(t, "all_reduce"), texts), reps * 4)
        table.add(f"table, {len(texts)} corpus outputs: baseline / parser", ms(ours), ms(theirs),
                  f"{theirs / ours:.2f}x", ">= 4x", theirs / ours >= 4)
    else:
        table.add("table, corpus outputs", "skipped", "(no ../shared/corpus)", "", "")

    if callgrind:
        ours = instructions_per_call("table-module", 2)
        theirs = instructions_per_call("table-baseline", 1)
        bound = instructions_per_call("table-floor", 2)
        table.add("  callgrind: baseline / parser", f"{ours / 1e4:,.0f} Ir/row", f"{theirs / 1e4:,.0f} Ir/row",
                  f"{theirs / ours:.2f}x", ">= 4x", theirs / ours >= 4)
        table.add("  callgrind: parser / floor", f"{ours / 1e4:,.0f} Ir/row", f"{bound / 1e4:,.0f} Ir/row",
                  f"{ours / bound:.2f}x", "<= 1.3x", ours / bound <= 1.3)


def bench_topo(table, reps, callgrind):
    import quorvane.collsweep as cs

    if not hasattr(cs, "parse_nccl_topo_xml"):
        table.add("topology", "skipped", "(not in this build)", "", "")
        return
    xml = synthetic_topology()
    inventory = cs.parse_nccl_topo_xml(xml)
    assert inventory == baseline.parse_nccl_topo_xml(xml)
    assert len(inventory["gpus"]) == 72 and len(inventory["nics"]) == 72
    # Both parse with ElementTree.fromstring, which bounds the ratio: timed
    # alone beside the two.
    import xml.etree.ElementTree as ET

    stripped = xml.strip()
    ours, theirs, parse_only = medians([lambda: cs.parse_nccl_topo_xml(xml), lambda: baseline.parse_nccl_topo_xml(xml),
                                        lambda: ET.fromstring(stripped)], reps * 2)
    table.add("topology, 72 GPUs / 72 NICs: baseline / parser", ms(ours), ms(theirs), f"{theirs / ours:.2f}x",
              ">= 5x", theirs / ours >= 5)
    table.add("  ElementTree.fromstring alone: share of the parser", ms(parse_only), ms(ours),
              f"{parse_only / ours:.0%}", "")
    table.add("  ceiling while parsing with ElementTree: baseline / fromstring", ms(parse_only), ms(theirs),
              f"{theirs / parse_only:.2f}x", "")

    texts = corpus_texts("topo", "*.xml")
    if texts:
        for t in texts:
            assert cs.parse_nccl_topo_xml(t) == baseline.parse_nccl_topo_xml(t)
        stripped = [t.strip() for t in texts]
        ours, theirs, parse_only = medians([each(cs.parse_nccl_topo_xml, texts),
                                            each(baseline.parse_nccl_topo_xml, texts),
                                            each(ET.fromstring, stripped)], reps * 4)
        table.add(f"topology, {len(texts)} corpus dumps: baseline / parser", ms(ours), ms(theirs),
                  f"{theirs / ours:.2f}x", ">= 5x", theirs / ours >= 5)
        table.add("  ElementTree.fromstring alone: share of the parser", ms(parse_only), ms(ours),
                  f"{parse_only / ours:.0%}", "")
        table.add("  ceiling while parsing with ElementTree: baseline / fromstring", ms(parse_only), ms(theirs),
                  f"{theirs / parse_only:.2f}x", "")
    else:
        table.add("topology, corpus dumps", "skipped", "(no ../shared/corpus)", "", "")

    if callgrind:
        ours = instructions_per_call("topo-module", 5)
        theirs = instructions_per_call("topo-baseline", 5)
        parse_only = instructions_per_call("topo-fromstring", 5)
        table.add("  callgrind: baseline / parser", f"{ours / 1e6:.2f}M Ir", f"{theirs / 1e6:.2f}M Ir",
                  f"{theirs / ours:.2f}x", ">= 5x", theirs / ours >= 5)
        table.add("  callgrind: fromstring's share of parser / of baseline", f"{parse_only / 1e6:.2f}M Ir", "",
                  f"{parse_only / ours:.0%} / {parse_only / theirs:.0%}", "")
        table.add("  callgrind: the rest, baseline / parser", f"{(ours - parse_only) / 1e6:.2f}M Ir",
                  f"{(theirs - parse_only) / 1e6:.2f}M Ir", f"{(theirs - parse_only) / (ours - parse_only):.2f}x", "")


def bench_sweep(table, reps):
    import bench_sweep as sweep

    m = sweep.measure(reps=reps)
    ratio = m["sweep"] / m["bare"]
    table.add("sweep, 4 stand-in runs: launch_intra_node / bare loop", ms(m["sweep"]), ms(m["bare"]),
              f"{ratio:.3f}x", "<= 1.05x", ratio <= 1.05)
    table.add("  fastest reps", ms(m["sweep_best"]), ms(m["bare_best"]),
              f"{m['sweep_best'] / m['bare_best']:.3f}x", "")
    table.add("  driver alone (output replayed, best)", ms(m["driver_best"]), "", "", "")


def bench_import(table, reps, callgrind):
    samples = {name: [] for name in IMPORTS}
    order = list(IMPORTS)
    for _ in range(reps):
        order.reverse()
        for name in order:
            samples[name].append(timed_import(IMPORTS[name]))
    med = {name: statistics.median(v) / 1e6 for name, v in samples.items()}
    added = med["module"] - med["stdlib"]
    records = med["records"] - med["stdlib"]
    table.add("import: quorvane.collsweep, added to its stdlib imports", f"{med['module']:.2f} ms",
              f"{med['stdlib']:.2f} ms", f"+{added:.2f} ms", "<= +3 ms", added <= 3)
    table.add("  five dataclass records in plain Python", f"+{records:.2f} ms", "", f"{records / added:.0%} of added",
              "")
    table.add("  -X importtime, collsweep's own time", f"{importtime_self_us(max(5, reps // 2)) / 1e3:.2f} ms", "",
              "", "")
    if callgrind:
        env = dict(os.environ, PYTHONHASHSEED="0")
        ir = {name: callgrind_instructions([sys.executable, "-c", code], env) for name, code in IMPORTS.items()}
        ir_added = ir["module"] - ir["stdlib"]
        ir_records = ir["records"] - ir["stdlib"]
        table.add("  callgrind: instructions added by the import", f"{ir_added / 1e6:.1f}M Ir", "", "", "")
        table.add("  callgrind: of which the five records (plain Python)", f"{ir_records / 1e6:.1f}M Ir", "",
                  f"{ir_records / ir_added:.0%}", "")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=15, help="samples per side (default 15)")
    parser.add_argument("--quick", action="store_true", help="few samples, for a smoke run")
    parser.add_argument("--callgrind", action="store_true", help="add instruction counts (slow)")
    parser.add_argument("--only", default="table,topo,sweep,import")
    parser.add_argument("--child", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child_main(args.child[0], int(args.child[1]))
        return
    if args.callgrind and not shutil.which("valgrind"):
        parser.error("--callgrind needs valgrind on the PATH")
    reps = 3 if args.quick else args.reps
    parts = set(args.only.split(","))

    import quorvane.collsweep as cs

    print(f"quorvane.collsweep from {cs.__file__}")
    print(f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs, load average "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}; {reps} alternating samples per side, medians")
    table = Table()
    if "table" in parts:
        bench_table(table, reps, args.callgrind)
    if "topo" in parts:
        bench_topo(table, reps, args.callgrind)
    if "sweep" in parts:
        bench_sweep(table, reps)
    if "import" in parts:
        bench_import(table, max(reps, 10) * 3, args.callgrind)
    print()
    table.print()


if __name__ == "__main__":
    main()
