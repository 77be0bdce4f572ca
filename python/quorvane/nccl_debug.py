"""NCCL's debug output around runs: the environment that makes NCCL write it
per rank into a run's folder, and the path account read from those files (the
reading itself is in the analysis module)."""
from __future__ import annotations

import codecs
import fnmatch
import os
from collections.abc import Iterable, Mapping
from typing import Any

from . import analysis

# The subsystems that print the path: init (versions, ranks, network choice),
# net (NICs, GDR), the graph/transport lines of channels, and NVLS.
DEBUG_SUBSYS = "INIT,NET,GRAPH,ENV,NVLS,P2P,SHM"
LOG_PATTERN = "nccl-%h-%p.log"
LOG_GLOB = "nccl-*.log"
CHUNK = 1 << 20


def debug_environment(folder: str | os.PathLike[str], subsys: str = DEBUG_SUBSYS) -> dict[str, str]:
    """What a run's environment adds so that NCCL writes its account per rank
    into `folder` (stdout keeps the benchmark's table)."""
    return {"NCCL_DEBUG": "INFO", "NCCL_DEBUG_SUBSYS": subsys,
            "NCCL_DEBUG_FILE": os.path.join(folder, LOG_PATTERN)}


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


def read_logs(paths: Iterable[str | os.PathLike[str]], context: Any = None, output: str = "") -> dict[str, Any] | None:
    """One account of the debug files of one run, and of its `output` where NCCL
    printed there instead (None when there is neither)."""
    reader = analysis.PathReader()
    any_file = False
    for path in sorted(paths, key=str):
        try:
            feed_file(reader, path)
            any_file = True
        except OSError:
            continue
    if "NCCL " in output:
        reader.feed(output)
        reader.end_piece()
        any_file = True
    if not any_file:
        return None
    account = reader.account(context) if context is not None else reader.account()
    data: dict[str, Any] = account.to_dict()
    return data


def logs_in(folder: str | os.PathLike[str]) -> list[str]:
    """The debug files NCCL wrote into `folder`, in name order (none where it is missing)."""
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return [os.path.join(folder, name) for name in sorted(names) if fnmatch.fnmatchcase(name, LOG_GLOB)]


def read_run_folder(folder: str | os.PathLike[str], context: Any = None) -> dict[str, Any] | None:
    """The account of the per-rank debug files NCCL wrote into `folder`."""
    return read_logs(logs_in(folder), context)


def worst_severity(findings: Iterable[Mapping[str, Any]]) -> str | None:
    names = {f.get("severity") for f in findings}
    return "fail" if "fail" in names else "warn" if "warn" in names else None


