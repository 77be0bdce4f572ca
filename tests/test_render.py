"""The tables of a sweep or a grade: bounded by the screen, not by the input.
A collective with more rows than a screenful shows its first and last rows
around one line that counts the rest; --all-rows shows them all; the record
keeps every row either way."""
import json
import os
import re
import subprocess
import sys

import pytest

from quorvane.cli.common import human_size

HEADER = ("# nccl-tests version 2.18.0 nccl-headers=22907 nccl-library=22907\n"
          "# Collective test starting: all_reduce_perf\n"
          "# nThread 1 nGpus 2 minBytes 8 maxBytes {most} step: 8(bytes) warmup iters: 5 iters: 20 agg iters: 1 "
          "validation: 1 graph: 0\n"
          "#  Rank  0 Group  0 Pid  1 on  node01 device  0 [0000:1b:00] NVIDIA H100 80GB HBM3\n"
          "#  Rank  1 Group  0 Pid  1 on  node01 device  1 [0000:43:00] NVIDIA H100 80GB HBM3\n"
          "#       size         count      type   redop    root     time   algbw   busbw  #wrong     time   algbw"
          "   busbw  #wrong\n"
          "#        (B)    (elements)                               (us)  (GB/s)  (GB/s)             (us)  (GB/s)"
          "  (GB/s)\n")


def output(rows):
    """An all_reduce output of `rows` rows, 8 bytes apart."""
    lines = [f"{8 * (i + 1):>12} {2 * (i + 1):>13}     float     sum      -1    10.00    0.00  {300 + i % 50:.2f}"
             f"       0    10.20    0.00  {299 + i % 50:.2f}       0" for i in range(rows)]
    return HEADER.format(most=8 * rows) + "\n".join(lines) + "\n# Out of bounds values : 0 OK\n# Avg bus bandwidth    : 1.0\n"


def grade(tmp_path, rows, *options):
    """What `grade` prints of the all_reduce table (the size column, and the
    elision line as it stands) and the record it writes."""
    path = tmp_path / "all_reduce.txt"
    path.write_text(output(rows))
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QUORVANE_NCCL", "NO_COLOR"))}
    r = subprocess.run([sys.executable, "-m", "quorvane", "grade", str(path), "--gpu-type", "H100_SXM",
                        "--no-record", "--json", str(tmp_path / "record.json"), *options],
                       capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode in (0, 1, 2), r.stderr
    lines = r.stdout.splitlines()
    start = next(i for i, line in enumerate(lines) if line.split()[-2:] == ["in", "cutoffs"]) + 1
    table = lines[start:lines.index("", start)]
    column = [line if "rows" in line else " ".join(line.split()[:2]) for line in table]
    return column, json.loads((tmp_path / "record.json").read_text())


@pytest.mark.parametrize("rows,options,elided", [
    (30, [], False),                 # fits: every row, no elision line
    (5_000, [], True),               # the first and the last rows around one line
    (300, ["--all-rows"], False),    # asked for all
])
def test_rows_shown_and_rows_kept(tmp_path, rows, options, elided):
    column, record = grade(tmp_path, rows, *options)
    sizes = [8 * (i + 1) for i in range(rows)]
    assert [row["size_bytes"] for row in record["collectives"][0]["rows"]] == sizes   # the record keeps all
    names = [human_size(s) for s in sizes]
    if not elided:
        assert column == names
        return
    at = next(i for i, cell in enumerate(column) if "rows" in cell)
    head, tail = column[:at], column[at + 1:]
    assert head == names[:len(head)] and tail == names[len(names) - len(tail):]
    assert 10 <= len(head) + len(tail) <= 60 and abs(len(head) - len(tail)) <= 1
    assert re.fullmatch(rf"\S+ {rows - len(head) - len(tail):,} rows \S+ .*--all-rows.*", column[at])
