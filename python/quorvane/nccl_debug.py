"""NCCL's debug output around runs: the environment that makes NCCL write it
per rank into a run's folder, and the path account read from those files (the
reading itself is in the analysis module)."""
from __future__ import annotations

import codecs
import os
from collections.abc import Iterable, Mapping
from pathlib import Path
from typing import Any

from . import analysis

# The subsystems that print the path: init (versions, ranks, network choice),
# net (NICs, GDR), the graph/transport lines of channels, and NVLS.
DEBUG_SUBSYS = "INIT,NET,GRAPH,ENV,NVLS,P2P,SHM"
LOG_PATTERN = "nccl-%h-%p.log"
LOG_GLOB = "nccl-*.log"
CHUNK = 1 << 20


def debug_environment(folder: str | os.PathLike[str]) -> dict[str, str]:
    """What a run's environment adds so that NCCL writes its account per rank
    into `folder` (stdout keeps the benchmark's table)."""
    return {"NCCL_DEBUG": "INFO", "NCCL_DEBUG_SUBSYS": DEBUG_SUBSYS,
            "NCCL_DEBUG_FILE": str(Path(folder) / LOG_PATTERN)}


def feed_file(reader: Any, path: str | os.PathLike[str]) -> None:
    """Stream one file into a PathReader in chunks (no size cap: the reader's
    state does not grow with the text); undecodable bytes become U+FFFD."""
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    with open(path, "rb") as f:
        while chunk := f.read(CHUNK):
            reader.feed(decoder.decode(chunk))
    reader.feed(decoder.decode(b"", final=True))
    reader.end_piece()


def context_from_topology(report: Any, ib_hca: str = "") -> Any:
    """The analysis module's PathContext from a topology report (or None)."""
    if report is None:
        return analysis.PathContext(ib_hca=ib_hca)
    inv = report.to_dict()
    nics = [n["name"] for n in inv.get("nics", []) if n.get("name")]
    gpus = inv.get("gpus", [])
    same_switch = bool(inv.get("gpu_nic_affinity")) if gpus and nics else None
    nvlink = any((g.get("nvlink_count") or 0) > 0 for g in gpus) if gpus else None
    return analysis.PathContext(ib_hca=ib_hca, rdma_nics=nics, gpu_nic_same_switch=same_switch, nvlink=nvlink)


def read_logs(paths: Iterable[str | os.PathLike[str]], context: Any = None) -> dict[str, Any] | None:
    """One account of the debug files of one run (None when there are none)."""
    reader = analysis.PathReader()
    any_file = False
    for path in sorted(paths, key=str):
        try:
            feed_file(reader, path)
            any_file = True
        except OSError:
            continue
    if not any_file:
        return None
    account = reader.account(context) if context is not None else reader.account()
    data: dict[str, Any] = account.to_dict()
    return data


def read_run_folder(folder: str | os.PathLike[str], context: Any = None) -> dict[str, Any] | None:
    """The account of the per-rank debug files NCCL wrote into `folder`."""
    return read_logs(sorted(Path(folder).glob(LOG_GLOB)), context)


def worst_severity(findings: Iterable[Mapping[str, Any]]) -> str | None:
    names = {f.get("severity") for f in findings}
    return "fail" if "fail" in names else "warn" if "warn" in names else None
