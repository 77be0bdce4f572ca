"""`quorvane history`: the recorded runs, one line each."""
from __future__ import annotations

import argparse
import functools
import json
import sys
from typing import Any

from ..history import HistoryError, since_text
from ..hostlist import fold
from ..record_data import RECORD_VERSION
from . import add_command, options
from .common import RunError, UsageError, check_json_target, human_size, write_atomic
from .runs import open_history
from .term import Style, shown


SHOWN = 100
OLDER_COUNTED = 10_000   # older runs a listing counts exactly; beyond, it says "more than"


def hosts_text(hosts: list[str]) -> str:
    return _folded(tuple(hosts)) if hosts else "-"


@functools.lru_cache(maxsize=None)
def _folded(hosts: tuple[str, ...]) -> str:
    """Each list folded once: a site's nightly fleet repeats one list."""
    return shown(fold(hosts))


def cmd_history(args: argparse.Namespace) -> int:
    check_json_target(args.json)
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
                    matching = history.count(host=args.host, gpu_type=args.gpu_type, since=since,
                                             up_to=limit + OLDER_COUNTED + 1)
            except HistoryError as exc:
                raise RunError(str(exc)) from None
    if args.json is not None:   # one run a line: readable, and quick for 100,000 runs
        head = json.dumps({"record_version": RECORD_VERSION, "kind": "history"})[:-1]
        write_atomic(args.json, head + ', "runs": [' + ",\n ".join(json.dumps(r) for r in runs) + "]}\n")
        if args.json == "-":
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
                     shown(str(r["kind"])) + (" (emulated)" if r["emulated"] else ""), hosts_text(r["hosts"]),
                     shown(str(r["gpu_type"] or "-")), shown(str(r["scope"] or "-")), verdicts.get(verdict) or style.status(verdict),
                     headline))
    header = ("id", "time (UTC)", "kind", "hosts", "GPU type", "scope", "verdict", "headline")
    widths = [max(len(header[i]), *(len(row[i]) for row in rows)) for i in range(len(header) - 1)]
    template = "{:>%d}  " % widths[0] + "".join("{:<%d}  " % w for w in widths[1:]) + "{}"
    lines = [template.format(*header)] + [template.format(*row) for row in rows]
    if matching > len(runs):
        older = matching - len(runs)
        how_many = f"more than {OLDER_COUNTED:,}" if older > OLDER_COUNTED else f"{older:,}"
        lines.append(style(f"... and {how_many} older runs (--all lists them, --limit N shows N)", "dim"))
    out.write("\n".join(lines) + "\n")
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane history` to the command line."""
    p = add_command(sub, "history", fmt, statuses=(
                        ("0", "ok", "the runs were listed (none, when nothing is recorded yet)"),
                        ("4", "error", "the history cannot be read")),
                    description="List the recorded sweep, grade and fleet runs, newest first: id, time, "
                                "hosts, GPU type, scope, verdict, headline and its message size.")
    p.add_argument("--host", metavar="H", help="only runs that measured this host")
    p.add_argument("--gpu-type", metavar="TYPE", help="only runs of this GPU type")
    p.add_argument("--since", metavar="DATE", help="only runs since DATE (2026-12-01, 2026-12-01T08:00, "
                                                   "or an age: 7d, 12h); UTC unless it says")
    p.add_argument("--limit", type=options.whole_from_1(2**63 - 1), metavar="N",
                   help=f"at most N runs (default: the newest {SHOWN} on the terminal, all with --json)")
    p.add_argument("--all", action="store_true", help="every matching run")
    options.json_file(p, "write the runs as JSON to FILE ('-': stdout, instead of the listing)")
    options.db(p)
    p.set_defaults(handler=cmd_history)
