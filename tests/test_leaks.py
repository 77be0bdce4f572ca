"""Repeated calls must not leak memory or references.

Each scenario runs a callable a few thousand times after a warm-up and checks
three things: memory traced by the interpreter's allocator stays flat, the
reference counts of the objects handed in (and of the module attributes the
call reads) come back to where they were, and, for large inputs, the process's
resident size stays flat (this also covers memory the extension allocates on
its own heap).
"""

import gc
import json
import os
import sys
import tracemalloc
from pathlib import Path

import pytest

OVERRIDE_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus" / "nccl-tests"

ROUNDS = 6000
WARMUP = 400
TRACED_LIMIT = 24 * 1024      # bytes over all rounds: far below one object per call
REFCOUNT_SLACK = 2


class MyStr(str):
    pass


class MyList(list):
    pass


class OnlyInt:
    def __int__(self):
        return 3


def fresh(text):
    """A str object that nothing else refers to."""
    return "".join(list(text))


def swallow(fn, *errors):
    def call():
        try:
            fn()
        except errors:
            pass
    return call


ROW_TEXT = "\n".join([
    "# nThread 1 nGpus 8 minBytes 8 maxBytes 134217728 step: 2(factor)",
    "#       size         count      type   redop    root     time   algbw   busbw #wrong     time   algbw   busbw #wrong",
    "           8             2     float     sum      -1    135.8    0.00    0.00      0    123.5    0.00    0.00      0",
    "        2048           512     float    none      -1    12.34   84.97  148.70      0    12.10   86.66  151.66      0",
    "           0             0   float     sum    35.20    0.00    0.00    N/A    34.05    0.00    0.00    N/A",
    "host:3442:3442 [0] NCCL INFO Launch mode Parallel",
    "    33554432       8388608     float     sum    19902    1.69    2.53  2e-07    19898    1.69    2.53  2e-07",
    "# Out of bounds values : 0 OK",
])
UNICODE_TEXT = "r\u00e9sum\u00e9\r\n" + ROW_TEXT.replace(" ", "\u2003") + "\x85\u0668 2 1.0 2.0 3.0 0\u2028"