class RunDebug:
    """NCCL's debug output of the runs of one command: a folder per run (kept
    under the --keep-logs folder, else temporary), named by the environment each
    run gets, and one reader that takes those files and the runs' own output
    (where a launcher's remote ranks could not open the file, NCCL prints to
    stdout)."""

    def __init__(self, keep_folder: str | None = None) -> None:
        import tempfile
        if keep_folder:
            self.root = os.path.join(os.path.abspath(keep_folder), "nccl-debug")
            os.makedirs(self.root, exist_ok=True)
            self.kept = True
        else:
            self.root = tempfile.mkdtemp(prefix="quorvane-nccl-")
            self.kept = False
        import threading
        self._lock = threading.Lock()  # fleet runs end in several threads
        self.reader = analysis.PathReader()
        self.host_readers: dict[str, Any] = {}
        self._folders: dict[Any, str] = {}
        self._names: set[str] = set()

    def environ_for(self, argv: list[str], name: str | None = None) -> dict[str, str]:
        """The variables a run adds to its environment: its own folder for NCCL_DEBUG_FILE."""
        from .runner import label_of
        with self._lock:
            return self._environ_for(name or tuple(argv), name or label_of(argv) or "run")

    def _environ_for(self, key: Any, base: str) -> dict[str, str]:
        name, n = base, 1
        while name in self._names:
            n += 1
            name = f"{base}-{n}"
        self._names.add(name)
        folder = os.path.join(self.root, name)
        try:
            os.makedirs(folder, exist_ok=True)
        except OSError:
            return {}
        self._folders[key] = folder
        return debug_environment(folder)

    def finished(self, command: list[str], stdout: str, stderr: str, name: str | None = None) -> None:
        """Read what a run left (the run named as in environ_for): its debug files
        (per host too), then its output."""
        with self._lock:
            self._finished(name or tuple(command), stdout, stderr)

    def _finished(self, key: Any, stdout: str, stderr: str) -> None:
        folder = self._folders.pop(key, None)
        if folder is not None:
            for path in logs_in(folder):
                try:
                    feed_file(self.reader, path)
                    host = host_of_log(os.path.basename(path))
                    if host:
                        feed_file(self.host_readers.setdefault(host, analysis.PathReader()), path)
                except OSError:
                    continue
        for text in (stdout, stderr):
            if "NCCL " in text:
                self.reader.feed(text)
                self.reader.end_piece()

    def account(self, context: Any = None) -> dict[str, Any] | None:
        """The account of every run (None when NCCL printed nothing it could read)."""
        acc: dict[str, Any] = (self.reader.account(context) if context is not None else self.reader.account()).to_dict()
        if not acc["nccl_lines"]:
            return None
        if self.kept:
            acc["logs"] = self.root
        return acc

    def host_accounts(self, context: Any = None) -> dict[str, dict[str, Any]]:
        """Per host (from the files' names), the account of the runs it took part in."""
        out = {}
        for host, reader in sorted(self.host_readers.items()):
            acc = (reader.account(context) if context is not None else reader.account()).to_dict()
            if acc["nccl_lines"]:
                out[host] = acc
        return out

    def close(self) -> None:
        if not self.kept:
            import shutil
            shutil.rmtree(self.root, ignore_errors=True)


def host_of_log(name: str) -> str:
    """The host in a file named by LOG_PATTERN ("nccl-node05-1234.log" -> "node05")."""
    if not (name.startswith("nccl-") and name.endswith(".log")):
        return ""
    host, _, pid = name[5:-4].rpartition("-")
    return host if pid.isdigit() else ""


def summary_rows(acc: Mapping[str, Any]) -> list[tuple[str, str]]:
    """(label, text) pairs describing one account, for the terminal and the HTML report."""
    def yes_no(value: bool | None) -> str:
        return "-" if value is None else "yes" if value else "no"
    network = acc.get("network") or "not said"
    if acc.get("link_layer") and acc["link_layer"] != acc.get("network"):
        network += f" ({acc['link_layer']})"
    if acc.get("network") and acc["network"] != "Socket":
        network += f", GPU Direct RDMA {yes_no(acc.get('gdr'))}"
    nics = ", ".join(f"{n['name']} ({n['channels']} ch{', GDR' if n['gdr'] else ''})" if n["channels"] else n["name"]
                     for n in acc.get("nic_channels") or []) or "-"
    shape = [f"{acc[k]} {w}{'' if acc[k] == 1 else 's'}" for k, w in (
        ("ranks", "rank"), ("nodes", "node"), ("local_ranks", "local rank"), ("channels", "channel")) if acc.get(k)]
    versions = ", ".join(acc.get("nccl_versions") or []) or "not said"
    rows = [("network", network), ("NICs", nics), ("intra-host", ", ".join(acc.get("intra") or []) or "-"),
            ("NVLS", acc.get("nvls") or "-"), ("NCCL", versions + (f" ({', '.join(shape)})" if shape else ""))]
    if acc.get("plugins_loaded"):
        rows.append(("net plugin", ", ".join(acc["plugins_loaded"])))
    if acc.get("error_count"):
        rows.append(("errors", f"{acc['error_count']} NCCL WARN or error-return lines"))
    return rows
