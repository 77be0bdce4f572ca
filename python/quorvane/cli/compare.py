"""`quorvane compare A B`: bus bandwidth change per collective and message size
between two runs (run ids from the history, or record files)."""
from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import analysis
from ..hostlist import fold, names_of
from ..record import busbw_points, strict_json
from . import add_command, options
from .common import PROG, check_json_target, fmt_float, human_size, table, write_atomic
from .runs import load_run
from .term import Style

DEFAULT_TOLERANCE = 5.0


def _describe(name: str, record: dict[str, Any]) -> str:
    bits = [str(record.get("started_at") or ""), fold(names_of(record)),
            f"{record.get('gpu_type') or '?'} {record.get('scope') or ''}".strip()]
    return f"{name} ({', '.join(b for b in bits if b)})"


def cmd_compare(args: argparse.Namespace) -> int:
    check_json_target(args.json)
    name_a, a = load_run(args.a, args)
    name_b, b = load_run(args.b, args)
    out = sys.stderr if args.json == "-" else sys.stdout
    style = Style.for_stream(out)
    for key in ("gpu_type", "scope"):
        if a.get(key) and b.get(key) and a.get(key) != b.get(key):
            print(f"{PROG}: note: the runs differ in {key.replace('_', ' ')} "
                  f"({a.get(key)} against {b.get(key)})", file=sys.stderr)
    result = analysis.compare_busbw(busbw_points(a), busbw_points(b), args.tolerance)
    if args.json is not None:
        write_atomic(args.json, strict_json({
            "a": name_a, "b": name_b, "tolerance_pct": args.tolerance, "regressed": result.regressed,
            "changes": [{"collective": c.collective, "size_bytes": c.size_bytes, "a_gbps": c.before_gbps,
                         "b_gbps": c.after_gbps, "change_pct": c.change_pct, "regressed": c.regressed}
                        for c in result.changes]}))
    print(style(f"A = {_describe(name_a, a)}", "bold"), file=out)
    print(style(f"B = {_describe(name_b, b)}", "bold"), file=out)
    colls = list(dict.fromkeys(c.collective for c in result.changes))
    for coll in colls:
        rows = []
        for c in (c for c in result.changes if c.collective == coll):
            change = "-" if c.change_pct is None else f"{c.change_pct:+.1f}%"
            mark = ""
            if c.regressed:
                mark = style("REGRESSED", "bold", "red")
            elif c.before_gbps is None or c.after_gbps is None:
                mark = style("only in " + ("B" if c.before_gbps is None else "A"), "dim")
            rows.append([human_size(c.size_bytes), fmt_float(c.before_gbps), fmt_float(c.after_gbps),
                         change, mark])
        print(file=out)
        print(style(coll, "bold", "cyan"), file=out)
        for line in table(["size", "A GB/s", "B GB/s", "change", ""], rows, [True, True, True, True, False]):
            print(line, file=out)
    print(file=out)
    regressed = [c for c in result.changes if c.regressed]
    if not result.changes:
        print("no bus bandwidth to compare in these runs", file=out)
    elif regressed:
        worst = min(regressed, key=lambda c: c.change_pct or 0.0)
        print(style(f"{len(regressed)} of {len(result.changes)} sizes regressed by more than "
                    f"{args.tolerance:g}% (worst {worst.change_pct:+.1f}%: {worst.collective} at "
                    f"{human_size(worst.size_bytes)})", "bold", "red"), file=out)
    else:
        print(style(f"no size regressed by more than {args.tolerance:g}%", "green"), file=out)
    return 1 if result.regressed else 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane compare` to the command line."""
    p = add_command(
        sub, "compare", fmt,
        description="Compare two runs per collective and message size. Exit status 1 when any size "
                    "of B is below A by more than the tolerance, else 0 (64: bad arguments, "
                    "4: the history cannot be read).")
    p.add_argument("a", metavar="A", help="the earlier run: a run id from `quorvane history`, or a record file")
    p.add_argument("b", metavar="B", help="the later run: a run id or a record file")
    p.add_argument("--tolerance", type=options.percent, default=DEFAULT_TOLERANCE, metavar="PCT",
                   help=f"percent a size may fall before it counts as a regression (default "
                        f"{DEFAULT_TOLERANCE:g})")
    options.json_file(p, "also write the changes as JSON to FILE ('-': stdout)")
    options.db(p)
    p.set_defaults(handler=cmd_compare)
