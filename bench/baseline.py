"""The table and topology parsers written in plain Python, as a user would.

They are the readers of tests/oracle.py, which the tests hold the module to;
here the table rows are made as quorvane.collsweep.NcclResult records (by
keyword), as the module makes them, so that the benchmarks can set the
compiled module beside them. Nothing there is tuned: it is the
straightforward code the extension replaces.
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))

import oracle  # noqa: E402

NUMERIC = oracle.NUMERIC
tuple_row = oracle.tuple_row
parse_nccl_topo_xml = oracle.parse_nccl_topo_xml


def parse_nccl_table(text, collective, record=None, numeric=NUMERIC):
    """Rows of an nccl-tests table: `record(collective=..., ...)` per data row
    (NcclResult by default; `tuple_row` for plain tuples)."""
    if record is None:
        from quorvane.collsweep import NcclResult as record
    return oracle.parse_nccl_table(text, collective, numeric=numeric, record=record)
