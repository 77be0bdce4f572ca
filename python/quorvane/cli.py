"""The ``quorvane`` command line: a thin front end over :mod:`quorvane.collsweep`.

Subcommands:

* ``quorvane sweep``      run the nccl-tests sweep on one host or several, show it, grade it
* ``quorvane topo FILE``  GPU/NIC inventory and GPU->NIC affinity of an NCCL topology dump
* ``quorvane thresholds`` the pass/warn cutoffs in force, per GPU type and scope

Standard library only.  Everything the sweep measures and grades is done by the
extension module; this file parses arguments, shows progress and results, and
maps the verdict to an exit status.
"""
from __future__ import annotations

import argparse
import json
import os
import re
import shlex
import shutil
import sys
import tempfile
import threading
import time
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import Any, NoReturn, TextIO

from . import __version__
from . import collsweep as cs

PROG = "quorvane"

EXIT_PASS = 0
EXIT_WARN = 1
EXIT_FAIL = 2
EXIT_UNKNOWN = 3
EXIT_ERROR = 4
EXIT_USAGE = 64
EXIT_INTERRUPTED = 130

EXIT_FOR_STATUS = {"pass": EXIT_PASS, "warn": EXIT_WARN, "fail": EXIT_FAIL,
                   "unknown": EXIT_UNKNOWN, "error": EXIT_ERROR}

OVERRIDES_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
CUTOFF_KEYS = ("pass_min_gbps", "warn_min_gbps")
SCOPES = ("intra", "multi")
LAUNCHERS = ("srun", "mpirun", "ssh")

# The emulator: the stand-in benchmark shipped beside this file.  It is only ever
# reached through launcher scripts in a private temporary directory, never
# through PATH, so no real nccl-tests program can be shadowed by it.
EMULATED = "emulated"
EMULATOR_FILE = Path(__file__).with_name("_standin.py")
EMULATED_EXECUTABLES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
_EMULATOR_SETTING = re.compile(r"NCCL_STANDIN_[A-Za-z0-9_]+")

EXIT_STATUS_HELP = """\
exit status:
  0   pass     headline all_reduce bus bandwidth at or above the pass cutoff
  1   warn     at or above the warn cutoff, below the pass cutoff
  2   fail     below the warn cutoff, or the benchmark counted wrong results
  3   unknown  no cutoff for this GPU type and scope, or no all_reduce rows
  4   error    nothing could be measured (every collective failed), or the
               sweep could not run at all; for topo: no topology in the file
  64  usage    bad arguments, or a malformed %s
  130          interrupted
""" % OVERRIDES_VAR


class UsageError(Exception):
    """Bad arguments or configuration: one line on stderr, exit status 64."""


class RunError(Exception):
    """The command could not do its work: one line on stderr, exit status 4."""


# ---- terminal styling -------------------------------------------------------------

def colour_wanted(stream: TextIO) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def unicode_ok(stream: TextIO) -> bool:
    encoding = (getattr(stream, "encoding", None) or "").lower().replace("-", "").replace("_", "")
    return encoding.startswith("utf")


class Style:
    """ANSI styling that turns into plain text when colour is off."""

    CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33",
             "magenta": "35", "cyan": "36", "grey": "90"}
    STATUS = {"pass": ("bold", "green"), "warn": ("bold", "yellow"), "fail": ("bold", "red"),
              "unknown": ("bold", "grey"), "error": ("bold", "magenta")}
    GRADE = {"pass": ("green",), "warn": ("yellow",), "fail": ("red",), "unknown": ()}

    def __init__(self, colour: bool, fancy: bool) -> None:
        self.colour = colour
        self.fancy = fancy

    def __call__(self, text: str, *names: str) -> str:
        if not self.colour or not names or not text:
            return text
        codes = ";".join(self.CODES[n] for n in names)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def status(self, status: str) -> str:
        return self(status.upper(), *self.STATUS.get(status, ("bold",)))

    @classmethod
    def for_stream(cls, stream: TextIO) -> Style:
        return cls(colour_wanted(stream), unicode_ok(stream))


# ---- small formatting helpers -----------------------------------------------------

