"""`quorvane transport`: NCCL's own account of the path the bytes took, read from saved debug logs."""
from __future__ import annotations

import argparse
import sys
from typing import Any


from .. import __version__, analysis, nccl_debug
from ..record_data import RECORD_VERSION, strict_json
from . import add_command, options
from .common import PROG, RunError, UsageError, check_json_target, read_capped, read_topology, shown, write_atomic
from .render import render_path
from .term import Lines

EXIT_NO_LOG = 4
EXIT_FOR_WORST = {None: 0, "warn": 1, "fail": 2}
NO_LINES = "no NCCL debug lines found (run with NCCL_DEBUG=INFO)"


def read_one(path: str, context: Any) -> dict[str, Any]:
    """The account of one file ('-': standard input), or a one-line error."""
    reader = analysis.PathReader()
    try:
        if path == "-":
            reader.feed(read_capped("-"))
            reader.end_piece()
        else:
            nccl_debug.feed_file(reader, path)
    except IsADirectoryError:
        raise UsageError(f"cannot read {shown(path)}: is a directory") from None
    except OSError as exc:
        raise UsageError(f"cannot read {shown(path)}: {exc.strerror or exc}") from None
    data: dict[str, Any] = {"source": path}
    data.update(reader.account(context).to_dict())
    return data


def render(out: Lines, acc: dict[str, Any]) -> None:
    source = "standard input" if acc["source"] == "-" else acc["source"]
    out.print((f"transport: {shown(source)}", "bold"))
    if not acc["nccl_lines"]:
        out.print(f"  {NO_LINES}")
        return
    render_path(acc, out)


def cmd_transport(args: argparse.Namespace) -> int:
    check_json_target(args.json)
    if args.logs.count("-") + (args.topo == "-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    topology = read_topology(args.topo) if args.topo is not None else None
    context = nccl_debug.context_from_topology(topology, args.ib_hca or "")
    accounts = [read_one(path, context) for path in args.logs]

    out = sys.stderr if args.json == "-" else sys.stdout
    lines = Lines(out)
    for i, acc in enumerate(accounts):
        if i:
            lines.print()
        render(lines, acc)
    out.flush()
    empty = [a["source"] for a in accounts if not a["nccl_lines"]]
    for source in empty:
        print(f"{PROG}: error: {shown(source)}: {NO_LINES}", file=sys.stderr)

    if args.json is not None:
        write_atomic(args.json, strict_json({"record_version": RECORD_VERSION, "kind": "transport",
                                             "tool_version": __version__, "files": accounts}))
    if len(empty) == len(accounts):
        raise RunError(f"{NO_LINES} in any file") if len(accounts) > 1 else RunError(
            f"{shown(accounts[0]['source'])}: {NO_LINES}")
    if empty:
        return EXIT_NO_LOG
    if not args.check:
        return 0
    return EXIT_FOR_WORST[nccl_debug.worst_severity(f for a in accounts for f in a["findings"])]


TRANSPORT_STATUSES = (
    ("0", "ok", "no finding above a note (always without --check, unless a file holds no debug line)"),
    ("1", "warn", "with --check: warnings only"),
    ("2", "fail", "with --check: at least one fail"),
    ("4", "error", "a file holds no NCCL debug line"),
)


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane transport` to the command line."""
    p = add_command(
        sub, "transport", fmt, statuses=TRANSPORT_STATUSES,
        description="Read NCCL's debug output (NCCL_DEBUG=INFO; whole NCCL_DEBUG_FILE logs or program output with\n"
                    "the debug lines mixed in, launcher prefixes and all) and show NCCL's own account of the path:\n"
                    "the network (IB, Socket or a plugin), the link layer, GPU Direct RDMA, the NICs carrying\n"
                    "channels, the transports inside a host, NVLS, NCCL versions, ranks and nodes; and the findings:\n"
                    "TCP sockets instead of RDMA (net-socket), a network plugin that fell back (net-plugin-failed),\n"
                    "no GPU Direct RDMA (gdr-off), no GPU peer-to-peer inside a host (p2p-off), an RDMA NIC without\n"
                    "channels (nic-unused), NVSwitch without NVLS (nvls-off), mixed NCCL versions.")
    p.add_argument("logs", metavar="LOG", nargs="+", help="NCCL debug logs or outputs ('-': standard input)")
    options.topo(p, "the hosts' NCCL topology dump: RDMA NICs, GPU-NIC PCIe switches and NVLink sharpen "
                    "the findings")
    p.add_argument("--ib-hca", metavar="LIST", help="the NCCL_IB_HCA the run was given (when the log does not say)")
    p.add_argument("--check", action="store_true", help="exit 0 with no finding above a note, 1 with warnings, "
                                                        "2 with any fail")
    options.json_file(p, "write the accounts and findings as JSON to FILE ('-': stdout)")
    p.set_defaults(handler=cmd_transport)
