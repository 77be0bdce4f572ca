"""Run records for the history and report tests, made from a real emulated sweep."""
from __future__ import annotations

import copy
from typing import Any

from quorvane import collsweep as cs
from quorvane.cli.emulate import emulated_binaries


def emulated_report() -> dict[str, Any]:
    """The library's report dict of an emulated 8-GPU H100_SXM sweep (the stand-in
    benchmark run by the library itself)."""
    with emulated_binaries() as root:
        report = cs.launch_intra_node(8, "H100_SXM", binary_root=root, timeout_s=30)
    report.interconnect = "emulated"
    doc: dict[str, Any] = report.to_dict()
    return doc


def wrap(report: dict[str, Any], *, scale: float = 1.0, host: str = "node1", hosts: list[str] | None = None,
         started_at: str = "2026-12-06T10:55:06+00:00", kind: str = "sweep", emulated: bool = True,
         versions: dict[str, str] | None = None, gpu_type: str | None = None) -> dict[str, Any]:
    """The report in the shape of the command's record, every bus bandwidth times scale."""
    rows: dict[str, list[dict[str, Any]]] = {}
    for r in report["results"]:
        rows.setdefault(r["collective"], []).append(
            {"size_bytes": r["size_bytes"], "busbw_gbps": round(r["busbw_gbps"] * scale, 2),
             "algbw_gbps": r["algbw_gbps"], "time_us": r["latency_us"], "wrong": r["wrong"]})
    ar = rows.get("all_reduce") or [{"busbw_gbps": None, "size_bytes": None}]
    best = max(ar, key=lambda r: r["busbw_gbps"] or 0)
    thr = report.get("threshold")
    headline = best["busbw_gbps"]
    verdict = "unknown" if thr is None or headline is None else (
        "pass" if headline >= thr["pass_min_gbps"] else "warn" if headline >= thr["warn_min_gbps"] else "fail")
    return {
        "record_version": 1, "kind": kind, "tool_version": "0.1.0", "started_at": started_at, "wall_s": 0.6,
        "host": host, "hosts": hosts if hosts is not None else [host],
        "gpu_type": gpu_type or report["gpu_type"], "scope": report["scope"], "num_nodes": report["num_nodes"],
        "gpus_per_node": report["gpus_per_node"], "emulated": emulated, "verdict": verdict,
        "exit_status": {"pass": 0, "warn": 1, "fail": 2, "unknown": 3}[verdict],
        "library_status": report["status"], "verdict_note": None,
        "headline": None if headline is None else {"busbw_gbps": headline, "size_bytes": best["size_bytes"]},
        "threshold": None if thr is None else {**thr, "source": "built-in"},
        "findings": [], "versions": versions or {}, "caveats": [], "report": copy.deepcopy(report),
        "collectives": [{"collective": c, "command": [f"{c}_perf"], "exit_status": 0, "seconds": 0.1,
                         "complete": True, "rows": rs, "findings": [], "logs": None, "cause": None}
                        for c, rs in rows.items()],
    }
