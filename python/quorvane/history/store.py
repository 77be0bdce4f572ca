"""What every history store does, in one set of SQL queries.

A run is a row of `runs` (the columns the commands filter, sort and aggregate
on), its hosts one per row in `run_hosts`, its all_reduce bus bandwidth (best
per message size) in `run_points`, and the whole record as JSON in
`run_records`, read only by the commands that print it. The queries are written
once with `?` parameters and run unchanged on SQLite and PostgreSQL; a store
supplies the connection, its transactions and its error wording.
"""
from __future__ import annotations

import json
import math
from collections.abc import Iterable, Iterator, Mapping
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any

from ..hostlist import names_of

KINDS = ("sweep", "grade", "fleet")
MAX_RUN_ID = 2**63 - 1


class HistoryError(Exception):
    """The history cannot be used: one line for the user."""


class LocationError(HistoryError):
    """The history location itself is not usable (a usage error)."""


LIST_COLUMNS = ("id", "kind", "started_at", "hosts", "gpu_type", "scope", "verdict", "headline_gbps",
                "headline_size", "tool_version", "nccl_version", "nccl_tests_version", "emulated")
_INSERT_COLUMNS = LIST_COLUMNS[1:]

# The runs a site baseline rests on: sweeps and grades with a headline that
# passed, warned or had no cutoff to meet (a run that failed, on wrong results
# or a slow host, or ended in error teaches a baseline nothing good), of a known
# GPU type and scope, real or emulated ones.
_SITE = ("kind IN ('sweep', 'grade') AND headline_gbps IS NOT NULL "
         "AND (verdict IS NULL OR verdict IN ('pass', 'warn', 'unknown')) "
         "AND gpu_type IS NOT NULL AND gpu_type <> '' AND scope IS NOT NULL AND scope <> '' AND emulated = ?")


# ---- records to columns ------------------------------------------------------------

def utc_text(value: Any) -> str:
    try:
        moment = datetime.fromisoformat(str(value))
    except ValueError:
        raise HistoryError(f"not a run record: started_at {value!r} is not an ISO 8601 time") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=timezone.utc)
    return moment.astimezone(timezone.utc).isoformat(timespec="seconds")


def _number(value: Any, kind: type) -> Any:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return kind(value)


def columns(record: Mapping[str, Any]) -> dict[str, Any]:
    """The indexed columns of a record."""
    headline = record.get("headline") or {}
    if not isinstance(headline, Mapping):
        headline = {}
    versions = record.get("versions") or {}
    if not isinstance(versions, Mapping):
        versions = {}
    hosts = names_of(record)  # a fleet's hosts are one object per host

    def text(value: Any) -> str | None:
        return None if value is None else str(value)

    return {
        "kind": text(record.get("kind")),
        "started_at": utc_text(record.get("started_at")),
        "hosts": json.dumps(hosts),
        "gpu_type": text(record.get("gpu_type")),
        "scope": text(record.get("scope")),
        "verdict": text(record.get("verdict")),
        "headline_gbps": _number(headline.get("busbw_gbps"), float),
        "headline_size": _number(headline.get("size_bytes"), int),
        "tool_version": text(record.get("tool_version")),
        "nccl_version": text(versions.get("nccl_library") or versions.get("nccl_headers")),
        "nccl_tests_version": text(versions.get("nccl_tests")),
        "emulated": 1 if record.get("emulated") else 0,
    }


def all_reduce_points(points: Iterable[tuple[str, int, float]]) -> list[tuple[int, float]]:
    """(size_bytes, busbw_gbps): the best usable all_reduce value per size."""
    best: dict[int, float] = {}
    for collective, size, busbw in points:
        if collective == "all_reduce" and math.isfinite(busbw) and busbw >= 0 and 0 <= size <= 2**63 - 1:
            best[size] = max(busbw, best.get(size, busbw))
    return sorted(best.items())


