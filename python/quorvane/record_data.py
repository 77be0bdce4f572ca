"""The record as data: its version and verdict scale, the one JSON shape of
every command, strict JSON, bus bandwidth points and record files.  Imports
nothing of the runner, the library or the analysis module, so that the
commands that only read records (history, baseline, compare, report) start
without them."""
from __future__ import annotations

import json
import math
from collections.abc import Mapping
from typing import Any

RECORD_VERSION = 1
# From best to worst: what "the worse of two verdicts" means.
VERDICTS = ("pass", "warn", "unknown", "error", "fail")
EXIT_FOR_VERDICT = {"pass": 0, "warn": 1, "fail": 2, "unknown": 3, "error": 4}


def document(kind: str, body: Mapping[str, Any], *, verdict: str | None = None,
             exit_status: int | None = None) -> dict[str, Any]:
    """The one shape of every command's JSON: record_version and kind first,
    then, from a command that grades, its verdict and exit status, then the
    command's own keys."""
    doc: dict[str, Any] = {"record_version": RECORD_VERSION, "kind": kind}
    if verdict is not None:
        doc["verdict"] = verdict
        doc["exit_status"] = exit_status
    doc.update(body)
    return doc


# ---- the record as data: JSON, bus bandwidth points, files, the history ----------

class RecordError(ValueError):
    """A document is not a usable record (one line)."""


def finite(value: Any) -> Any:
    """A copy of plain data with every NaN or infinity replaced by None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def strict_json(data: Any) -> str:
    """JSON with no NaN or Infinity in it, ending in a newline, written by the
    C encoder straight from `data`.  Records hold no NaN (they are made with
    null in its place); should some other document hold one, the encoder
    refuses it and a copy with null in its place is written instead."""
    try:
        return json.dumps(data, allow_nan=False) + "\n"
    except ValueError:
        return json.dumps(finite(data), allow_nan=False) + "\n"


def nccl_version_text(version: str | None) -> str | None:
    """NCCL's version as people write it: the code nccl-tests prints (`22907`, `2708`) as 2.29.7 and 2.7.8;
    anything else as it is."""
    if version is None or not version.isascii() or not version.isdigit():
        return version
    code = int(version)
    if code >= 10000:       # 2.9 and later: major x 10000 + minor x 100 + patch
        return f"{code // 10000}.{code // 100 % 100}.{code % 100}"
    if code >= 1000:        # before 2.9: major x 1000 + minor x 100 + patch
        return f"{code // 1000}.{code // 100 % 10}.{code % 100}"
    return version


def busbw_points(doc: Mapping[str, Any]) -> list[tuple[str, int, float]]:
    """(collective, size_bytes, busbw_gbps) of every measured row: from a run
    record's collectives, or from the library's report dict (its "results").
    Raises ValueError for a row that is not one."""
    rows: list[tuple[Any, Mapping[str, Any]]] = []
    if isinstance(doc.get("collectives"), list):
        rows = [(coll.get("collective"), row) for coll in doc["collectives"] for row in coll.get("rows") or []]
    elif isinstance(doc.get("results"), list):
        rows = [(row.get("collective"), row) for row in doc["results"]]
    points = []
    for collective, row in rows:
        try:
            if row.get("busbw_gbps") is not None:
                points.append((str(collective), int(row["size_bytes"]), float(row["busbw_gbps"])))
        except (AttributeError, KeyError, TypeError, ValueError):
            raise ValueError(f"a row of {collective} is not a measurement: {str(row)[:120]}") from None
    return points


def load_record_file(path: str) -> dict[str, Any]:
    """A record (or the library's report dict) saved as JSON; RecordError in one line."""
    from .policy import InputTooLarge, read_bounded
    try:
        doc = json.loads(read_bounded(path))
    except InputTooLarge as exc:
        raise RecordError(str(exc)) from None
    except OSError as exc:
        raise RecordError(f"cannot read {path}: {exc.strerror or exc}") from None
    except RecursionError:
        raise RecordError(f"{path} is not JSON (nested too deeply)") from None
    except ValueError as exc:
        raise RecordError(f"{path} is not JSON ({exc})") from None
    if not isinstance(doc, dict) or not ("collectives" in doc or "results" in doc):
        raise RecordError(f"{path} is not a quorvane record (no \"collectives\" or \"results\")")
    try:
        busbw_points(doc)
    except (AttributeError, ValueError) as exc:
        raise RecordError(f"{path} is not a quorvane record: {exc}") from None
    return doc
