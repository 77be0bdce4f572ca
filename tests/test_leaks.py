"""Repeated calls of every callable must not leak references or memory.

One leaked reference per call moves a watched count by ROUNDS; one leaked object
(16 bytes at the least) per call retains twice LIMIT_PER_CALL * ROUNDS bytes of
traced memory. (bench/soak.py watches the resident size over minutes.)
"""

import gc
import sys
import tracemalloc
from types import SimpleNamespace

import pytest

ROUNDS, WARMUP, LIMIT_PER_CALL = 1500, 100, 8
ROW_TEXT = ("#  size count type redop root time algbw busbw #wrong\n  8  2  float sum  -1  135.8  0.00  0.00  0  123.5"
            "  0.00  0.00  0\n  0  0  float sum  35.20  0.00  0.00  N/A  34.05  0.00  0.00  N/A\n"
            "host:3442:3442 [0] NCCL INFO Launch mode Parallel\n8 2 1.0 2.0 3.0 " + "9" * 400 + "\n")
TOPOLOGY = ('<system><cpu numaid="0"><pci busid="sw"><pci busid="g"><gpu dev="0"><nvlink target="a" count="2"/>'
            '</gpu></pci><pci busid="n"><net name="mlx5_0" speed="100"/></pci></pci></cpu>'
            '<pci busid="sw"><gpu dev="1"/><net name="mlx5_1"/></pci></system>')
OVERRIDES = '{"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": "200"}, "skip": 1}'


def inputs(cs):
    """Fresh objects (nothing else refers to them) for the calls to use."""
    o = SimpleNamespace(**{k: "".join(list(v)) for k, v in dict(
        gpu="H100_SXM", scope="intra", text=ROW_TEXT, label="all_reduce_perf", xml=TOPOLOGY, raw=" 1_024 ",
        utext="r\u00e9sum\u00e9\r\n" + ROW_TEXT.replace(" ", "\u2003")).items()})
    o.thr, o.cfg, o.hosts, o.sub = cs.Threshold(320.0, 250.0), cs._LauncherConfig(), [o.gpu, o.scope], type(
        "MyStr", (str,), {})("x")
    o.rows = cs.parse_nccl_table(ROW_TEXT, "all_reduce")
    o.report = cs.NcclReport(gpu_type=o.gpu, scope=o.scope, results=[r for r in o.rows if not r.wrong])
    o.runner = type("Canned", (cs.ShellRunner,), {"run": lambda self, cmd, *, timeout: cs.ShellResult(
        int(cmd[1] == "-b"), ROW_TEXT, "x" * 300)})()
    return o


SCENARIOS = {  # name: (override variable, call, errors the call raises)
    "threshold_for": (OVERRIDES, lambda cs, o: cs.threshold_for(o.gpu, scope=o.scope), ()),
    "threshold_for-failing": ('{"X:intra": {"pass_min_gbps": "fast", "warn_min_gbps": 1}}',
                              lambda cs, o: cs.threshold_for(o.gpu, o.scope), ValueError),
    "classify": (None, lambda cs, o: (cs.classify(300.5 * 1.0, o.thr), cs.classify(400, o.thr), cs.classify(1j, o.thr)),
                 TypeError),
    "refused": (None, lambda cs, o: cs.parse_nccl_table(o.sub, o.gpu), TypeError),
    "parse": (None, lambda cs, o: (cs.parse_nccl_table(o.text, o.gpu), cs.parse_nccl_table(o.utext, o.gpu),
                                   cs.collective_name_for_binary(o.label), cs._to_int(o.raw), cs._to_int(o.gpu)), ()),
    "finalize": (OVERRIDES, lambda cs, o: cs._finalize_status(o.report), ()),
    "report-dict": (None, lambda cs, o: cs.NcclReport(results=o.rows, threshold=o.thr, error=o.gpu).to_dict(), ()),
    "topology": (None, lambda cs, o: (cs.parse_nccl_topo_xml(o.xml), cs._shared_prefix_len(o.hosts, [o.gpu])), ()),
    "commands": (None, lambda cs, o: [cs._build_multi_node_command(
        mode=m, binary=o.label, node_ips=o.hosts, gpus_per_node=8, total_ranks=16.0, cfg=o.cfg)
        for m in ("srun", "mpirun", o.gpu)] + [cs._build_binary_command(o.label, 8, o.cfg), cs._select_launcher_mode()],
                 ()),
    "resolve": (None, lambda cs, o: cs._resolve_binary(o.label, o.scope), ()),
    "sweeps": (None, lambda cs, o: (cs.launch_intra_node(8, o.gpu, collectives=[o.label], runner=o.runner),
                                    cs.launch_multi_node(o.hosts, 2.0, o.gpu, collectives=[o.label],
                                                         launcher_mode=o.scope, runner=o.runner)), ()),
    "run": (None, lambda cs, o: cs.ShellRunner().run(o.hosts, timeout=2.5, input_text=o.gpu), NotImplementedError),
}


def retained(cs, o, call, errors, watched):
    """(bytes of traced memory retained, reference-count changes) over ROUNDS calls."""
    def once():
        try:
            call(cs, o)
        except errors:
            pass

    for _ in range(WARMUP):
        once()
    # ElementTree's own parser objects come and go with the collector (some kB under the malloc allocator)
    outside_et = [tracemalloc.Filter(False, "*/xml/etree/ElementTree.py")]
    tracemalloc.start()
    try:
        gc.collect()
        counts, before = [sys.getrefcount(w) for w in watched], tracemalloc.take_snapshot().filter_traces(outside_et)
        for _ in range(ROUNDS):
            once()
        gc.collect()
        after = tracemalloc.take_snapshot().filter_traces(outside_et)
    finally:
        tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    return grown, [sys.getrefcount(w) - c for w, c in zip(watched, counts)]


@pytest.mark.parametrize("name", sorted(SCENARIOS))
def test_no_leak(cs, monkeypatch, set_overrides, name):
    env, call, errors = SCENARIOS[name]
    if env:
        set_overrides(env)
    monkeypatch.setattr(cs, "_resolve_binary", cs._resolve_binary if name == "resolve" else lambda n, r: "/b/" + n)
    o = inputs(cs)
    watched = [*vars(o).values(), *(sys.intern(v) for v in ("pass", "warn", "unknown")), o.report.results,
               cs._INTRA_NODE_THRESHOLDS, cs.Threshold, cs.NcclResult, cs._NUMERIC, cs.classify, cs.NcclReport]

    grown, moved = retained(cs, o, call, errors, watched)
    assert grown < LIMIT_PER_CALL * ROUNDS, f"{grown} bytes retained after {ROUNDS} calls"
    assert all(abs(m) <= 2 for m in moved), f"reference counts moved {moved}"