def human_size(size: int) -> str:
    """8192 -> '8 KiB', 134217728 -> '128 MiB', 1536 -> '1.5 KiB'."""
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(value) < 1024 or unit == "TiB":
            text = f"{value:.1f}".rstrip("0").rstrip(".") if unit != "B" else str(size)
            return f"{text} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def fmt_float(value: Any, digits: int = 2) -> str:
    if value is None:
        return "-"
    return f"{float(value):,.{digits}f}"


def fmt_opt(value: Any) -> str:
    return "-" if value is None else str(value)


def fmt_speed(mbps: int | None) -> str:
    if mbps is None:
        return "-"
    if mbps >= 1000 and mbps % 1000 == 0:
        return f"{mbps // 1000} Gb/s"
    return f"{mbps} Mb/s"


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool],
          indent: str = "  ") -> list[str]:
    """Columns padded to their widest cell; the last column is never padded, so
    it may carry styled text (bars)."""
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row[:-1]):
            widths[i] = max(widths[i], len(cell))

    def line(cells: Sequence[str]) -> str:
        parts = []
        for i, cell in enumerate(cells):
            if i == len(cells) - 1:
                parts.append(cell)
            elif right[i]:
                parts.append(cell.rjust(widths[i]))
            else:
                parts.append(cell.ljust(widths[i]))
        return (indent + "  ".join(parts)).rstrip()

    return [line(headers)] + [line(row) for row in rows]


# ---- threshold overrides ----------------------------------------------------------

def read_overrides(environ: Mapping[str, str] | None = None) -> dict[str, tuple[float, float]]:
    """The override variable, checked strictly.

    The module quietly ignores text it cannot use; an operator who set the
    variable meant something by it, so here every flaw is a usage error.
    """
    env = os.environ if environ is None else environ
    raw = env.get(OVERRIDES_VAR, "").strip()
    if not raw:
        return {}
    try:
        doc = json.loads(raw)
    except ValueError as exc:
        raise UsageError(f"{OVERRIDES_VAR} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise UsageError(f"{OVERRIDES_VAR} must be a JSON object keyed \"GPU_TYPE:scope\", "
                         f"not a JSON {type(doc).__name__}")
    result: dict[str, tuple[float, float]] = {}
    for key, value in doc.items():
        if ":" not in key:
            raise UsageError(f"{OVERRIDES_VAR}: key {key!r} is not of the form GPU_TYPE:scope "
                             f"(e.g. \"H100_SXM:intra\")")
        if not isinstance(value, dict):
            raise UsageError(f"{OVERRIDES_VAR}: the value of {key!r} must be an object with "
                             f"\"pass_min_gbps\" and \"warn_min_gbps\"")
        cutoffs = []
        for name in CUTOFF_KEYS:
            if name not in value:
                raise UsageError(f"{OVERRIDES_VAR}: {key!r} lacks \"{name}\"")
            try:
                cutoffs.append(float(value[name]))
            except (TypeError, ValueError):
                raise UsageError(f"{OVERRIDES_VAR}: {key!r} \"{name}\" is not a number: "
                                 f"{json.dumps(value[name])}") from None
        result[key] = (cutoffs[0], cutoffs[1])
    # The module reads the same text; anything it still refuses is a usage error too.
    try:
        cs._load_threshold_overrides()
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{OVERRIDES_VAR}: {exc}") from None
    return result


