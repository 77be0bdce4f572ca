"""Repeated calls of every callable must not leak references or memory.

One leaked reference per call moves a watched count by ROUNDS; one leaked object
(16 bytes at the least) per call retains twice LIMIT_PER_CALL * ROUNDS bytes of
traced memory. A large table also checks the resident size, which covers memory
the extension allocates on its own heap.
"""

import gc
import json
import os
import sys
import tracemalloc
from types import SimpleNamespace

import pytest
from conftest import corpus_files

ROUNDS, WARMUP, LIMIT_PER_CALL = 1500, 100, 8
ROW_TEXT = ("#  size count type redop root time algbw busbw #wrong\n"
            "  8  2  float sum  -1  135.8  0.00  0.00  0  123.5  0.00  0.00  0\n"
            "  0  0  float sum  35.20  0.00  0.00  N/A  34.05  0.00  0.00  N/A\n"
            "host:3442:3442 [0] NCCL INFO Launch mode Parallel\n8 2 1.0 2.0 3.0 " + "9" * 400 + "\n")
TOPOLOGY = ('<system><cpu numaid="0"><pci busid="sw"><pci busid="g"><gpu dev="0"><nvlink target="a" count="2"/>'
            '</gpu></pci><pci busid="n"><net name="mlx5_0" speed="100"/></pci></pci></cpu>'
            '<pci busid="sw"><gpu dev="1"/><net name="mlx5_1"/></pci></system>')
OVERRIDES = json.dumps({"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": "200"}, "skip": 1})
MyStr = type("MyStr", (str,), {})


def fresh(text):
    """A str object that nothing else refers to."""
    return "".join(list(text))


def inputs(cs):
    o = SimpleNamespace(gpu=fresh("H100_SXM"), scope=fresh("intra"), text=fresh(ROW_TEXT), label=fresh("all_reduce"),
                        utext=fresh("r\u00e9sum\u00e9\r\n" + ROW_TEXT.replace(" ", "\u2003")), xml=fresh(TOPOLOGY),
                        path=fresh("/opt/nccl-tests/build/all_reduce_perf.exe"), raw=fresh(" 1_024 "), sub=MyStr("x"),
                        thr=cs.Threshold(320.0, 250.0), cfg=cs._LauncherConfig(), hosts=[fresh("h1"), fresh("h2")],
                        cmd=["all_reduce_perf", "-b", "8"], collectives=[fresh("all_reduce_perf")])
    o.rows = cs.parse_nccl_table(ROW_TEXT, "all_reduce")
    o.report = cs.NcclReport(gpu_type=o.gpu, scope=o.scope, results=[r for r in o.rows if not r.wrong])
    o.runner = type("Canned", (cs.ShellRunner,), {"run": lambda self, cmd, *, timeout: cs.ShellResult(
        int(cmd[1] == "-b"), ROW_TEXT, fresh("x" * 300))})()
    return o


SCENARIOS = {  # name: (override variable, call, errors the call raises)
    "threshold_for": (OVERRIDES, lambda cs, o: cs.threshold_for(o.gpu, scope=o.scope), ()),
    "threshold_for-failing": ('{"X:intra": {"pass_min_gbps": "fast", "warn_min_gbps": 1}}',
                              lambda cs, o: cs.threshold_for(o.gpu, o.scope), ValueError),
    "classify": (None, lambda cs, o: (cs.classify(300.5 * 1.0, o.thr), cs.classify(400, o.thr)), ()),
    "refusals": (None, lambda cs, o: cs.parse_nccl_table(o.sub, o.label) or cs.classify(1j, o.thr), TypeError),
    "label": (None, lambda cs, o: cs.collective_name_for_binary(o.path), ()),
    "parse": (None, lambda cs, o: (cs.parse_nccl_table(o.text, o.label), cs.parse_nccl_table(o.utext, o.label)), ()),
    "to_int": (None, lambda cs, o: (cs._to_int(o.raw), cs._to_int(o.label), cs._to_int(None)), ()),
    "finalize": (OVERRIDES, lambda cs, o: cs._finalize_status(o.report), ()),
    "report-dict": (None, lambda cs, o: cs.NcclReport(results=o.rows, threshold=o.thr, error=o.label).to_dict(), ()),
    "topology": (None, lambda cs, o: (cs.parse_nccl_topo_xml(o.xml), cs._shared_prefix_len(o.hosts, o.cmd)), ()),
    "commands": (None, lambda cs, o: [cs._build_multi_node_command(mode=m, binary=o.path, node_ips=o.hosts,
                                                                   gpus_per_node=8, total_ranks=16.0, cfg=o.cfg)
                                      for m in ("srun", "mpirun", o.label)] + [
                                         cs._build_binary_command(o.path, 8, o.cfg), cs._select_launcher_mode()], ()),
    "resolve": (None, lambda cs, o: cs._resolve_binary(o.label, o.scope), ()),
    "sweeps": (None, lambda cs, o: (cs.launch_intra_node(8, o.gpu, collectives=o.collectives, runner=o.runner),
                                    cs.launch_multi_node(o.hosts, 2.0, o.gpu, collectives=o.collectives,
                                                         launcher_mode=o.scope, runner=o.runner)), ()),
    "run": (None, lambda cs, o: cs.ShellRunner().run(o.cmd, timeout=2.5, input_text=o.label), NotImplementedError),
}


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_leak(cs, monkeypatch, set_overrides, name):
    env, call, errors = SCENARIOS[name]
    if env:
        set_overrides(env)
    monkeypatch.setattr(cs, "_resolve_binary", cs._resolve_binary if name == "resolve" else lambda n, r: "/b/" + n)
    o = inputs(cs)
    watched = [*vars(o).values(), *(sys.intern(v) for v in ("pass", "warn", "unknown")), o.report.results,
               cs._INTRA_NODE_THRESHOLDS, cs.Threshold, cs.NcclResult, cs._NUMERIC, cs.classify, cs.NcclReport]

    def once():
        try:
            call(cs, o)
        except errors:
            pass

    for _ in range(WARMUP):
        once()
    tracemalloc.start()
    try:
        gc.collect()
        counts, before = [sys.getrefcount(w) for w in watched], tracemalloc.get_traced_memory()[0]
        for _ in range(ROUNDS):
            once()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < LIMIT_PER_CALL * ROUNDS, f"{grown} bytes retained after {ROUNDS} calls"
    moved = [sys.getrefcount(w) - c for w, c in zip(watched, counts)]
    assert all(abs(m) <= 2 for m in moved), f"reference counts moved {moved}"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("banner", ["", "\u2014\n"], ids=["ascii", "unicode"])
def test_resident_size_stays_flat_on_large_tables(cs, banner):
    parts = [p.read_text() for p in corpus_files("nccl-tests", "*.txt") if p]
    text = banner + "\n".join(parts + [ROW_TEXT * 400])

    def resident():
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    for _ in range(10):
        cs.parse_nccl_table(text, "all_reduce")
    before = resident()
    for _ in range(100):
        cs.parse_nccl_table(text, "all_reduce")
    # any per-call copy of the text (over 100 kB) that is never freed adds 10 MB or more
    assert resident() - before < 6 * 1024 * 1024
