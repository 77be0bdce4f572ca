"""`quorvane topo`: the GPU/NIC inventory of NCCL topology files and what is wrong with each host."""
from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from rich.console import Console
from rich.table import Table
from rich.text import Text

from .. import analysis
from ..record_data import document, strict_json
from . import add_command, options
from .common import (PROG, RunError, UsageError, announce_verdict, check_json_target, fmt_opt, fmt_speed,
                     read_capped, write_atomic)
from .term import console_for, shown

NO_TOPOLOGY = ("no NCCL topology found (expected an XML dump with a <system> element, "
               "as NCCL_TOPO_DUMP_FILE writes)")
EXIT_NO_TOPOLOGY = 4
EXIT_FOR_WORST = {None: 0, "warn": 1, "fail": 2}
SEVERITY_STYLE = {"fail": "bold red", "warn": "bold yellow"}


@dataclass
class Host:
    """One topology file as analysed, and what is added to its findings."""
    source: str
    report: Any = None                      # analysis.TopologyReport, or None when unusable
    error: str = ""
    refused: bool = False                   # the file itself was refused (unreadable, too large)
    extra: list[Any] = field(default_factory=list)    # fleet findings
    changes: list[Any] = field(default_factory=list)  # against the golden file
    known: list[Any] = field(default_factory=list)    # its own findings that the golden file has too
    label: str = ""                                   # the host's name, as the file names it

    def own_findings(self) -> list[Any]:
        """What is wrong with the host itself: with a golden file, what the golden file
        also shows is how this machine type is built, not a fault of this host."""
        known = {finding_key(f) for f in self.known}
        return [f for f in self.report.findings if finding_key(f) not in known] if self.report else []

    def all_findings(self) -> list[Any]:
        return self.own_findings() + self.extra + self.changes if self.report else []


def finding_key(f: Any) -> tuple[str, str, str]:
    return (f.code, f.message, f.evidence)


def host_labels(paths: Sequence[str]) -> list[str]:
    """Hosts by name, as their files name them (`fleet/node07-topo.xml` -> `node07`); the paths
    themselves where two files would get the same name."""
    labels = []
    for path in paths:
        if path == "-":
            labels.append("-")
            continue
        stem = Path(path).name.removesuffix(".xml")
        labels.append(re.sub(r"[-_.]?topo(logy)?$", "", stem) or stem)
    return labels if len(set(labels)) == len(labels) else list(paths)


# ---- reading ----------------------------------------------------------------------

def analyse(path: str) -> Host:
    source = "-" if path == "-" else path
    try:
        report = analysis.analyze_topology(read_capped(path))
    except UsageError as exc:
        return Host(source, error=str(exc), refused=True)
    if report.kind == "none":
        return Host(source, error=f"{source}: {NO_TOPOLOGY}")
    if report.kind == "invalid":
        return Host(source, error=f"{source}: {report.error}")
    return Host(source, report)


# ---- rendering --------------------------------------------------------------------

_TRAILING_BLANKS = re.compile(r" +((?:\x1b\[[0-9;]*m)*)$")


MOST_ROWS = 40   # a table shows its first and last rows beyond this; the JSON has them all


def print_table(console: Console, headers: Sequence[str], rows: Sequence[Sequence[Any]],
                right: Sequence[bool]) -> None:
    """Columns two blanks apart, indented by two, no blanks at line ends; text
    from the file through the output filter; beyond MOST_ROWS rows, the first
    and the last, and one line that says how many are left out (so that 50,000
    GPUs draw as quickly as 8)."""
    left_out = len(rows) - MOST_ROWS
    if left_out > 0:
        head = MOST_ROWS // 2
        rows = [*rows[:head], [""] * len(headers), *rows[len(rows) - (MOST_ROWS - head):]]
    table = Table(box=None, show_edge=False, pad_edge=False, padding=(0, 1), header_style="")
    for name, is_right in zip(headers, right):
        table.add_column(name, justify="right" if is_right else "left")
    for row in rows:
        table.add_row(*(shown(c) if isinstance(c, str) else c for c in row))
    with console.capture() as captured:
        console.print(table)
    lines = captured.get().splitlines()
    if left_out > 0:   # the blank row stands for those left out
        blank = next(i for i, line in enumerate(lines) if i > 0 and not line.strip())
        dots = "\u2026" if console.encoding.lower().startswith("utf") else "..."
        lines[blank] = f"{dots} {left_out:,} more rows {dots}  (--json has every row)"
    for line in lines:
        console.file.write("  " + _TRAILING_BLANKS.sub(r"\1", line) + "\n")


