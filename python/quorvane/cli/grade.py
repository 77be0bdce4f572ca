"""`quorvane grade FILE...`: grade saved nccl-tests outputs offline, with the
same field reader and verdict policy as a sweep."""
from __future__ import annotations

import argparse
import sys
import time
from typing import Any

from .. import analysis as qa
from .. import collsweep as cs
from ..record import Measured, build_record, hosts_of, now_utc
from .common import EXIT_STATUS_HELP, PROG, SCOPES, UsageError, check_gpu_type, read_capped, read_overrides, shown
from .outputs import add_output_options, check_output_options, emit
from .render import console_for, render_record


def read_saved(text: str) -> Any:
    """A saved output: nccl-tests' -J JSON file, or the text it prints."""
    return qa.read_json(text) if text.lstrip().startswith("{") else qa.read_output(text, "")


def cmd_grade(args: argparse.Namespace) -> int:
    overrides = read_overrides()
    check_output_options(args)
    twice = [f for i, f in enumerate(args.files) if f in args.files[:i]]
    if twice:
        raise UsageError(f"{shown(twice[0])} is listed twice")
    started_at, start = now_utc(), time.monotonic()
    measured = []
    for path in args.files:
        reading = read_saved(read_capped(path))
        label = reading.collective or next((row.collective for row in reading.rows), "")
        measured.append(Measured(label, reading=reading, source="standard input" if path == "-" else path))
    readings = [m.reading for m in measured]
    hosts = hosts_of(readings)
    scope = args.scope or ("multi" if len(hosts) > 1 else "intra")
    warning = check_gpu_type(args.gpu_type, scope, overrides)
    err = console_for(sys.stderr)
    out = err if args.json == "-" else console_for(sys.stdout)
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
    render_record(record, out)
    status = emit(record, args, say=err.print)
    return status or int(record["exit_status"])


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane grade` to the command line."""
    grade = sub.add_parser(
        "grade", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="grade saved nccl-tests outputs",
        description="Read outputs that nccl-tests printed (text, or the JSON of its -J option) and grade them "
                    "as a sweep would: the same reader, the same verdict and exit status.")
    grade.add_argument("files", nargs="+", metavar="FILE", help="a saved output ('-': standard input)")
    grade.add_argument("--gpu-type", required=True, metavar="TYPE",
                       help="GPU model for the cutoffs, e.g. H100_SXM (see `quorvane thresholds`)")
    grade.add_argument("--scope", choices=SCOPES,
                       help="intra (one host) or multi (several); default: from the hosts in the output")
    add_output_options(grade, logs=False)
    grade.set_defaults(handler=cmd_grade)

