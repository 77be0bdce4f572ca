"""The ``quorvane`` command line: a thin front end over :mod:`quorvane.collsweep`.

Subcommands:

* ``quorvane sweep``      run the nccl-tests sweep on one host or several, show it, grade it
* ``quorvane topo FILE``  GPU/NIC inventory and GPU->NIC affinity of an NCCL topology dump
* ``quorvane thresholds`` the pass/warn cutoffs in force, per GPU type and scope

One module per command; each adds itself to the parser through `register`.
Rendering and emulation live apart from the commands.
"""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import NoReturn

from .. import __version__
from . import sweep, thresholds, topo
from . import baseline, compare, history, report
from .common import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_STATUS_HELP, EXIT_USAGE, PROG, RunError, UsageError

COMMANDS = (sweep, topo, thresholds, history, compare, baseline, report)

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
    for command in COMMANDS:
        command.register(sub, fmt)
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
