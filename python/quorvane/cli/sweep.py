"""`quorvane sweep`: run the nccl-tests sweep on one host or several, show it, grade it."""
from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
import time
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

from .. import analysis as qa
from .. import collsweep as cs
from ..causes import caveats_of
from ..policy import check_gpu_type, read_overrides
from ..record import EXIT_FOR_VERDICT, Measured, build_record, now_utc, read_outcome
from ..runner import CommandRunner, Outcome, collective_label, label_of
from . import add_command, options
from .common import EXIT_STATUS_HELP, LAUNCHERS, PROG, Interrupted, RunError, UsageError, shown
from .emulate import EMULATED, EMULATED_EXECUTABLES, emulated_binaries
from .outputs import LogKeeper, Outputs, stop_with_record
from .render import SweepProgress, render_record
from .term import console_for

def _check(args: argparse.Namespace) -> None:
    """Everything about the arguments that argparse does not check itself."""
    hosts, gpus, per_node = args.hosts, args.gpus, args.gpus_per_node
    if hosts is None:
        if gpus is None:
            raise UsageError("give --gpus N for this host, or --hosts h1,h2,... with --gpus-per-node N")
        for flag, value in (("--gpus-per-node", per_node), ("--launcher", args.launcher)):
            if value is not None:
                raise UsageError(f"{flag} needs --hosts")
        if gpus < 2:
            raise UsageError("--gpus 1: one rank measures nothing (its bus bandwidth is zero by definition); "
                             "give 2 or more")
    else:
        if gpus is not None:
            raise UsageError("with --hosts give --gpus-per-node N, not --gpus")
        if per_node is None:
            raise UsageError("--hosts needs --gpus-per-node N")
    if args.emulate:
        if args.binary_root is not None:
            raise UsageError("--emulate and --binary-root exclude each other")
        strange = [n for n in (args.collectives or []) if n not in EMULATED_EXECUTABLES]
        if strange:
            raise UsageError(f"--emulate knows only {', '.join(EMULATED_EXECUTABLES)}; "
                             f"not {', '.join(strange)}")
    if args.binary_root is not None and not args.binary_root.isprintable():
        raise UsageError(f"--binary-root {args.binary_root!r} holds control characters")


# ---- the runner's listener ---------------------------------------------------------

class _Collector:
    """Hears each run from the runner: reads its output, keeps it, shows progress."""

    def __init__(self, progress: SweepProgress, keeper: LogKeeper | None) -> None:
        self.progress = progress
        self.keeper = keeper
        self.measured: list[Measured] = []

    def started(self, cmd: list[str], timeout: float) -> None:
        self.progress.started(label_of(cmd), timeout)

    def finished(self, outcome: Outcome) -> None:
        label = label_of(outcome.command)
        logs = self.keeper.final(outcome.logs) if self.keeper is not None else outcome.logs
        measured = Measured(label, outcome, logs=logs)
        self.measured.append(measured)  # kept first: a signal during the reading loses no run
        reading = measured.reading = read_outcome(label, outcome) if outcome.started else None
        complete = bool(reading is not None and reading.complete)
        corrupt = reading is not None and any(f.severity == qa.Severity.fail for f in reading.findings)
        self.progress.finished(label, outcome, len(reading.rows) if reading is not None else 0, complete, corrupt)

    def all_requested(self, collectives: list[str], hosts: list[str] | None, stopped: bool) -> list[Measured]:
        """One entry per requested collective, in order: those that did not run say why."""
        measured = list(self.measured)
        ran = {m.label for m in measured}
        for exe in collectives:
            label = collective_label(exe)
            if label in ran:
                continue
            why = ("not run: the sweep was stopped" if stopped else
                   f"nccl-tests binary not found{' on launcher' if hosts else ''}: {exe}")
            measured.append(Measured(label, not_run=why))
        order = [collective_label(exe) for exe in collectives]
        measured.sort(key=lambda m: order.index(m.label) if m.label in order else len(order))
        return measured


# ---- sweep --------------------------------------------------------------------------

def _check_benchmarks(args: argparse.Namespace, collectives: list[str]) -> None:
    """With none of the requested programs to be found, nothing can run: one line up front, as the fleet says it,
    rather than a table of failures that each say it."""
    if args.emulate:
        return
    root = args.binary_root or "/opt/nccl-tests/build"
    if all(cs._resolve_binary(exe, root) is None for exe in collectives):
        raise RunError(f"nccl-tests not found: no {', '.join(collectives)} under {shown(root)}, the usual folders "
                       "or the PATH (build nccl-tests, or give --binary-root DIR)")


