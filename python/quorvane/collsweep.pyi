"""Type information for the extension module quorvane.collsweep.

Generated from the module's own signatures by src/collsweep/stubgen.py; do not
edit by hand.
"""

import os as os
import re as re
import shlex as shlex
import subprocess as subprocess
import xml.etree.ElementTree as ET
from dataclasses import asdict as asdict
from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import Any as Any
from typing import Iterable as Iterable
from typing import Optional as Optional

COLLECTIVES: tuple[str, str, str, str]
SIZE_SMALL: int
SIZE_MID: int
SIZE_LARGE: int
SWEEP_SIZES: tuple[int, int, int]
_INTRA_NODE_THRESHOLDS: dict[str, dict[str, float]]
_MULTI_NODE_THRESHOLDS: dict[str, dict[str, float]]

@dataclass(frozen=True)
class NcclResult:
    """One row from the nccl-tests output table."""

    collective: str
    size_bytes: int
    busbw_gbps: float
    algbw_gbps: float
    latency_us: float
    wrong: int
    def to_dict(self) -> dict[str, Any]: ...

@dataclass(frozen=True)
class Threshold:
    pass_min_gbps: float
    warn_min_gbps: float

@dataclass
class NcclReport:
    schema_version: int = 1
    gpu_type: str = ''
    scope: str = 'intra'
    num_nodes: int = 1
    gpus_per_node: int = 0
    interconnect: str = ''
    results: list[NcclResult] = field(default_factory=list)
    threshold: Optional[Threshold] = None
    status: str = 'unknown'
    error: Optional[str] = None
    def to_dict(self) -> dict[str, Any]: ...
    def headline_all_reduce_busbw(self) -> Optional[float]: ...

def threshold_for(gpu_type: str, scope: str) -> Optional[Threshold]: ...
def classify(busbw_gbps: Optional[float], thr: Optional[Threshold]) -> str: ...
def _load_threshold_overrides() -> dict[str, dict[str, float]]: ...
_DATA_ROW: re.Pattern[str]
_NUMERIC: re.Pattern[str]
_COLLECTIVE_NAME_FROM_BIN: dict[str, str]
def collective_name_for_binary(binary: str) -> str: ...
def parse_nccl_table(text: str, collective: str) -> list[NcclResult]: ...
def _to_int(raw: str | None) -> int | None: ...
def _shared_prefix_len(a: list[str], b: list[str]) -> int: ...
def parse_nccl_topo_xml(xml_text: str) -> dict[str, Any]: ...

@dataclass(frozen=True)
class _LauncherConfig:
    """Inputs the launcher needs that vary by deployment context."""

    binary_root: str = '/opt/nccl-tests/build'
    begin_bytes: int = 8192
    end_bytes: int = 134217728
    step_factor: int = 16
    iterations: int = 50
    warmup_iters: int = 5

def _build_binary_command(binary: str, gpu_count: int, cfg: _LauncherConfig) -> list[str]: ...
def launch_intra_node(
    gpu_count: int,
    gpu_type: str,
    *,
    binary_root: str = '/opt/nccl-tests/build',
    timeout_s: int = 240,
    collectives: Iterable[str] = ...,
    runner: Optional['ShellRunner'] = None,
) -> NcclReport: ...
def launch_multi_node(
    node_ips: list[str],
    gpus_per_node: int,
    gpu_type: str,
    *,
    binary_root: str = '/opt/nccl-tests/build',
    timeout_s: int = 480,
    collectives: Iterable[str] = ...,
    launcher_mode: Optional[str] = None,
    runner: Optional['ShellRunner'] = None,
) -> NcclReport: ...
def _select_launcher_mode() -> str: ...
def _build_multi_node_command(
    *,
    mode: str,
    binary: str,
    node_ips: list[str],
    gpus_per_node: int,
    total_ranks: int,
    cfg: _LauncherConfig,
) -> list[str]: ...
def _resolve_binary(name: str, binary_root: str) -> Optional[str]: ...
def _finalize_status(report: NcclReport) -> None: ...

@dataclass(frozen=True)
class ShellResult:
    returncode: int
    stdout: str
    stderr: str

class ShellRunner:
    """Pluggable subprocess runner, so that tests can inject canned benchmark
    output without starting real executables. Production callers use
    LocalShellRunner. `input_text` feeds the process's standard input and
    defaults to None, so callers that do not pass it are unaffected.
    """

    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> ShellResult: ...

class LocalShellRunner(ShellRunner):
    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> ShellResult: ...

