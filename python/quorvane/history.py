"""The run history: every `sweep`, `grade` and `fleet` record in one SQLite file.

The whole record is kept as JSON beside the columns the commands filter and
sort on. The file carries our application id and a schema version table; an
older schema is migrated in place, a newer one, a foreign database or a damaged
file is refused with one line and never written to. WAL and a busy time-out let
several local runs record at once.
"""
from __future__ import annotations

import json
import os
import sqlite3
from collections.abc import Callable, Iterable, Iterator, Mapping
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from .hostlist import names_of
from .record import finite as _finite

DB_VAR = "QUORVANE_DB"
APPLICATION_ID = 0x51564E48  # "QVNH": marks the file as a quorvane history
BUSY_TIMEOUT_S = 10.0
KINDS = ("sweep", "grade", "fleet")
_SQLITE_MAGIC = b"SQLite format 3\x00"


class HistoryError(Exception):
    """The history cannot be used: one line for the user."""


def default_path(environ: Mapping[str, str] | None = None) -> Path:
    """$QUORVANE_DB, else $XDG_DATA_HOME/quorvane/history.sqlite3 (XDG_DATA_HOME
    defaulting to ~/.local/share)."""
    env = os.environ if environ is None else environ
    if env.get(DB_VAR):
        return Path(env[DB_VAR]).expanduser()
    data = env.get("XDG_DATA_HOME") or ""
    base = Path(data) if os.path.isabs(data) else Path.home() / ".local" / "share"
    return base / "quorvane" / "history.sqlite3"


# ---- schema -----------------------------------------------------------------------

def _script(conn: sqlite3.Connection, sql: str) -> None:
    """Statements one by one: executescript would commit the migration's
    transaction half-way."""
    for statement in sql.split(";"):
        if statement.strip():
            conn.execute(statement)


def _schema_1(conn: sqlite3.Connection) -> None:
    _script(conn, """
        CREATE TABLE schema_version (version INTEGER NOT NULL);
        INSERT INTO schema_version VALUES (0);
        CREATE TABLE runs (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            kind TEXT NOT NULL,
            started_at TEXT NOT NULL,
            hosts TEXT NOT NULL,
            gpu_type TEXT,
            scope TEXT,
            verdict TEXT,
            headline_gbps REAL,
            headline_size INTEGER,
            tool_version TEXT,
            record TEXT NOT NULL);
        CREATE INDEX runs_started ON runs (started_at);
    """)


def _schema_2(conn: sqlite3.Connection) -> None:
    """NCCL and nccl-tests versions and the emulated mark as columns (baselines
    are kept per version); hosts one per row so --host uses an index; the
    records in a table of their own, so listing runs reads narrow rows only."""
    _script(conn, """
        ALTER TABLE runs ADD COLUMN nccl_version TEXT;
        ALTER TABLE runs ADD COLUMN nccl_tests_version TEXT;
        ALTER TABLE runs ADD COLUMN emulated INTEGER NOT NULL DEFAULT 0;
        CREATE TABLE run_hosts (
            host TEXT NOT NULL,
            run_id INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
            PRIMARY KEY (host, run_id)) WITHOUT ROWID;
        CREATE TABLE run_records (
            run_id INTEGER PRIMARY KEY REFERENCES runs (id) ON DELETE CASCADE,
            record TEXT NOT NULL);
        INSERT INTO run_records SELECT id, record FROM runs;
        CREATE INDEX runs_group ON runs (gpu_type, scope, started_at);
    """)
    for run_id, text in conn.execute("SELECT id, record FROM runs").fetchall():
        cols = _columns(json.loads(text))
        conn.execute("UPDATE runs SET nccl_version = ?, nccl_tests_version = ?, emulated = ? WHERE id = ?",
                     (cols["nccl_version"], cols["nccl_tests_version"], cols["emulated"], run_id))
        conn.executemany("INSERT OR IGNORE INTO run_hosts VALUES (?, ?)",
                         [(h, run_id) for h in json.loads(cols["hosts"])])
    conn.execute("ALTER TABLE runs DROP COLUMN record")


