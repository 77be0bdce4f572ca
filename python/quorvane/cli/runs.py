"""Recorded runs as the history commands (history, compare, baseline, report)
reach them: the history named by --db or the environment, and a run named by
its id or by a record file."""
from __future__ import annotations

import argparse
import os
from typing import Any

from ..history import History, HistoryError, LocationError, Store, default_location, location_of, parse_run_id
from ..record_data import RecordError, load_record_file
from .common import RunError, UsageError

MIN_RUNS = 3   # the fewest recorded runs a site's cutoffs or band is drawn from


def history_location(db: str | None) -> Any:
    """The history named by --db (or, without it, the environment): a file path
    or a postgresql:// URL; anything else that looks like a URL is a usage error."""
    try:
        return default_location() if db is None else location_of(db)
    except LocationError as exc:
        raise UsageError(str(exc)) from None


def open_history(args: argparse.Namespace, *, create: bool = False) -> Store | None:
    """The history named by --db or the environment; None when it does not exist
    yet and create is false."""
    where = history_location(getattr(args, "db", None))
    if not create and not isinstance(where, str) and not os.path.lexists(where):
        return None
    try:
        return History(where, create=create)
    except LocationError as exc:
        raise UsageError(str(exc)) from None
    except HistoryError as exc:
        if not create and str(exc).startswith("no history at"):
            return None
        raise RunError(str(exc)) from None


def run_id_of(ref: str) -> int | None:
    """The run id ref names (ASCII digits), None for a file name; a number too
    large to be a run id is a usage error."""
    try:
        return parse_run_id(ref)
    except HistoryError as exc:
        raise UsageError(str(exc)) from None


def load_run(ref: str, args: argparse.Namespace) -> tuple[str, dict[str, Any]]:
    """A run id (ASCII digits) from the history, or a record file; (name, record)."""
    run_id = run_id_of(ref)
    if run_id is not None:
        history = open_history(args)
        if history is None:
            raise UsageError(f"no run {ref}: nothing is recorded yet (for a file named {ref}, write ./{ref})")
        with history:
            try:
                return f"run {ref}", history.get(run_id)
            except HistoryError as exc:
                if "is damaged" in str(exc):
                    raise RunError(str(exc)) from None
                raise UsageError(str(exc)) from None
    if ref.isdigit() and not os.path.lexists(ref):
        # digits of another script (١, ²) are never read as a run id
        raise UsageError(f"not a run id: {ref!r} (run ids are written in ASCII digits) and no such file")
    try:
        return ref, load_record_file(ref)
    except RecordError as exc:
        raise UsageError(str(exc)) from None
