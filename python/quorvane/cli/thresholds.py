"""`quorvane thresholds`: the pass/warn cutoffs in force, and with --lint those
cutoffs checked against the hardware."""
from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Mapping, Sequence
from typing import Any

from rich.console import Console
from rich.text import Text

from .. import analysis as qa
from ..plans import DEFAULT_PLAN, PLANS
from ..policy import (OVERRIDES_VAR, effective_thresholds, largest_measured_size, lint, read_overrides,
                      suggested_overrides)
from ..record_data import document, strict_json
from . import add_command, options
from .common import UsageError, announce_verdict, check_json_target, human_size, table, write_atomic
from .term import console_for, shown

EXIT_LINT_PROBLEMS = 1
SEVERITY_STYLE = {"fail": "bold red", "warn": "bold yellow", "note": "dim"}


def _print_table(console: Console, headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool],
                 last_styles: Sequence[str]) -> None:
    """Columns laid out like every other table of the command; the last cell of
    each row carries its style."""
    rows = [[shown(cell) for cell in row] for row in rows]   # override keys come from outside
    lines = table(headers, rows, right)
    console.print(Text(lines[0], style="bold"))
    for line, row, style in zip(lines[1:], rows, last_styles):
        head = line[: len(line) - len(row[-1])] if row[-1] else line
        console.print(Text(head) + Text(row[-1], style=style))


def _show_cutoffs(console: Console, entries: Sequence[dict[str, Any]], overrides: Mapping[str, object]) -> None:
    console.print(Text("effective all_reduce bus bandwidth cutoffs, GB/s", style="bold"))
    rows, styles = [], []
    for e in entries:
        if e["pass_min_gbps"] is None:
            rows.append([e["gpu_type"], e["scope"], "-", "-", "none: verdict unknown"])
            styles.append("dim")
            continue
        source, style = e["source"], ""
        if source == "override":
            source, style = "* override", "bold yellow"
            if e["built_in"]:
                b = e["built_in"]
                source += f" (built-in {b['pass_min_gbps']:g} / {b['warn_min_gbps']:g})"
        rows.append([e["gpu_type"], e["scope"], f"{e['pass_min_gbps']:g}", f"{e['warn_min_gbps']:g}", source])
        styles.append(style)
    _print_table(console, ["GPU type", "scope", "pass >=", "warn >=", "source"], rows,
                 [False, False, True, True, False], styles)
    console.print()
    if overrides:
        console.print(f"* from {OVERRIDES_VAR} or the configuration file (`quorvane config` shows which)")
    else:
        console.print(f"{OVERRIDES_VAR} is not set: built-in cutoffs only")
    console.print("scopes: intra = one host, all its GPUs; multi = several hosts")


def _gbps(value: float | None) -> str:
    return "-" if value is None else f"{value:g}"


def _show_lint(console: Console, entries: Sequence[dict[str, Any]], results: Sequence[Any], size_bytes: int,
               plan: str) -> None:
    at = human_size(size_bytes)
    console.print(Text(f"cutoffs checked against link budgets and healthy hosts up to {at}, "
                       f"the largest size the {plan} plan measures", style="bold"))
    worst: dict[tuple[str, str, str], Any] = {}
    for r in results:
        if r.cutoff and r.finding.severity != qa.Severity.note:
            key = (r.gpu_type, r.scope, r.cutoff)
            if key not in worst or r.finding.severity.value > worst[key].finding.severity.value:
                worst[key] = r
    rows, styles = [], []
    for e in entries:
        if e["pass_min_gbps"] is None:
            continue
        budget = qa.link_budget(e["gpu_type"], e["scope"])
        typical = qa.typical_up_to(e["gpu_type"], e["scope"], size_bytes)
        healthy = "-" if typical is None else (
            _gbps(typical.low_gbps) if typical.low_gbps == typical.high_gbps
            else f"{typical.low_gbps:g}-{typical.high_gbps:g}")
        for cutoff in ("pass", "warn"):
            found = worst.get((e["gpu_type"], e["scope"], cutoff))
            check = "ok" if found is None else found.finding.code
            if budget is None and typical is None and found is None:
                check = "not checked"
            rows.append([e["gpu_type"], e["scope"], cutoff, _gbps(e[f"{cutoff}_min_gbps"]),
                         _gbps(None if budget is None else budget.gbps), healthy, e["source"], check])
            styles.append(SEVERITY_STYLE.get(found.finding.severity.name, "") if found else
                          ("dim" if check == "not checked" else "green"))
    _print_table(console, ["GPU type", "scope", "cutoff", "GB/s", "link budget", f"healthy up to {at}", "source",
                           "check"], rows, [False, False, False, True, True, True, False, False], styles)
    problems = [r for r in results if r.finding.severity != qa.Severity.note]
    notes = [r for r in results if r.finding.severity == qa.Severity.note]
    console.print()
    for r in problems:
        label = r.finding.severity.name.upper()
        console.print(Text(f"{label:<5}", style=SEVERITY_STYLE[r.finding.severity.name]) + Text(f" {shown(r.finding.message)}"))
        console.print(Text(f"      source: {shown(r.finding.evidence)}", style="dim"))
    unchecked = sorted({shown(f"{r.gpu_type} {r.scope}") for r in notes if r.finding.code == "no-link-budget"})
    untypical = sorted({shown(f"{r.gpu_type} {r.scope}") for r in notes if r.finding.code == "no-typical-value"})
    if unchecked:
        console.print(Text(f"no link budget known for: {', '.join(unchecked)}", style="dim"))
    if untypical:
        console.print(Text(f"no healthy value known up to {at} for: {', '.join(untypical)}", style="dim"))
    if problems:
        console.print(Text(f"{len(problems)} cutoff problem{'s' if len(problems) != 1 else ''}",
                           style="bold red"))
    else:
        console.print(Text("no cutoff problems", style="bold green"))


