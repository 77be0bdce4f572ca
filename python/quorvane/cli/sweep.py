"""`quorvane sweep`: run the nccl-tests sweep on one host or several, show it, grade it."""
from __future__ import annotations

import argparse
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TextIO

from .. import collsweep as cs
from .common import (EXIT_ERROR, EXIT_FOR_STATUS, EXIT_STATUS_HELP,
                     LAUNCHERS, PROG, RunError, Style, UsageError, _check_json_target,
                     _write_json, read_overrides)
from .emulate import EMULATED, EMULATED_EXECUTABLES, emulated_binaries
from .render import render_report

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

def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane sweep` to the command line."""
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
