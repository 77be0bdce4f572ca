"""A run record in the Prometheus text format, for node_exporter's textfile collector.

`quorvane_busbw_gbps{collective,message_size,host}` uses the label names of
NCCL's own metrics so dashboards can join the two. The command writes the text
atomically (a temporary name beside the target, then a rename), so the
collector never reads half a file.
"""
from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime
from typing import Any

VERDICTS = ("pass", "warn", "fail", "unknown", "error")


def _label(value: Any) -> str:
    text = str(value).replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')
    return f'"{text}"'


def _labels(pairs: Mapping[str, Any]) -> str:
    return "{" + ",".join(f"{k}={_label(v)}" for k, v in pairs.items()) + "}"


def _number(value: float) -> str:
    return repr(float(value))


def _measured_host(record: Mapping[str, Any]) -> str:
    hosts = record.get("hosts") or []
    return ",".join(str(h) for h in hosts) if hosts else str(record.get("host") or "")


def render(record: Mapping[str, Any]) -> str:
    """The record as exposition text. A multi-host run's bandwidth belongs to all
    its hosts together: its host label lists them, comma-separated. A fleet run
    adds each host's own headline from its single-host sweep."""
    run = {"kind": record.get("kind") or "", "gpu_type": record.get("gpu_type") or "",
           "scope": record.get("scope") or ""}
    host = _measured_host(record)
    lines: list[str] = []

    def family(name: str, help_text: str) -> None:
        lines.append(f"# HELP {name} {help_text}")
        lines.append(f"# TYPE {name} gauge")

    family("quorvane_busbw_gbps", "Bus bandwidth measured by nccl-tests (out-of-place), GB/s.")
    # One sample per label set (a grade of two outputs of one collective may
    # repeat a size): the best value stands.
    samples: dict[str, float] = {}

    def sample(labels: Mapping[str, Any], value: Any) -> None:
        key = _labels(labels)
        samples[key] = max(float(value), samples.get(key, float("-inf")))

    for coll in record.get("collectives") or []:
        for row in coll.get("rows") or []:
            if row.get("busbw_gbps") is not None:
                sample({"collective": coll.get("collective"), "message_size": int(row["size_bytes"]),
                        "host": host}, row["busbw_gbps"])
    for item in record.get("host_results") or []:
        busbw = _host_headline(item)
        if busbw is not None:
            sample({"collective": "all_reduce", "message_size": _host_size(item), "host": item.get("host")}, busbw)
    lines += [f"quorvane_busbw_gbps{key} {_number(value)}" for key, value in samples.items()]

    headline = record.get("headline") or None
    if headline and headline.get("busbw_gbps") is not None:
        family("quorvane_headline_busbw_gbps", "Best all_reduce bus bandwidth of the run, GB/s.")
        labels = {**run, "host": host, "message_size": headline.get("size_bytes")}
        lines.append(f"quorvane_headline_busbw_gbps{_labels(labels)} {_number(headline['busbw_gbps'])}")

    family("quorvane_verdict", "The run's verdict: 1 for the verdict given, 0 for the others.")
    verdict = record.get("verdict")
    for name in VERDICTS:
        lines.append(f"quorvane_verdict{_labels({**run, 'host': host, 'verdict': name})} "
                     f"{1 if name == verdict else 0}")
    family("quorvane_exit_status", "The exit status of the run (0 pass, 1 warn, 2 fail, 3 unknown, 4 error).")
    if record.get("exit_status") is not None:
        lines.append(f"quorvane_exit_status{_labels({**run, 'host': host})} {int(record['exit_status'])}")

    started = record.get("started_at")
    if started:  # a start time that does not parse is exported as NaN rather than dropped
        family("quorvane_run_timestamp_seconds", "When the run started, seconds since the epoch.")
        try:
            stamp = datetime.fromisoformat(str(started)).timestamp()
        except ValueError:
            stamp = float("nan")
        lines.append(f"quorvane_run_timestamp_seconds{_labels({**run, 'host': host})} {_number(stamp)}")
    if record.get("wall_s") is not None:
        family("quorvane_run_duration_seconds", "How long the run took, seconds.")
        lines.append(f"quorvane_run_duration_seconds{_labels({**run, 'host': host})} "
                     f"{_number(record['wall_s'])}")
    return "\n".join(lines) + "\n"


def _host_headline(item: Mapping[str, Any]) -> float | None:
    head = item.get("headline")
    if isinstance(head, Mapping):
        value = head.get("busbw_gbps")
    else:
        value = item.get("busbw_gbps")
    return None if value is None else float(value)


def _host_size(item: Mapping[str, Any]) -> int | str:
    head = item.get("headline")
    size = head.get("size_bytes") if isinstance(head, Mapping) else item.get("size_bytes")
    return "" if size is None else int(size)

