"""`quorvane thresholds`: the pass/warn cutoffs in force, and with --lint those
cutoffs checked against the hardware."""
from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping, Sequence
from typing import Any

from rich.console import Console
from rich.text import Text

from .. import analysis as qa
from ..policy import OVERRIDES_VAR, effective_thresholds, largest_measured_size, lint, read_overrides
from ..record import strict_json
from . import add_command, options
from .common import EXIT_STATUS_HELP, UsageError, check_json_target, human_size, table, write_atomic
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
        console.print(f"* from {OVERRIDES_VAR}")
    else:
        console.print(f"{OVERRIDES_VAR} is not set: built-in cutoffs only")
    console.print("scopes: intra = one host, all its GPUs; multi = several hosts")


def _gbps(value: float | None) -> str:
    return "-" if value is None else f"{value:g}"


def _show_lint(console: Console, entries: Sequence[dict[str, Any]], results: Sequence[Any], size_bytes: int) -> None:
    at = human_size(size_bytes)
    console.print(Text(f"cutoffs checked against link budgets and healthy hosts at {at}, "
                       "the largest size the sweep measures", style="bold"))
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
        typical = qa.typical_busbw(e["gpu_type"], e["scope"], size_bytes)
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
    _print_table(console, ["GPU type", "scope", "cutoff", "GB/s", "link budget", f"healthy at {at}", "source",
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
        console.print(Text(f"no healthy value known at {at} for: {', '.join(untypical)}", style="dim"))
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
    if args.lint:
        size = largest_measured_size()
        results = lint(entries, size)
        if args.json is not None:
            write_atomic(args.json, strict_json({
                "size_bytes": size, "results": [r.to_dict() for r in results],
                "problems": sum(r.finding.severity != qa.Severity.note for r in results)}))
        _show_lint(console, entries, results, size)
        return EXIT_LINT_PROBLEMS if qa.lint_has_problems(results) else 0
    if args.json is not None:
        write_atomic(args.json, strict_json({f"{e['gpu_type']}:{e['scope']}": {
            "pass_min_gbps": e["pass_min_gbps"], "warn_min_gbps": e["warn_min_gbps"],
            "source": e["source"]} for e in entries}))
    _show_cutoffs(console, entries, overrides)
    return 0


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane thresholds` to the command line."""
    thresholds = add_command(
        sub, "thresholds", fmt, epilog=EXIT_STATUS_HELP + LINT_STATUS_HELP,
        description=f"Show the effective cutoffs per GPU type and scope; those set through "
                    f"{OVERRIDES_VAR} are marked. With --lint, check them against the hardware.")
    thresholds.add_argument("--gpu-type", metavar="TYPE", help="only this GPU type")
    thresholds.add_argument("--lint", action="store_true",
                            help="check every cutoff in force against the GPU's link budget and what healthy "
                                 "hosts measure at the largest size the sweep measures; exit 1 on any problem")
    options.json_file(thresholds, "write the cutoffs (or the lint's results) as JSON to FILE ('-': stdout)")
    thresholds.set_defaults(handler=cmd_thresholds)


LINT_STATUS_HELP = """
with --lint:
  0   every cutoff can be reached, and healthy hosts reach it
  1   a cutoff is above the link budget, or above what healthy hosts measure
"""
