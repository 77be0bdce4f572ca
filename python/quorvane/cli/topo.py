"""`quorvane topo`: the GPU/NIC inventory of an NCCL topology dump."""
from __future__ import annotations

import argparse
from collections.abc import Mapping
from typing import Any, TextIO
import sys

from .. import collsweep as cs
from .common import (EXIT_STATUS_HELP, RunError, Style, _check_json_target, _read_input, _write_json,
                     fmt_opt, fmt_speed, table)

def render_topology(inv: Mapping[str, Any], source: str, out: TextIO, style: Style) -> None:
    yes = {True: "yes", False: "no"}
    gpus, nics = inv.get("gpus", []), inv.get("nics", [])
    affinity: Mapping[str, list[str]] = inv.get("gpu_nic_affinity", {})
    print(style(f"topology: {source}", "bold"), file=out)
    print(f"  {len(gpus)} GPU{'s' if len(gpus) != 1 else ''}, {len(nics)} NIC{'s' if len(nics) != 1 else ''}, "
          f"{inv.get('numa_domains', 0)} NUMA domain{'s' if inv.get('numa_domains', 0) != 1 else ''}",
          file=out)

    print(file=out)
    print(style("GPUs", "bold", "cyan"), file=out)
    if gpus:
        rows = [[fmt_opt(g["dev"]), fmt_opt(g["rank"]), fmt_opt(g["sm"]), g["busid"] or "-",
                 fmt_opt(g["numa"]), str(g["nvlink_count"]), str(g["nvlink_peers"]), yes[bool(g["gdr"])],
                 ", ".join(affinity.get(str(g["dev"]), [])) if g["dev"] is not None else ""]
                for g in gpus]
        for line in table(["dev", "rank", "sm", "bus id", "NUMA", "NVLinks", "peers", "GDR", "near NICs"],
                          rows, [True, True, True, False, True, True, True, False, False]):
            print(line, file=out)
    else:
        print("  none", file=out)

    print(file=out)
    print(style("NICs", "bold", "cyan"), file=out)
    if nics:
        rows = [[n["name"] or "-", fmt_speed(n["speed_mbps"]), fmt_opt(n["port"]), fmt_opt(n["numa"]),
                 n["busid"] or "-", yes[bool(n["gdr"])], n["guid"] or "-"] for n in nics]
        for line in table(["name", "speed", "port", "NUMA", "bus id", "GDR", "guid"], rows,
                          [False, True, True, True, False, False, False]):
            print(line, file=out)
    else:
        print("  none", file=out)

    print(file=out)
    print(style("GPU -> NIC affinity", "bold", "cyan") + "  (NICs under the deepest shared PCIe switch)",
          file=out)
    if affinity:
        arrow = "\u2192" if style.fancy else "->"
        for dev, names in affinity.items():
            print(f"  GPU {dev:>3} {arrow} {', '.join(names)}", file=out)
    else:
        print("  none: no GPU shares a PCIe switch with a NIC", file=out)


def cmd_topo(args: argparse.Namespace) -> int:
    _check_json_target(args.json)
    text = _read_input(args.file)
    inventory = cs.parse_nccl_topo_xml(text)
    if not inventory:
        raise RunError(f"{args.file}: no NCCL topology found (expected an XML dump with a "
                       "<system> element, as NCCL_TOPO_DUMP_FILE writes)")
    out = sys.stderr if args.json == "-" else sys.stdout
    if args.json is not None:
        _write_json(args.json, inventory)
    source = "standard input" if args.file == "-" else args.file
    render_topology(inventory, source, out, Style.for_stream(out))
    return 0

def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane topo` to the command line."""
    topo = sub.add_parser(
        "topo", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="GPU/NIC inventory of an NCCL topology dump",
        description="Read the XML that NCCL writes with NCCL_TOPO_DUMP_FILE (RCCL writes the same) "
                    "and show the GPUs, the NICs, the NUMA domains and the GPU->NIC affinity.")
    topo.add_argument("file", metavar="FILE", help="the topology dump ('-': standard input)")
    topo.add_argument("--json", metavar="FILE", help="write the inventory dict as JSON to FILE ('-': stdout)")
    topo.set_defaults(handler=cmd_topo)