def cmd_sweep(args: argparse.Namespace) -> int:
    _check(args)
    _check_benchmarks(args, args.collectives or list(cs.COLLECTIVES))
    hosts: list[str] | None = args.hosts
    scope = "multi" if hosts else "intra"
    overrides = read_overrides()
    warning = check_gpu_type(args.gpu_type, scope, overrides)
    outputs = Outputs.resolve(args)

    collectives: list[str] = args.collectives or list(cs.COLLECTIVES)
    err = console_for(sys.stderr)
    out = err if outputs.record_on_stdout else console_for(sys.stdout)   # with --json - the record owns stdout
    if warning:
        err.print(f"{PROG}: warning: {warning}")
    if args.emulate:
        err.print(f"{PROG}: {EMULATED} sweep: the stand-in benchmark replaces nccl-tests; nothing is measured")

    keeper = outputs.keeper
    progress = SweepProgress(err, [collective_label(c) for c in collectives])
    collector = _Collector(progress, keeper)
    runner = CommandRunner(grace_s=args.grace, observer=collector,
                           logs_for=keeper.for_command if keeper is not None else None)
    options: dict[str, Any] = {"collectives": collectives, "runner": runner}
    if args.timeout is not None:
        options["timeout_s"] = args.timeout
    started_at, start = now_utc(), time.monotonic()
    if args.deadline is not None:
        runner.deadline = start + args.deadline
    report = None
    stopped: Interrupted | None = None
    try:
        with progress, _binary_root(args) as root:
            if root is not None:
                options["binary_root"] = root
            if hosts is not None:
                report = cs.launch_multi_node(hosts, args.gpus_per_node, args.gpu_type,
                                              launcher_mode=args.launcher, **options)
            else:
                report = cs.launch_intra_node(args.gpus, args.gpu_type, **options)
    except Interrupted as exc:
        stopped = exc
    if report is not None and args.emulate:
        report.interconnect = EMULATED

    extra: dict[str, Any] = {}
    if stopped is not None:
        extra = {"interrupted": signal.Signals(stopped.signum).name, "exit_status": 128 + stopped.signum}
    measured = collector.all_requested(collectives, hosts, stopped is not None)
    record = build_record(
        "sweep", started_at=started_at, wall_s=time.monotonic() - start,
        hosts=hosts or [socket.gethostname()], gpu_type=args.gpu_type, scope=scope,
        num_nodes=len(hosts) if hosts else 1, gpus_per_node=args.gpus_per_node if hosts else args.gpus,
        emulated=bool(args.emulate), measured=measured,
        overrides=overrides, report=report, extra=extra)
    record["caveats"] = caveats_of(record, measured, launcher=args.launcher, environ=os.environ)
    if (stopped is None and runner.deadline is not None and time.monotonic() >= runner.deadline
            and any(m.outcome is not None and m.outcome.timed_out for m in measured)):
        record.update(verdict="error", exit_status=EXIT_FOR_VERDICT["error"],
                      verdict_note=f"stopped at the --deadline of {args.deadline:g} s before the sweep was over")

    if stopped is not None:
        stop_with_record(stopped, record, outputs, "partial record")
    try:
        render_record(record, out, all_rows=args.all_rows)
        status = outputs.emit(record, say=err.print)
    except Interrupted as exc:  # the sweep was over: the whole record is kept
        stop_with_record(exc, record, outputs, "record")
    return status or int(record["exit_status"])


@contextmanager
def _binary_root(args: argparse.Namespace) -> Iterator[str | None]:
    if args.emulate:
        with emulated_binaries() as root:
            yield root
    else:
        yield args.binary_root


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane sweep` to the command line."""
    sweep = add_command(
        sub, "sweep", fmt, epilog=EXIT_STATUS_HELP,
        description="Run all_reduce, all_gather, reduce_scatter and broadcast over 8 KiB .. 128 MiB, "
                    "show the tables, the headline all_reduce bus bandwidth and its message size, the "
                    "cutoffs and the verdict. Progress goes to stderr.")
    one = sweep.add_argument_group("one host")
    one.add_argument("--gpus", type=options.count, metavar="N", help="number of local GPUs (2 or more)")
    many = sweep.add_argument_group("several hosts")
    many.add_argument("--hosts", type=options.host_list, metavar="H1,H2,...",
                      help="host addresses (two or more, distinct)")
    options.gpus_per_node(many)
    many.add_argument("--launcher", choices=LAUNCHERS,
                      help="srun (Slurm), mpirun (Open MPI) or ssh (mpirun over ssh); "
                           "default: srun inside a Slurm job, mpirun under SkyPilot, else ssh")
    options.gpu_type(sweep)
    options.binary_root(sweep)
    options.deadline(sweep, "sweep")
    options.timeout(sweep, "seconds allowed per collective, at most a week "
                           "(default 240 for one host, 480 for several)")
    options.grace(sweep)
    sweep.add_argument("--collectives", type=options.collectives, metavar="A,B,...",
                       help="collectives to run, in order, e.g. all_reduce,all_gather (default: all four)")
    options.emulate(sweep, "run the built-in stand-in benchmark instead of nccl-tests (no GPU needed); "
                           "the record says \"emulated\"")
    options.all_rows(sweep)
    options.outputs(sweep)
    sweep.set_defaults(handler=cmd_sweep)