def cmd_thresholds(args: argparse.Namespace) -> int:
    overrides = read_overrides()
    check_json_target(args.json)
    entries = effective_thresholds(overrides)
    if args.gpu_type is not None:
        entries = [e for e in entries if e["gpu_type"] == args.gpu_type]
        if not entries:
            known = sorted({e["gpu_type"] for e in effective_thresholds(overrides)})
            raise UsageError(f"no cutoffs for GPU type '{shown(args.gpu_type)}'; known: {shown(', '.join(known))}")
    out = sys.stderr if args.json == "-" else sys.stdout
    console = console_for(out)
    if (args.plan is not None or args.emit_overrides) and not args.lint:
        raise UsageError(f"{'--plan' if args.plan is not None else '--emit-overrides'} goes with --lint")
    if args.lint:
        plan = args.plan or DEFAULT_PLAN
        size = largest_measured_size(plan)
        results = lint(entries, size)
        if args.emit_overrides:
            if args.json is not None:
                raise UsageError("--emit-overrides prints the override JSON itself; leave out --json")
            print(json.dumps(suggested_overrides(entries, overrides, size)))
            return 0
        status = EXIT_LINT_PROBLEMS if qa.lint_has_problems(results) else 0
        announce_verdict("fail" if status else "pass")
        suggested = suggested_overrides(entries, overrides, size)
        if args.json is not None:
            write_atomic(args.json, strict_json(document("thresholds-lint", {
                "plan": plan, "size_bytes": size, "results": [r.to_dict() for r in results],
                "problems": sum(r.finding.severity != qa.Severity.note for r in results),
                "overrides": suggested},
                verdict="fail" if status else "pass", exit_status=status)))
        _show_lint(console, entries, results, size, plan)
        if any(key not in overrides or tuple(v.values()) != overrides[key] for key, v in suggested.items()):
            console.print(Text(f"override to use: {OVERRIDES_VAR}='{json.dumps(suggested)}' "
                               "(thresholds --lint --emit-overrides prints it)", style="dim"))
        return status
    if args.json is not None:
        write_atomic(args.json, strict_json(document("thresholds", {"cutoffs": {
            f"{e['gpu_type']}:{e['scope']}": {"pass_min_gbps": e["pass_min_gbps"],
                                              "warn_min_gbps": e["warn_min_gbps"], "source": e["source"]}
            for e in entries}})))
    _show_cutoffs(console, entries, overrides)
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane thresholds` to the command line."""
    thresholds = add_command(
        sub, "thresholds", fmt, statuses=THRESHOLDS_STATUSES,
        description=f"Show the effective cutoffs per GPU type and scope; those set through "
                    f"{OVERRIDES_VAR} are marked. With --lint, check them against the hardware.")
    thresholds.add_argument("--gpu-type", metavar="TYPE", help="only this GPU type")
    thresholds.add_argument("--lint", action="store_true",
                            help="check every cutoff in force against the GPU's link budget and what healthy "
                                 "hosts measure up to the largest size the plan measures; exit 1 on any problem")
    thresholds.add_argument("--plan", choices=PLANS,
                            help=f"with --lint: check against the healthy values up to the largest size this "
                                 f"sweep plan measures (default {DEFAULT_PLAN})")
    thresholds.add_argument("--emit-overrides", action="store_true",
                            help=f"with --lint: print only the JSON for {OVERRIDES_VAR} that keeps the overrides "
                                 "in force and replaces every cutoff with a problem by one a healthy host earns")
    options.json_file(thresholds, "write the cutoffs (or the lint's results) as JSON to FILE ('-': stdout)")
    thresholds.set_defaults(handler=cmd_thresholds)


THRESHOLDS_STATUSES = (
    ("0", "ok", "the cutoffs were shown; with --lint: every cutoff can be reached,\nand healthy hosts reach it"),
    ("1", "problems", "with --lint: a cutoff is above the link budget, or above what\nhealthy hosts measure"),
)