def hosts_list(text: Any) -> list[str]:
    """The hosts column as a list; a damaged value reads as no hosts."""
    try:
        hosts = json.loads(text)
    except (TypeError, ValueError):
        return []
    return [str(h) for h in hosts] if isinstance(hosts, list) else []


def percentile(lo: float, hi: float, fraction: float) -> float:
    return lo + (hi - lo) * fraction


# ---- the store ---------------------------------------------------------------------

class Store:
    """One history. Use as a context manager, or call close()."""

    location: str      # what the messages call it

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- what each store supplies --

    def close(self) -> None:
        raise NotImplementedError

    def _query(self, sql: str, params: Iterable[Any] = ()) -> list[tuple[Any, ...]]:
        """All rows of one statement, outside any write transaction."""
        raise NotImplementedError

    @contextmanager
    def _write(self) -> Iterator[Any]:
        """A write transaction; yields an object with execute/executemany/fetch."""
        raise NotImplementedError
        yield

    def _insert_run(self, tx: Any, cols: Mapping[str, Any]) -> int:
        rows = tx.run(f"INSERT INTO runs ({', '.join(_INSERT_COLUMNS)}) VALUES "
                      f"({', '.join('?' * len(_INSERT_COLUMNS))}) RETURNING id",
                      [cols[c] for c in _INSERT_COLUMNS])
        return int(rows[0][0])

    # -- writing --

    def add(self, record: Mapping[str, Any]) -> int:
        """Store a record; returns its run id."""
        return self.add_many([record])[0]

    def add_many(self, records: Iterable[Mapping[str, Any]]) -> list[int]:
        """Store records in one transaction (all or none); returns their run ids."""
        from ..record_data import busbw_points
        from . import check_record, record_text

        rows = []
        for record in records:
            check_record(record)
            try:
                points = all_reduce_points(busbw_points(record))
            except ValueError as exc:
                raise HistoryError(f"not a run record: {exc}") from None
            rows.append((columns(record), record_text(record), points))
        ids = []
        with self._write() as tx:
            for cols, text, points in rows:
                run_id = self._insert_run(tx, cols)
                tx.many("INSERT INTO run_records (run_id, record) VALUES (?, ?)", [(run_id, text)])
                tx.many("INSERT INTO run_hosts (host, run_id) VALUES (?, ?) ON CONFLICT DO NOTHING",
                        [(h, run_id) for h in dict.fromkeys(json.loads(cols["hosts"]))])
                tx.many("INSERT INTO run_points (run_id, size_bytes, busbw_gbps) VALUES (?, ?, ?)",
                        [(run_id, size, bw) for size, bw in points])
                ids.append(run_id)
        return ids

    # -- reading --

    def runs(self, *, host: str | None = None, gpu_type: str | None = None, scope: str | None = None,
             since: str | None = None, limit: int | None = None) -> list[dict[str, Any]]:
        """The indexed columns of the matching runs, newest first."""
        where, params = self._where(host, gpu_type, scope, since)
        order = " ORDER BY started_at DESC, id DESC"
        if limit is None:
            sql = f"SELECT {', '.join(LIST_COLUMNS)} FROM runs{where}{order}"
        else:   # the newest ids first, then their columns: the sort does not carry every match's host list
            sql = (f"SELECT {', '.join(LIST_COLUMNS)} FROM runs WHERE id IN "
                   f"(SELECT id FROM runs{where}{order} LIMIT ?){order}")
            params.append(min(int(limit), MAX_RUN_ID))
        out = []
        hosts: dict[Any, list[str]] = {}   # a history repeats its hosts: decode each list once
        for row in self._query(sql, params):
            item = dict(zip(LIST_COLUMNS, row))
            text = item["hosts"]
            if text not in hosts:
                hosts[text] = hosts_list(text)
            item["hosts"] = list(hosts[text])
            item["emulated"] = bool(item["emulated"])
            out.append(item)
        return out

    def count(self, *, host: str | None = None, gpu_type: str | None = None, scope: str | None = None,
              since: str | None = None, up_to: int | None = None) -> int:
        """How many runs match; with up_to, counting stops there (the cost of
        a listing then stays that of what it shows, however long the history)."""
        where, params = self._where(host, gpu_type, scope, since)
        if up_to is None:
            return int(self._query(f"SELECT count(*) FROM runs{where}", params)[0][0])
        sql = f"SELECT count(*) FROM (SELECT 1 FROM runs{where} LIMIT ?) AS counted"
        return int(self._query(sql, [*params, min(max(0, int(up_to)), MAX_RUN_ID)])[0][0])

    def columns_of(self, run_id: int) -> dict[str, Any]:
        """The indexed columns of one run."""
        rows = self._query(f"SELECT {', '.join(LIST_COLUMNS)} FROM runs WHERE id = ?", [self._id(run_id)])
        if not rows:
            raise HistoryError(f"no run {run_id} in the history {self.location}")
        item = dict(zip(LIST_COLUMNS, rows[0]))
        item["hosts"] = hosts_list(item["hosts"])
        item["emulated"] = bool(item["emulated"])
        return item

    def get(self, run_id: int) -> dict[str, Any]:
        """The whole record of one run."""
        rows = self._query("SELECT record FROM run_records WHERE run_id = ?", [self._id(run_id)])
        if not rows:
            raise HistoryError(f"no run {run_id} in the history {self.location}")
        try:
            record = json.loads(rows[0][0])
        except (TypeError, ValueError):
            record = None
        if not isinstance(record, dict):
            raise HistoryError(f"run {run_id} in the history {self.location} is damaged (its record is not "
                               f"JSON); the other runs are unaffected")
        return record

    def latest_id(self) -> int | None:
        rows = self._query("SELECT id FROM runs ORDER BY started_at DESC, id DESC LIMIT 1")
        return None if not rows else int(rows[0][0])

    # The headlines of a group as one text, exact to the last bit: the rows
    # of a whole site cost more to hand to Python than to summarise here.
    # (SQLite keeps whatever a column was given: text stays text, to be found.)
    _HEADLINES = ("group_concat(CASE WHEN typeof(headline_gbps) IN ('real', 'integer') "
                  "THEN printf('%!.17g', headline_gbps) ELSE 'damaged' END)")

    def site_headlines(self, *, gpu_type: str | None = None, emulated: bool = False
                       ) -> tuple[dict[tuple[str, str, str | None], tuple[list[float], str]], list[int]]:
        """The headlines a site baseline rests on, grouped by (GPU type, scope,
        NCCL version or None), with the time of the group's latest run; and the
        ids of qualifying runs whose stored headline is not a number (skipped)."""
        where = f"WHERE {_SITE}"
        params: list[Any] = [1 if emulated else 0]
        if gpu_type is not None:
            where += " AND gpu_type = ?"
            params.append(gpu_type)
        groups: dict[tuple[str, str, str | None], tuple[list[float], str]] = {}
        skipped: list[int] = []
        rows = self._query(f"SELECT gpu_type, scope, nccl_version, {self._HEADLINES}, max(started_at) FROM runs "
                           f"{where} GROUP BY gpu_type, scope, nccl_version", params)
        for gpu, scope, nccl, text, latest in rows:
            try:
                values = list(map(float, str(text).split(",")))
                good = math.isfinite(sum(values))   # a NaN or infinity, or a sum past the largest float
            except ValueError:
                good = False
            if not good:     # some stored headline is not a number: find which, leave it out
                values = []
                for run_id, headline in self._query(
                        f"SELECT id, headline_gbps FROM runs {where} AND gpu_type = ? AND scope = ? "
                        f"AND nccl_version IS NOT DISTINCT FROM ? ORDER BY id", [*params, gpu, scope, nccl]):
                    value = _number(headline, float)
                    if value is None:
                        skipped.append(int(run_id))
                    else:
                        values.append(value)
            if values:
                groups[(str(gpu), str(scope), None if nccl is None else str(nccl))] = (values, str(latest))
        return groups, skipped

    def site_band(self, *, gpu_type: str, scope: str, nccl_version: str | None, emulated: bool,
                  exclude: int | None, min_runs: int, newest: int | None = None
                  ) -> tuple[int, list[tuple[int, float, float]], int]:
        """The middle half of all_reduce bus bandwidth per message size over the
        site's other runs like this one (the `newest` of them, when given):
        (runs with points, [(size_bytes, p25, p75)] for the sizes at least
        min_runs of them measured, qualifying runs left out because they have no
        readable points). The order statistics are picked in SQL, so no run's
        record is read."""
        group = (f"SELECT id FROM runs WHERE {_SITE} AND gpu_type = ? AND scope = ? "
                 f"AND nccl_version IS NOT DISTINCT FROM ? AND id <> ?")
        params: list[Any] = [1 if emulated else 0, gpu_type, scope, nccl_version, -1 if exclude is None else exclude]
        if newest is not None:
            group += " ORDER BY started_at DESC, id DESC LIMIT ?"
            params.append(max(int(newest), 0))
        total, with_points = self._query(
            f"SELECT count(*), count(CASE WHEN EXISTS (SELECT 1 FROM run_points WHERE run_id = g.id) "
            f"THEN 1 END) FROM ({group}) g", params)[0]
        rows = self._query(
            f"SELECT size_bytes, n, k, busbw_gbps FROM ("
            f"  SELECT size_bytes, busbw_gbps,"
            f"         row_number() OVER (PARTITION BY size_bytes ORDER BY busbw_gbps) - 1 AS k,"
            f"         count(*) OVER (PARTITION BY size_bytes) AS n"
            f"  FROM run_points WHERE run_id IN ({group})) ranked "
            f"WHERE n >= ? AND k IN ((n - 1) / 4, (n - 1) / 4 + 1, 3 * (n - 1) / 4, 3 * (n - 1) / 4 + 1) "
            f"ORDER BY size_bytes, k", [*params, max(min_runs, 1)])
        picked: dict[int, tuple[int, dict[int, float]]] = {}
        for size, n, k, value in rows:
            picked.setdefault(int(size), (int(n), {}))[1][int(k)] = float(value)
        band = []
        for size, (n, values) in picked.items():
            quartiles = []
            for q in (0.25, 0.75):
                rank = q * (n - 1)
                lo = math.floor(rank)
                hi = min(lo + 1, n - 1)
                quartiles.append(percentile(values[lo], values[hi], rank - lo))
            band.append((size, quartiles[0], quartiles[1]))
        return int(with_points), band, int(total) - int(with_points)

    @staticmethod
    def _id(run_id: int) -> int:
        if not 0 <= run_id <= MAX_RUN_ID:
            raise HistoryError(f"no run {run_id}: run ids are whole numbers below 2**63")
        return run_id

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


# ---- the schema --------------------------------------------------------------------

def fill_points(tx: Any, damaged: list[int]) -> None:
    """Fill run_points (and any missing columns) from the stored records of an
    older history. A record that is not JSON, or not a record, keeps the
    columns it had and gets no points; its id goes to damaged."""
    from ..record_data import busbw_points

    for run_id, text in tx.run("SELECT run_id, record FROM run_records ORDER BY run_id"):
        try:
            record = json.loads(text)
            points = all_reduce_points(busbw_points(record))
        except (TypeError, ValueError, AttributeError):
            damaged.append(int(run_id))
            continue
        tx.many("INSERT INTO run_points (run_id, size_bytes, busbw_gbps) VALUES (?, ?, ?) ON CONFLICT DO NOTHING",
                [(run_id, size, bw) for size, bw in points])