def threshold_source(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str:
    return "override" if f"{gpu_type}:{scope}" in overrides else "built-in"


# ---- the emulator -----------------------------------------------------------------

def _launcher_script(executable: str, interpreter: str, emulator: Path,
                     environ: Mapping[str, str]) -> str:
    collective = executable[: -len("_perf")]
    lines = [
        "#!/bin/sh",
        f"# quorvane --emulate: stands in for {executable}. No GPU is used and nothing",
        "# is measured: the numbers come from a latency + bandwidth model.",
    ]
    # Ranks started over ssh do not inherit the caller's environment; carry the
    # emulator's settings along as defaults (a setting on the remote side wins).
    for name in sorted(environ):
        if _EMULATOR_SETTING.fullmatch(name) and name != "NCCL_STANDIN_COLLECTIVE":
            lines.append(f'if [ -z "${{{name}+set}}" ]; then {name}={shlex.quote(environ[name])}; '
                         f"export {name}; fi")
    lines += [
        f"NCCL_STANDIN_COLLECTIVE={collective}",
        "export NCCL_STANDIN_COLLECTIVE",
        f'exec {shlex.quote(interpreter)} {shlex.quote(str(emulator))} "$@"',
        "",
    ]
    return "\n".join(lines)


@contextmanager
def emulated_binaries(environ: Mapping[str, str] | None = None) -> Iterator[str]:
    """A private directory holding all_reduce_perf & co. that run the emulator with
    this interpreter (so a virtual environment's Python is used); removed afterwards."""
    if not sys.executable:
        raise RunError("--emulate needs the path of the Python interpreter, which is unknown here")
    if not EMULATOR_FILE.is_file():
        raise RunError(f"the emulator is missing from the installation: {EMULATOR_FILE}")
    env = os.environ if environ is None else environ
    root = tempfile.mkdtemp(prefix="quorvane-emulator-")
    try:
        for executable in EMULATED_EXECUTABLES:
            path = Path(root, executable)
            path.write_text(_launcher_script(executable, sys.executable, EMULATOR_FILE, env),
                            encoding="utf-8")
            path.chmod(0o755)
        yield root
    finally:
        shutil.rmtree(root, ignore_errors=True)


# ---- progress ---------------------------------------------------------------------

def _binary_of(cmd: Sequence[str]) -> str:
    """The benchmark executable in a command line: just before the first -b flag
    (the single-host command starts with it; launchers put theirs in front)."""
    for i in range(1, len(cmd)):
        if cmd[i] == "-b":
            return cmd[i - 1]
    return cmd[0] if cmd else ""


class ProgressRunner(cs.ShellRunner):
    """Runs each command through the module's LocalShellRunner and reports on a
    stream: which collective, the seconds it has run, then ok with the row count
    or failed with the exit status.  On a terminal the elapsed time ticks."""

    def __init__(self, stream: TextIO, collectives: Sequence[str], style: Style) -> None:
        self.stream = stream
        self.style = style
        self.labels = [cs.collective_name_for_binary(name) for name in collectives]
        self.live = bool(getattr(stream, "isatty", None) and stream.isatty())

    def _say(self, text: str) -> None:
        self.stream.write(text)
        self.stream.flush()

    def _position(self, label: str) -> str:
        total = len(self.labels)
        if label in self.labels:
            return f"[{self.labels.index(label) + 1}/{total}]"
        return f"[?/{total}]"

    def run(self, cmd: list[str], *, timeout: int, input_text: str | None = None) -> cs.ShellResult:
        label = cs.collective_name_for_binary(_binary_of(cmd))
        prefix = f"{self._position(label)} {label}"
        start = time.monotonic()
        stop = threading.Event()
        ticker = None
        if self.live:
            def tick() -> None:
                while not stop.wait(1.0):
                    elapsed = time.monotonic() - start
                    self._say(f"\r{prefix}: running {elapsed:.0f}s (time-out {timeout}s)\x1b[K")
            self._say(f"{prefix}: running 0s (time-out {timeout}s)")
            ticker = threading.Thread(target=tick, name="quorvane-progress", daemon=True)
            ticker.start()
        else:
            self._say(f"{prefix}: running (time-out {timeout}s)\n")
        try:
            result = cs.LocalShellRunner().run(cmd, timeout=timeout, input_text=input_text)
        finally:
            stop.set()
            if ticker is not None:
                ticker.join()
                self._say("\r\x1b[K")
        elapsed = time.monotonic() - start
        if result.returncode == 0:
            rows = len(cs.parse_nccl_table(result.stdout, label))
            outcome = self.style("ok", "green") + f", {rows} row{'s' if rows != 1 else ''}"
        else:
            reason = "timed out" if result.returncode == 124 else f"exit {result.returncode}"
            first = result.stderr.strip().splitlines()[0] if result.stderr.strip() else ""
            outcome = self.style("failed", "red") + f" ({reason})" + (f": {first[:120]}" if first else "")
        self._say(f"{prefix}: {outcome} in {elapsed:.1f}s\n")
        return result


# ---- sweep ------------------------------------------------------------------------

def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1: {text!r}")
    return value


def _hosts(text: str) -> list[str]:
    hosts = [h.strip() for h in text.split(",")]
    if any(not h for h in hosts):
        raise argparse.ArgumentTypeError(f"empty host name in {text!r}")
    if len(hosts) < 2:
        raise argparse.ArgumentTypeError("needs at least two hosts (for one host use --gpus N)")
    return hosts


def _collectives(text: str) -> list[str]:
    """'all_reduce,broadcast' or executable names -> executable names, in order."""
    names = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise argparse.ArgumentTypeError(f"empty collective name in {text!r}")
        exe = item if item.endswith("_perf") else item + "_perf"
        if exe in names:
            raise argparse.ArgumentTypeError(f"{item!r} is listed twice")
        names.append(exe)
    return names


def _check_json_target(target: str | None) -> None:
    if target is None or target == "-":
        return
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise UsageError(f"--json {target}: no such directory: {folder}")
    if os.path.isdir(target):
        raise UsageError(f"--json {target}: is a directory")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"--json {target}: cannot write in {folder}")


