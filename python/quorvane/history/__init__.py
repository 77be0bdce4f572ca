"""The run history: every `sweep`, `grade` and `fleet` record, in one SQLite
file (the default) or on a PostgreSQL server shared by a site.

Both stores keep the same schema and answer the same queries (store.py); the
whole record is kept as JSON beside the columns and the all_reduce points the
commands filter and aggregate on, and is read only where it is printed.
"""
from __future__ import annotations

import json
import os
import re
import urllib.parse
from collections.abc import Mapping
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from .store import KINDS, MAX_RUN_ID, HistoryError, LocationError, Store, utc_text

__all__ = ["APPLICATION_ID", "BUSY_TIMEOUT_S", "DB_VAR", "KINDS", "MAX_RUN_ID", "SCHEMA_VERSION", "History",
           "HistoryError", "LocationError", "Store", "check_record", "default_location", "default_path",
           "location_of", "parse_run_id", "shown_location",
           "since_text", "store_modules"]

def __getattr__(name: str) -> Any:
    """The SQLite store's constants, loaded with it (a command that records
    loads the store while its benchmarks run, not before)."""
    if name in ("APPLICATION_ID", "SCHEMA_VERSION"):
        from . import sqlite
        return getattr(sqlite, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


DB_VAR = "QUORVANE_DB"
BUSY_TIMEOUT_S = 10.0
POSTGRES_SCHEMES = ("postgresql", "postgres")
# "scheme:" as URLs start (RFC 3986); one letter is a drive, never a scheme.
_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]+:")


def location_of(value: str | os.PathLike[str]) -> str | Path:
    """A --db or $QUORVANE_DB value: a postgresql:// URL (kept as text) or a
    file path. A value that looks like a URL of another scheme is refused,
    never taken for a file name."""
    if not isinstance(value, str):
        return Path(value)
    match = _SCHEME.match(value)
    if match:
        scheme = match.group()[:-1].lower()
        if scheme in POSTGRES_SCHEMES and value[match.end():].startswith("//"):
            return value
        raise LocationError(f"{shown_location(value)}: not a history location: give a file path or a "
                            f"postgresql://host/database URL (for a file of that name, write ./{value})")
    return Path(value).expanduser()


def shown_location(value: str | os.PathLike[str]) -> str:
    """A location fit for a message: a URL without its password."""
    text = str(value)
    if not _SCHEME.match(text):
        return text
    try:
        parts = urllib.parse.urlsplit(text)
        if parts.password is None:
            return text
        netloc = parts.netloc.rsplit("@", 1)[1]
        user = parts.username or ""
        return urllib.parse.urlunsplit(parts._replace(netloc=f"{user}:***@{netloc}"))
    except ValueError:
        return text.split("@")[-1]


def default_location(environ: Mapping[str, str] | None = None) -> str | Path:
    """$QUORVANE_DB (a file path or a postgresql:// URL), else
    $XDG_DATA_HOME/quorvane/history.sqlite3 (XDG_DATA_HOME defaulting to
    ~/.local/share)."""
    env = os.environ if environ is None else environ
    if env.get(DB_VAR):
        return location_of(env[DB_VAR])
    if environ is None:   # then the configuration file's `history`, for the process's own environment
        from ..config import active
        configured = active().get("history")
        if configured:
            return location_of(configured)
    data = env.get("XDG_DATA_HOME") or ""
    base = Path(data) if os.path.isabs(data) else Path.home() / ".local" / "share"
    return base / "quorvane" / "history.sqlite3"


def default_path(environ: Mapping[str, str] | None = None) -> Path:
    """The default history file (where $QUORVANE_DB is not a URL)."""
    where = default_location(environ)
    if isinstance(where, str):
        raise LocationError(f"{DB_VAR} names a server, not a file")
    return where


def parse_run_id(text: str) -> int | None:
    """A run id as typed: ASCII digits; None where the text is not written as
    one (other scripts' digits, signs, spaces). A number of 2**63 or more is a
    HistoryError naming the limit."""
    if not (text.isascii() and text.isdigit()):
        return None
    value = int(text)
    if value > MAX_RUN_ID:
        raise HistoryError(f"no run {text}: run ids are whole numbers below 2**63")
    return value


# ---- records ----------------------------------------------------------------------

def check_record(record: Any) -> None:
    if not isinstance(record, dict) or record.get("kind") not in KINDS or "started_at" not in record:
        raise HistoryError("not a run record (needs \"kind\" sweep, grade or fleet, and \"started_at\")")


# ---- the stores ------------------------------------------------------------------

def record_text(record: Mapping[str, Any]) -> str:
    """The record as the compact JSON the history keeps, written by the C
    encoder straight from the record; one holding a NaN or an infinity (which
    records are made without) is written from a copy with null in its place."""
    from ..record_data import finite

    try:
        try:
            return json.dumps(record, allow_nan=False, separators=(",", ":"))
        except ValueError:
            return json.dumps(finite(record), allow_nan=False, separators=(",", ":"))
    except (TypeError, ValueError) as exc:
        raise HistoryError(f"the record cannot be stored as JSON: {exc}") from None


def History(location: str | os.PathLike[str] | None = None, *, busy_timeout_s: float = BUSY_TIMEOUT_S,
            create: bool = True) -> Store:
    """The history at location: a file path (SQLite) or a postgresql:// URL;
    default: default_location(). create=False refuses a history that does not
    exist yet."""
    where = default_location() if location is None else location_of(location)
    if isinstance(where, str):
        from .postgres import PostgresHistory

        return PostgresHistory(where, busy_timeout_s=busy_timeout_s, create=create)
    from .sqlite import SQLiteHistory

    return SQLiteHistory(where, busy_timeout_s=busy_timeout_s, create=create)


def store_modules(location: str | Path) -> tuple[str, ...]:
    """The modules recording into `location` loads, in order."""
    if isinstance(location, str):
        return ("psycopg", "quorvane.history.postgres")
    return ("quorvane.history.sqlite",)


def since_text(value: str, now: datetime | None = None) -> str:
    """--since: an ISO date or time (UTC unless it says), or N followed by d or h
    for that many days or hours ago; the UTC text the store compares against."""
    text = value.strip()
    if len(text) > 1 and text[-1] in "dh" and text[:-1].isdigit():
        amount = int(text[:-1])
        delta = timedelta(days=amount) if text[-1] == "d" else timedelta(hours=amount)
        return ((now or datetime.now(timezone.utc)) - delta).isoformat(timespec="seconds")
    try:
        return utc_text(text)
    except HistoryError:
        raise HistoryError(f"--since {value!r}: give a date (2026-12-01), a time (2026-12-01T08:00) "
                           f"or an age (7d, 12h)") from None
