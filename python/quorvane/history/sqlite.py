"""The history in one SQLite file: the default store.

The file carries our application id and a schema version table; an older
schema is migrated in place, a newer one, a foreign database or a damaged file
is refused with one line and never written to. Creation and migration happen in
one transaction under SQLite's own write lock, and only then is the file
switched to WAL, so a failed migration leaves the file exactly as it was. Every
statement waits up to the busy time-out, including the ones SQLite does not
wait on itself (the WAL switch). A history on read-only storage is read
read-only.
"""
from __future__ import annotations

import json
import os
import sqlite3
import stat
import time
import urllib.parse
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TypeVar

from .store import HistoryError, LocationError, Store, fill_points, hosts_list

APPLICATION_ID = 0x51564E48  # "QVNH": marks the file as a quorvane history
_SQLITE_MAGIC = b"SQLite format 3\x00"
_T = TypeVar("_T")


# ---- the schema, oldest first: each step migrates the one before ---------------------

def _script(tx: _Tx, sql: str) -> None:
    """Statements one by one: executescript would commit the migration's
    transaction half-way."""
    for statement in sql.split(";"):
        if statement.strip():
            tx.run(statement)


def _schema_1(tx: _Tx, damaged: list[int]) -> None:
    _script(tx, """
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


def _schema_2(tx: _Tx, damaged: list[int]) -> None:
    """NCCL and nccl-tests versions and the emulated mark as columns (baselines
    are kept per version); hosts one per row so --host uses an index; the
    records in a table of their own, so listing runs reads narrow rows only."""
    _script(tx, """
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
    for run_id, text, hosts in tx.run("SELECT id, record, hosts FROM runs"):
        try:
            record = json.loads(text)
            versions = record.get("versions") or {}
            update = (versions.get("nccl_library") or versions.get("nccl_headers"), versions.get("nccl_tests"),
                      1 if record.get("emulated") else 0)
        except (TypeError, ValueError, AttributeError):
            damaged.append(int(run_id))       # keeps the columns it has; the rest stays empty
            update = (None, None, 0)
        tx.run("UPDATE runs SET nccl_version = ?, nccl_tests_version = ?, emulated = ? WHERE id = ?",
               [*update, run_id])
        tx.many("INSERT OR IGNORE INTO run_hosts VALUES (?, ?)", [(h, run_id) for h in hosts_list(hosts)])
    tx.run("ALTER TABLE runs DROP COLUMN record")


def _schema_3(tx: _Tx, damaged: list[int]) -> None:
    """The all_reduce points of every run in a narrow table, so site bands are
    computed without reading records; an index that holds every column the
    site baseline reads, so it never reads a run's row (a fleet's is long)."""
    _script(tx, """
        CREATE TABLE run_points (
            run_id INTEGER NOT NULL REFERENCES runs (id) ON DELETE CASCADE,
            size_bytes INTEGER NOT NULL,
            busbw_gbps REAL NOT NULL,
            PRIMARY KEY (run_id, size_bytes)) WITHOUT ROWID, STRICT;
        CREATE INDEX runs_site ON runs (emulated, gpu_type, scope, nccl_version, kind, verdict, headline_gbps,
                                        started_at)
    """)
    fill_points(tx, damaged)


MIGRATIONS: tuple[Callable[[_Tx, list[int]], None], ...] = (_schema_1, _schema_2, _schema_3)
SCHEMA_VERSION = len(MIGRATIONS)


# ---- the store -------------------------------------------------------------------------

class _Tx:
    """Statements inside one write transaction."""

    def __init__(self, conn: sqlite3.Connection) -> None:
        self.conn = conn

    def run(self, sql: str, params: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        return self.conn.execute(sql, tuple(params)).fetchall()

    def many(self, sql: str, rows: Iterable[Iterable[Any]]) -> None:
        self.conn.executemany(sql, [tuple(r) for r in rows])


def _busy(exc: BaseException) -> bool:
    text = str(exc)
    return isinstance(exc, sqlite3.OperationalError) and ("locked" in text or "busy" in text)


class SQLiteHistory(Store):
    """One history file."""

    def __init__(self, path: str | os.PathLike[str], *, busy_timeout_s: float = 10.0,
                 create: bool = True) -> None:
        self.path = Path(path)
        self.location = str(self.path)
        self.busy_timeout_s = busy_timeout_s
        self.migrated_damaged: list[int] = []
        self.read_only = False
        self._check_file(create)
        self.conn = self._connect()
        try:
            with self._guard():
                self._open_schema()
        except BaseException:
            self.conn.close()
            raise

    def close(self) -> None:
        self.conn.close()

    # -- opening --

    def _check_file(self, create: bool) -> None:
        path = self.path
        try:
            info = path.stat()
        except FileNotFoundError:
            info = None
        except OSError as exc:
            raise HistoryError(f"cannot read the history {path}: {exc.strerror or exc}") from None
        if info is None:
            if not create:
                raise HistoryError(f"no history at {path} (nothing recorded yet)")
            try:
                path.parent.mkdir(parents=True, exist_ok=True)
            except OSError as exc:
                raise HistoryError(f"cannot create {path.parent}: {exc.strerror or exc}") from None
            return
        if stat.S_ISDIR(info.st_mode):
            raise LocationError(f"the history {path} is a directory")
        if not stat.S_ISREG(info.st_mode):
            # a pipe or a device would block or be clobbered: never open one
            raise LocationError(f"the history {path} is not a regular file")
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            try:
                head = os.read(fd, len(_SQLITE_MAGIC))
            finally:
                os.close(fd)
        except OSError as exc:
            raise HistoryError(f"cannot read the history {path}: {exc.strerror or exc}") from None
        # A file another run is creating this moment may still be empty or zero-filled.
        if head.strip(b"\x00") and not _SQLITE_MAGIC.startswith(head):
            raise HistoryError(f"{path} is not an SQLite database: refusing to use it as the history "
                               f"(it is left as it is; choose another file with --db or QUORVANE_DB)")
        self.read_only = not (os.access(path, os.W_OK) and os.access(path.parent, os.W_OK))

    def _connect(self) -> sqlite3.Connection:
        try:
            if not self.read_only:
                return sqlite3.connect(self.path, timeout=self.busy_timeout_s, isolation_level=None)
            # Read-only storage: a WAL file needs its shared memory, which cannot
            # be made here; read it as it is (nobody can be writing it either).
            uri = "file:" + urllib.parse.quote(str(self.path.resolve()))
            conn = sqlite3.connect(uri + "?mode=ro", uri=True, timeout=self.busy_timeout_s,
                                   isolation_level=None)
            try:
                conn.execute("SELECT count(*) FROM sqlite_master").fetchone()
                return conn
            except sqlite3.OperationalError:
                conn.close()
                return sqlite3.connect(uri + "?immutable=1", uri=True, timeout=self.busy_timeout_s,
                                       isolation_level=None)
        except sqlite3.Error as exc:
            raise HistoryError(f"cannot open the history {self.path}: {exc}") from None

    def _retry(self, step: Callable[[], _T]) -> _T:
        """step(), again while the file is busy, up to the busy time-out: SQLite
        does not wait on its own for some statements (the WAL switch, a
        transaction's first lock while another process recovers the file)."""
        deadline = time.monotonic() + self.busy_timeout_s
        pause = 0.002
        while True:
            try:
                return step()
            except sqlite3.OperationalError as exc:
                if not _busy(exc) or time.monotonic() + pause > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 0.05)

    def _state(self) -> tuple[int, set[str], int]:
        """(application id, tables, schema version), read in one transaction."""
        conn = self.conn
        app_id = int(conn.execute("PRAGMA application_id").fetchone()[0])
        tables = {r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        version = 0
        if "schema_version" in tables:
            version = int(conn.execute("SELECT max(version) FROM schema_version").fetchone()[0] or 0)
        return app_id, tables, version

    def _check_state(self, app_id: int, tables: set[str], version: int) -> None:
        if app_id != APPLICATION_ID and (app_id != 0 or tables):
            raise HistoryError(f"{self.path} is a database of another program, not a quorvane history: "
                               f"it is left as it is; choose another file with --db or QUORVANE_DB")
        if version > SCHEMA_VERSION:
            raise HistoryError(f"{self.path} was written by a newer quorvane (history schema {version}; "
                               f"this one knows up to {SCHEMA_VERSION})")

    def _open_schema(self) -> None:
        conn = self.conn
        self._retry(lambda: conn.execute("BEGIN"))
        try:
            state = self._retry(self._state)
        finally:
            if conn.in_transaction:
                conn.execute("COMMIT")
        self._check_state(*state)
        if state[2] < SCHEMA_VERSION:
            if self.read_only:
                raise HistoryError(f"the history {self.path} is read-only and was written by an older "
                                   f"quorvane: open it once where it can be written to upgrade it")
            self._migrate()
        if not self.read_only:
            conn.execute("PRAGMA foreign_keys = ON")
            conn.execute("PRAGMA synchronous = NORMAL")
            if conn.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                # Needs the file to itself: SQLite answers busy at once, without waiting.
                self._retry(lambda: conn.execute("PRAGMA journal_mode = WAL").fetchone())

    def _migrate(self) -> None:
        """Create or upgrade the schema in one transaction under the write lock,
        looking again under the lock: another process may have done it."""
        with self._write() as tx:
            app_id, tables, version = self._state()
            self._check_state(app_id, tables, version)
            if app_id != APPLICATION_ID:
                tx.run(f"PRAGMA application_id = {APPLICATION_ID}")
            for step in range(version, SCHEMA_VERSION):
                MIGRATIONS[step](tx, self.migrated_damaged)
                tx.run("UPDATE schema_version SET version = ?", [step + 1])

    @contextmanager
    def _guard(self) -> Iterator[None]:
        """SQLite's errors as one line that names the file."""
        try:
            yield
        except sqlite3.Error as exc:
            text = str(exc)
            if _busy(exc):
                raise HistoryError(f"the history {self.path} stayed busy for {self.busy_timeout_s:g} s "
                                   f"(another run is writing it); try again") from None
            if not isinstance(exc, sqlite3.OperationalError) or "malformed" in text or "not a database" in text:
                raise HistoryError(f"the history {self.path} is damaged ({text}); it is left as it is: "
                                   f"move it aside to start a new one") from None
            raise HistoryError(f"the history {self.path}: {text}") from None
        except OverflowError as exc:
            raise HistoryError(f"the history {self.path}: {exc}") from None

    @contextmanager
    def _write(self) -> Iterator[_Tx]:
        if self.read_only:
            raise HistoryError(f"the history {self.path} is read-only")
        conn = self.conn
        with self._guard():
            self._retry(lambda: conn.execute("BEGIN IMMEDIATE"))
            try:
                yield _Tx(conn)
                conn.execute("COMMIT")
            except BaseException:
                # SQLite may already have rolled back (a full disk, an I/O error):
                # a second ROLLBACK would replace the real error with its own.
                if conn.in_transaction:
                    try:
                        conn.execute("ROLLBACK")
                    except sqlite3.Error:
                        pass
                raise

    def _query(self, sql: str, params: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        values = tuple(params)
        with self._guard():
            return self._retry(lambda: self.conn.execute(sql, values).fetchall())