MIGRATIONS: tuple[Callable[[sqlite3.Connection], None], ...] = (_schema_1, _schema_2)
SCHEMA_VERSION = len(MIGRATIONS)


# ---- records ----------------------------------------------------------------------

def _utc_text(value: Any) -> str:
    try:
        moment = datetime.fromisoformat(str(value))
    except ValueError:
        raise HistoryError(f"not a run record: started_at {value!r} is not an ISO 8601 time") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.astimezone(timezone.utc).isoformat(timespec="seconds")


def _columns(record: Mapping[str, Any]) -> dict[str, Any]:
    """The indexed columns of a record."""
    headline = record.get("headline") or {}
    versions = record.get("versions") or {}
    hosts = names_of(record)
    return {
        "kind": record.get("kind"),
        "started_at": _utc_text(record.get("started_at")),
        "hosts": json.dumps(hosts),
        "gpu_type": record.get("gpu_type"),
        "scope": record.get("scope"),
        "verdict": record.get("verdict"),
        "headline_gbps": headline.get("busbw_gbps"),
        "headline_size": headline.get("size_bytes"),
        "tool_version": record.get("tool_version"),
        "nccl_version": versions.get("nccl_library") or versions.get("nccl_headers"),
        "nccl_tests_version": versions.get("nccl_tests"),
        "emulated": 1 if record.get("emulated") else 0,
    }


def check_record(record: Any) -> None:
    if not isinstance(record, dict) or record.get("kind") not in KINDS or "started_at" not in record:
        raise HistoryError("not a run record (needs \"kind\" sweep, grade or fleet, and \"started_at\")")


# ---- the store --------------------------------------------------------------------

LIST_COLUMNS = ("id", "kind", "started_at", "hosts", "gpu_type", "scope", "verdict", "headline_gbps",
                "headline_size", "tool_version", "nccl_version", "nccl_tests_version", "emulated")


