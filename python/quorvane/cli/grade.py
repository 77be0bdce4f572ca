"""`quorvane grade FILE...`: grade saved nccl-tests outputs offline, with the
same field reader and verdict policy as a sweep.

Files are read as they come: a file holding several runs one after another is
graded per run; a run that names no collective gets it from its columns (the
reader says so), else from the file name; hosts, scope and GPUs per host come
from the # Rank lines unless given."""
from __future__ import annotations

import argparse
import os
import sys
import time
from collections import Counter
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from .. import analysis as qa
from ..policy import SCOPES, check_gpu_type, read_overrides
from ..nccl_debug import context_from_topology
from . import add_command, options
from .common import (VERDICT_STATUSES, PROG, Preload, UsageError, collector_paused, keep_to_the_end, read_capped,
                     shown)
from .outputs import Outputs
from .term import Lines

if TYPE_CHECKING:
    from ..record import Measured

# What grading needs after the reading, loaded while the outputs are read (the
# reader lets other threads run).
AFTER_READING = ("quorvane.collsweep", "quorvane.record", "quorvane.causes", "quorvane.cli.render")


# Collectives as file names spell them, longest first (so "reducescatter" is not taken for "reduce").
_NAMED = ("reduce_scatter", "all_reduce", "all_gather", "broadcast", "sendrecv", "hypercube", "alltoall",
          "reduce", "gather", "scatter")


def read_saved(text: str, collective: str = "") -> list[qa.ReadResult]:
    """A saved output, one reading per run it holds: nccl-tests' -J JSON file,
    or the text it prints (several runs one after another are read apart)."""
    if text.lstrip().startswith("{"):
        return [qa.read_json(text, collective)]
    return list(qa.read_output_parts(text, collective))


def collective_in_name(path: str) -> str:
    """The collective a file name mentions ("nccl_allreduce.log" -> "all_reduce"), or ""."""
    name = "".join(c for c in os.path.basename(path).lower() if c.isalnum())
    return next((label for label in _NAMED if label.replace("_", "") in name), "")


def path_account(reader: Any) -> dict[str, Any] | None:
    """NCCL's account of the path from debug lines in the outputs, or None when they hold none."""
    acc: dict[str, Any] = reader.account(context_from_topology(None, os.environ.get("NCCL_IB_HCA", ""))).to_dict()
    return acc if acc["nccl_lines"] else None


def _readings_of(path: str, text: str, collective: str) -> tuple[str, list[qa.ReadResult], list[tuple[str, str, str]]]:
    """The readings of one file, where they came from and notes on it (code, severity, message)."""
    source = "standard input" if path == "-" else path
    readings = read_saved(text, collective)
    notes: list[tuple[str, str, str]] = []
    if len(readings) == 1 and not readings[0].collective:
        guess = collective_in_name(path)
        if guess:  # neither the output nor its columns say which collective it measured
            readings = read_saved(text, guess)
            notes.append(("collective-from-name", "note", f"taken to be {guess} from the file name"))
        else:
            notes.append(("collective-unknown", "warn", "the output does not say which collective it "
                          "measured, nor do its columns; give --collective"))
    return source, readings, notes


def _layout(readings: Sequence[qa.ReadResult]) -> tuple[list[str], int]:
    """The hosts of the # Rank lines in order, and the most ranks one host ran
    in any one reading (its GPUs)."""
    from ..record import hosts_of
    hosts = hosts_of(readings)
    per_host = 0
    for r in readings:
        counts = Counter(rank.host for rank in r.ranks if rank.host)
        per_host = max(per_host, max(counts.values(), default=0))
        if not counts and len(r.ranks):
            per_host = max(per_host, len(r.ranks))
    return hosts, per_host


def _gpu_type(args: argparse.Namespace, readings: Sequence[qa.ReadResult]) -> tuple[str, dict[str, str] | None]:
    """The GPU type key to grade with and, where it was not given, a note on
    where it came from (or that none is known: the verdict is then unknown)."""
    from ..record import finding
    if args.gpu_type:
        return args.gpu_type, None
    try:
        from .. import gpus  # the device-name table, where this build has it
    except ImportError:
        gpus = None
    if gpus is not None:
        detected = gpus.detect_from_ranks(readings) or gpus.NOT_FOUND
        note = detected.note()
        return detected.gpu_type, (finding("gpu-type", "note", note) if note else None)
    devices = sorted({rank.device for r in readings for rank in r.ranks if rank.device})
    named = f" (the output names {', '.join(devices)})" if devices else ""
    return "unknown", finding("gpu-type", "note", f"no GPU type given{named}: the verdict is unknown; give --gpu-type")


