"""`quorvane thresholds`: the pass/warn cutoffs in force."""
from __future__ import annotations

import argparse
import sys
from collections.abc import Mapping
from typing import Any

from .. import collsweep as cs
from .common import (CUTOFF_KEYS, EXIT_STATUS_HELP, OVERRIDES_VAR, SCOPES, Style, UsageError, _check_json_target,
                     _write_json, read_overrides, table, threshold_source)

def effective_thresholds(overrides: Mapping[str, tuple[float, float]]) -> list[dict[str, Any]]:
    """Every (GPU type, scope) that has or could have cutoffs, with what is in force."""
    builtin = {"intra": cs._INTRA_NODE_THRESHOLDS, "multi": cs._MULTI_NODE_THRESHOLDS}
    pairs: dict[tuple[str, str], None] = {}
    gpu_types = list(dict.fromkeys([*cs._INTRA_NODE_THRESHOLDS, *cs._MULTI_NODE_THRESHOLDS,
                                    *(k.rpartition(":")[0] for k in overrides)]))
    for gpu in gpu_types:
        for scope in SCOPES:
            pairs[(gpu, scope)] = None
        for key in overrides:
            g, _, scope = key.rpartition(":")
            if g == gpu:
                pairs[(gpu, scope)] = None
    entries = []
    for gpu, scope in pairs:
        thr = cs.threshold_for(gpu, scope)
        table_entry = builtin.get(scope, {}).get(gpu)
        entry: dict[str, Any] = {
            "gpu_type": gpu, "scope": scope,
            "pass_min_gbps": None if thr is None else thr.pass_min_gbps,
            "warn_min_gbps": None if thr is None else thr.warn_min_gbps,
            "source": (threshold_source(gpu, scope, overrides) if thr is not None else None),
            "built_in": None if not table_entry else {k: table_entry[k] for k in CUTOFF_KEYS},
        }
        entries.append(entry)
    return entries


def cmd_thresholds(args: argparse.Namespace) -> int:
    overrides = read_overrides()
    _check_json_target(args.json)
    entries = effective_thresholds(overrides)
    if args.gpu_type is not None:
        entries = [e for e in entries if e["gpu_type"] == args.gpu_type]
        if not entries:
            known = sorted({e["gpu_type"] for e in effective_thresholds(overrides)})
            raise UsageError(f"no cutoffs for GPU type {args.gpu_type!r}; known: {', '.join(known)}")
    out = sys.stderr if args.json == "-" else sys.stdout
    if args.json is not None:
        _write_json(args.json, {f"{e['gpu_type']}:{e['scope']}": {
            "pass_min_gbps": e["pass_min_gbps"], "warn_min_gbps": e["warn_min_gbps"],
            "source": e["source"]} for e in entries})
    style = Style.for_stream(out)
    print(style("effective all_reduce bus bandwidth cutoffs, GB/s", "bold"), file=out)
    rows = []
    for e in entries:
        if e["pass_min_gbps"] is None:
            rows.append([e["gpu_type"], e["scope"], "-", "-", "none: verdict unknown"])
            continue
        source = e["source"]
        if source == "override":
            mark = "* override"
            if e["built_in"]:
                b = e["built_in"]
                mark += f" (built-in {b['pass_min_gbps']:g} / {b['warn_min_gbps']:g})"
            source = style(mark, "bold", "yellow")
        rows.append([e["gpu_type"], e["scope"], f"{e['pass_min_gbps']:g}", f"{e['warn_min_gbps']:g}", source])
    for line in table(["GPU type", "scope", "pass >=", "warn >=", "source"], rows,
                      [False, False, True, True, False]):
        print(line, file=out)
    print(file=out)
    if overrides:
        print(f"* from {OVERRIDES_VAR}", file=out)
    else:
        print(f"{OVERRIDES_VAR} is not set: built-in cutoffs only", file=out)
    print("scopes: intra = one host, all its GPUs; multi = several hosts", file=out)
    return 0

def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane thresholds` to the command line."""
    thresholds = sub.add_parser(
        "thresholds", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="the pass/warn cutoffs in force",
        description=f"Show the effective cutoffs per GPU type and scope; those set through "
                    f"{OVERRIDES_VAR} are marked.")
    thresholds.add_argument("--gpu-type", metavar="TYPE", help="only this GPU type")
    thresholds.add_argument("--json", metavar="FILE",
                            help="write the cutoffs as JSON to FILE ('-': stdout)")
    thresholds.set_defaults(handler=cmd_thresholds)
