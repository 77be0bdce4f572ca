"""`quorvane baseline`: pass and warn cutoffs from this site's own recorded runs.

For each GPU type, scope and NCCL version with at least three recorded runs
(sweeps and grades with a headline that passed, warned or had no cutoff): M is the median
of their headlines and s a robust spread (1.4826 x the median absolute
deviation). The pass cutoff is M less 5 %, widened to 3 s when the runs spread
more than that but never beyond 15 %; the warn cutoff is 80 % of M; both
rounded down to 0.1 GB/s. The arithmetic is `analysis.baseline_cutoffs`.
"""
from __future__ import annotations

import argparse
import json
import sys
from typing import Any

from .. import analysis
from ..history import HistoryError
from ..record_data import nccl_version_text
from ..policy import OVERRIDES_VAR
from ..record_data import document, strict_json
from . import add_command, options
from .common import PROG, RunError, check_json_target, data_stream, table, write_atomic
from .runs import MIN_RUNS, open_history
from .term import Style, shown

RULE = ("pass at the median less 5% (3 robust spreads when the runs spread more, at most 15%); "
        "warn at 80% of the median")


def site_cutoffs(args: argparse.Namespace) -> list[dict[str, Any]]:
    """One entry per group with enough runs, and for each GPU type and scope the
    group whose cutoffs are emitted ("chosen"): the chosen NCCL version, else the
    version of the most recent run."""
    history = open_history(args)
    if history is None:
        raise RunError(f"nothing is recorded yet: a baseline needs at least {MIN_RUNS} runs per GPU type "
                       f"and scope")
    skipped: list[int] = []
    with history:
        try:
            entries, short = _entries(history, args, emulated=args.emulated, skipped=skipped)
            if not entries and not args.emulated:
                # Nothing real to go on: a user trying the command on emulated
                # runs gets their cutoffs, told plainly what they are.
                entries, _ = _entries(history, args, emulated=True, skipped=skipped)
                if entries:
                    print(f"{PROG}: note: no real runs qualify; these cutoffs come from emulated runs, which "
                          f"measure nothing (to try the command only)", file=sys.stderr)
        except HistoryError as exc:
            raise RunError(str(exc)) from None
    if skipped:
        print(f"{PROG}: note: left out {damaged_runs(skipped)} whose stored headline is damaged",
              file=sys.stderr)
    if not entries:
        subject = f"GPU type {shown(args.gpu_type)}" if args.gpu_type else "any GPU type"
        kind = "emulated " if args.emulated else ""
        nccl = f" with NCCL {shown(args.nccl_version)}" if args.nccl_version else ""
        detail = f" ({'; '.join(short)})" if short else ""
        raise RunError(f"no baseline: fewer than {MIN_RUNS} recorded {kind}runs{nccl} of {subject} "
                       f"in any scope{detail}")
    best: dict[tuple[str, str], dict[str, Any]] = {}
    for e in entries:
        key = (e["gpu_type"], e["scope"])
        if key not in best or e["latest"] > best[key]["latest"]:
            best[key] = e
    for e in best.values():
        e["chosen"] = True
    return entries


def damaged_runs(ids: list[int]) -> str:
    """"run 7" or "3 runs (7, 9, 12)": the runs a command left out."""
    if len(ids) == 1:
        return f"run {ids[0]}"
    listed = ", ".join(map(str, ids[:5])) + (", ..." if len(ids) > 5 else "")
    return f"{len(ids)} runs ({listed})"


