"""The field reader of nccl-tests output: the real outputs of the corpus, the
library's parser on what it reads right, the stand-in, one-fault variants of a
clean table and -J files."""

import dataclasses
import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import conftest

import quorvane
import quorvane.analysis as qa
import quorvane.collsweep as cs

REPO = Path(__file__).resolve().parents[1]
CORPUS = conftest.CORPUS / "nccl-tests"
needs_corpus = pytest.mark.corpus
SIZES = (8192, 131072, 2097152, 33554432)
BLOCK = ["time", "algbw", "busbw", "#wrong"]


def library(text, label="x"):
    return [(r.collective, r.size_bytes, r.busbw_gbps, r.algbw_gbps, r.latency_us, r.wrong)
            for r in cs.parse_nccl_table(text, label)]


def codes(result):
    return {(f.code, f.severity.name) for f in result.findings}


def cells(size):
    t = 10 + size / 370e3
    return [str(size), str(size // 4), "float", "sum", "-1", f"{t:.2f}", f"{size / t / 1e3:.2f}",
            f"{size / t / 1e3 * 1.75:.2f}", "0", f"{t * 1.02:.2f}", f"{size / t / 1.02e3:.2f}",
            f"{size / t / 1.02e3 * 1.75:.2f}", "0"]


def table(sizes=SIZES, names=None, edit=None, maxbytes=33554432, footer=True):
    """A modern table; edit(size, cells) may change a row's cells (None drops it)."""
    names = names or ["size", "count", "type", "redop", "root"] + BLOCK + BLOCK
    out = ["# nccl-tests version 2.17.8 nccl-headers=22902 nccl-library=22902",
           "# Collective test starting: all_reduce_perf",
           f"# nThread 1 nGpus 8 minBytes 8192 maxBytes {maxbytes} step: 16(factor) warmup iters: 5 iters: 20",
           "#  Rank  0 Group  0 Pid   4180 on cnode3-002 device  0 [0000:1b:00] NVIDIA H100 80GB HBM3",
           "#  Rank  1 Group  0 Pid   4181 on cnode3-002 device  1 [0000:43:00] NVIDIA H100 80GB HBM3",
           "#       " + "  ".join(names)]
    for size in sizes:
        row = edit(size, cells(size)) if edit else cells(size)
        if row is not None:
            out.append("  ".join(f"{c:>8}" for c in row))
    if footer:
        out += ["# Out of bounds values : 0 OK", "# Avg bus bandwidth    : 137.474", "#",
                "# Collective test concluded: all_reduce_perf"]
    return "\n".join(out) + "\n"


def at(target, index, value):
    def edit(size, row):
        if size == target:
            row[index] = value
        return row
    return edit


# ---------------------------------------------------------------------------
# Real outputs: rows read, findings raised, completeness.

CORPUS_EXPECTED = {  # file: (rows, findings other than notes, complete)
    "aws_eks_efa_g4dn_t4_2node_tagoutput.txt": (31, set(), True),
    "aws_eks_efa_p4d_2node_16rank_tagoutput_v2x_err_exp.txt": (30, set(), True),
    "aws_p4de_2node_allreduce_srun_label.txt": (29, {("truncated", "error")}, False),
    "aws_p5en_allreduce_elided_middle.txt": (3, {("sizes-missing", "error")}, False),
    "azureml_k80_4gpu_allreduce_v2x_err_exp.txt": (7, {("sizes-not-reached", "warn")}, True),
    "coreweave_gb200_1440gpu_allreduce_partial.txt": (6, set(), True),
    "coreweave_h100_64gpu_sharp_allreduce_elided.txt":
        (5, {("sizes-missing", "error"), ("sizes-unexpected", "warn")}, False),
    "dgx2_v100_12gpu_5colls_v2x_0e00.txt": (155, {("error-above-tolerance", "fail"), ("out-of-bounds", "fail")}, True),
    "dgx2_v100_12gpu_allgather_v2x_1e00_failed.txt":
        (31, {("error-above-tolerance", "fail"), ("out-of-bounds", "fail")}, True),
    "dgx2_v100_12gpu_allreduce_v2x_err_exp.txt": (31, set(), True),
    "dgx2_v100_12gpu_broadcast_v2x_root.txt": (31, set(), True),
    "dgx2_v100_12gpu_reducescatter_v2x.txt": (31, set(), True),
    "ebpf_rtx5090_2rank_allgather_v2_18_0_with_stderr_noise.txt": (8, set(), True),
    "ebpf_rtx5090_2rank_broadcast_v2_18_0_root0.txt": (9, set(), True),
    "gcp_a3mega_h100_2node_allreduce_modern.txt": (31, set(), True),
    "nccl1_titanx_all_reduce_test_ms_res.txt": (20, {("truncated", "error")}, False),
    "rccl_mi300x_2node_allreduce_slurm.txt": (32, set(), True),
    "rccl_mi300x_8gpu_allreduce_k8s.txt": (31, set(), True),
    "rccl_mi355x_2node_allreduce_truncated.txt": (31, {("truncated", "error")}, False),
    "superbench_a100_allgather_v2x_na.txt": (34, set(), True),
    "superbench_a100_allreduce_v2x_na.txt": (34, set(), True),
    "superbench_a100_broadcast_v2x_na.txt": (34, set(), True),
    "superbench_a100_reduce_v2x_na.txt": (34, set(), True),
    "superbench_a100_reducescatter_v2x_na.txt": (34, set(), True),
    "xxrjun_h100_10node_5colls_v2_17_8.txt": (50, set(), True),
    "xxrjun_h100_8gpu_5colls_v2_17_8.txt": (50, set(), True),
}


@needs_corpus
def test_corpus_is_the_one_described():
    assert sorted(p.name for p in CORPUS.glob("*.txt")) == sorted(CORPUS_EXPECTED)


@needs_corpus
@pytest.mark.parametrize("name", sorted(CORPUS_EXPECTED))
def test_corpus_rows_findings_and_completeness(name):
    r = qa.read_output((CORPUS / name).read_text())
    rows, findings, complete = CORPUS_EXPECTED[name]
    assert (len(r.rows), {c for c in codes(r) if c[1] != "note"}, r.complete) == (rows, findings, complete)
    assert all(t.rows for t in r.tables)
    json.dumps(r.to_dict(), allow_nan=False)
    # the one-pass conversions agree with the row-by-row ones (in-place blocks, N/A counts and all)
    assert r.to_dict()["rows"] == [row.to_dict() for row in r.rows]
    made = r.library_results(cs.NcclResult)
    assert made == [cs.NcclResult(*row) for row in r.library_rows()]
    assert [vars(m) for m in made] == [vars(cs.NcclResult(*row)) for row in r.library_rows()]


# Files the library reads right, whole or in their first tables (its rows of
# alltoall and sendrecv, whose in-place #wrong is N/A, are shifted).
LIBRARY_EXACT = {
    "aws_p5en_allreduce_elided_middle.txt": 3, "coreweave_gb200_1440gpu_allreduce_partial.txt": 6,
    "coreweave_h100_64gpu_sharp_allreduce_elided.txt": 5,
    "ebpf_rtx5090_2rank_allgather_v2_18_0_with_stderr_noise.txt": 8,
    "ebpf_rtx5090_2rank_broadcast_v2_18_0_root0.txt": 9, "gcp_a3mega_h100_2node_allreduce_modern.txt": 31,
    "rccl_mi300x_2node_allreduce_slurm.txt": 32, "rccl_mi300x_8gpu_allreduce_k8s.txt": 31,
    "rccl_mi355x_2node_allreduce_truncated.txt": 31, "xxrjun_h100_10node_5colls_v2_17_8.txt": 30,
    "xxrjun_h100_8gpu_5colls_v2_17_8.txt": 30,
}
PREFIX = re.compile(r"^(\[1,\d+\]<stdout>:|0: )", re.M)


@needs_corpus
@pytest.mark.parametrize("name", sorted(LIBRARY_EXACT) + ["aws_eks_efa_g4dn_t4_2node_tagoutput.txt",
                                                          "aws_p4de_2node_allreduce_srun_label.txt"])
def test_corpus_rows_equal_the_library_where_it_reads_right(name):
    text = (CORPUS / name).read_text()
    mine = [r.to_library() for r in qa.read_output(text, "x").rows]
    if name in LIBRARY_EXACT:
        n = LIBRARY_EXACT[name]
        assert mine[:n] == library(text)[:n] and len(mine) >= n
    else:  # behind launcher prefixes the library reads nothing; without them, the same rows
        assert library(text) == [] and mine == library(PREFIX.sub("", text)) != []
        assert ("launcher-prefix", "note") in codes(qa.read_output(text))


@needs_corpus
@pytest.mark.parametrize("name, wrong_sizes", [
    ("dgx2_v100_12gpu_allgather_v2x_1e00_failed.txt", {4294967280, 8589934560}),
    ("dgx2_v100_12gpu_allreduce_v2x_err_exp.txt", set()),
    ("nccl1_titanx_all_reduce_test_ms_res.txt", set()),
    ("superbench_a100_reduce_v2x_na.txt", None),
    ("xxrjun_h100_8gpu_5colls_v2_17_8.txt", set()),
])
def test_corpus_old_error_and_na_columns_are_no_false_failure(name, wrong_sizes):
    text = (CORPUS / name).read_text()
    r = qa.read_output(text, "x")
    assert any(row[5] for row in library(text))  # the library's false failure
    if wrong_sizes is None:
        assert {row.wrong for row in r.rows} == {None} and ("not-checked", "note") in codes(r)
    else:
        assert {row.size_bytes for row in r.rows if row.wrong} == wrong_sizes
        assert all(row.ip_time_us for row in r.rows)


@needs_corpus
def test_corpus_header_versions_ranks_and_units():
    r = qa.read_output((CORPUS / "xxrjun_h100_10node_5colls_v2_17_8.txt").read_text())
    assert r.versions == {"nccl_tests": "2.17.8", "nccl_headers": "22902", "nccl_library": "22902"}
    assert (r.params["maxBytes"], r.params["step"], r.params["warmup_iters"]) == ("68719476736", "2(factor)", "5")
    assert [t.collective for t in r.tables] == ["all_reduce", "all_gather", "reduce_scatter", "alltoall", "sendrecv"]
    assert len(r.ranks) == 10 and r.ranks[3].device == "NVIDIA H100 80GB HBM3" and r.ranks[3].host
    nccl1 = qa.read_output((CORPUS / "nccl1_titanx_all_reduce_test_ms_res.txt").read_text())
    assert nccl1.rows[0].time_us == pytest.approx(1628.0) and nccl1.ranks[0].device == "GeForce GTX TITAN X"
    assert (nccl1.rows[0].size_bytes, nccl1.rows[0].count) == (10000000, 10000000)   # "bytes" and "N"


# ---------------------------------------------------------------------------
# Clean tables: the stand-in benchmark and a long generated table.

@pytest.mark.parametrize("collective", ["all_reduce", "all_gather", "reduce_scatter", "broadcast"])
def test_standin_output_reads_as_the_library_reads_it(collective):
    standin = Path(quorvane.__file__).parent / "_standin.py"
    text = subprocess.run([sys.executable, str(standin), "-b", "8192", "-e", "134217728", "-f", "16", "-g", "8",
                           "-n", "50", "-w", "5"], capture_output=True, text=True, timeout=10,
                          env={**os.environ, "NCCL_STANDIN_COLLECTIVE": collective}).stdout
    r = qa.read_output(text, collective)
    assert [row.to_library() for row in r.rows] == library(text, collective) != []
    assert r.complete and r.concluded and not r.findings and len(r.ranks) == 8


def test_long_generated_table_equals_the_library():
    text = table(sizes=range(8192, 8192 * 601, 8192), maxbytes=8192)
    r = qa.read_output(text, "all_reduce")
    assert [row.to_library() for row in r.rows] == library(text, "all_reduce") and len(r.rows) == 600


# ---------------------------------------------------------------------------
# One fault (or one format variant) at a time.

NINES = "1" + "0" * 309
VARIANTS = [  # id, table() arguments, the finding expected
    ("wrong-oop", dict(edit=at(33554432, 8, "3")), ("wrong-results", "fail")),
    ("wrong-ip", dict(edit=at(131072, 12, "2")), ("wrong-results", "fail")),
    ("wrong-negative", dict(edit=at(131072, 8, "-1")), ("negative-wrong", "fail")),
    ("busbw-310-digits", dict(edit=at(2097152, 7, NINES)), ("non-finite", "error")),
    ("busbw-nan", dict(edit=at(2097152, 11, "nan")), ("non-finite", "error")),
    ("size-arabic-digits", dict(edit=at(8192, 0, "٨١٩٢")), ("non-ascii-number", "error")),
    ("no-footer", dict(footer=False), ("truncated", "error")),
    ("middle-size-missing", dict(edit=lambda s, row: None if s == 131072 else row), ("sizes-missing", "error")),
    ("last-size-missing", dict(maxbytes=1 << 30), ("sizes-not-reached", "warn")),
    ("rows-twice", dict(sizes=[s for s in SIZES for _ in (0, 1)]), ("duplicate-tables", "error")),
    ("na-columns", dict(edit=lambda s, row: row[:8] + ["N/A"] + row[9:12] + ["N/A"]), ("not-checked", "note")),
    ("scientific", dict(edit=at(33554432, 5, "1.0e+04")), ("scientific-notation", "note")),
    ("extra-column", dict(names=["size", "count", "type", "redop", "root"] + BLOCK + BLOCK + ["gbps2"],
                          edit=lambda s, row: row + ["7"]), ("extra-columns", "note")),
]


@pytest.mark.parametrize("kwargs, expected", [v[1:] for v in VARIANTS], ids=[v[0] for v in VARIANTS])
def test_one_fault_gives_its_finding(kwargs, expected):
    r = qa.read_output(table(**kwargs))
    assert expected in codes(r)
    assert r.complete == (expected[1] != "error")
    json.dumps(r.to_dict(), allow_nan=False)


def test_fault_details():
    assert [row.wrong for row in qa.read_output(table(edit=at(33554432, 8, "3"))).rows] == [0, 0, 0, 3]
    assert [row.size_bytes for row in qa.read_output(table(edit=at(2097152, 7, NINES))).rows] == [8192, 131072, 33554432]
    assert qa.read_output(table(edit=at(33554432, 5, "1.0e+04"))).rows[3].time_us == 10000.0
    assert len(library(table(edit=at(8192, 0, "٨١٩٢")))) == 4  # the library takes Arabic-Indic digits
    assert {row.ip_wrong for row in qa.read_output(table(**VARIANTS[10][1])).rows} == {None}


@pytest.mark.parametrize("prefix", ["[1,0]<stdout>:", "0: ", "node7: ", "2025-01-31T12:00:00.5Z "])
def test_launcher_prefixes_are_stripped_and_other_ranks_skipped(prefix):
    lines = table().splitlines()
    noisy = [prefix + line for line in lines]
    noisy.insert(8, "[1,1]<stdout>:node8:21:21 [0] NCCL INFO comm 0x7f rank 1 - Init COMPLETE")
    r = qa.read_output("\n".join(noisy))
    assert [row.to_library() for row in r.rows] == [row.to_library() for row in qa.read_output(table()).rows]
    assert r.complete and ("launcher-prefix", "note") in codes(r)


def test_rows_of_two_tagged_ranks_are_duplicate_tables():
    lines = table().splitlines()
    mixed = [f"[1,{i % 2 if line[0] != '#' else 0}]<stdout>:{line}" for i, line in enumerate(lines)]
    assert ("duplicate-tables", "error") in codes(qa.read_output("\n".join(mixed)))


@pytest.mark.parametrize("text, finding", [
    ("", ("no-table", "error")),
    ("Segmentation fault (core dumped)\n       8192  2048  float  sum  -1  1.0  1.0  1.0  0\n", ("no-table", "error")),
    (table().replace("# nThread", "# nThread 1 nGpus 8\n# nThread"), ("duplicate-tables", "error")),
    (table().replace("Rank  1 Group", "Rank  0 Group"), ("duplicate-tables", "error")),
    (table().replace("137.474", "137.474 FAILED"), ("min-bw-not-met", "warn")),
    (table().replace("all_reduce_perf", "all_gather_perf"), ("collective-mismatch", "warn")),
])
def test_output_level_findings(text, finding):
    r = qa.read_output(text, "all_reduce")
    assert finding in codes(r) and r.complete == (finding[1] == "warn")


def test_per_iteration_time_stamp_and_old_starred_error_columns():
    per_iter = BLOCK + ["i_min", "i_max", "i_p99", "i_cv%"]
    r = qa.read_output(table(names=["size", "count", "type", "redop", "root"] + per_iter + per_iter + ["timestamp"],
                             edit=lambda s, row: row[:9] + ["1", "2", "3", "4"] + row[9:] + ["5", "6", "7", "8",
                                                                                            "2025-01-31", "12:00:00"]))
    row = r.rows[0]
    assert (row.per_iter.p99_us, row.ip_per_iter.cv_pct, row.timestamp) == (3.0, 8.0, "2025-01-31 12:00:00")
    assert r.complete and row.to_library() == qa.read_output(table()).rows[0].to_library()
    old = ["size", "count", "type", "redop", "time", "algbw", "busbw", "error"]
    starred = table(names=old + old[4:], edit=lambda s, row: row[:4] + row[5:8] + ["2e-07*" if s == 8192 else "2e-07"]
                    + row[9:12] + ["2e-07"])  # rccl-tests stars what its own threshold rejects
    r = qa.read_output(starred.replace("0 OK", "1 FAILED"))
    assert ("error-above-tolerance", "fail") in codes(r) and [row.wrong for row in r.rows] == [1, 0, 0, 0]


@pytest.mark.parametrize("alias, name", [("wrong", "#wrong"), ("op", "redop"), ("N", "count")])
def test_older_header_names_read_alike(alias, name):
    names = ["size", "count", "type", "redop", "root"] + BLOCK + BLOCK
    plain = qa.read_output(table(names=names, edit=at(33554432, 8, "3")))
    older = qa.read_output(table(names=[alias if n == name else n for n in names], edit=at(33554432, 8, "3")))
    assert [dict(r.to_dict()) for r in older.rows] == [dict(r.to_dict()) for r in plain.rows]
    assert codes(older) == codes(plain) and ("wrong-results", "fail") in codes(older)


@pytest.mark.parametrize("data_type, ranks, error, above", [
    ("half", 2, "4e-02", False),       # half precision is allowed 5e-2 for each other rank
    ("half", 2, "6e-02", True),
    ("float", 2, "9e-06", False),      # float 1e-5: one other rank
    ("float", 2, "1.5e-05", True),
    ("float", 8, "6.5e-05", False),    # seven other ranks: 7e-5
    ("float", 8, "7.5e-05", True),
    ("int32", 2, "1e-09", True),       # integers match exactly
])
def test_error_columns_against_the_tolerance_of_their_type(data_type, ranks, error, above):
    old = ["size", "count", "type", "redop", "time", "algbw", "busbw", "error"]
    text = table(names=old + old[4:], edit=lambda s, row: row[:2] + [data_type] + row[3:4] + row[5:8]
                 + [error if s == 8192 else "0"] + row[9:12] + ["0"])
    rank = "#  Rank  1 Group  0 Pid   4181 on cnode3-002 device  1 [0000:43:00] NVIDIA H100 80GB HBM3\n"
    text = text.replace(rank, "".join(rank.replace("Rank  1", f"Rank {i:2d}") for i in range(1, ranks)))
    for footer, severity in (("0 OK", "warn"), ("1 FAILED", "fail")):   # the footer says how bad, not whether
        r = qa.read_output(text.replace("0 OK", footer))
        assert (("error-above-tolerance", severity) in codes(r)) == above, footer
        assert [row.wrong for row in r.rows] == [int(above and severity == "fail"), 0, 0, 0]


@pytest.mark.parametrize("rows, suffix", [(1, ""), (2, " (2 times)"), (3, " (3 times)")])
def test_a_finding_repeated_says_how_often(rows, suffix):
    wrong = [33554432, 2097152, 131072][:rows]
    r = qa.read_output(table(edit=lambda s, row: row[:8] + ["3"] + row[9:] if s in wrong else row))
    [found] = [f for f in r.findings if f.code == "wrong-results"]
    assert found.message.endswith(suffix) and (suffix or not found.message.endswith(" times)"))


def test_headline_is_the_first_best_all_reduce_row():
    rows = qa.read_output(table(edit=at(2097152, 7, "999.00")), "all_reduce").rows
    assert qa.headline(rows) == (999.0, 2097152)
    assert qa.headline(qa.read_output(table(), "all_gather").rows) is None


# ---------------------------------------------------------------------------
# -J files.

def json_doc(version, busbw="nan"):
    results = [{"size": s, "count": s // 4, "type": "float", "redop": "sum", "root": "    -1",
                "out_of_place": {"time": 10.5, "alg_bw": 1.25, "bus_bw": 2.5, "nwrong": 0.0},
                "in_place": {"time": 11.0, "alg_bw": 1.2, "bus_bw": busbw if s == 131072 else 2.4, "nwrong": None},
                "actual_iterations": 20, "experiment_name": ""} for s in SIZES]
    return {"version": version, "start_time": "2025-01-31 12:00:00", "args": ["/opt/build/all_gather_perf", "-b", "8K"],
            "env": ["HOME=/root", "AWS_SECRET_ACCESS_KEY=hunter2-secret"], "nccl_version": 22902,
            "config": {"nthreads": 1, "ngpus": 8, "minimum_bytes": 8192, "maximum_bytes": 33554432,
                       "step_factor": 16, "validation": 1, "blocking_collectives": "false",
                       "devices": [{"rank": 0, "group": 0, "pid": 7, "hostname": "h1", "device": 0,
                                    "device_hex": "0000:1b:00", "device_info": "NVIDIA H100"}]},
            "results": results, "out_of_bounds": {"count": 0, "okay": "true"},
            "average_bus_bandwidth": {"bandwidth": 2.5, "okay": "unchecked"}, "errors": [""],
            "end_time": "2025-01-31 12:00:01"}


@pytest.mark.parametrize("version", [1, 2, 3])
def test_json_files_read_and_keep_no_secrets(version):
    clean = qa.read_json(json.dumps(json_doc(version, busbw=2.4)))
    assert clean.complete and not [f for f in clean.findings if f.severity.name != "note"]
    assert [(row.collective, row.size_bytes, row.root, row.wrong, row.ip_wrong) for row in clean.rows][:1] == \
        [("all_gather", 8192, -1, 0, None)]
    assert (clean.params["step"], clean.ranks[0].host, clean.versions["nccl_library"]) == ("16(factor)", "h1", "22902")
    r = qa.read_json(json.dumps(json_doc(version)))
    assert ("non-finite", "error") in codes(r) and len(r.rows) == 3
    for result in (clean, r):
        assert "hunter2" not in json.dumps(result.to_dict(), allow_nan=False)


@pytest.mark.parametrize("cut, code", [
    (lambda t: t[: t.index('"nwrong"', t.index('"in_place"', t.index('{"size": 2097152')))] + '"nwrong": nu',
     "json-truncated"),
    (lambda t: t.replace("hunter2-secret", "hunter2\x01"), "json-invalid"),
    (lambda t: t.replace('"bus_bw": 2.5', '"bus_bw": inf', 1), "non-finite"),
    (lambda t: '{"results": ' + "[" * 200000 + "]" * 200000 + "}", "json-invalid"),  # no stack overflow
])
def test_broken_json_is_an_error_and_keeps_what_was_whole(cut, code):
    r = qa.read_json(cut(json.dumps(json_doc(2, busbw=2.4))))
    assert (code, "error") in codes(r) and not r.complete
    assert "hunter2" not in json.dumps(r.to_dict(), allow_nan=False)
    if code == "json-truncated":
        assert [row.size_bytes for row in r.rows] == [8192, 131072]


# ---------------------------------------------------------------------------
# Bus bandwidths that are no measurement, negative values, duplicated keys.

@pytest.mark.parametrize("edit, code", [
    (None, None),
    (at(2097152, 7, "99999.99"), "busbw-mismatch"),    # its own algbw implies a fraction of that
    (at(2097152, 11, "99999.99"), "busbw-mismatch"),   # the same in the in-place block
    (at(2097152, 7, "-1.00"), "negative-value"),       # left out
    (at(2097152, 5, "-3.50"), "negative-value"),
])
def test_busbw_that_is_no_measurement_is_an_error_and_never_the_headline(edit, code):
    clean = qa.read_output(table(), "all_reduce")
    r = qa.read_output(table(edit=edit), "all_reduce")
    assert {c for c, severity in codes(r) if severity == "error"} == ({code} if code else set())
    assert r.complete == (code is None)
    assert r.headline() == clean.headline() == (clean.rows[3].busbw_gbps, 33554432)
    assert len(r.rows) == (3 if code == "negative-value" else 4)


@pytest.mark.parametrize("reading", [
    lambda: qa.read_output(table(edit=lambda s, row: row if s != 2097152 else
                                 row[:6] + ["5000.00", "8750.00"] + row[8:10] + ["5000.00", "8750.00", "0"]),
                           "all_reduce"),
    lambda: qa.read_json(json.dumps(json_doc(3, busbw=2.4)).replace('"bus_bw": 2.5', '"bus_bw": 1e+300', 1)
                         .replace('"alg_bw": 1.25', '"alg_bw": 5e+299', 1), "all_reduce"),
])
def test_busbw_above_twice_the_links_is_an_error_and_never_the_headline(reading):
    r = reading()
    assert not [c for c in codes(r) if c[1] == "error"]      # consistent with its own algbw
    top = max(range(len(r.rows)), key=lambda i: r.rows[i].busbw_gbps)
    assert r.headline()[0] == r.rows[top].busbw_gbps
    # A type without a budget: only what no GPU's links come near (ten times the fastest budget).
    assert len(r.check_link_budget("NO_SUCH_GPU", "intra")) == (r.rows[top].busbw_gbps > 9000)
    [found] = r.check_link_budget("H100_SXM", "intra")
    assert (found["code"], found["severity"]) == ("busbw-above-links", "error") and "1575 GB/s: twice 787.5" in found["message"]
    assert r.headline() is not None and r.headline()[0] < 900


def test_json_duplicated_key_keeps_the_last_value():
    doc = json.dumps(json_doc(3, busbw=2.4))
    r = qa.read_json(doc.replace('"nwrong": 0.0', '"nwrong": 0.0, "nwrong": 5', 1))
    assert ("wrong-results", "fail") in codes(r) and r.rows[0].wrong == 5
    r = qa.read_json(doc.replace('"time": 10.5', '"time": -10.5', 1))
    assert ("negative-value", "error") in codes(r) and len(r.rows) == 3


# ---------------------------------------------------------------------------
# Outputs that do not name their collective; several runs in one file.

def unnamed(redop, root, factor, ranks):
    """A table naming no collective, with `ranks` Rank lines and busbw = algbw * factor."""
    out = ["# nThread 1 nGpus 1 minBytes 8192 maxBytes 33554432 step: 16(factor) warmup iters: 5 iters: 20"]
    out += [f"#  Rank {i:2} Group  0 Pid {100 + i} on host{i // 4} device {i % 4} [0000:1b:00] NVIDIA H100 80GB HBM3"
            for i in range(ranks)]
    out.append("#       size  count  type  redop  root  time  algbw  busbw  #wrong  time  algbw  busbw  #wrong")
    for size in SIZES:
        t = 10 + size / 370e3
        algbw = size / t / 1e3
        block = [f"{t:.2f}", f"{algbw:.2f}", f"{algbw * factor:.2f}", "0"]
        out.append("  ".join([str(size), str(size // 4), "float", redop, str(root)] + block + block))
    return "\n".join(out + ["# Out of bounds values : 0 OK", "# Avg bus bandwidth    : 1.0", ""])


@pytest.mark.parametrize("redop, root, factor, ranks, expected", [
    ("sum", -1, 2 * 7 / 8, 8, "all_reduce"),
    ("none", -1, 7 / 8, 8, "all_gather"),
    ("sum", -1, 7 / 8, 8, "reduce_scatter"),
    ("none", 0, 1.0, 8, "broadcast"),
    ("sum", 0, 1.0, 8, "reduce"),
    ("sum", -1, 2 * 15 / 16, 0, "all_reduce"),    # no device list: the ratio alone
    ("sum", -1, 1.0, 8, ""),                      # sendrecv's factor on 8 ranks: not told apart
    ("sum", -1, 7 / 8, 16, ""),                   # no factor of 16 ranks
])
def test_collective_from_the_columns(redop, root, factor, ranks, expected):
    r = qa.read_output(unnamed(redop, root, factor, ranks))
    assert r.collective == expected and {row.collective for row in r.rows} == {expected}
    assert (("collective-from-columns", "note") in codes(r)) == bool(expected)
    assert qa.read_output(unnamed(redop, root, factor, ranks), "sendrecv").collective == "sendrecv"


@needs_corpus
@pytest.mark.parametrize("name, labels, faulty", [
    ("dgx2_v100_12gpu_5colls_v2x_0e00.txt", ["all_gather", "all_reduce", "broadcast", "reduce", "reduce_scatter"],
     {"all_gather"}),
    ("xxrjun_h100_8gpu_5colls_v2_17_8.txt", ["all_reduce", "all_gather", "reduce_scatter", "alltoall", "sendrecv"],
     set()),
    ("xxrjun_h100_10node_5colls_v2_17_8.txt", ["all_reduce", "all_gather", "reduce_scatter", "alltoall", "sendrecv"],
     set()),
])
def test_runs_one_after_another_are_read_apart(name, labels, faulty):
    text = (CORPUS / name).read_text()
    whole, parts = qa.read_output(text), qa.read_output_parts(text)
    assert [p.collective for p in parts] == [t.collective for t in whole.tables] == labels
    assert [row.to_library() for p in parts for row in p.rows] == [row.to_library() for row in whole.rows]
    for p in parts:  # each run keeps its own findings, device list and footer
        assert [t.collective for t in p.tables] == [p.collective] and len(p.ranks) == len(whole.ranks)
        assert p.complete  # wrong results are a failure, not an unfinished run
        assert bool([f for f in p.findings if f.severity.name == "fail"]) == (p.collective in faulty)
        assert all(f.message.startswith(p.collective) for f in p.findings if f.severity.name != "note")
    assert [len(p.rows) for p in qa.read_output_parts(table())] == [4]


_FIELDS = [f.name for f in dataclasses.fields(cs.NcclResult)]
_Loose = dataclasses.make_dataclass("_Loose", _FIELDS)   # not frozen
_Checked = dataclasses.make_dataclass("_Checked", _FIELDS, frozen=True,   # with a __post_init__ of its own
                                      namespace={"__post_init__": lambda self: None})


def test_library_results_are_the_library_results_calling_it_makes():
    r = qa.read_output(table(), "all_reduce")
    made = r.library_results(cs.NcclResult)
    assert made == [cs.NcclResult(*row) for row in r.library_rows()] and len(made) == 4
    with pytest.raises(dataclasses.FrozenInstanceError):
        made[0].wrong = 1
    assert len({hash(m) for m in made}) == 4 and made[0].to_dict()["collective"] == "all_reduce"
    for other in (_Loose, _Checked, tuple, lambda *fields: fields):   # made only by running their code
        with pytest.raises(TypeError, match="frozen dataclass"):
            r.library_results(other)


def test_rows_view_and_one_conversion_agree():
    r = qa.read_output(table(), "all_reduce")
    d = r.to_dict()
    assert d["rows"] == [row.to_dict() for row in r.rows] and len(r.rows) == 4
    assert r.rows[-1].size_bytes == 33554432 and [row.size_bytes for row in r.rows] == list(SIZES)
    with pytest.raises(IndexError):
        r.rows[4]
    assert r.library_rows() == [row.to_library() for row in r.rows]
    assert r.findings is r.findings and r.ranks is r.ranks  # converted once
    rows = r.rows
    del r  # the view keeps its reading alive
    assert rows[0].collective == "all_reduce"
