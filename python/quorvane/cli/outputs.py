"""The output step shared by the commands that produce a record (sweep, grade,
fleet): the options that name files, their checks before anything runs, and
`emit`, which writes the files once the result has been printed.

Files are written atomically; a failed write is one line on stderr and exit
status 74, and the printed result stays as it was.  Raw logs are written while
the benchmarks run, into a hidden folder inside the log folder, and moved into
place by `emit` (or by `LogKeeper.close` if the command ends some other way).
"""
from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any

from ..runner import label_of
from .history import add_record_options, check_record_options, prom_step, record_step
from .common import (EXIT_WRITE, PROG, UsageError, WriteError, check_json_target, shown, strict_json,
                     write_atomic)


def add_output_options(parser: argparse.ArgumentParser, *, logs: bool = True) -> None:
    parser.add_argument("--json", metavar="FILE",
                        help="write the record as JSON to FILE ('-': stdout, and the tables go to stderr)")
    if logs:
        parser.add_argument("--keep-logs", metavar="DIR",
                            help="keep each collective's raw stdout and stderr in DIR (named in the record)")
    add_record_options(parser)


def check_output_options(args: argparse.Namespace) -> None:
    """Refuse unusable targets before anything runs (exit status 64)."""
    check_json_target(getattr(args, "json", None))
    check_record_options(args)
    folder = getattr(args, "keep_logs", None)
    if folder is not None:
        if os.path.exists(folder) and not os.path.isdir(folder):
            raise UsageError(f"--keep-logs {shown(folder)}: not a directory")
        parent = os.path.dirname(os.path.abspath(folder))
        if not os.path.isdir(folder) and not os.path.isdir(parent):
            raise UsageError(f"--keep-logs {shown(folder)}: no such directory: {shown(parent)}")
        if not os.access(folder if os.path.isdir(folder) else parent, os.W_OK):
            raise UsageError(f"--keep-logs {shown(folder)}: cannot write there")


class LogKeeper:
    """Raw logs of the runs: staged while they run, moved into `folder` later."""

    def __init__(self, folder: str) -> None:
        self.folder = os.path.abspath(folder)
        self._stage: str | None = None
        self._moves: list[tuple[str, str]] = []   # staged path, final path
        self._names: set[str] = set()

    def paths(self, name: str) -> tuple[str, str]:
        """Where a run named `name` writes its stdout and stderr now."""
        if self._stage is None:
            os.makedirs(self.folder, exist_ok=True)
            self._stage = tempfile.mkdtemp(prefix=".quorvane-logs-", dir=self.folder)
        base, n = name, 1
        while base in self._names:
            n += 1
            base = f"{name}-{n}"
        self._names.add(base)
        staged = []
        for stream in ("stdout", "stderr"):
            staged.append(os.path.join(self._stage, f"{base}.{stream}"))
            self._moves.append((staged[-1], os.path.join(self.folder, f"{base}.{stream}")))
        return staged[0], staged[1]

    def for_command(self, cmd: list[str]) -> tuple[str, str]:
        return self.paths(label_of(cmd) or "run")

    def final(self, staged: dict[str, str] | None) -> dict[str, str] | None:
        """The paths a run's logs will have once moved into place."""
        if staged is None:
            return None
        where = dict(self._moves)
        return {k: where.get(v, v) for k, v in staged.items()}

    def close(self) -> None:
        """Move every staged log into place and remove the staging folder."""
        failed = None
        for staged, final in self._moves:
            try:
                if os.path.exists(staged):
                    os.replace(staged, final)
            except OSError as exc:
                failed = failed or f"cannot keep {shown(final)}: {exc.strerror or exc}"
        self._moves = []
        if self._stage is not None:
            if failed:
                raise WriteError(f"{failed} (the logs stay in {shown(self._stage)})")
            shutil.rmtree(self._stage, ignore_errors=True)
            self._stage = None


def emit(record: dict[str, Any], args: argparse.Namespace, *, keeper: LogKeeper | None = None,
         say: Callable[[str], None] | None = None) -> int:
    """Write the files the options ask for, after the result was printed.
    Returns 0, or 74 when a file could not be written (said in one line)."""
    status = 0
    problems: list[str] = []
    steps: Sequence[Callable[[], str | None]] = (
        (lambda: keeper.close() if keeper is not None else None),
        (lambda: _write_record(record, getattr(args, "json", None))),
        (lambda: record_step(record, args)),
        (lambda: prom_step(record, args)),
    )
    for step in steps:
        try:
            done = step()
            if done and say is not None:
                say(done)
        except WriteError as exc:
            problems.append(str(exc))
            status = EXIT_WRITE
    for problem in problems:
        try:
            print(f"{PROG}: error: {problem}", file=sys.stderr)
        except OSError:
            pass
    return status


def _write_record(record: dict[str, Any], target: str | None) -> str | None:
    if target is None:
        return None
    write_atomic(target, strict_json(record))
    return None if target == "-" else f"record written to {shown(target)}"