def _entries(history: Any, args: argparse.Namespace, *, emulated: bool, skipped: list[int]
             ) -> tuple[list[dict[str, Any]], list[str]]:
    """Cutoffs of each group with enough runs, and the groups that fall short;
    runs whose stored headline is not a number are added to skipped."""
    entries: list[dict[str, Any]] = []
    short: list[str] = []
    groups, bad = history.site_headlines(gpu_type=args.gpu_type, emulated=emulated)
    skipped.extend(i for i in bad if i not in skipped)
    for (gpu, scope, nccl), runs in groups.items():
        headlines, latest = runs
        cut = analysis.baseline_cutoffs(headlines, MIN_RUNS)
        nccl = nccl_version_text(nccl)
        name = shown(f"{gpu}:{scope}" + (f" (NCCL {nccl})" if nccl else ""))
        if cut is None:
            short.append(f"{name} has {len(headlines)}")
            continue
        entries.append({"gpu_type": gpu, "scope": scope, "nccl_version": nccl, "runs": cut.runs,
                        "median_gbps": cut.median_gbps, "spread_gbps": cut.spread_gbps,
                        "pass_min_gbps": cut.pass_min_gbps, "warn_min_gbps": cut.warn_min_gbps,
                        "latest": latest, "chosen": False, "emulated": emulated})
    if args.nccl_version is not None:
        wanted = nccl_version_text(args.nccl_version)
        entries = [e for e in entries if e["nccl_version"] == wanted]
    return entries, short


def cmd_baseline(args: argparse.Namespace) -> int:
    check_json_target(args.json)
    entries = site_cutoffs(args)
    chosen = [e for e in entries if e["chosen"]]
    if args.emit_overrides:
        doc = {f"{e['gpu_type']}:{e['scope']}": {"pass_min_gbps": e["pass_min_gbps"],
                                               "warn_min_gbps": e["warn_min_gbps"]} for e in chosen}
        for e in entries:
            if not e["chosen"]:
                print(f"{PROG}: note: {shown(e['gpu_type'])}:{shown(e['scope'])} also has {e['runs']} runs "
                      f"with NCCL {shown(e['nccl_version'] or 'unknown')}; emitted the NCCL version of the latest run "
                      f"(choose with --nccl-version)", file=sys.stderr)
        data_stream().write(json.dumps(doc) + "\n")
        return 0
    if args.json is not None:
        write_atomic(args.json, strict_json(document("baseline", {"rule": RULE, "cutoffs": entries})))
        if args.json == "-":
            return 0
    out = sys.stdout
    style = Style.for_stream(out)
    source = "emulated runs, which measure nothing," if entries[0]["emulated"] else "the recorded runs"
    print(style(f"site cutoffs from {source} (all_reduce headline bus bandwidth, GB/s)", "bold"), file=out)
    rows = [[shown(e["gpu_type"]), shown(e["scope"]), shown(e["nccl_version"] or "-"), str(e["runs"]), f"{e['median_gbps']:.1f}",
             f"{e['spread_gbps']:.1f}", f"{e['pass_min_gbps']:g}", f"{e['warn_min_gbps']:g}",
             "" if e["chosen"] else style("(older NCCL)", "dim")] for e in entries]
    for line in table(["GPU type", "scope", "NCCL", "runs", "median", "spread", "pass >=", "warn >=", ""],
                      rows, [False, False, False, True, True, True, True, True, False]):
        print(line, file=out)
    print(f"\nrule: {RULE}", file=out)
    print(f"to use them: export {OVERRIDES_VAR}=\"$({PROG} baseline --emit-overrides)\"", file=out)
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane baseline` to the command line."""
    p = add_command(sub, "baseline", fmt, statuses=(
                        ("0", "ok", "the cutoffs were derived and shown"),
                        ("4", "error", f"fewer than {MIN_RUNS} usable recorded runs, or the history "
                                       f"cannot be read")),
                    description=f"Derive pass and warn cutoffs from at least {MIN_RUNS} recorded runs per "
                                f"GPU type, scope and NCCL version: {RULE}. Emulated runs are left out "
                                "unless --emulated, or unless no real run qualifies (then said).")
    p.add_argument("--gpu-type", metavar="TYPE", help="only this GPU type")
    p.add_argument("--nccl-version", metavar="V", help="only runs with this NCCL version "
                                                     "(default: the version of the latest run)")
    p.add_argument("--emit-overrides", action="store_true",
                   help=f"print the cutoffs as the JSON that {OVERRIDES_VAR} accepts, nothing else")
    p.add_argument("--emulated", action="store_true",
                   help="use only emulated runs (to try the command; they measure nothing)")
    options.json_file(p, "write the cutoffs as JSON to FILE ('-': stdout, instead of the table)")
    options.db(p)
    p.set_defaults(handler=cmd_baseline)