def scenarios(cs):
    """name -> (callable, objects whose reference counts must not move)."""
    thr = cs.Threshold(320.0, 250.0)
    busbw = 300.5 * 1.0
    gpu, scope = fresh("H100_SXM"), fresh("intra")
    text, label = fresh(ROW_TEXT), fresh("all_reduce")
    utext = fresh(UNICODE_TEXT)
    path = fresh("/opt/nccl-tests/build/all_reduce_perf")
    odd_path = fresh("/x/alltoall_perf.exe")
    raw, bad_raw = fresh(" 1_024 "), fresh("0x10")
    rows = cs.parse_nccl_table(ROW_TEXT, "all_reduce")
    report = cs.NcclReport(gpu_type=gpu, scope=scope, results=list(rows))
    error_report = cs.NcclReport(gpu_type=gpu, error=fresh("all_gather_perf: not found"))
    broken_report = cs.NcclReport(gpu_type=None, results=list(rows))
    bad_headline = cs.NcclReport(results=[cs.NcclResult("all_reduce", 8, "12", 1.0, 1.0, 0)])
    runner = cs.ShellRunner()
    cmd = ["all_reduce_perf", "-b", "8"]
    sub_text, sub_list = MyStr("x"), MyList(["x"])
    modules = [cs._INTRA_NODE_THRESHOLDS, cs._MULTI_NODE_THRESHOLDS, cs.Threshold, cs.NcclResult,
               cs._NUMERIC, cs._COLLECTIVE_NAME_FROM_BIN, cs.classify, cs.threshold_for,
               cs._load_threshold_overrides, cs.NcclReport]
    return {
        "threshold_for-builtin": (lambda: cs.threshold_for(gpu, scope), [gpu, scope]),
        "threshold_for-missing": (lambda: cs.threshold_for(scope, gpu), [gpu, scope]),
        "threshold_for-keywords": (lambda: cs.threshold_for(scope=scope, gpu_type=gpu), [gpu]),
        "load_overrides": (cs._load_threshold_overrides, []),
        "classify": (lambda: cs.classify(busbw, thr), [busbw, thr]),
        "classify-int": (lambda: cs.classify(400, thr), [thr]),
        "classify-none": (lambda: cs.classify(None, None), []),
        "classify-refused": (swallow(lambda: cs.classify(gpu, thr), TypeError), [gpu, thr]),
        "classify-conversion-error": (swallow(lambda: cs.classify(OnlyInt(), thr), TypeError), [thr]),
        "label": (lambda: cs.collective_name_for_binary(path), [path]),
        "label-stripped": (lambda: cs.collective_name_for_binary(odd_path), [odd_path]),
        "parse-ascii": (lambda: cs.parse_nccl_table(text, label), [text, label]),
        "parse-unicode": (lambda: cs.parse_nccl_table(utext, label), [utext, label]),
        "to_int": (lambda: cs._to_int(raw), [raw]),
        "to_int-bad": (lambda: cs._to_int(bad_raw), [bad_raw]),
        "to_int-none": (lambda: cs._to_int(None), []),
        "finalize": (lambda: cs._finalize_status(report), [report, report.results]),
        "finalize-error": (lambda: cs._finalize_status(error_report), [error_report]),
        "finalize-refused": (swallow(lambda: cs._finalize_status(broken_report), TypeError),
                             [broken_report]),
        "records": (lambda: cs.NcclResult(label, 8, 1.0, 2.0, 3.0, 0).to_dict(), [label]),
        "report-dict": (lambda: cs.NcclReport(results=rows, threshold=thr, error=label).to_dict(),
                        [rows, thr, label]),
        "headline": (report.headline_all_reduce_busbw, [report]),
        "headline-refused": (swallow(bad_headline.headline_all_reduce_busbw, TypeError),
                             [bad_headline]),
        "refused-none": (swallow(lambda: cs.threshold_for(None, scope), TypeError), [scope]),
        "refused-subclass": (swallow(lambda: cs.parse_nccl_table(sub_text, label), TypeError),
                             [sub_text, label]),
        "refused-count": (swallow(lambda: cs.threshold_for(gpu, scope, gpu), TypeError), [gpu]),
        "refused-keyword": (swallow(lambda: cs.threshold_for(gpu, scope=scope, x=1), TypeError),
                            [gpu, scope]),
        "refused-multiple": (swallow(lambda: cs.threshold_for(gpu, gpu_type=gpu), TypeError),
                             [gpu]),
        "refused-missing": (swallow(lambda: cs.parse_nccl_table(text), TypeError), [text]),
        "run-missing-keyword": (swallow(lambda: runner.run(cmd), TypeError), [runner, cmd]),
        "run-refused-list": (swallow(lambda: runner.run(sub_list, timeout=1), TypeError),
                             [runner, sub_list]),
        "run-converted": (swallow(lambda: runner.run(cmd, timeout=2.5, input_text=label),
                                  NotImplementedError), [runner, cmd, label]),
        "function-attributes": (lambda: (cs.ShellRunner.run.__annotations__,
                                         cs.parse_nccl_table.__doc__,
                                         cs.ShellRunner.run.__kwdefaults__,
                                         report.to_dict), [report]),
    }, modules


SCENARIO_NAMES = [
    "threshold_for-builtin", "threshold_for-missing", "threshold_for-keywords", "load_overrides",
    "classify", "classify-int", "classify-none", "classify-refused", "classify-conversion-error",
    "label", "label-stripped", "parse-ascii", "parse-unicode", "to_int", "to_int-bad",
    "to_int-none", "finalize", "finalize-error", "finalize-refused", "records", "report-dict",
    "headline", "headline-refused", "refused-none", "refused-subclass", "refused-count",
    "refused-keyword", "refused-multiple", "refused-missing", "run-missing-keyword",
    "run-refused-list", "run-converted", "function-attributes",
]


