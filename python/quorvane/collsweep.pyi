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
    def to_dict(self) -> dict[str, Any]:
        """NcclResult.to_dict(self) -> dict[str, Any]

        The row as a plain dictionary, keys in field order.
        """

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
    def to_dict(self) -> dict[str, Any]:
        """NcclReport.to_dict(self) -> dict[str, Any]

        The report as a plain dictionary for persistence; 'threshold' and 'error'
        appear only when set.
        """
    def headline_all_reduce_busbw(self) -> Optional[float]:
        """NcclReport.headline_all_reduce_busbw(self) -> Optional[float]

        The largest all_reduce bus bandwidth (GB/s) over all message sizes, or None
        when the report has no all_reduce row.
        """

def threshold_for(gpu_type: str, scope: str) -> Optional[Threshold]:
    """threshold_for(str gpu_type: str, str scope: str) -> Optional[Threshold]

    Return the configured pass / warn cutoffs for a (GPU, scope) pair, or None
    when no threshold is defined. Honours the environment overrides in
    QUORVANE_NCCL_THRESHOLD_OVERRIDES, read afresh on every call.
    """
def classify(busbw_gbps: Optional[float], thr: Optional[Threshold]) -> str:
    """classify(float busbw_gbps: Optional[float], thr: Optional[Threshold]) -> str

    Grade one all_reduce bus bandwidth (GB/s) against a threshold: 'pass' at or
    above the pass cutoff, 'warn' at or above the warn cutoff, else 'fail';
    'unknown' when either the measurement or the threshold is None.
    """
def _load_threshold_overrides() -> dict[str, dict[str, float]]:
    """_load_threshold_overrides() -> dict[str, dict[str, float]]

    Read QUORVANE_NCCL_THRESHOLD_OVERRIDES, a JSON object keyed 'GPU_TYPE:scope'
    whose values hold 'pass_min_gbps' and 'warn_min_gbps'. Unset, blank or
    malformed text and members of the wrong shape are ignored; a cutoff that
    float() cannot convert raises.
    """
_DATA_ROW: re.Pattern[str]
_NUMERIC: re.Pattern[str]
_COLLECTIVE_NAME_FROM_BIN: dict[str, str]
def collective_name_for_binary(binary: str) -> str:
    """collective_name_for_binary(str binary: str) -> str

    Map an nccl-tests executable name or path to its short collective label
    ('all_reduce_perf' -> 'all_reduce').
    """
def parse_nccl_table(text: str, collective: str) -> list[NcclResult]:
    """parse_nccl_table(str text: str, str collective: str) -> list[NcclResult]

    Parse the result table printed by one nccl-tests run into rows, one per
    data line, each taken from the out-of-place columns. Never raises for any
    text: lines that cannot be read are skipped, so partial output still
    yields the rows it has.
    """
def _to_int(raw: str | None) -> int | None:
    """_to_int(str raw: str | None) -> int | None

    int() of a text, or None when the text is absent or not a base-10 integer.
    """
def _shared_prefix_len(a: list[str], b: list[str]) -> int:
    """_shared_prefix_len(list a: list[str], list b: list[str]) -> int

    Length of the common root-first prefix of two PCI ancestor chains.
    """
def parse_nccl_topo_xml(xml_text: str) -> dict[str, Any]:
    """parse_nccl_topo_xml(str xml_text: str) -> dict[str, Any]

    Parse an ``NCCL_TOPO_DUMP_FILE`` XML dump into GPU/NIC inventory plus the
    GPU<->NIC PCI affinity that drives GPUDirect-RDMA rank placement.

    NCCL nests the hardware tree as ``system > cpu(numa) > pci... > {gpu,nic}``.
    A GPU and a NIC that share their nearest ``<pci>`` ancestor sit under the
    same PCIe switch -- the local NIC NCCL prefers for that GPU's GDR traffic.
    Works for NVIDIA and AMD (RCCL emits the same schema). Returns ``{}`` on
    unparseable input; partial trees yield partial results.
    """

@dataclass(frozen=True)
class _LauncherConfig:
    """Inputs the launcher needs that vary by deployment context."""

    binary_root: str = '/opt/nccl-tests/build'
    begin_bytes: int = 8192
    end_bytes: int = 134217728
    step_factor: int = 16
    iterations: int = 50
    warmup_iters: int = 5

