"""Which GPU type a run measured, when the operator does not say.

In order: `--gpu-type` as given; this host's own GPUs (`nvidia-smi`, else
`rocm-smi`), where the run is on this host; else the device names that
nccl-tests prints in its `# Rank` lines (saved outputs, remote hosts).  One
table, `quorvane.analysis.gpu_type_of_device`, turns a device name into a GPU
type key ("NVIDIA H100 80GB HBM3" -> H100_SXM); a name it does not know is the
type `unknown`, whose verdict is `unknown`.  The record says which key and how
it was found.
"""
from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import Any, NamedTuple

UNKNOWN = "unknown"
QUERY_TIMEOUT_S = 10
NVIDIA_QUERY = ["nvidia-smi", "--query-gpu=name,memory.total", "--format=csv,noheader"]
ROCM_QUERY = ["rocm-smi", "--showproductname", "--showmeminfo", "vram", "--csv"]
_MEMORY_UNITS = {"kib": 1 << 10, "mib": 1 << 20, "gib": 1 << 30, "b": 1, "kb": 1000, "mb": 10**6, "gb": 10**9}


class Detected(NamedTuple):
    """A GPU type key and how it was found: `given`, `nvidia-smi`, `rocm-smi`,
    `output` (the # Rank lines) or `none`."""
    gpu_type: str
    how: str
    device: str | None = None
    memory_bytes: int | None = None   # the smallest GPU's, where the query said
    gpus: int | None = None

    @property
    def known(self) -> bool:
        return self.gpu_type != UNKNOWN

    def to_dict(self) -> dict[str, Any]:
        return {"gpu_type": self.gpu_type, "how": self.how, "device": self.device,
                "memory_bytes": self.memory_bytes, "gpus": self.gpus}

    def note(self) -> str | None:
        """One line for the record and the screen where the type was not given."""
        if self.how == "given":
            return None
        if self.how == "none":
            return "no GPU type given and none found (no nvidia-smi or rocm-smi here, no device names in the " \
                   "output): the verdict is unknown; give --gpu-type"
        where = {"output": "the output's # Rank lines"}.get(self.how, self.how)
        if not self.known:
            return f"{where} name the device {self.device!r}, which is no GPU type quorvane knows: " \
                   "the verdict is unknown; give --gpu-type"
        return f"GPU type {self.gpu_type} from {where} ({self.device})"


def type_of(device: str) -> str:
    from . import analysis as qa  # the one table of device names
    return str(qa.gpu_type_of_device(device) or UNKNOWN)


def _memory(text: str) -> int | None:
    parts = text.strip().split()
    if not parts:
        return None
    try:
        value = float(parts[0])
    except ValueError:
        return None
    unit = parts[1].lower() if len(parts) > 1 else "b"
    return int(value * _MEMORY_UNITS[unit]) if unit in _MEMORY_UNITS and value > 0 else None


def read_nvidia_smi(text: str) -> list[tuple[str, int | None]]:
    """`nvidia-smi --query-gpu=name,memory.total --format=csv,noheader` lines
    ("NVIDIA H100 80GB HBM3, 81559 MiB") -> (name, bytes) per GPU."""
    gpus = []
    for line in text.splitlines():
        name, sep, memory = line.rpartition(",")
        if sep and name.strip():
            gpus.append((name.strip(), _memory(memory)))
    return gpus


def read_rocm_smi(text: str) -> list[tuple[str, int | None]]:
    """`rocm-smi --showproductname --showmeminfo vram --csv`: the header row starts
    with "device"; the name is the card series (else model), the memory the VRAM total."""
    import csv
    import io
    lines = text.splitlines()
    start = next((i for i, line in enumerate(lines) if line.lower().startswith("device,")), None)
    if start is None:
        return []
    gpus = []
    for row in csv.DictReader(io.StringIO("\n".join(lines[start:]))):
        fields = {(k or "").strip().lower(): (v or "").strip() for k, v in row.items()}
        name = fields.get("card series") or fields.get("card model") or ""
        if not name or not fields.get("device", "").startswith("card"):
            continue
        memory = next((v for k, v in fields.items() if k.startswith("vram total memory")), "")
        gpus.append((name, int(memory) if memory.isdigit() and int(memory) > 0 else None))
    return gpus


def _query(cmd: Sequence[str]) -> str | None:
    import shutil   # with its compression modules: only where a device query runs

    if shutil.which(cmd[0]) is None:
        return None
    import subprocess
    try:
        done = subprocess.run(list(cmd), stdin=subprocess.DEVNULL, capture_output=True, timeout=QUERY_TIMEOUT_S,
                              check=False)
    except (OSError, subprocess.SubprocessError):
        return None
    return done.stdout.decode("utf-8", "replace") if done.returncode == 0 else None


def detect_local() -> Detected | None:
    """This host's GPUs, from nvidia-smi, else rocm-smi; None when neither answers."""
    for tool, cmd, reader in (("nvidia-smi", NVIDIA_QUERY, read_nvidia_smi), ("rocm-smi", ROCM_QUERY, read_rocm_smi)):
        text = _query(cmd)
        gpus = reader(text) if text is not None else []
        if gpus:
            name = gpus[0][0]
            memories = [m for _, m in gpus if m]
            return Detected(type_of(name), tool, name, min(memories) if memories else None, len(gpus))
    return None


def detect_from_ranks(readings: Iterable[Any]) -> Detected | None:
    """The device named most often in the readings' # Rank lines, or None."""
    counts: dict[str, int] = {}
    for reading in readings:
        if reading is None:
            continue
        for rank in reading.ranks:
            if rank.device:
                counts[rank.device] = counts.get(rank.device, 0) + 1
    if not counts:
        return None
    device = max(counts, key=lambda d: counts[d])
    return Detected(type_of(device), "output", device, None, sum(counts.values()))


def given(gpu_type: str) -> Detected:
    return Detected(gpu_type, "given")


NOT_FOUND = Detected(UNKNOWN, "none")
