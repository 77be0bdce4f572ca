"""The nccl-tests table parser, executable labels and _to_int, held to the
plain-Python rules of tests/oracle.py on random text, real outputs and
replaced module attributes."""

import math
import re

import pytest
from conftest import corpus_files, corpus_text, fuzz
from hypothesis import given
from hypothesis import strategies as st

import oracle

def rows(cs, text, collective="c"):
    got = cs.parse_nccl_table(text, collective)
    assert all(type(r) is cs.NcclResult for r in got)
    return [tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in (
        r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.latency_us, r.wrong)) for r in got]


def expected(text, collective="c", numeric=oracle.NUMERIC):
    return [tuple("nan" if isinstance(v, float) and math.isnan(v) else v for v in row)
            for row in oracle.parse_nccl_table(text, collective, numeric)]


LINE_BREAKS = ["\n", "\r", "\r\n", "\x0b", "\x0c", "\x1c", "\x1d", "\x1e", "\x85", "\u2028", "\u2029"]
BLANKS = [" ", "  ", "\t", "\x1f", "\xa0", "\u2003", "\u3000"]
WORDS = ["float", "sum", "N/A", "#", "inf", "nan", "0e+00", "1e3", "+5", ".5", "5.", "--1", "1.2.3", "\x00",
         "\u0661\u0662", "\uff18", "\u0663.\u0665", "\u00b2", "\u2167"]
DIGITS = st.text(st.sampled_from("0123456789"), min_size=1, max_size=7) | st.text(
    st.sampled_from("0123456789"), min_size=18, max_size=25)  # around the 64-bit limits and past them
NUMBER = st.builds(lambda sign, whole, frac: sign + whole + frac, st.sampled_from(["", "", "-"]), DIGITS,
                   st.sampled_from(["", "", ".5", ".25", ".0", "." + "9" * 20]))


@st.composite
def line(draw, ascii_only):
    """Any tokens, or a data row (a size, then 3 to 12 numbers) with a few odd tokens put in."""
    pick = (lambda items: [i for i in items if i.isascii()]) if ascii_only else list
    odd = st.sampled_from(pick(WORDS) + ["9" * 400])
    if draw(st.booleans()):
        tokens = draw(st.lists(NUMBER | odd, max_size=14))
    else:
        tokens = [draw(DIGITS), *draw(st.lists(NUMBER, min_size=3, max_size=12))]
        for at, token in draw(st.lists(st.tuples(st.integers(0, 13), odd), max_size=3)):
            tokens.insert(at, token)
    blanks = draw(st.lists(st.sampled_from(pick(BLANKS)), min_size=len(tokens), max_size=len(tokens)))
    lead = draw(st.sampled_from(pick(["", "", " ", "#", " # ", "\u3000"])))
    return lead + "".join(t + b for t, b in zip(tokens, blanks)) + draw(st.sampled_from(pick(LINE_BREAKS) + [""]))


TEXT = st.lists(line(True), max_size=8).map("".join) | st.lists(line(False), max_size=8).map("".join)
SOUP = st.text(st.sampled_from("0123456789.- #\n\r\t\x1f\x0b" + "".join(LINE_BREAKS + BLANKS) + "\u0661\ud800"),
               max_size=200)


@fuzz(150)
@given(st.one_of(TEXT, TEXT, SOUP), st.integers(0, 9))
def test_any_text_follows_the_rules(cs, text, pad):
    text = " " * pad + text  # line ends at every offset of the scanner's eight-byte blocks
    assert rows(cs, text) == expected(text)


ODD_ROWS = ("8 2 1.5 2.5 3.5 0\n+8 2 1e3 2.5 3.5 0 +1\n8 2 float 0 59.75 0.00 0.00 0e+00 59.96 0.00 0.00 0e+00\n"
            "8 2 1.0 2.0 3.0 nan 4 5\n")


@pytest.mark.parametrize("pattern", [r"[-+]?\d+(?:\.\d+)?(?:[eE][-+]?\d+)?", r"\S+", r"\d+"])
def test_a_replaced_numeric_pattern_is_followed(cs, monkeypatch, pattern):
    pattern = re.compile(pattern)
    texts = [ODD_ROWS, "\u00e9\n" + ODD_ROWS, *(p.read_text() for p in corpus_files("nccl-tests", "*.txt")[:6] if p)]
    monkeypatch.setattr(cs, "_NUMERIC", pattern)
    assert [rows(cs, text) for text in texts] == [expected(text, numeric=pattern) for text in texts]
    assert rows(cs, ODD_ROWS) != expected(ODD_ROWS)  # the pattern makes a difference here


