"""`quorvane compare A B`: bus bandwidth change per collective and message size
between two runs (run ids from the history, or record files); two fleet runs
host by host."""
from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping
from typing import Any

from .. import analysis
from ..hostlist import fleet_hosts, fold, names_of
from ..record_data import busbw_points, document, strict_json
from . import add_command, options
from .common import PROG, RunError, announce_verdict, UsageError, check_json_target, fmt_float, human_size, shown, table, write_atomic
from .runs import load_run
from .term import Style

DEFAULT_TOLERANCE = 5.0
# A size is judged where the earlier run reached this share of its best for the
# collective: the bandwidth plateau. Below it the sizes are latency-bound, and
# their bandwidth swings by more than any tolerance with a few microseconds.
PLATEAU_SHARE = 0.8
EXIT_REGRESSED = 1
EXIT_NOTHING = 3
EXIT_INVALID = 4

COMPARE_STATUSES = (
    ("0", "pass", "no judged size of B is below A by more than the tolerance"),
    ("1", "fail", "some size of B is below A by more than the tolerance,\nor B lost a collective that A measured"),
    ("3", "unknown", "nothing to compare (no size measured in both runs)"),
    ("4", "error", "the history cannot be read, or a run holds a bus bandwidth that is no\n"
                   "measurement (not a number, infinite or negative)"),
)
VERDICT_OF_STATUS = {0: "pass", EXIT_REGRESSED: "fail", EXIT_NOTHING: "unknown"}


def _describe(name: str, record: Mapping[str, Any]) -> str:
    bits = [str(record.get("started_at") or ""), fold(names_of(record)),
            f"{record.get('gpu_type') or '?'} {record.get('scope') or ''}".strip(),
            "emulated" if record.get("emulated") else ""]
    return shown(f"{name} ({', '.join(b for b in bits if b)})")


def _is_fleet(record: Mapping[str, Any]) -> bool:
    return record.get("kind") == "fleet" or bool(fleet_hosts(record))


def host_points(record: Mapping[str, Any]) -> list[tuple[str, int, float]]:
    """A fleet run as one point per host: its own headline (alone), matched host by host."""
    points = []
    for item in fleet_hosts(record):
        head: Mapping[str, Any] = item["headline"] if isinstance(item.get("headline"), Mapping) else item
        value, size = head.get("busbw_gbps"), head.get("size_bytes")
        if item.get("host") is not None and value is not None:
            points.append((str(item["host"]), int(size or 0), float(value)))
    return points


