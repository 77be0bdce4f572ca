"""`quorvane topo`: the GPU/NIC inventory of an NCCL topology dump."""
from __future__ import annotations

import argparse
import sys
from typing import Any

from .. import collsweep as cs
from .common import EXIT_STATUS_HELP, RunError, Style, _check_json_target, _read_input, _write_json
from .render import render_topology

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