def _measure(fn, watched):
    for _ in range(WARMUP):
        fn()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(ROUNDS):
        fn()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    moved = [sys.getrefcount(o) - c for o, c in zip(watched, counts)]
    return grown, moved


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.parametrize("overrides", [False, True], ids=["plain-env", "override-env"])
@pytest.mark.parametrize("name", SCENARIO_NAMES)
def test_no_leak(cs, traced, monkeypatch, name, overrides):
    if overrides:
        monkeypatch.setenv(OVERRIDE_VAR, json.dumps(
            {"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": "200"}, "skip": 1}))
    table, modules = scenarios(cs)
    fn, watched = table[name]
    watched = watched + modules
    grown, moved = _measure(fn, watched)
    assert grown < TRACED_LIMIT, f"{name}: {grown} bytes retained after {ROUNDS} calls"
    assert all(abs(m) <= REFCOUNT_SLACK for m in moved), f"{name}: reference counts moved {moved}"


def test_no_leak_on_failing_override(cs, traced, monkeypatch):
    monkeypatch.setenv(OVERRIDE_VAR, json.dumps({"X:intra": {"pass_min_gbps": "fast",
                                                             "warn_min_gbps": 1}}))
    gpu = fresh("H100_SXM")
    report = cs.NcclReport(gpu_type=gpu)
    fn = swallow(lambda: cs._finalize_status(report), ValueError)
    grown, moved = _measure(fn, [gpu, report])
    assert grown < TRACED_LIMIT
    assert all(abs(m) <= REFCOUNT_SLACK for m in moved)


def test_no_leak_with_replaced_pattern(cs, traced, monkeypatch):
    import re

    pattern = re.compile(r"[-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?")
    monkeypatch.setattr(cs, "_NUMERIC", pattern)
    text = fresh(ROW_TEXT)
    grown, moved = _measure(lambda: cs.parse_nccl_table(text, "all_reduce"), [text, pattern])
    assert grown < TRACED_LIMIT
    assert all(abs(m) <= REFCOUNT_SLACK for m in moved)


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _big_text():
    parts = []
    if CORPUS.is_dir():
        parts = [p.read_text() for p in sorted(CORPUS.glob("*.txt"))]
    parts.append(ROW_TEXT * 50)
    return "\n".join(parts)


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.parametrize("variant", ["ascii", "unicode"])
def test_resident_size_stays_flat_on_large_tables(cs, variant):
    text = _big_text()
    if variant == "unicode":
        text = "\u2014\n" + text.replace("\n", "\u2028")
    assert len(cs.parse_nccl_table(text, "all_reduce")) > 100
    for _ in range(20):
        cs.parse_nccl_table(text, "all_reduce")
    gc.collect()
    before = _resident_bytes()
    for _ in range(200):
        cs.parse_nccl_table(text, "all_reduce")
    gc.collect()
    grown = _resident_bytes() - before
    # 200 calls over ~100 kB of text: any per-call copy that is never freed
    # would add tens of megabytes.
    assert grown < 8 * 1024 * 1024, grown


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_size_stays_flat_on_many_small_calls(cs, monkeypatch):
    monkeypatch.setenv(OVERRIDE_VAR, json.dumps(
        {"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200}}))
    long_name = "x" * 300
    rows = cs.parse_nccl_table(ROW_TEXT, "all_reduce")

    def work():
        cs.threshold_for("H100_SXM", "intra")
        cs.collective_name_for_binary("/opt/nccl-tests/build/reduce_scatter_perf")
        cs._to_int(" 42 ")
        report = cs.NcclReport(gpu_type="H100_SXM", results=list(rows))
        cs._finalize_status(report)
        report.to_dict()
        try:
            cs.parse_nccl_table(MyStr(long_name), long_name)
        except TypeError:
            pass
        try:
            cs.ShellRunner().run(["x"], timeout=long_name)
        except TypeError:
            pass

    for _ in range(2000):
        work()
    gc.collect()
    before = _resident_bytes()
    for _ in range(30000):
        work()
    gc.collect()
    grown = _resident_bytes() - before
    assert grown < 6 * 1024 * 1024, grown