def cmd_grade(args: argparse.Namespace) -> int:
    with collector_paused():   # the inputs are capped: the work is bounded
        return _grade(args)


def _grade(args: argparse.Namespace) -> int:
    path_reader = qa.PathReader()
    overrides = read_overrides()
    outputs = Outputs.resolve(args)
    twice = [f for i, f in enumerate(args.files) if f in args.files[:i]]
    if twice:
        raise UsageError(f"{shown(twice[0])} is listed twice")
    started_at, start = time.time(), time.monotonic()
    preload = Preload(AFTER_READING)
    read = []
    for path in args.files:
        text = read_capped(path)
        if "NCCL " in text:  # NCCL's debug lines mixed into the saved output
            path_reader.feed(text)
            path_reader.end_piece()
        read.append(_readings_of(path, text, args.collective or ""))
        del text
    preload.wait()
    from .. import collsweep as cs
    from ..causes import caveats_of
    from ..record import Measured, build_record, finding, now_utc
    from .render import render_record
    measured = [Measured(r.collective, reading=r, source=source, extra_findings=[finding(*n) for n in notes])
                for source, readings, notes in read for r in readings]
    readings = [m.reading for m in measured if m.reading is not None]
    hosts, per_host = _layout(readings)
    scope = args.scope or ("multi" if len(hosts) > 1 else "intra")
    gpu_type, type_note = _gpu_type(args, readings)
    warning = check_gpu_type(gpu_type, scope, overrides) if args.gpu_type else None
    err = Lines(sys.stderr)
    out = err if outputs.record_on_stdout else Lines(sys.stdout)
    if warning:
        err.print(f"{PROG}: warning: {warning}")
    if type_note is not None and measured:
        measured[0].extra_findings.append(type_note)
    num_nodes = max(1, len(hosts))
    gpus_per_node = args.gpus_per_node or per_host

    # The library grades the reader's rows: its report is kept in the record as a sweep's is.
    report = cs.NcclReport(gpu_type=gpu_type, scope=scope, num_nodes=num_nodes, gpus_per_node=gpus_per_node,
                           results=[result for r in readings for result in r.library_results(cs.NcclResult)])
    cs._finalize_status(report)
    record = build_record("grade", started_at=now_utc(started_at), wall_s=time.monotonic() - start, hosts=hosts,
                          gpu_type=gpu_type, scope=scope, num_nodes=num_nodes,
                          gpus_per_node=gpus_per_node, emulated=False, measured=measured,
                          overrides=overrides, report=report,
                          extra={"inputs": list(dict.fromkeys(m.source for m in measured)),
                                 "transport": path_account(path_reader)})
    record["caveats"] = caveats_of(record, measured)
    render_record(record, out, all_rows=args.all_rows)
    status = outputs.emit(record, say=err.print)
    keep_to_the_end(record, report, measured)
    return status or int(record["exit_status"])


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane grade` to the command line."""
    grade = add_command(
        sub, "grade", fmt, statuses=VERDICT_STATUSES,
        description="Read outputs that nccl-tests printed (text, or the JSON of its -J option) and grade them "
                    "as a sweep would: the same reader, the same verdict and exit status.")
    grade.add_argument("files", nargs="+", metavar="FILE", help="a saved output ('-': standard input)")
    options.gpu_type(grade, options.GPU_TYPE_HELP + "; default: from the device names of the output's # Rank lines",
                     required=False)
    grade.add_argument("--collective", metavar="NAME", type=lambda t: t.strip().removesuffix("_perf"),
                       help="the collective of outputs that do not name it (default: from the file name)")
    grade.add_argument("--scope", choices=SCOPES,
                       help="intra (one host) or multi (several); default: from the hosts in the output")
    options.gpus_per_node(grade)
    options.all_rows(grade)
    options.outputs(grade, logs=False)
    grade.set_defaults(handler=cmd_grade)