def _write_json(target: str, data: Mapping[str, Any]) -> None:
    text = json.dumps(data, indent=2) + "\n"
    if target == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        raise RunError(f"cannot write {target}: {exc}") from None


def _bar(value: float, scale: float, cutoffs: Sequence[float], width: int, style: Style,
         grade: str | None) -> str:
    """busbw as a filled bar on [0, scale]; the cutoffs show as ticks on it."""
    filled = 0 if scale <= 0 or value != value else max(0, min(width, round(value / scale * width)))
    ticks = {min(width - 1, max(0, int(c / scale * width))) for c in cutoffs if scale > 0}
    full, empty, tick = ("\u2588", "\u00b7", "\u2502") if style.fancy else ("#", ".", "|")
    cells = []
    for i in range(width):
        if i in ticks:
            cells.append(tick)
        else:
            cells.append(full if i < filled else empty)
    text = "".join(cells)
    if grade and style.colour:
        head, tail = text[:filled], text[filled:]
        return style(head, *Style.GRADE.get(grade, ())) + style(tail, "dim")
    return text


def render_report(report: Any, collectives: Sequence[str], emulated: bool, out: TextIO,
                  style: Style, overrides: Mapping[str, object]) -> None:
    thr = report.threshold
    cutoffs = [thr.warn_min_gbps, thr.pass_min_gbps] if thr is not None else []
    results = list(report.results)
    top = max([r.busbw_gbps for r in results if r.busbw_gbps == r.busbw_gbps] + [0.0])
    scale = max(top, (thr.pass_min_gbps * 1.25) if thr is not None else 0.0)
    width = 24

    where = (f"{report.num_nodes} hosts x {report.gpus_per_node} GPUs"
             if report.scope == "multi" else f"this host, {report.gpus_per_node} GPUs")
    print(style(f"nccl-tests sweep: {report.gpu_type or '?'} on {where} (scope {report.scope})", "bold"),
          file=out)
    if emulated:
        print(style("EMULATED: these numbers come from quorvane's built-in stand-in benchmark, "
                    "not from GPUs. Nothing was measured.", "bold", "magenta"), file=out)

    labels = [cs.collective_name_for_binary(name) for name in collectives]
    labels += [r.collective for r in results if r.collective not in labels]
    labels = list(dict.fromkeys(labels))
    tick = "\u2502" if style.fancy else "|"
    if thr is not None:
        legend = (f"bars: busbw on a 0-{scale:,.0f} GB/s scale; {tick} marks the warn "
                  f"({thr.warn_min_gbps:g}) and pass ({thr.pass_min_gbps:g}) cutoffs")
    else:
        legend = f"bars: busbw on a 0-{scale:,.0f} GB/s scale (no cutoffs known)"
    print(style(legend, "dim"), file=out)
    for label in labels:
        rows = [r for r in results if r.collective == label]
        print(file=out)
        print(style(label, "bold", "cyan") + f"  ({len(rows)} row{'s' if len(rows) != 1 else ''})", file=out)
        if not rows:
            print("  no rows (see error below)", file=out)
            continue
        body = []
        for r in rows:
            grade = cs.classify(r.busbw_gbps, thr) if label == "all_reduce" and thr is not None else None
            body.append([human_size(r.size_bytes), fmt_float(r.busbw_gbps), fmt_float(r.algbw_gbps),
                         fmt_float(r.latency_us, 1), str(r.wrong),
                         _bar(r.busbw_gbps, scale, cutoffs, width, style, grade)])
        headers = ["size", "busbw GB/s", "algbw GB/s", "latency us", "wrong", "busbw vs cutoffs"]
        for line in table(headers, body, [True, True, True, True, True, False]):
            print(line, file=out)

    print(file=out)
    headline = report.headline_all_reduce_busbw()
    if headline is None:
        print("headline   none: no all_reduce row", file=out)
    else:
        print(f"headline   {style(f'{headline:,.2f} GB/s', 'bold')}  "
              "(all_reduce bus bandwidth, best message size)", file=out)
    if thr is not None:
        source = threshold_source(report.gpu_type, report.scope, overrides)
        print(f"threshold  pass >= {thr.pass_min_gbps:g} GB/s, warn >= {thr.warn_min_gbps:g} GB/s  "
              f"({report.gpu_type}, {report.scope}, {source})", file=out)
    elif report.status == "error":
        print("threshold  not looked up (nothing was measured)", file=out)
    else:
        print(f"threshold  none for {report.gpu_type!r} in scope {report.scope!r} "
              f"(see `{PROG} thresholds`)", file=out)
    if any(r.wrong for r in results):
        print(f"wrong      {style('the benchmark counted wrong results', 'bold', 'red')}", file=out)
    if report.error:
        print(f"error      {report.error}", file=out)
    verdict = style.status(report.status)
    if emulated:
        verdict += f" ({EMULATED}, not a measurement)"
    print(f"verdict    {verdict}", file=out)