def _build_binary_command(binary: str, gpu_count: int, cfg: _LauncherConfig) -> list[str]:
    """_build_binary_command(str binary: str, int gpu_count: int, cfg: _LauncherConfig) -> list[str]

    The nccl-tests command line for one collective on one host: the executable,
    then -b -e -f -g -n -w with the sizes, step factor, GPU count, iterations
    and warm-up iterations, each as decimal text.
    """
def launch_intra_node(
    gpu_count: int,
    gpu_type: str,
    *,
    binary_root: str = '/opt/nccl-tests/build',
    timeout_s: int = 240,
    collectives: Iterable[str] = ...,
    runner: Optional['ShellRunner'] = None,
) -> NcclReport:
    """launch_intra_node(int gpu_count: int, str gpu_type: str, *, str binary_root: str = '/opt/nccl-tests/build', int timeout_s: int = 240, collectives: Iterable[str] = COLLECTIVES, runner: Optional['ShellRunner'] = None) -> NcclReport

    Run the nccl-tests sweep on this host, one process per collective driving
    all `gpu_count` GPUs, and return the graded report. A missing executable,
    a failed run or a time-out is recorded in the report's `error` (the last
    one wins) and the sweep goes on with the next collective.
    """
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
) -> NcclReport:
    """launch_multi_node(list node_ips: list[str], int gpus_per_node: int, str gpu_type: str, *, str binary_root: str = '/opt/nccl-tests/build', int timeout_s: int = 480, collectives: Iterable[str] = COLLECTIVES, str launcher_mode: Optional[str] = None, runner: Optional['ShellRunner'] = None) -> NcclReport

    Run the nccl-tests sweep across two or more hosts, one launcher process
    per collective starting `gpus_per_node` ranks on every host of `node_ips`
    (srun, mpirun, or mpirun over ssh; chosen from the environment when
    `launcher_mode` is None or empty), and return the graded report. Fewer
    than two hosts raise ValueError; launcher failures land in the report.
    """
def _select_launcher_mode() -> str:
    """_select_launcher_mode() -> str

    Pick the launcher from the environment: 'srun' inside a Slurm job
    (SLURM_JOB_ID set), 'mpirun' inside a SkyPilot cluster (SKYPILOT_NUM_NODES
    set), otherwise 'ssh' (mpirun reaching the hosts over ssh).
    """
def _build_multi_node_command(
    *,
    mode: str,
    binary: str,
    node_ips: list[str],
    gpus_per_node: int,
    total_ranks: int,
    cfg: _LauncherConfig,
) -> list[str]:
    """_build_multi_node_command(*, str mode: str, str binary: str, list node_ips: list[str], int gpus_per_node: int, int total_ranks: int, cfg: _LauncherConfig) -> list[str]

    Argument list that starts `binary` on every rank through the launcher of
    `mode` ('srun', 'mpirun', anything else: mpirun over ssh), followed by the
    benchmark flags with one GPU per process.
    """
def _resolve_binary(name: str, binary_root: str) -> Optional[str]:
    """_resolve_binary(str name: str, str binary_root: str) -> Optional[str]

    Find an nccl-tests executable: under `binary_root`, then in
    /opt/nccl-tests/build, /workspace/nccl-tests/build and /usr/local/bin,
    then on the PATH. Returns the first executable regular file found, as
    built (not made absolute), or None.
    """
def _finalize_status(report: NcclReport) -> None:
    """_finalize_status(report: NcclReport) -> None

    Look up the report's threshold, grade its headline and write 'threshold'
    and 'status' into the report in place. A report with an error and no rows
    is 'error'; any row with wrong results makes it 'fail'.
    """

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

    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> ShellResult:
        """ShellRunner.run(self, list cmd: list[str], *, int timeout: int, str input_text: Optional[str] = None) -> ShellResult

        Run `cmd` (program and arguments, no shell) with a time-out in seconds and
        return its exit status and captured output. Subclasses implement it.
        """

class LocalShellRunner(ShellRunner):
    def run(self, cmd: list[str], *, timeout: int, input_text: Optional[str] = None) -> ShellResult:
        """LocalShellRunner.run(self, list cmd: list[str], *, int timeout: int, str input_text: Optional[str] = None) -> ShellResult

        Run `cmd` on this host without a shell, feeding it `input_text` when given,
        and capture its output as text. A run that outlasts `timeout` seconds is
        killed and gives returncode 124; a program that does not exist gives 127.
        Any other failure to start the program raises.
        """

