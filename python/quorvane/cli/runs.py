"""Recorded runs as the history commands (history, compare, baseline, report)
reach them: the history named by --db or the environment, and a run named by
its id or by a record file."""
from __future__ import annotations

import argparse
from typing import Any

from ..history import DB_VAR, History, HistoryError, default_path
from ..record import RecordError, load_record_file
from .common import RunError, UsageError

MIN_RUNS = 3   # the fewest recorded runs a site's cutoffs or band is drawn from


def open_history(args: argparse.Namespace, *, create: bool = False) -> History | None:
    """The history named by --db or the environment; None when it does not exist
    yet and create is false."""
    path = default_path() if getattr(args, "db", None) is None else default_path({DB_VAR: args.db})
    if not create and not path.exists():
        return None
    try:
        return History(path, create=create)
    except HistoryError as exc:
        raise RunError(str(exc)) from None


def load_run(ref: str, args: argparse.Namespace) -> tuple[str, dict[str, Any]]:
    """A run id (digits) from the history, or a record file; (name, record)."""
    if ref.isdigit():
        history = open_history(args)
        if history is None:
            raise UsageError(f"no run {ref}: nothing is recorded yet (for a file named {ref}, write ./{ref})")
        with history:
            try:
                return f"run {ref}", history.get(int(ref))
            except HistoryError as exc:
                raise UsageError(str(exc)) from None
    try:
        return ref, load_record_file(ref)
    except RecordError as exc:
        raise UsageError(str(exc)) from None