def cmd_sweep(args: argparse.Namespace) -> int:
    hosts: list[str] | None = args.hosts
    gpus: int | None = args.gpus
    gpus_per_node: int | None = args.gpus_per_node
    if hosts is None:
        if gpus is None:
            raise UsageError("give --gpus N for this host, or --hosts h1,h2,... with --gpus-per-node N")
        for flag, value in (("--gpus-per-node", gpus_per_node), ("--launcher", args.launcher)):
            if value is not None:
                raise UsageError(f"{flag} needs --hosts")
    else:
        if gpus is not None:
            raise UsageError("with --hosts give --gpus-per-node N, not --gpus")
        if gpus_per_node is None:
            raise UsageError("--hosts needs --gpus-per-node N")
    if args.emulate:
        if args.binary_root is not None:
            raise UsageError("--emulate and --binary-root exclude each other")
        strange = [n for n in (args.collectives or []) if n not in EMULATED_EXECUTABLES]
        if strange:
            raise UsageError(f"--emulate knows only {', '.join(EMULATED_EXECUTABLES)}; "
                             f"not {', '.join(strange)}")
    overrides = read_overrides()
    _check_json_target(args.json)

    collectives: list[str] = args.collectives or list(cs.COLLECTIVES)
    scope = "multi" if hosts else "intra"
    err = sys.stderr
    err_style = Style.for_stream(err)
    # With --json - the report owns stdout; the readable output moves to stderr.
    out = err if args.json == "-" else sys.stdout
    out_style = err_style if out is err else Style.for_stream(out)

    if cs.threshold_for(args.gpu_type, scope) is None:
        print(f"{PROG}: note: no cutoffs for {args.gpu_type!r} in scope {scope!r}; "
              f"the verdict will be unknown", file=err)
    if args.emulate:
        print(f"{PROG}: {EMULATED} sweep: the stand-in benchmark replaces nccl-tests; "
              "nothing is measured", file=err)
    runner = ProgressRunner(err, collectives, err_style)
    options: dict[str, Any] = {"collectives": collectives, "runner": runner}
    if args.timeout is not None:
        options["timeout_s"] = args.timeout
    try:
        with _binary_root(args) as root:
            if root is not None:
                options["binary_root"] = root
            if hosts is not None and gpus_per_node is not None:
                report = cs.launch_multi_node(hosts, gpus_per_node, args.gpu_type,
                                              launcher_mode=args.launcher, **options)
            elif gpus is not None:
                report = cs.launch_intra_node(gpus, args.gpu_type, **options)
            else:  # ruled out above
                raise UsageError("give --gpus N or --hosts with --gpus-per-node N")
    except OSError as exc:
        raise RunError(f"cannot run the benchmark: {exc}") from None
    except ValueError as exc:
        raise RunError(str(exc)) from None
    if args.emulate:
        report.interconnect = EMULATED

    if args.json is not None:
        _write_json(args.json, report.to_dict())
    render_report(report, collectives, args.emulate, out, out_style, overrides)
    if args.json not in (None, "-"):
        print(f"report written to {args.json}", file=out)
    return EXIT_FOR_STATUS.get(report.status, EXIT_ERROR)