def cmd_compare(args: argparse.Namespace) -> int:
    check_json_target(args.json)
    name_a, a = load_run(args.a, args)
    name_b, b = load_run(args.b, args)
    if bool(a.get("emulated")) != bool(b.get("emulated")) and not args.allow_emulated:
        emulated = name_a if a.get("emulated") else name_b
        raise UsageError(f"{shown(emulated)} is emulated and the other run is real: an emulated run measures "
                         "nothing, so the comparison would mean nothing (--allow-emulated compares them anyway)")
    out = sys.stderr if args.json == "-" else sys.stdout
    style = Style.for_stream(out)
    for key in ("gpu_type", "scope"):
        if a.get(key) and b.get(key) and a.get(key) != b.get(key):
            print(f"{PROG}: note: the runs differ in {key.replace('_', ' ')} "
                  f"({shown(str(a.get(key)))} against {shown(str(b.get(key)))})", file=sys.stderr)
    fleets = _is_fleet(a) and _is_fleet(b)
    if fleets:
        result = analysis.compare_busbw(host_points(a), host_points(b), args.tolerance, 0.0)
    else:
        share = 0.0 if args.all_sizes else PLATEAU_SHARE
        result = analysis.compare_busbw(busbw_points(a), busbw_points(b), args.tolerance, share)
    if result.invalid:
        bad = result.invalid[0]
        more = f" (and {len(result.invalid) - 1} more)" if len(result.invalid) > 1 else ""
        where = f"host {bad.collective}" if fleets else f"{bad.collective} at {human_size(bad.size_bytes)}"
        raise RunError(f"{shown(name_a if bad.run == 'A' else name_b)}: {shown(where)}: a bus bandwidth of "
                       f"{bad.busbw_gbps} GB/s is no measurement{more}")

    # a host that only one of two fleet runs measured is no regression of either
    lost = [] if fleets else list(result.lost)
    regressed = any(c.regressed for c in result.changes) or bool(lost)
    status = EXIT_REGRESSED if regressed else 0 if result.judged else EXIT_NOTHING
    announce_verdict(VERDICT_OF_STATUS[status])
    if args.json is not None:
        write_atomic(args.json, strict_json(document("compare", {
            "a": name_a, "b": name_b, "tolerance_pct": args.tolerance,
            "by": "host" if fleets else "size", "all_sizes": bool(args.all_sizes or fleets),
            "regressed": regressed, "judged": result.judged, "lost": lost,
            "changes": [{"host" if fleets else "collective": c.collective, "size_bytes": c.size_bytes,
                         "a_gbps": c.before_gbps, "b_gbps": c.after_gbps, "change_pct": c.change_pct,
                         "judged": c.judged, "regressed": c.regressed}
                        for c in result.changes]}, verdict=VERDICT_OF_STATUS[status], exit_status=status)))
    print(style(f"A = {_describe(name_a, a)}", "bold"), file=out)
    print(style(f"B = {_describe(name_b, b)}", "bold"), file=out)

    def row(c: Any, first: str) -> list[str]:
        change = "-" if c.change_pct is None else f"{c.change_pct:+.1f}%"
        mark = ""
        if c.regressed:
            mark = style("REGRESSED", "bold", "red")
        elif c.before_gbps is None or c.after_gbps is None:
            mark = style("only in " + ("B" if c.before_gbps is None else "A"), "dim")
        elif not c.judged:
            mark = style("not judged: below the plateau", "dim")
        return [first, fmt_float(c.before_gbps), fmt_float(c.after_gbps), change, mark]

    if fleets:
        rows = [row(c, shown(c.collective)) for c in result.changes]
        print(file=out)
        print(style("hosts (each alone, at its headline size)", "bold", "cyan"), file=out)
        for line in table(["host", "A GB/s", "B GB/s", "change", ""], rows, [False, True, True, True, False]):
            print(line, file=out)
    else:
        for coll in dict.fromkeys(c.collective for c in result.changes):
            rows = [row(c, human_size(c.size_bytes)) for c in result.changes if c.collective == coll]
            print(file=out)
            print(style(shown(coll), "bold", "cyan"), file=out)
            for line in table(["size", "A GB/s", "B GB/s", "change", ""], rows, [True, True, True, True, False]):
                print(line, file=out)
    print(file=out)
    what = "hosts" if fleets else "sizes"
    for coll in lost:
        print(style(f"B lost {shown(coll)}: A measured it, B has no row of it", "bold", "red"), file=out)
    regressed = [c for c in result.changes if c.regressed]
    if regressed:
        worst = min(regressed, key=lambda c: c.change_pct or 0.0)
        at = f"host {worst.collective}" if fleets else f"{worst.collective} at {human_size(worst.size_bytes)}"
        print(style(f"{len(regressed)} of {result.judged} {what} regressed by more than {args.tolerance:g}% "
                    f"(worst {worst.change_pct:+.1f}%: {shown(at)})", "bold", "red"), file=out)
    elif not result.judged and not lost:
        print(f"nothing to compare: no {'host' if fleets else 'size on the bandwidth plateau'} was measured in "
              f"both runs{'' if fleets or args.all_sizes else ' (--all-sizes judges every size)'}", file=out)
    elif not lost:
        print(style(f"no {'host' if fleets else 'size'} regressed by more than {args.tolerance:g}% "
                    f"({result.judged} {what} judged"
                    f"{'' if fleets or args.all_sizes else ', on the bandwidth plateau'})", "green"), file=out)
    return status


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane compare` to the command line."""
    p = add_command(
        sub, "compare", fmt, statuses=COMPARE_STATUSES,
        description="Compare two runs per collective and message size: by default only the sizes on the "
                    "bandwidth plateau (where A reached 80% of its best for the collective) are judged. Two "
                    "fleet runs are compared host by host. An emulated run is not compared with a real one.")
    p.add_argument("a", metavar="A", help="the earlier run: a run id from `quorvane history`, or a record file")
    p.add_argument("b", metavar="B", help="the later run: a run id or a record file")
    p.add_argument("--tolerance", type=options.percent, default=DEFAULT_TOLERANCE, metavar="PCT",
                   help=f"percent a size may fall before it counts as a regression (default "
                        f"{DEFAULT_TOLERANCE:g})")
    p.add_argument("--all-sizes", action="store_true",
                   help="judge every size, the latency-bound small ones too")
    p.add_argument("--allow-emulated", action="store_true",
                   help="compare an emulated run with a real one (the numbers of an emulated run mean nothing)")
    options.json_file(p, "also write the changes as JSON to FILE ('-': stdout)")
    options.db(p)
    p.set_defaults(handler=cmd_compare)