@pytest.mark.parametrize("text, want", [
    ("    2048    512  float  none  -1  12.34  84.97  148.70  0  12.10  86.66  151.66  0",
     [(2048, 148.70, 84.97, 12.34, 0)]),
    ("0 0 float sum 35.20 0.00 0.00 N/A 34.05 0.00 0.00 N/A", [(0, 0.0, 0.0, 35.2, 34)]),
    ("8 2 float 0 59.75 0.3 0.4 7", [(8, 0.4, 0.3, 59.75, 7)]), ("8 2 1.0 2.0 3.0", []),
    ("8 2 1.0 2.0 3.0 5. +1 .5 1e3 0 1", [(8, 0.0, 3.0, 2.0, 1)]),  # none of these words is a number
    ("8 2 3.0 4.0 5.0 -2.9", [(8, 5.0, 4.0, 3.0, -2)]),
    ("8 2 1.0 2.0 3.0 " + "9" * 400, []),
    ("8 2 1.0 2.0 3.0 0\r\n16 4 4.0 5.0 6.0 1\x1c", [(8, 3.0, 2.0, 1.0, 0), (16, 6.0, 5.0, 4.0, 1)]),
])
def test_worked_examples(cs, text, want):
    for variant in (text, "\u00e9\n" + text):  # the compiled scanner, and the general way
        assert rows(cs, variant, "broadcast") == [("broadcast", *w) for w in want]


@pytest.mark.parametrize("path", corpus_files("nccl-tests", "*.txt"), ids=lambda p: getattr(p, "name", "missing"))
def test_real_benchmark_output(cs, path):
    text = corpus_text(path)
    want = expected(text, "all_reduce")
    assert rows(cs, text, "all_reduce") == want
    assert rows(cs, text.replace("\n", "\r\n"), "all_reduce") == want
    assert rows(cs, "\u2500 r\u00e9sultat \u2500\n" + text, "all_reduce") == want
    if path.name == "dgx2_v100_12gpu_broadcast_v2x_root.txt":  # a root column and N/A-free rows
        assert (len(want), want[0], want[-1]) == (31, ("all_reduce", 8, 0.0, 0.0, 59.75, 59),
                                                  ("all_reduce", 8589934592, 122.15, 122.15, 70321.0, 70368))


@pytest.mark.parametrize("banner", ["", "\u00e9\n"], ids=["ascii", "general"])
@pytest.mark.parametrize("how", ["function", "init"])
def test_rows_are_made_by_keyword_through_whatever_ncclresult_is_now(cs, monkeypatch, banner, how):
    made = []

    def init(self, *, collective, size_bytes, busbw_gbps, algbw_gbps, latency_us, wrong):
        made.append([collective, size_bytes, busbw_gbps, algbw_gbps, latency_us, wrong])
        object.__setattr__(self, "size_bytes", size_bytes)

    if how == "function":
        monkeypatch.setattr(cs, "NcclResult", lambda **kw: made.append(list(kw.values())) or kw)
    else:
        monkeypatch.setattr(cs.NcclResult, "__init__", init)
    got = cs.parse_nccl_table(banner + "8 2 1.5 2.5 3.5 0\n16 4 4.5 5.5 6.5 1\n", "c")
    assert made == [["c", 8, 3.5, 2.5, 1.5, 0], ["c", 16, 6.5, 5.5, 4.5, 1]] and len(got) == 2
    assert how != "function" or list(got[0]) == ["collective", "size_bytes", "busbw_gbps", "algbw_gbps",
                                                  "latency_us", "wrong"]


@pytest.mark.parametrize("binary, label", [
    ("/opt/nccl-tests/build/all_reduce_perf", "all_reduce"), ("broadcast_perf", "broadcast"),
    ("sendrecv", "sendrecv"), ("all_reduce_perf.exe", "all_reduce.exe"), ("x_perf_mpi_perf", "x_mpi"),
    ("_pe_perfrf", "_perf"), ("ALL_REDUCE_PERF", "ALL_REDUCE_PERF"), ("/opt/bin/", ""), ("dir_perf/name", "name"),
])
def test_collective_name_for_binary(cs, binary, label):
    assert cs.collective_name_for_binary(binary) == label


@fuzz(150)
@given(st.one_of(st.text(max_size=12), st.from_regex(r"\s*[-+]?[0-9_a-fx]{1,25}\s*", fullmatch=True),
                 st.sampled_from(["\u0663", "1_000", "0x10", "1.0", "", "1" * 5000])))
def test_to_int_follows_the_rules(cs, raw):
    got = cs._to_int(raw)
    assert got == oracle.to_int(raw) and type(got) in (int, type(None))