@contextmanager
def _binary_root(args: argparse.Namespace) -> Iterator[str | None]:
    if args.emulate:
        with emulated_binaries() as root:
            yield root
    else:
        yield args.binary_root


# ---- topo -------------------------------------------------------------------------

def _read_input(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None


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


# ---- thresholds -------------------------------------------------------------------

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


# ---- argument parsing -------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """argparse with the usage exit status of this tool (64) instead of 2."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog=PROG, formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        description="Measure and grade the collective-communication bandwidth of GPU hosts "
                    "with nccl-tests.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    sweep = sub.add_parser(
        "sweep", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="run the nccl-tests sweep and grade it",
        description="Run all_reduce, all_gather, reduce_scatter and broadcast over 8 KiB .. 128 MiB, "
                    "show the tables, the headline all_reduce bus bandwidth, the cutoffs and the "
                    "verdict. Progress goes to stderr.")
    one = sweep.add_argument_group("one host")
    one.add_argument("--gpus", type=_positive_int, metavar="N", help="number of local GPUs")
    many = sweep.add_argument_group("several hosts")
    many.add_argument("--hosts", type=_hosts, metavar="H1,H2,...", help="host addresses (two or more)")
    many.add_argument("--gpus-per-node", type=_positive_int, metavar="N", help="GPUs per host")
    many.add_argument("--launcher", choices=LAUNCHERS,
                      help="srun (Slurm), mpirun (Open MPI) or ssh (mpirun over ssh); "
                           "default: srun inside a Slurm job, mpirun under SkyPilot, else ssh")
    sweep.add_argument("--gpu-type", required=True, metavar="TYPE",
                       help="GPU model for the cutoffs, e.g. H100_SXM (see `quorvane thresholds`)")
    sweep.add_argument("--binary-root", metavar="DIR",
                       help="directory of the nccl-tests executables (default /opt/nccl-tests/build)")
    sweep.add_argument("--timeout", type=_positive_int, metavar="S",
                       help="seconds allowed per collective (default 240 for one host, 480 for several)")
    sweep.add_argument("--collectives", type=_collectives, metavar="A,B,...",
                       help="collectives to run, in order, e.g. all_reduce,all_gather (default: all four)")
    sweep.add_argument("--emulate", action="store_true",
                       help="run the built-in stand-in benchmark instead of nccl-tests (no GPU needed); "
                            "the report says \"emulated\"")
    sweep.add_argument("--json", metavar="FILE", help="write the report dict as JSON to FILE ('-': stdout)")
    sweep.set_defaults(handler=cmd_sweep)

    topo = sub.add_parser(
        "topo", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="GPU/NIC inventory of an NCCL topology dump",
        description="Read the XML that NCCL writes with NCCL_TOPO_DUMP_FILE (RCCL writes the same) "
                    "and show the GPUs, the NICs, the NUMA domains and the GPU->NIC affinity.")
    topo.add_argument("file", metavar="FILE", help="the topology dump ('-': standard input)")
    topo.add_argument("--json", metavar="FILE", help="write the inventory dict as JSON to FILE ('-': stdout)")
    topo.set_defaults(handler=cmd_topo)

    thresholds = sub.add_parser(
        "thresholds", formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        help="the pass/warn cutoffs in force",
        description=f"Show the effective cutoffs per GPU type and scope; those set through "
                    f"{OVERRIDES_VAR} are marked.")
    thresholds.add_argument("--gpu-type", metavar="TYPE", help="only this GPU type")
    thresholds.add_argument("--json", metavar="FILE",
                            help="write the cutoffs as JSON to FILE ('-': stdout)")
    thresholds.set_defaults(handler=cmd_thresholds)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        status: int = args.handler(args)
        return status
    except UsageError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except RunError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return EXIT_ERROR
    except KeyboardInterrupt:
        print(f"\n{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (e.g. `| head`); keep the interpreter quiet at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_ERROR
