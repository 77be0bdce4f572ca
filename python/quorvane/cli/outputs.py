"""The output step shared by the commands that produce a record (sweep, grade,
fleet): what --json, --prom, --keep-logs, --db and --no-record resolve to,
checked once before anything runs (`Outputs.resolve`), and `Outputs.emit`,
which writes the files and records the run once the result has been printed.

Files are written atomically; a failed write is one line on stderr and exit
status 74, and the printed result stays as it was.  Raw logs are written while
the benchmarks run, into a hidden folder inside the log folder, and moved into
place by `emit` (or by `LogKeeper.close` if the command ends some other way).
"""
from __future__ import annotations

import argparse
import os
import sys
import tempfile
import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from ..runner import label_of
from .common import (EXIT_WRITE, PROG, Interrupted, Preload, UsageError, WriteError, check_json_target, shown,
                     write_atomic)


class LogKeeper:
    """Raw logs of the runs: staged while they run, moved into `folder` later."""

    def __init__(self, folder: str) -> None:
        self.folder = os.path.abspath(folder)
        self._stage: str | None = None
        self._moves: list[tuple[str, str]] = []   # staged path, final path
        self._names: set[str] = set()
        self._lock = threading.Lock()   # a fleet's runs ask at once: one staging folder, distinct names

    def paths(self, name: str) -> tuple[str, str]:
        """Where a run named `name` writes its stdout and stderr now."""
        with self._lock:
            return self._paths(name)

    def _paths(self, name: str) -> tuple[str, str]:
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
            import shutil

            shutil.rmtree(self._stage, ignore_errors=True)
            self._stage = None


@dataclass
class Outputs:
    """What a command's output options resolve to, built once per command."""

    json: str | None = None          # FILE, '-' (stdout) or None
    prom: str | None = None
    history: str | None = None       # the history file to record in; None: not recorded
    keeper: LogKeeper | None = None  # where raw logs are kept
    store: tuple[str, ...] = ()      # the modules recording loads (the store, a server's driver)
    loading: Preload | None = None   # those modules, loading in the background

    @classmethod
    def resolve(cls, args: argparse.Namespace, *, warm_up: bool = True) -> Outputs:
        """Check every target before anything runs (usage errors, exit 64) and
        resolve them: the history file named by --db or the environment.
        warm_up: load the history's store (psycopg for a server) in the
        background from now on (a command that loads it with the rest of
        what it needs later says False)."""
        json_target = getattr(args, "json", None)
        prom_target = getattr(args, "prom", None)
        check_json_target(json_target)
        check_json_target(prom_target, "--prom")
        if prom_target == "-" and json_target == "-":
            raise UsageError("--json - and --prom - cannot both have stdout")
        db = getattr(args, "db", None)
        no_record = getattr(args, "no_record", False)
        if no_record and db is not None:
            raise UsageError("--db and --no-record exclude each other")
        folder = getattr(args, "keep_logs", None)
        if folder is not None:
            _check_log_folder(folder)
        history, store = None, ()
        if not no_record:
            from ..history import store_modules
            from .runs import history_location
            where = history_location(db)
            if not isinstance(where, str) and os.path.exists(where) and not os.path.isfile(where):
                # a pipe would block the recording, a device swallow it: refuse before the run
                raise UsageError(f"--db {shown(str(where))}: not a regular file")
            history, store = str(where), store_modules(where)
        return cls(json=json_target, prom=prom_target, history=history,
                   keeper=LogKeeper(folder) if folder else None, store=store,
                   loading=Preload((), later=store) if warm_up and store else None)

    @property
    def record_on_stdout(self) -> bool:
        """--json -: the record owns stdout, and the tables go to stderr."""
        return self.json == "-"

    def emit(self, record: dict[str, Any], *, say: Callable[[str], None] | None = None) -> int:
        """Write the files the options ask for, after the result was printed.
        Returns 0, or 74 when a file could not be written (said in one line)."""
        from .common import announce_verdict
        announce_verdict(record.get("verdict"))
        status = 0
        problems: list[str] = []
        steps: Sequence[Callable[[], str | None]] = (
            self._close_logs, lambda: self._write_json(record), lambda: self._record(record),
            lambda: self._write_prom(record))
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

    def _close_logs(self) -> None:
        if self.keeper is not None:
            self.keeper.close()

    def _write_json(self, record: dict[str, Any]) -> str | None:
        if self.json is None:
            return None
        from ..record_data import strict_json
        write_atomic(self.json, strict_json(record))
        return None if self.json == "-" else f"record written to {shown(self.json)}"

    def _record(self, record: dict[str, Any]) -> str | None:
        """Store the record in the history; a refusal is one line."""
        if self.history is None:
            return None
        if self.loading is not None:
            self.loading.wait(everything=True)
        from ..history import HistoryError
        from ..record import store
        if "://" not in self.history and not os.path.exists(self.history):
            # The first run that records says where, before it writes anything there.
            try:
                print(f"{PROG}: recording runs in {shown(str(self.history))} (a new history; --no-record: "
                      f"not this run; --db FILE, QUORVANE_DB or `history` in the configuration file: "
                      f"elsewhere)", file=sys.stderr)
            except OSError:
                pass
        try:
            run_id = store(record, self.history)
        except HistoryError as exc:
            raise WriteError(f"not recorded: {exc}") from None
        from ..history import shown_location
        return f"recorded as run {run_id} in {shown(shown_location(self.history))}"

    def _write_prom(self, record: dict[str, Any]) -> str | None:
        if self.prom is None:
            return None
        from ..reports import prom
        write_atomic(self.prom, prom.render(record))
        return None if self.prom == "-" else f"metrics written to {shown(self.prom)}"


def stop_with_record(stopped: Interrupted, record: dict[str, Any], outputs: Outputs, what: str) -> None:
    """Write what there is (the signal handler now ignores further signals), then stop."""
    written = outputs.emit(record) == 0 and outputs.json not in (None, "-")
    stopped.note = f"{what} written to {shown(outputs.json or '')}" if written else None
    raise stopped


def _check_log_folder(folder: str) -> None:
    if os.path.exists(folder) and not os.path.isdir(folder):
        raise UsageError(f"--keep-logs {shown(folder)}: not a directory")
    parent = os.path.dirname(os.path.abspath(folder))
    if not os.path.isdir(folder) and not os.path.isdir(parent):
        raise UsageError(f"--keep-logs {shown(folder)}: no such directory: {shown(parent)}")
    if not os.access(folder if os.path.isdir(folder) else parent, os.W_OK):
        raise UsageError(f"--keep-logs {shown(folder)}: cannot write there")