def heading(console: Console, text: str, note: str = "") -> None:
    console.print()
    console.print(Text.assemble((text, "bold cyan"), note))


def counts(report: Any, static: bool) -> str:
    def n(k: int, word: str) -> str:
        return f"{k} {word}{'' if k == 1 else 's'}"
    line = f"{n(report.gpu_count, 'GPU')}, {n(report.nic_count, 'NIC')}, {n(report.numa_domains, 'NUMA domain')}"
    return f"static file: {line}" if static else line


def grouped(findings: Sequence[Any]) -> list[tuple[Any, str]]:
    """(finding, line) pairs, where findings that say the same of several devices
    ("GPU 3 (0000:3b:00.0): GPUDirect RDMA off" for each of 8 GPUs) share one line that names them all."""
    groups: dict[tuple[str, str, str, str], list[Any]] = {}
    for f in findings:
        device, sep, said = f.message.partition(": ")
        groups.setdefault((f.severity.name, f.code, said if sep and device else f.message, f.evidence),
                          []).append(f)
    lines = []
    for (_, _, said, _), members in groups.items():
        if len(members) == 1 or said == members[0].message:
            lines.append((members[0], members[0].message + (f" ({len(members)} times)" if len(members) > 1 else "")))
        else:
            devices = ", ".join(m.message.partition(": ")[0] for m in members)
            lines.append((members[0], f"{said}: {len(members)} devices: {devices}"))
    return lines


def finding_rows(findings: Sequence[Any], prefix: Sequence[str] = ()) -> list[list[Any]]:
    rows = []
    for f, message in grouped(findings):
        sev = f.severity.name
        rows.append([*prefix, Text(sev.upper(), SEVERITY_STYLE.get(sev, "")), f.code,
                     Text.assemble(shown(message), ("  [" + shown(f.evidence) + "]" if f.evidence else "", "dim"))])
    return rows


def render_findings(console: Console, findings: Sequence[Any], empty: str) -> None:
    if findings:
        print_table(console, ["", "code", "finding  [evidence]"], finding_rows(findings), [False] * 3)
    else:
        console.print(f"  {empty}")