class History:
    """One history file. Use as a context manager, or call close()."""

    def __init__(self, path: str | os.PathLike[str] | None = None, *,
                 busy_timeout_s: float = BUSY_TIMEOUT_S, create: bool = True) -> None:
        self.path = Path(path) if path is not None else default_path()
        self.busy_timeout_s = busy_timeout_s
        self._check_file(create)
        try:
            self.conn = sqlite3.connect(self.path, timeout=busy_timeout_s, isolation_level=None)
        except sqlite3.Error as exc:
            raise HistoryError(f"cannot open the history {self.path}: {exc}") from None
        try:
            with self._guard():
                self._open_schema()
        except BaseException:
            self.conn.close()
            raise

    def __enter__(self) -> History:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        self.conn.close()

    # -- opening --

    def _check_file(self, create: bool) -> None:
        path = self.path
        if path.is_dir():
            raise HistoryError(f"the history {path} is a directory")
        if not path.exists():
            if not create:
                raise HistoryError(f"no history at {path} (nothing recorded yet)")
            try:
                path.parent.mkdir(parents=True, exist_ok=True)
            except OSError as exc:
                raise HistoryError(f"cannot create {path.parent}: {exc.strerror or exc}") from None
            return
        try:
            with open(path, "rb") as f:
                head = f.read(len(_SQLITE_MAGIC))
        except OSError as exc:
            raise HistoryError(f"cannot read the history {path}: {exc.strerror or exc}") from None
        if head and head != _SQLITE_MAGIC:
            raise HistoryError(f"{path} is not an SQLite database: refusing to use it as the history "
                               f"(it is left as it is; choose another file with --db or {DB_VAR})")

    def _open_schema(self) -> None:
        conn = self.conn
        app_id = conn.execute("PRAGMA application_id").fetchone()[0]
        tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if app_id != APPLICATION_ID and (app_id != 0 or tables):
            raise HistoryError(f"{self.path} is a database of another program, not a quorvane history: "
                               f"it is left as it is; choose another file with --db or {DB_VAR}")
        version = self._version() if tables else 0
        if version > SCHEMA_VERSION:
            raise HistoryError(f"{self.path} was written by a newer quorvane (history schema {version}; "
                               f"this one knows up to {SCHEMA_VERSION})")
        if conn.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
            conn.execute("PRAGMA journal_mode = WAL")
        conn.execute("PRAGMA synchronous = NORMAL")
        conn.execute("PRAGMA foreign_keys = ON")
        if version < SCHEMA_VERSION:
            self._migrate()

    def _version(self) -> int:
        row = self.conn.execute("SELECT max(version) FROM schema_version").fetchone()
        return int(row[0] or 0)

    def _migrate(self) -> None:
        conn = self.conn
        conn.execute("BEGIN IMMEDIATE")  # another process may be migrating too: look again under the lock
        try:
            if conn.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
                conn.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
            version = self._version() if "schema_version" in tables else 0
            for step in range(version, SCHEMA_VERSION):
                MIGRATIONS[step](conn)
                conn.execute("UPDATE schema_version SET version = ?", (step + 1,))
            conn.execute("COMMIT")
        except BaseException:
            conn.execute("ROLLBACK")
            raise

    def _guard(self) -> _Guard:
        return _Guard(self)

    # -- writing and reading --

    def add(self, record: Mapping[str, Any]) -> int:
        """Store a record; returns its run id."""
        return self.add_many([record])[0]

    def add_many(self, records: Iterable[Mapping[str, Any]]) -> list[int]:
        """Store records in one transaction (all or none); returns their run ids."""
        rows = []
        for record in records:
            check_record(record)
            try:
                text = json.dumps(_finite(record), allow_nan=False, separators=(",", ":"))
            except (TypeError, ValueError) as exc:
                raise HistoryError(f"the record cannot be stored as JSON: {exc}") from None
            rows.append((_columns(record), text))
        ids = []
        with self._guard():
            conn = self.conn
            conn.execute("BEGIN IMMEDIATE")
            try:
                for cols, text in rows:
                    cur = conn.execute(f"INSERT INTO runs ({', '.join(cols)}) VALUES "
                                       f"({', '.join('?' * len(cols))})", list(cols.values()))
                    run_id = int(cur.lastrowid or 0)
                    conn.execute("INSERT INTO run_records VALUES (?, ?)", (run_id, text))
                    conn.executemany("INSERT OR IGNORE INTO run_hosts VALUES (?, ?)",
                                     [(h, run_id) for h in json.loads(cols["hosts"])])
                    ids.append(run_id)
                conn.execute("COMMIT")
            except BaseException:
                conn.execute("ROLLBACK")
                raise
        return ids

    def runs(self, *, host: str | None = None, gpu_type: str | None = None, scope: str | None = None,
             since: str | None = None, limit: int | None = None) -> list[dict[str, Any]]:
        """The indexed columns of the matching runs, newest first."""
        where, params = self._where(host, gpu_type, scope, since)
        sql = f"SELECT {', '.join(LIST_COLUMNS)} FROM runs{where} ORDER BY started_at DESC, id DESC"
        if limit is not None:
            sql += f" LIMIT {int(limit)}"
        with self._guard():
            rows = self.conn.execute(sql, params).fetchall()
        out = []
        hosts: dict[str, list[str]] = {}   # a history repeats its hosts: decode each list once
        for row in rows:
            item = dict(zip(LIST_COLUMNS, row))
            text = item["hosts"]
            if text not in hosts:
                hosts[text] = json.loads(text)
            item["hosts"] = list(hosts[text])
            item["emulated"] = bool(item["emulated"])
            out.append(item)
        return out

    def count(self, *, host: str | None = None, gpu_type: str | None = None, scope: str | None = None,
              since: str | None = None) -> int:
        where, params = self._where(host, gpu_type, scope, since)
        with self._guard():
            return int(self.conn.execute(f"SELECT count(*) FROM runs{where}", params).fetchone()[0])

    def records(self, *, gpu_type: str | None = None, scope: str | None = None
                ) -> Iterator[tuple[dict[str, Any], dict[str, Any]]]:
        """(columns, record) of the matching runs, oldest first."""
        where, params = self._where(None, gpu_type, scope, None)
        with self._guard():
            rows = self.conn.execute(f"SELECT {', '.join(LIST_COLUMNS)}, record FROM runs "
                                     f"JOIN run_records ON run_id = id{where} ORDER BY started_at, id",
                                     params).fetchall()
        for row in rows:
            item = dict(zip(LIST_COLUMNS, row[:-1]))
            item["hosts"] = json.loads(item["hosts"])
            yield item, json.loads(row[-1])

    def site_runs(self, *, gpu_type: str | None = None, emulated: bool = False
                  ) -> dict[tuple[str, str, str | None], list[tuple[dict[str, Any], dict[str, Any]]]]:
        """The runs a site baseline rests on, grouped by (GPU type, scope, NCCL
        version or None): sweeps and grades with a headline that did not end in
        error, real or (with emulated) emulated ones only, oldest first."""
        groups: dict[tuple[str, str, str | None], list[tuple[dict[str, Any], dict[str, Any]]]] = {}
        for cols, record in self.records(gpu_type=gpu_type):
            if (cols["kind"] not in ("sweep", "grade") or cols["headline_gbps"] is None
                    or cols["verdict"] == "error" or bool(cols["emulated"]) != emulated
                    or not cols["gpu_type"] or not cols["scope"]):
                continue
            key = (cols["gpu_type"], cols["scope"], cols["nccl_version"])
            groups.setdefault(key, []).append((cols, record))
        return groups

    def get(self, run_id: int) -> dict[str, Any]:
        with self._guard():
            row = self.conn.execute("SELECT record FROM run_records WHERE run_id = ?", (run_id,)).fetchone()
        if row is None:
            raise HistoryError(f"no run {run_id} in the history {self.path}")
        record: dict[str, Any] = json.loads(row[0])
        return record

    def latest_id(self) -> int | None:
        with self._guard():
            row = self.conn.execute("SELECT id FROM runs ORDER BY started_at DESC, id DESC LIMIT 1").fetchone()
        return None if row is None else int(row[0])

    @staticmethod
    def _where(host: str | None, gpu_type: str | None, scope: str | None,
               since: str | None) -> tuple[str, list[Any]]:
        clauses, params = [], []
        if host is not None:
            clauses.append("id IN (SELECT run_id FROM run_hosts WHERE host = ?)")
            params.append(host)
        if gpu_type is not None:
            clauses.append("gpu_type = ?")
            params.append(gpu_type)
        if scope is not None:
            clauses.append("scope = ?")
            params.append(scope)
        if since is not None:
            clauses.append("started_at >= ?")
            params.append(since)
        return (" WHERE " + " AND ".join(clauses) if clauses else ""), params


