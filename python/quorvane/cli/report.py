"""`quorvane report [RUN] --html FILE`: a recorded run (or a record file) as a
self-contained HTML page, and/or a Prometheus textfile."""
from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import analysis
from ..history import HistoryError, Store
from ..history.store import columns
from ..record_data import busbw_points
from ..reports import html, prom
from . import add_command, options
from .common import PROG, RunError, UsageError, write_atomic
from .runs import MIN_RUNS, load_run, open_history, run_id_of


# The site band is drawn from the newest runs like this one: it shows what the
# site measures now, and its cost does not grow with the years of history.
SITE_BAND_RUNS = 1000


def site_baseline(history: Store | None, record: dict[str, Any], run_id: int | None) -> html.Baseline | None:
    """The band of the site's other runs like this one (GPU type, scope, NCCL
    version, emulated or not; the newest SITE_BAND_RUNS of them) for all_reduce;
    None with fewer than three. Read from the stored points: no other run's
    record is decoded."""
    if history is None or not record.get("gpu_type") or not record.get("scope"):
        return None
    try:
        cols = columns({**record, "started_at": "2000-01-01"})
    except HistoryError:
        return None
    runs, band, damaged = history.site_band(
        gpu_type=str(cols["gpu_type"]), scope=str(cols["scope"]), nccl_version=cols["nccl_version"],
        emulated=bool(cols["emulated"]), exclude=run_id, min_runs=MIN_RUNS, newest=SITE_BAND_RUNS)
    if damaged:
        print(f"{PROG}: note: left {'one recorded run' if damaged == 1 else f'{damaged} recorded runs'} "
              f"without readable all_reduce points out of the site band", file=sys.stderr)
    if runs < MIN_RUNS or not band:
        return None
    return html.Baseline(runs, [html.BandPoint(size, p25, p75) for size, p25, p75 in band],
                         f"middle half of {'the newest ' if runs >= SITE_BAND_RUNS else ''}{runs} recorded runs")


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
    try:   # closed whatever is refused on the way (a server's connection above all)
        run_id: int | None = None
        if args.run is None:
            latest = None if history is None else _latest(history)
            if latest is None:
                raise UsageError("nothing is recorded yet: name a record file")
            run_id = latest
            ref = str(latest)
        else:
            ref = args.run
            run_id = run_id_of(ref)
        _, record = load_run(ref, args)
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


def _latest(history: Store) -> int | None:
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
