"""`quorvane report [RUN] --html FILE`: a recorded run (or a record file) as a
self-contained HTML page, and/or a Prometheus textfile."""
from __future__ import annotations

import argparse
from typing import Any

from .. import analysis
from ..history import History, HistoryError
from ..record import busbw_points
from ..reports import html, prom
from . import add_command, options
from .common import RunError, UsageError, write_atomic
from .runs import MIN_RUNS, load_run, open_history


def site_baseline(history: History | None, record: dict[str, Any], run_id: int | None) -> html.Baseline | None:
    """The band of the site's other runs like this one (GPU type, scope, NCCL
    version, emulated or not) for all_reduce; None with fewer than three."""
    if history is None or not record.get("gpu_type") or not record.get("scope"):
        return None
    versions = record.get("versions") or {}
    key = (record["gpu_type"], record["scope"], versions.get("nccl_library") or versions.get("nccl_headers"))
    groups = history.site_runs(gpu_type=record["gpu_type"], emulated=bool(record.get("emulated")))
    runs = [rec for cols, rec in groups.get(key, []) if cols["id"] != run_id]
    if len(runs) < MIN_RUNS:
        return None
    profile = analysis.site_profile([busbw_points(r) for r in runs], MIN_RUNS)
    band = [html.BandPoint(p.size_bytes, p.p25_gbps, p.p75_gbps) for p in profile if p.collective == "all_reduce"]
    if not band:
        return None
    return html.Baseline(len(runs), band, f"middle half of {len(runs)} recorded runs")


def typical_ranges(record: dict[str, Any]) -> list[html.TypicalRange]:
    """Typical healthy all_reduce bus bandwidth at the sizes measured, where the
    analysis module's table has a value for this GPU type, scope and GPU count."""
    if not record.get("gpu_type"):
        return []
    ranks = (record.get("gpus_per_node") or 0) * (record.get("num_nodes") or 1)
    sizes = sorted({s for c, s, _ in busbw_points(record) if c == "all_reduce"})
    out = []
    for size in sizes:
        found = analysis.typical_busbw(record["gpu_type"], record.get("scope") or "intra", size)
        if found is not None and (not ranks or not found.gpus or found.gpus == ranks):
            out.append(html.TypicalRange(size, found.low_gbps, found.high_gbps, found.source, found.gpus))
    return out


def cmd_report(args: argparse.Namespace) -> int:
    if args.html is None and args.prom is None:
        raise UsageError("give --html FILE and/or --prom FILE")
    history = open_history(args)
    run_id: int | None = None
    if args.run is None:
        latest = None if history is None else _latest(history)
        if latest is None:
            raise UsageError("nothing is recorded yet: name a record file")
        run_id = latest
        ref = str(latest)
    else:
        ref = args.run
        run_id = int(ref) if ref.isdigit() else None
    _, record = load_run(ref, args)
    try:
        if args.html is not None:
            try:
                baseline = site_baseline(history, record, run_id)
            except HistoryError as exc:
                raise RunError(str(exc)) from None
            write_atomic(args.html, html.render(record, run_id=run_id, baseline=baseline,
                                             typical=typical_ranges(record)))
        if args.prom is not None:
            write_atomic(args.prom, prom.render(record))
    finally:
        if history is not None:
            history.close()
    return 0


def _latest(history: History) -> int | None:
    try:
        return history.latest_id()
    except HistoryError as exc:
        raise RunError(str(exc)) from None


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane report` to the command line."""
    p = add_command(sub, "report", fmt, statuses=(
                        ("0", "ok", "the page and/or the metrics were written"),
                        ("4", "error", "the history cannot be read")),
                    description="Write a recorded run (default: the latest) or a record file as one "
                                "self-contained HTML page (chart, cutoffs, site baseline, findings; it "
                                "opens with no network) and/or as node_exporter textfile metrics.")
    p.add_argument("run", nargs="?", metavar="RUN", help="a run id from `quorvane history`, or a record file")
    p.add_argument("--html", metavar="FILE", help="write the HTML page to FILE")
    options.prom_file(p, "write Prometheus text-format metrics to FILE")
    options.db(p)
    p.set_defaults(handler=cmd_report)
