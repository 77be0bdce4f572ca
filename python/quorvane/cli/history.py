"""`quorvane history`: the recorded runs, one line each; and the --db option
the history commands share."""
from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any

from ..history import (DB_VAR, MAX_RUN_ID, History, HistoryError, LocationError, Store, default_location,
                       location_of, shown_location, since_text, warm_up)
from ..reports import prom
from .common import (RunError, Style, UsageError, WriteError, check_json_target, human_size, shown,
                     write_atomic)


SHOWN = 100


def add_db_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--db", metavar="FILE|URL",
                        help=f"the history: a file, or a postgresql://user@host/database URL (default: "
                             f"${DB_VAR}, else $XDG_DATA_HOME/quorvane/history.sqlite3)")


def history_location(args: argparse.Namespace) -> Any:
    """The history named by --db or the environment; a value that is neither a
    file path nor a postgresql:// URL is a usage error."""
    try:
        db = getattr(args, "db", None)
        return default_location() if db is None else location_of(db)
    except LocationError as exc:
        raise UsageError(str(exc)) from None


def open_history(args: argparse.Namespace, *, create: bool = False) -> Store | None:
    """The history named by --db or the environment; None when it does not exist
    yet and create is false."""
    where = history_location(args)
    if not create and not isinstance(where, str) and not os.path.lexists(where):
        return None
    try:
        return History(where, create=create)
    except LocationError as exc:
        raise UsageError(str(exc)) from None
    except HistoryError as exc:
        if not create and str(exc).startswith("no history at"):
            return None
        raise RunError(str(exc)) from None


# ---- recording and exporting a run: hooks of the shared output step ----------------

def add_record_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--prom", metavar="FILE",
                        help="also write Prometheus text-format metrics to FILE (for node_exporter's "
                             "textfile collector; '-': stdout)")
    add_db_option(parser)
    parser.add_argument("--no-record", action="store_true", help="do not record this run in the history")


def check_record_options(args: argparse.Namespace) -> None:
    target = getattr(args, "prom", None)
    check_json_target(target, "--prom")
    if target == "-" and getattr(args, "json", None) == "-":
        raise UsageError("--json - and --prom - cannot both have stdout")
    if getattr(args, "no_record", False) and getattr(args, "db", None) is not None:
        raise UsageError("--db and --no-record exclude each other")
    if not getattr(args, "no_record", False):
        where = history_location(args)
        if not isinstance(where, str) and os.path.exists(where) and not os.path.isfile(where):
            # a pipe would block the recording, a device swallow it: refuse before the run
            raise UsageError(f"--db {shown(str(where))}: not a regular file")
        warm_up(where)


def record_step(record: dict[str, Any], args: argparse.Namespace) -> str | None:
    """Store the record in the history unless --no-record; a refusal is one line."""
    if getattr(args, "no_record", False):
        return None
    where = history_location(args)
    try:
        with History(where) as history:
            run_id = history.add(record)
    except HistoryError as exc:
        raise WriteError(f"not recorded: {exc}") from None
    return f"recorded as run {run_id} in {shown(shown_location(where))}"


def prom_step(record: dict[str, Any], args: argparse.Namespace) -> str | None:
    target = getattr(args, "prom", None)
    if target is None:
        return None
    write_atomic(target, prom.render(record))
    return None if target == "-" else f"metrics written to {shown(target)}"


# ---- the history command ----------------------------------------------------------

def positive_int(text: str) -> int:
    if not (text.isascii() and text.isdigit() and len(text) < 20) or not 1 <= int(text) <= MAX_RUN_ID:
        raise argparse.ArgumentTypeError(f"not a whole number from 1 to 2**63-1: {text!r}")
    return int(text)


def hosts_text(hosts: list[str], most: int = 3) -> str:
    if not hosts:
        return "-"
    shown = ",".join(hosts[:most])
    return shown + (f" +{len(hosts) - most}" if len(hosts) > most else "")


def cmd_history(args: argparse.Namespace) -> int:
    try:
        since = None if args.since is None else since_text(args.since)
    except HistoryError as exc:
        raise UsageError(str(exc)) from None
    # A terminal gets the newest runs unless asked for all; JSON gets every match.
    limit = args.limit if args.limit is not None else (None if args.all or args.json else SHOWN)
    history = open_history(args)
    runs: list[dict[str, Any]] = []
    matching = 0
    if history is not None:
        with history:
            try:
                runs = history.runs(host=args.host, gpu_type=args.gpu_type, since=since, limit=limit)
                if limit is not None and len(runs) == limit:
                    matching = history.count(host=args.host, gpu_type=args.gpu_type, since=since)
            except HistoryError as exc:
                raise RunError(str(exc)) from None
    if args.json == "-":   # one object a line: readable, and quick for 100,000 runs
        sys.stdout.write("[" + ",\n ".join(json.dumps(r) for r in runs) + "]\n")
        return 0
    out = sys.stdout
    if not runs:
        print("no recorded runs match" if history is not None else "nothing recorded yet", file=out)
        return 0
    style = Style.for_stream(out)
    verdicts = {v: style.status(v) for v in ("pass", "warn", "fail", "unknown", "error")}
    rows = []
    for r in runs:
        gbps, size = r["headline_gbps"], r["headline_size"]
        headline = "-" if not isinstance(gbps, (int, float)) else (
            f"{gbps:,.2f} GB/s @ {human_size(size if isinstance(size, int) else 0)}")
        verdict = str(r["verdict"] or "unknown")
        rows.append((str(r["id"]), str(r["started_at"]).replace("+00:00", "Z"),
                     str(r["kind"]) + (" (emulated)" if r["emulated"] else ""), hosts_text(r["hosts"]),
                     r["gpu_type"] or "-", r["scope"] or "-", verdicts.get(verdict) or style.status(verdict),
                     headline))
    header = ("id", "time (UTC)", "kind", "hosts", "GPU type", "scope", "verdict", "headline")
    widths = [max(len(header[i]), *(len(row[i]) for row in rows)) for i in range(len(header) - 1)]
    template = "{:>%d}  " % widths[0] + "".join("{:<%d}  " % w for w in widths[1:]) + "{}"
    lines = [template.format(*header)] + [template.format(*row) for row in rows]
    if matching > len(runs):
        lines.append(style(f"... and {matching - len(runs):,} older runs (--all lists them, --limit N "
                           f"shows N)", "dim"))
    out.write("\n".join(lines) + "\n")
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane history` to the command line."""
    p = sub.add_parser("history", formatter_class=fmt, help="the recorded runs, newest first",
                       description="List the recorded sweep, grade and fleet runs, newest first: id, time, "
                                   "hosts, GPU type, scope, verdict, headline and its message size.")
    p.add_argument("--host", metavar="H", help="only runs that measured this host")
    p.add_argument("--gpu-type", metavar="TYPE", help="only runs of this GPU type")
    p.add_argument("--since", metavar="DATE", help="only runs since DATE (2026-12-01, 2026-12-01T08:00, "
                                                   "or an age: 7d, 12h); UTC unless it says")
    p.add_argument("--limit", type=positive_int, metavar="N",
                   help=f"at most N runs (default: the newest {SHOWN} on the terminal, all with --json)")
    p.add_argument("--all", action="store_true", help="every matching run")
    p.add_argument("--json", metavar="-", choices=["-"], help="print the runs as a JSON list on stdout")
    add_db_option(p)
    p.set_defaults(handler=cmd_history)
