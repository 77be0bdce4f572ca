"""The ``quorvane`` command line: a thin front end over :mod:`quorvane.collsweep`.

Subcommands:

* ``quorvane sweep``      run the nccl-tests sweep on one host or several, show it, grade it
* ``quorvane grade FILE`` grade saved nccl-tests outputs with the same reader and policy
* ``quorvane topo FILE``  GPU/NIC inventory and GPU->NIC affinity of an NCCL topology dump
* ``quorvane transport LOG`` NCCL's account of the path (network, NICs, GDR, P2P) from its debug logs
* ``quorvane thresholds`` the pass/warn cutoffs in force, per GPU type and scope
* ``quorvane fleet``      find the slow host or the bad network port among many hosts

One module per command; each adds itself to the parser through `register`.
Rendering and emulation live apart from the commands.  `main` is where no
traceback gets past: usage errors are one line and 64, unexpected faults one
line and 70, SIGINT/SIGTERM/SIGHUP one line and 128+N, and a standard output
closed by its reader (`| head`) is no error at all.
"""
from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from collections.abc import Sequence
from types import FrameType
from typing import Any, NoReturn

from .. import __version__
from ..runner import stop_all
from . import baseline, compare, fleet, grade, history, report, sweep, thresholds, topo, transport
from .common import (EXIT_ERROR, EXIT_INTERNAL, EXIT_STATUS_HELP, EXIT_USAGE, EXIT_WRITE, PROG, Interrupted,
                     RunError, UsageError, WriteError, shown)

COMMANDS = (sweep, grade, fleet, topo, transport, thresholds, history, compare, baseline, report)
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# ---- argument parsing -------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """argparse with one line per error and the usage exit status of this tool (64)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {shown(message)} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    fmt = argparse.RawDescriptionHelpFormatter
    parser = _Parser(
        prog=PROG, formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        description="Measure and grade the collective-communication bandwidth of GPU hosts "
                    "with nccl-tests.")
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    for command in COMMANDS:
        command.register(sub, fmt)
    return parser


# ---- the process around a command --------------------------------------------------

class _QuietStdout:
    """Standard output that goes quiet when its reader has gone (`| head`):
    further output is dropped and the command finishes its work."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.gone = False

    def _lost(self) -> None:
        self.gone = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass

    def write(self, text: str) -> int:
        if not self.gone:
            try:
                return int(self._stream.write(text))
            except BrokenPipeError:
                self._lost()
        return len(text)

    def flush(self) -> None:
        if not self.gone:
            try:
                self._stream.flush()
            except BrokenPipeError:
                self._lost()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _install_signal_handlers() -> None:
    """The first stop signal raises Interrupted where the command is (the
    runner then ends the benchmark's group, folders are removed, the record is
    written); later ones are ignored so that this clean-up is not cut short."""
    stopping = threading.Event()

    def handler(signum: int, frame: FrameType | None) -> None:
        if stopping.is_set():
            return
        stopping.set()
        raise Interrupted(signum)

    for sig in STOP_SIGNALS:
        signal.signal(sig, handler)


def _say(line: str) -> None:
    try:
        print(f"{PROG}: {line}", file=sys.stderr)
    except (OSError, ValueError):
        pass  # stderr is gone too (SIGHUP on a closed terminal)


def main(argv: Sequence[str] | None = None) -> int:
    in_main_thread = threading.current_thread() is threading.main_thread()
    if in_main_thread:
        _install_signal_handlers()
        if not isinstance(sys.stdout, _QuietStdout):
            sys.stdout = _QuietStdout(sys.stdout)
    try:
        args = build_parser().parse_args(argv)
        status: int = args.handler(args)
        sys.stdout.flush()
        return status
    except SystemExit as exc:  # argparse: --help, --version, usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    except UsageError as exc:
        _say(f"error: {shown(str(exc))}")
        return EXIT_USAGE
    except WriteError as exc:
        _say(f"error: {shown(str(exc))}")
        return EXIT_WRITE
    except RunError as exc:
        _say(f"error: {shown(str(exc))}")
        return EXIT_ERROR
    except Interrupted as exc:
        stop_all()
        name = signal.Signals(exc.signum).name
        _say(f"stopped by {name}" + (f"; {exc.note}" if exc.note else ""))
        return 128 + exc.signum
    except KeyboardInterrupt:  # before the handlers were in place
        _say("stopped by SIGINT")
        return 128 + signal.SIGINT
    except RecursionError:
        _say("internal error: recursion too deep")
        return EXIT_INTERNAL
    except Exception as exc:  # noqa: BLE001 - the one place no traceback gets past
        _say(f"internal error: {type(exc).__name__}: {shown(str(exc))[:300]}")
        return EXIT_INTERNAL
    finally:
        if in_main_thread:
            for sig in STOP_SIGNALS:
                signal.signal(sig, signal.SIG_DFL if sig != signal.SIGINT else signal.default_int_handler)
