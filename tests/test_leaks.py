"""Repeated calls must not leak references or memory.

One leaked reference per call moves a watched count by ROUNDS; one leaked object
(16 bytes at the least) per call retains twice LIMIT_PER_CALL * ROUNDS bytes of
traced memory. Large tables also check the resident size, which covers memory
the extension allocates on its own heap.
"""

import gc
import json
import os
import sys
import tracemalloc
from pathlib import Path
from types import SimpleNamespace

import pytest

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus" / "nccl-tests"
ROUNDS = 1500
WARMUP = 100
LIMIT_PER_CALL = 8
REFCOUNT_SLACK = 2

ROW_TEXT = "\n".join([
    "#       size         count      type   redop    root     time   algbw   busbw #wrong",
    "           8             2     float     sum      -1    135.8    0.00    0.00      0    123.5    0.00    0.00      0",
    "           0             0   float     sum    35.20    0.00    0.00    N/A    34.05    0.00    0.00    N/A",
    "host:3442:3442 [0] NCCL INFO Launch mode Parallel",
    "    33554432       8388608     float     sum    19902    1.69    2.53  2e-07    19898    1.69    2.53  2e-07",
    "8 2 1.0 2.0 3.0 " + "9" * 30,
])
UNICODE_TEXT = "r\u00e9sum\u00e9\r\n" + ROW_TEXT.replace(" ", "\u2003") + "\x85\u0668 2 1 2 3 0"
OVERRIDES = json.dumps({"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": "200"},
                        "skip": 1})
FAILING_OVERRIDES = json.dumps({"X:intra": {"pass_min_gbps": "fast", "warn_min_gbps": 1}})


MyStr = type("MyStr", (str,), {})


def fresh(text):
    """A str object that nothing else refers to."""
    return "".join(list(text))


def inputs(cs):
    o = SimpleNamespace(gpu=fresh("H100_SXM"), scope=fresh("intra"), text=fresh(ROW_TEXT),
                        utext=fresh(UNICODE_TEXT), label=fresh("all_reduce"),
                        path=fresh("/opt/nccl-tests/build/all_reduce_perf.exe"),
                        raw=fresh(" 1_024 "), bad_raw=fresh("0x10"), busbw=300.5 * 1.0,
                        thr=cs.Threshold(320.0, 250.0), sub=MyStr("x"), runner=cs.ShellRunner(),
                        cmd=["all_reduce_perf", "-b", "8"])
    o.rows = cs.parse_nccl_table(ROW_TEXT, "all_reduce")
    o.report = cs.NcclReport(gpu_type=o.gpu, scope=o.scope,      # graded: no wrong results
                             results=[r for r in o.rows if not r.wrong])
    o.error_report = cs.NcclReport(gpu_type=o.gpu, error=fresh("all_gather_perf: not found"))
    o.broken_report = cs.NcclReport(gpu_type=None, results=list(o.rows))
    o.bad_headline = cs.NcclReport(results=[cs.NcclResult("all_reduce", 8, "12", 1.0, 1.0, 0)])
    return o


# (name, override variable, call, errors the call is expected to raise)
SCENARIOS = [
    ("threshold_for", None, lambda cs, o: cs.threshold_for(o.gpu, o.scope), ()),
    ("threshold_for-override", OVERRIDES,
     lambda cs, o: cs.threshold_for(scope=o.scope, gpu_type=o.gpu), ()),
    ("threshold_for-failing", FAILING_OVERRIDES, lambda cs, o: cs.threshold_for(o.gpu, o.scope),
     (ValueError,)),
    ("classify", None, lambda cs, o: (cs.classify(o.busbw, o.thr), cs.classify(400, o.thr)), ()),
    ("classify-refused", None, lambda cs, o: cs.classify(o.gpu, o.thr), (TypeError,)),
    ("classify-conversion-error", None, lambda cs, o: cs.classify(1j, o.thr), (TypeError,)),
    ("label", None, lambda cs, o: cs.collective_name_for_binary(o.path), ()),
    ("parse-ascii", None, lambda cs, o: cs.parse_nccl_table(o.text, o.label), ()),
    ("parse-unicode", None, lambda cs, o: cs.parse_nccl_table(o.utext, o.label), ()),
    ("to_int", None, lambda cs, o: (cs._to_int(o.raw), cs._to_int(o.bad_raw), cs._to_int(None)),
     ()),
    ("finalize", OVERRIDES, lambda cs, o: cs._finalize_status(o.report), ()),
    ("finalize-error", None, lambda cs, o: cs._finalize_status(o.error_report), ()),
    ("finalize-refused", None, lambda cs, o: cs._finalize_status(o.broken_report), (TypeError,)),
    ("report-dict", None,
     lambda cs, o: cs.NcclReport(results=o.rows, threshold=o.thr, error=o.label).to_dict(), ()),
    ("headline-refused", None, lambda cs, o: o.bad_headline.headline_all_reduce_busbw(),
     (TypeError,)),
    ("refused-subclass", None, lambda cs, o: cs.parse_nccl_table(o.sub, o.label), (TypeError,)),
    ("refused-keyword", None, lambda cs, o: cs.threshold_for(o.gpu, scope=o.scope, x=1),
     (TypeError,)),
    ("refused-missing", None, lambda cs, o: o.runner.run(o.cmd), (TypeError,)),
    ("run-converted", None, lambda cs, o: o.runner.run(o.cmd, timeout=2.5, input_text=o.label),
     (NotImplementedError,)),
]


def measure(fn, watched, errors=()):
    """(bytes retained, reference-count changes) over ROUNDS calls of fn."""
    def call():
        try:
            fn()
        except errors:
            pass

    for _ in range(WARMUP):
        call()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        call()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    return grown, [sys.getrefcount(o) - c for o, c in zip(watched, counts)]


@pytest.mark.parametrize("env, call, errors", [s[1:] for s in SCENARIOS],
                         ids=[s[0] for s in SCENARIOS])
def test_no_leak(cs, set_overrides, env, call, errors):
    if env:
        set_overrides(env)
    o = inputs(cs)
    # everything handed in, the verdict texts handed out, and the module attributes read
    watched = list(vars(o).values()) + [sys.intern(v) for v in ("pass", "warn", "unknown")] + [
        o.report.results, cs._INTRA_NODE_THRESHOLDS, cs.Threshold, cs.NcclResult, cs._NUMERIC,
        cs._COLLECTIVE_NAME_FROM_BIN, cs.classify, cs.threshold_for, cs.NcclReport]
    tracemalloc.start()
    try:
        grown, moved = measure(lambda: call(cs, o), watched, errors)
    finally:
        tracemalloc.stop()
    assert grown < LIMIT_PER_CALL * ROUNDS, f"{grown} bytes retained after {ROUNDS} calls"
    assert all(abs(m) <= REFCOUNT_SLACK for m in moved), f"reference counts moved {moved}"


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("banner", ["", "\u2014\n"], ids=["ascii", "unicode"])
def test_resident_size_stays_flat_on_large_tables(cs, banner):
    parts = [p.read_text() for p in sorted(CORPUS.glob("*.txt"))] if CORPUS.is_dir() else []
    text = banner + "\n".join(parts + [ROW_TEXT * 200])

    def resident():
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    assert len(cs.parse_nccl_table(text, "all_reduce")) > 100
    for _ in range(10):
        cs.parse_nccl_table(text, "all_reduce")
    before = resident()
    for _ in range(100):
        cs.parse_nccl_table(text, "all_reduce")
    # any per-call copy of the text (over 100 kB) that is never freed adds 10 MB or more
    assert resident() - before < 6 * 1024 * 1024
