"""`quorvane grade FILE...`: grade saved nccl-tests outputs offline, with the
same field reader and verdict policy as a sweep."""
from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

from .. import analysis as qa
from .. import collsweep as cs
from ..causes import caveats_of
from ..policy import SCOPES, check_gpu_type, read_overrides
from ..record import Measured, build_record, finding, hosts_of, now_utc
from . import add_command, options
from .common import VERDICT_STATUSES, PROG, UsageError, read_capped, shown
from .outputs import Outputs
from .render import render_record
from .term import console_for


# Collectives as file names spell them, longest first (so "reducescatter" is not taken for "reduce").
_NAMED = ("reduce_scatter", "all_reduce", "all_gather", "broadcast", "sendrecv", "hypercube", "alltoall",
          "reduce", "gather", "scatter")


def read_saved(text: str, collective: str = "") -> Any:
    """A saved output: nccl-tests' -J JSON file, or the text it prints."""
    return qa.read_json(text, collective) if text.lstrip().startswith("{") else qa.read_output(text, collective)


def collective_in_name(path: str) -> str:
    """The collective a file name mentions ("nccl_allreduce.log" -> "all_reduce"), or ""."""
    name = "".join(c for c in os.path.basename(path).lower() if c.isalnum())
    return next((label for label in _NAMED if label.replace("_", "") in name), "")


def cmd_grade(args: argparse.Namespace) -> int:
    overrides = read_overrides()
    outputs = Outputs.resolve(args)
    twice = [f for i, f in enumerate(args.files) if f in args.files[:i]]
    if twice:
        raise UsageError(f"{shown(twice[0])} is listed twice")
    started_at, start = now_utc(), time.monotonic()
    measured = []
    for path in args.files:
        text = read_capped(path)
        reading = read_saved(text, args.collective or "")
        extra = []
        if any(not row.collective for row in reading.rows) or (not reading.rows and not reading.collective):
            guess = collective_in_name(path)
            if guess:  # the output does not say which collective it measured
                reading = read_saved(text, guess)
                extra.append(finding("collective-from-name", "note", f"taken to be {guess} from the file name"))
            else:
                extra.append(finding("collective-unknown", "warn", "the output does not say which collective it "
                                     "measured; give --collective"))
        label = reading.collective or next((row.collective for row in reading.rows), "")
        measured.append(Measured(label, reading=reading, source="standard input" if path == "-" else path,
                                 extra_findings=extra))
    readings = [m.reading for m in measured]
    hosts = hosts_of(readings)
    scope = args.scope or ("multi" if len(hosts) > 1 else "intra")
    warning = check_gpu_type(args.gpu_type, scope, overrides)
    err = console_for(sys.stderr)
    out = err if outputs.record_on_stdout else console_for(sys.stdout)
    if warning:
        err.print(f"{PROG}: warning: {warning}")
    num_nodes = max(1, len(hosts))
    ranks = max((len(r.ranks) for r in readings), default=0)

    # The library grades the reader's rows: its report is kept in the record as a sweep's is.
    report = cs.NcclReport(gpu_type=args.gpu_type, scope=scope, num_nodes=num_nodes,
                           gpus_per_node=ranks // num_nodes,
                           results=[cs.NcclResult(*row.to_library()) for r in readings for row in r.rows])
    cs._finalize_status(report)
    record = build_record("grade", started_at=started_at, wall_s=time.monotonic() - start, hosts=hosts,
                          gpu_type=args.gpu_type, scope=scope, num_nodes=num_nodes,
                          gpus_per_node=ranks // num_nodes, emulated=False, measured=measured,
                          overrides=overrides, report=report,
                          extra={"inputs": [m.source for m in measured]})
    record["caveats"] = caveats_of(record, measured)
    render_record(record, out, all_rows=args.all_rows)
    status = outputs.emit(record, say=err.print)
    return status or int(record["exit_status"])


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane grade` to the command line."""
    grade = add_command(
        sub, "grade", fmt, statuses=VERDICT_STATUSES,
        description="Read outputs that nccl-tests printed (text, or the JSON of its -J option) and grade them "
                    "as a sweep would: the same reader, the same verdict and exit status.")
    grade.add_argument("files", nargs="+", metavar="FILE", help="a saved output ('-': standard input)")
    options.gpu_type(grade)
    grade.add_argument("--collective", metavar="NAME", type=lambda t: t.strip().removesuffix("_perf"),
                       help="the collective of outputs that do not name it (default: from the file name)")
    grade.add_argument("--scope", choices=SCOPES,
                       help="intra (one host) or multi (several); default: from the hosts in the output")
    options.all_rows(grade)
    options.outputs(grade, logs=False)
    grade.set_defaults(handler=cmd_grade)