class _Guard:
    """Turns SQLite's errors into one line that names the file."""

    def __init__(self, history: History) -> None:
        self.path = history.path
        self.timeout = history.busy_timeout_s

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None, tb: object) -> None:
        if not isinstance(exc, sqlite3.Error):
            return
        text = str(exc)
        if isinstance(exc, sqlite3.OperationalError) and ("locked" in text or "busy" in text):
            raise HistoryError(f"the history {self.path} stayed busy for {self.timeout:g} s "
                               f"(another run is writing it); try again") from None
        if not isinstance(exc, sqlite3.OperationalError) or "malformed" in text or "not a database" in text:
            raise HistoryError(f"the history {self.path} is damaged ({text}); it is left as it is: "
                               f"move it aside to start a new one") from None
        raise HistoryError(f"the history {self.path}: {text}") from None


def since_text(value: str, now: datetime | None = None) -> str:
    """--since: an ISO date or time (UTC unless it says), or N followed by d or h
    for that many days or hours ago; the UTC text the store compares against."""
    text = value.strip()
    if len(text) > 1 and text[-1] in "dh" and text[:-1].isdigit():
        amount = int(text[:-1])
        delta = timedelta(days=amount) if text[-1] == "d" else timedelta(hours=amount)
        return ((now or datetime.now(timezone.utc)) - delta).isoformat(timespec="seconds")
    try:
        return _utc_text(text)
    except HistoryError:
        raise HistoryError(f"--since {value!r}: give a date (2026-12-01), a time (2026-12-01T08:00) "
                           f"or an age (7d, 12h)") from None
