"""A run record in the Prometheus text format, for node_exporter's textfile collector.

Made for alerting: every label value names one host (a run over several hosts
gives each of them its own sample, never a joined list), every series carries
`emulated` ("true" for a run of the stand-in, which measured nothing), and
bandwidth is in bytes per second, Prometheus's base unit. A fleet run adds
series per host: its bandwidth alone and in each pair, its verdict, and one
`quorvane_fleet_suspect{host,kind}` sample per suspect for alert rules to match.
`collective`, `message_size` and `host` are the label names of NCCL's own
metrics so dashboards can join the two. The command writes the text
atomically (a temporary name beside the target, then a rename), so the
collector never reads half a file.
"""
from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime
from typing import Any

from ..hostlist import fleet_hosts, names_of

VERDICTS = ("pass", "warn", "fail", "unknown", "error")
GB = 1e9  # the record keeps GB/s (10^9 bytes per second), as nccl-tests prints them


def _label(value: Any) -> str:
    text = str(value).replace("\\", "\\\\").replace("\n", "\\n").replace('"', '\\"')
    return f'"{text}"'


def _labels(pairs: Mapping[str, Any]) -> str:
    return "{" + ",".join(f"{k}={_label(v)}" for k, v in pairs.items()) + "}"


def _number(value: float) -> str:
    return repr(float(value))


def _bytes(gbps: Any) -> float:
    return float(gbps) * GB


class _Text:
    """Families in order, each with its samples; one sample per label set (a
    grade of two outputs of one collective may repeat a size: the best stands)."""

    def __init__(self) -> None:
        self.families: dict[str, tuple[str, dict[str, float]]] = {}

    def add(self, name: str, help_text: str, labels: Mapping[str, Any], value: Any, best: bool = False) -> None:
        samples = self.families.setdefault(name, (help_text, {}))[1]
        key = _labels(labels)
        value = float(value)
        samples[key] = max(value, samples.get(key, float("-inf"))) if best else value

    def text(self) -> str:
        lines: list[str] = []
        for name, (help_text, samples) in self.families.items():
            lines += [f"# HELP {name} {help_text}", f"# TYPE {name} gauge"]
            lines += [f"{name}{key} {_number(value)}" for key, value in samples.items()]
        return "\n".join(lines) + "\n"


def render(record: Mapping[str, Any]) -> str:
    """The record as exposition text."""
    emulated = "true" if record.get("emulated") else "false"
    run = {"kind": record.get("kind") or "", "gpu_type": record.get("gpu_type") or "",
           "scope": record.get("scope") or "", "emulated": emulated}
    fleet = fleet_hosts(record)
    # A fleet's run-level series belong to the fleet, not to one host: its hosts have their own series.
    hosts = [""] if fleet else (names_of(record) or [str(record.get("host") or "")])
    out = _Text()

    busbw = ("quorvane_busbw_bytes_per_second", "Bus bandwidth measured by nccl-tests (out-of-place), bytes/s.")
    for coll in record.get("collectives") or []:
        for row in coll.get("rows") or []:
            if row.get("busbw_gbps") is not None:
                for host in hosts:
                    out.add(*busbw, {"collective": coll.get("collective"), "message_size": int(row["size_bytes"]),
                                     "host": host, "emulated": emulated}, _bytes(row["busbw_gbps"]), best=True)

    headline = record.get("headline") or None
    if headline and headline.get("busbw_gbps") is not None:
        for host in hosts:
            out.add("quorvane_headline_busbw_bytes_per_second", "Best all_reduce bus bandwidth of the run, bytes/s.",
                    {**run, "host": host, "message_size": headline.get("size_bytes")},
                    _bytes(headline["busbw_gbps"]))

    verdict = record.get("verdict")
    started = record.get("started_at")
    for host in hosts:
        where = {**run, "host": host} if host else run
        for name in VERDICTS:
            out.add("quorvane_verdict", "The run's verdict: 1 for the verdict given, 0 for the others.",
                    {**where, "verdict": name}, 1 if name == verdict else 0)
        if record.get("exit_status") is not None:
            out.add("quorvane_exit_status", "The exit status of the run (0 pass, 1 warn, 2 fail, 3 unknown, 4 error).",
                    where, int(record["exit_status"]))
        if started:  # a start time that does not parse is exported as NaN rather than dropped
            try:
                stamp = datetime.fromisoformat(str(started)).timestamp()
            except ValueError:
                stamp = float("nan")
            out.add("quorvane_run_timestamp_seconds", "When the run started, seconds since the epoch.", where, stamp)
        if record.get("wall_s") is not None:
            out.add("quorvane_run_duration_seconds", "How long the run took, seconds.", where, record["wall_s"])

    for item in fleet:
        host = str(item.get("host"))
        base = {"host": host, "emulated": emulated}
        value = _host_headline(item)
        if value is not None:
            out.add(*busbw, {"collective": "all_reduce", "message_size": _host_size(item), **base},
                    _bytes(value), best=True)
            out.add("quorvane_fleet_host_busbw_bytes_per_second",
                    "A fleet host's all_reduce bus bandwidth on its own, bytes/s.", base, _bytes(value))
        for pair in item.get("pairs") or []:
            if pair.get("busbw_gbps") is not None:
                for peer in pair.get("with") or []:
                    out.add("quorvane_fleet_pair_busbw_bytes_per_second",
                            "A fleet host's all_reduce bus bandwidth paired with one peer (NCCL_ALGO=RING), bytes/s.",
                            {**base, "peer": peer}, _bytes(pair["busbw_gbps"]), best=True)
        for name in VERDICTS:
            out.add("quorvane_fleet_host_verdict", "A fleet host's verdict: 1 for the verdict given, 0 for the others.",
                    {**base, "verdict": name}, 1 if item.get("verdict") == name else 0)
    for s in record.get("suspects") or [] if fleet else []:
        out.add("quorvane_fleet_suspect", "1 for each host the fleet check names, with the kind of fault "
                "(intra: slow alone, net: slow network port).",
                {"host": s.get("host"), "kind": s.get("kind"), "severity": s.get("severity") or "",
                 "emulated": emulated}, 1)
    return out.text()


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