def render_host(host: Host, console: Console, golden: str | None) -> None:
    report = host.report
    inv = report.to_dict()
    static = inv["kind"] == "static"
    gpus, nics = inv["gpus"], inv["nics"]
    affinity: Mapping[str, list[str]] = inv["gpu_nic_affinity"]
    yes = {True: "yes", False: "no", None: "-"}
    source = "standard input" if host.source == "-" else host.source
    console.print(Text(f"topology: {shown(source)}", "bold"))
    console.print(f"  {counts(report, static)}")
    if static:
        console.print("  (devices taken from PCI class codes of a static topology file, not detected by NCCL)")

    heading(console, "GPUs")
    if not gpus:
        console.print("  none")
    elif static:
        print_table(console, ["bus id", "class", "device", "NUMA", "PCIe", "near NICs"],
                    [[g["busid"], g["pci_class"] or "-", g["pci_id"] or "-", fmt_opt(g["numa"]), g["pcie_link"],
                      ", ".join(affinity.get(g["busid"], []))] for g in gpus],
                    [False, False, False, True, False, False])
    else:
        amd = any(g["xgmi_count"] for g in gpus) and not any(g["nvlink_count"] for g in gpus)
        arch = any(g["gcn"] for g in gpus)
        rows = [[fmt_opt(g["dev"]), fmt_opt(g["rank"]), g["gcn"] or fmt_opt(g["sm"]), g["busid"] or "-",
                 fmt_opt(g["numa"]), str(g["xgmi_count"] if amd else g["nvlink_count"]),
                 str(g["xgmi_peers"] if amd else g["nvlink_peers"]), yes[g["gdr"]], g["pcie_link"],
                 ", ".join(affinity.get(str(g["dev"]), [])) if g["dev"] is not None else ""]
                for g in gpus]
        print_table(console, ["dev", "rank", "arch" if arch else "sm", "bus id", "NUMA",
                              "xGMI links" if amd else "NVLinks", "peers", "GDR", "PCIe", "near NICs"],
                    rows, [True, True, True, False, True, True, True, False, False, False])

    heading(console, "NICs")
    if not nics:
        console.print("  none")
    elif static:
        kinds = {"0x0207": "InfiniBand", "0x0200": "Ethernet"}
        print_table(console, ["bus id", "class", "type", "NUMA", "PCIe"],
                    [[n["busid"], n["pci_class"] or "-", kinds.get(n["pci_class"][:6].lower(), "-"),
                      fmt_opt(n["numa"]), n["pcie_link"]] for n in nics],
                    [False, False, False, True, False])
    else:
        print_table(console, ["name", "speed", "port", "NUMA", "bus id", "GDR", "PCIe", "guid"],
                    [[n["name"] or "-", fmt_speed(n["speed_mbps"]), fmt_opt(n["port"]), fmt_opt(n["numa"]),
                      n["busid"] or "-", yes[n["gdr"]], n["pcie_link"], n["guid"] or "-"] for n in nics],
                    [False, True, True, True, False, False, False, False])

    heading(console, "GPU -> NIC affinity", "  (NICs under the deepest shared PCIe switch)")
    if affinity:
        arrow = "\u2192" if console.encoding.lower().startswith("utf") else "->"
        pairs = list(affinity.items())
        if len(pairs) > MOST_ROWS:
            head = MOST_ROWS // 2
            pairs = [*pairs[:head], ("", []), *pairs[len(pairs) - (MOST_ROWS - head):]]
        for gpu, names in pairs:
            if not gpu:
                dots = "\u2026" if arrow != "->" else "..."
                console.print(f"  {dots} {len(affinity) - MOST_ROWS:,} more GPUs {dots}")
                continue
            console.print(Text(shown(f"  GPU {gpu:>3} {arrow} {', '.join(names)}")))
    else:
        console.print("  none: no GPU shares a PCIe switch with a NIC")

    heading(console, "Findings")
    render_findings(console, host.own_findings() + host.extra, "none: nothing wrong found")
    if host.known:
        heading(console, "Also in the golden file", "  (how this machine type is built: not counted)")
        render_findings(console, host.known, "")
    if golden is not None:
        heading(console, "Changes since the golden file", f"  ({shown(golden)})")
        render_findings(console, host.changes, "none: the same devices, placement and links")


def worst(findings: Sequence[Any]) -> str | None:
    names = {f.severity.name for f in findings}
    return "fail" if "fail" in names else "warn" if "warn" in names else None


def render_fleet(hosts: Sequence[Host], comparison: Any, usable: Sequence[Host], console: Console) -> None:
    console.print(Text(f"topology of {len(hosts)} hosts", "bold"))
    rows = []
    for host in hosts:
        if host.report is None:
            rows.append([host.label, Text("no topology", "bold magenta"),
                         host.error.removeprefix(host.source + ": ")])
            continue
        findings = host.all_findings()
        tally = {s: sum(f.severity.name == s for f in findings) for s in ("fail", "warn")}
        verdict = ", ".join(f"{k} {s}" for s, k in tally.items() if k) or "ok"
        rows.append([host.label, counts(host.report, host.report.kind == "static"),
                     Text(verdict, SEVERITY_STYLE.get(worst(findings) or "", "green"))])
    print_table(console, ["host", "inventory", "verdict"], rows, [False, False, False])

    heading(console, "Differences from the majority")
    by_host: dict[int, list[str]] = {}
    for d in comparison.differences:
        by_host.setdefault(d.host, []).append(
            f"{d.what} {d.value} ({'majority ' + d.majority if d.majority else 'no majority'})")
    if by_host:
        print_table(console, ["host", "difference"],
                    [[usable[h].label, "; ".join(parts)] for h, parts in sorted(by_host.items())], [False, False])
    else:
        console.print("  none: every host has the same inventory" if len(usable) > 1
                      else "  none: fewer than two hosts to compare")

    heading(console, "Findings")
    rows = [row for host in usable for row in finding_rows(host.all_findings(), [host.label])]
    if rows:
        print_table(console, ["host", "", "code", "finding  [evidence]"], rows, [False] * 4)
    else:
        console.print("  none: nothing wrong found")


# ---- JSON -------------------------------------------------------------------------

def finding_dicts(findings: Sequence[Any]) -> list[dict[str, Any]]:
    return [f.to_dict() for f in findings]


def host_dict(host: Host, golden: str | None) -> dict[str, Any]:
    data: dict[str, Any] = host.report.to_dict()
    data["topology"] = data.pop("kind")   # "dump" or "static": the record's own kind is "topo"
    data["findings"] = finding_dicts(host.all_findings())
    if host.known:
        data["findings_in_golden"] = finding_dicts(host.known)
    data["host"] = host.label
    data["source"] = host.source
    if golden is not None:
        data["golden"] = golden
    return data


# ---- the command ------------------------------------------------------------------

def cmd_topo(args: argparse.Namespace) -> int:
    check_json_target(args.json)
    if args.files.count("-") + (args.against == "-") > 1:
        raise UsageError("standard input ('-') can be read only once")
    golden_report = None
    if args.against is not None:
        golden = analyse(args.against)
        if golden.report is None:
            raise UsageError(f"--against {golden.error}")
        golden_report = golden.report

    hosts = [analyse(path) for path in args.files]
    for host, label in zip(hosts, host_labels(args.files)):
        host.label = label
    if len(hosts) == 1 and hosts[0].report is None:
        raise (UsageError if hosts[0].refused else RunError)(hosts[0].error)
    usable = [h for h in hosts if h.report is not None]
    comparison = analysis.compare_hosts([h.report for h in usable], [h.label for h in usable])
    for host, extra in zip(usable, comparison.findings):
        host.extra = list(extra) if len(usable) > 1 else []
        if golden_report is not None:
            host.changes = analysis.compare_topology(golden_report, host.report)
            in_golden = {finding_key(f) for f in golden_report.findings}
            host.known = [f for f in host.report.findings if finding_key(f) in in_golden]

    for host in hosts:
        if host.report is None:
            print(f"{PROG}: error: {shown(host.error)}", file=sys.stderr)
    out = sys.stderr if args.json == "-" else sys.stdout
    console = console_for(out, plain_width=10_000)
    if len(hosts) == 1:
        render_host(hosts[0], console, args.against)
    else:
        render_fleet(hosts, comparison, usable, console)
    out.flush()

    findings = [f for h in usable for f in h.all_findings()]
    status = EXIT_NO_TOPOLOGY if len(usable) < len(hosts) else EXIT_FOR_WORST[worst(findings)] if args.check else 0
    verdict = "error" if len(usable) < len(hosts) else worst(findings) or "pass"
    announce_verdict(verdict)
    if args.json is not None:
        if len(hosts) == 1:
            body: Any = host_dict(hosts[0], args.against)
        else:
            body = {"hosts": [host_dict(h, args.against) for h in usable],
                    "differences": [{"host": usable[d.host].label, "what": d.what, "value": d.value,
                                     "majority": d.majority or None} for d in comparison.differences],
                    "errors": [{"host": h.label, "source": h.source, "error": h.error}
                               for h in hosts if h.report is None]}
        write_atomic(args.json, strict_json(document("topo", body, verdict=verdict, exit_status=status)))
    return status


TOPO_STATUSES = (
    ("0", "ok", "the topology was shown (without --check, whatever was found);\nwith --check: no finding "
                "(with --against: none beyond what the golden file shows too)"),
    ("1", "warn", "with --check: warnings only"),
    ("2", "fail", "with --check: at least one fail"),
    ("4", "error", "a file holds no topology or cannot be analysed (also without --check)"),
)


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane topo` to the command line."""
    topo = add_command(
        sub, "topo", fmt, statuses=TOPO_STATUSES,
        description="Read the XML that NCCL writes with NCCL_TOPO_DUMP_FILE (RCCL writes the same), or a\n"
                    "static topology file, and show the GPUs, the NICs, the NUMA domains, the GPU->NIC affinity\n"
                    "and the findings: downtrained PCIe links, GPUDirect RDMA off, slow NICs, GPUs without a NIC\n"
                    "under their PCIe switch, missing NVLinks or xGMI links, NICs unevenly spread over NUMA\n"
                    "domains. With several files (one per host): one line per host, and the hosts that differ\n"
                    "from the majority.")
    topo.add_argument("files", metavar="FILE", nargs="+", help="topology files, one per host ('-': standard input)")
    topo.add_argument("--check", action="store_true",
                      help="exit 0 with no finding, 1 with warnings only, 2 with any fail")
    topo.add_argument("--against", metavar="GOLDEN",
                      help="also report GPUs and NICs missing or added, NUMA placement and links changed "
                           "since this golden topology file")
    options.json_file(topo, "write the inventory and the findings as JSON to FILE ('-': stdout)")
    topo.set_defaults(handler=cmd_topo)
