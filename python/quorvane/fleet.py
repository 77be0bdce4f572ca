"""The fleet check's driver: runs what the planner asks for, round by round.

The planning and the judging (the fleet's median and spread, who is slow, who
is named) are done by `quorvane.analysis.FleetPlanner`; this module only starts
the runs of each round at once (bounded), reads each result, grades it as
`quorvane sweep` grades one host and hands it back to the planner.

How a run reaches its hosts is a `Launcher`:

* `SrunLauncher`: one Slurm step per run, one task per node on exactly the
  run's nodes (``--nodelist``), ``--kill-on-bad-exit`` so a dead rank ends
  the step instead of leaving its peers to hang;
* `SshLauncher`: ssh to the host for a run alone, Open MPI over ssh for a pair;
* `EmulatedLauncher`: every run here, with the stand-in benchmark; host names
  are only names, passed to it in QUORVANE_EMULATE_HOSTS.

Pairs run with NCCL_ALGO=RING: on two hosts NCCL's tree and NVLS algorithms
move most of the data inside the hosts and can beat one host's own result,
which hides a slow network port; a ring sends every byte through both ports.
"""
from __future__ import annotations

import re
import threading
import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Protocol

from . import analysis as qa
from . import collsweep as cs

COLLECTIVE = "all_reduce"
BINARY = "all_reduce_perf"
DEFAULT_TIMEOUT_ALONE = 240
DEFAULT_TIMEOUT_PAIR = 480
RING = {"NCCL_ALGO": "RING"}
# Host names end up on command lines (ssh, srun): letters, digits and . _ : - only,
# and never a leading "-" that a program would take for an option.
HOST_NAME = re.compile(r"[A-Za-z0-9_.:][A-Za-z0-9_.:-]*")


class FleetError(Exception):
    """The fleet check cannot start: one line for the user."""


def parse_hosts(text: str) -> list[str]:
    """A Slurm-style host list ("gpu[01-16],gpu20") as names, in order, each once."""
    from ClusterShell.NodeSet import NodeSet, NodeSetException

    if not text.strip():
        raise FleetError("the host list is empty")
    try:
        hosts = list(dict.fromkeys(NodeSet(text.strip(), autostep=None)))
    except (NodeSetException, ValueError) as exc:
        raise FleetError(f"cannot read the host list {text!r}: {exc}") from None
    bad = [h for h in hosts if not HOST_NAME.fullmatch(h)]
    if bad:
        raise FleetError(f"not a host name: {bad[0]!r}")
    return hosts


# ---- launchers -------------------------------------------------------------------

class Launcher(Protocol):
    name: str

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        """The command line and extra environment that run `benchmark` on `hosts`."""
        ...


class SrunLauncher:
    name = "srun"

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        nodes = ",".join(hosts)
        cmd = ["srun", f"--nodelist={nodes}", f"--nodes={len(hosts)}", f"--ntasks={len(hosts)}",
               "--ntasks-per-node=1", "--kill-on-bad-exit=1"]
        if len(hosts) > 1:
            cmd.append("--mpi=pmix")
        return cmd + benchmark, (RING if len(hosts) > 1 else {})


class SshLauncher:
    name = "ssh"
    SSH = ["ssh", "-o", "BatchMode=yes", "-o", "ConnectTimeout=20"]

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        import shlex
        if len(hosts) == 1:
            return [*self.SSH, "--", hosts[0], shlex.join(benchmark)], {}
        slots = ",".join(f"{h}:1" for h in hosts)
        return (["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", slots, "-np", str(len(hosts)),
                 "--allow-run-as-root", "--bind-to", "none", "-x", "NCCL_DEBUG=WARN",
                 "-x", "NCCL_ALGO=RING", *benchmark], RING)


class EmulatedLauncher:
    name = "emulated"

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        env = {"QUORVANE_EMULATE_HOSTS": ",".join(hosts)}
        return list(benchmark), ({**env, **RING} if len(hosts) > 1 else env)


# ---- running and grading one run -------------------------------------------------

@dataclass
class Executed:
    """A finished command."""
    command: list[str]
    exit_status: int
    stdout: str
    stderr: str
    seconds: float


def execute(cmd: list[str], env: Mapping[str, str], timeout: int) -> Executed:
    """Run one command through the library's runner (a time-out gives 124)."""
    full = (["env", *(f"{k}={v}" for k, v in env.items())] if env else []) + cmd
    started = time.monotonic()
    try:
        result = cs.LocalShellRunner().run(full, timeout=timeout)
    except OSError as exc:
        return Executed(cmd, 126, "", str(exc), time.monotonic() - started)
    return Executed(cmd, result.returncode, result.stdout, result.stderr, time.monotonic() - started)


@dataclass
class Graded:
    """One run graded as `quorvane sweep` grades a host: the headline, the grade
    against the fixed cutoffs, and why the result is not to be trusted, if so."""
    busbw_gbps: float | None
    grade: str            # pass | warn | fail | unknown (fixed cutoffs)
    verdict: str          # as the sweep's: pass | warn | fail | unknown | error
    problem: str          # "" when the result can be trusted
    rows: int = 0


def _first_line(text: str) -> str:
    for line in text.splitlines():
        if line.strip():
            return line.strip()[:200]
    return ""


def grade_run(done: Executed, gpu_type: str, scope: str) -> Graded:
    """A run that failed, timed out, printed no table or counted wrong results is
    never a pass and never a measurement to compare."""
    rows = cs.parse_nccl_table(done.stdout, COLLECTIVE)
    headline = max((r.busbw_gbps for r in rows), default=None)
    wrong = sum(r.wrong for r in rows if r.wrong and r.wrong > 0)
    grade = cs.classify(headline, cs.threshold_for(gpu_type, scope))
    if done.exit_status != 0:
        why = "timed out" if done.exit_status == 124 else f"exit {done.exit_status}"
        detail = _first_line(done.stderr)
        return Graded(headline, grade, "error", why + (f": {detail}" if detail else ""), len(rows))
    if not rows:
        return Graded(None, "unknown", "error", "no all_reduce result table in the output")
    if wrong:
        return Graded(headline, grade, "fail", f"{wrong} wrong results: the data was corrupted", len(rows))
    return Graded(headline, grade, grade, "", len(rows))


# ---- the check -------------------------------------------------------------------

@dataclass
class FleetResult:
    planner: qa.FleetPlanner
    executed: dict[int, tuple[Executed, Graded]]
    wall_s: float
    launcher: str

    @property
    def verdict(self) -> str:
        if not self.planner.complete:
            return "error"
        worst = self.planner.worst()
        return {qa.Severity.fail: "fail", qa.Severity.warn: "warn"}.get(worst, "pass")


@dataclass
class FleetCheck:
    hosts: list[str]
    gpus_per_node: int
    gpu_type: str
    launcher: Launcher
    binary: str
    timeout_alone: int = DEFAULT_TIMEOUT_ALONE
    timeout_pair: int = DEFAULT_TIMEOUT_PAIR
    parallel: int = 64
    run_command: Callable[[list[str], Mapping[str, str], int], Executed] = execute
    settings: Any = field(default_factory=qa.JudgeSettings)

    def benchmark(self) -> list[str]:
        # The sweep's own command line for one host driving all its GPUs.
        return list(cs._build_binary_command(self.binary, self.gpus_per_node, cs._LauncherConfig()))

    def run(self, progress: Callable[[str], None] = lambda _: None) -> FleetResult:
        started = time.monotonic()
        planner = qa.FleetPlanner(self.hosts, self.settings)
        executed: dict[int, tuple[Executed, Graded]] = {}
        lock = threading.Lock()
        with ThreadPoolExecutor(max_workers=max(1, self.parallel), thread_name_prefix="quorvane-fleet") as pool:
            while runs := planner.next_round():
                t0 = time.monotonic()
                progress(f"round {planner.rounds}: {_describe_round(runs)}")

                def one(run: qa.FleetRun) -> None:
                    scope = "intra" if len(run.hosts) == 1 else "multi"
                    cmd, env = self.launcher.command(run.hosts, self.benchmark())
                    timeout = self.timeout_alone if scope == "intra" else self.timeout_pair
                    done = self.run_command(cmd, env, timeout)
                    graded = grade_run(done, self.gpu_type, scope)
                    with lock:
                        executed[run.id] = (done, graded)

                for future in [pool.submit(one, run) for run in runs]:
                    future.result()
                for run in runs:
                    _, g = executed[run.id]
                    planner.record(run.id, g.busbw_gbps, g.problem, g.grade)
                bad = [(run, executed[run.id][1]) for run in runs
                       if executed[run.id][1].problem or executed[run.id][1].grade == "fail"]
                for run, g in bad[:10]:
                    progress(f"  {run.purpose} {'+'.join(run.hosts)}: {g.problem or 'below the fixed cutoffs'}")
                progress(f"  {len(runs)} run{'s' if len(runs) != 1 else ''} in {time.monotonic() - t0:.1f}s")
        return FleetResult(planner, executed, time.monotonic() - started, self.launcher.name)


def _describe_round(runs: Sequence[qa.FleetRun]) -> str:
    counts: dict[str, int] = {}
    for run in runs:
        counts[run.purpose] = counts.get(run.purpose, 0) + 1
    return ", ".join(f"{n} {purpose}" for purpose, n in counts.items())


# ---- the record ------------------------------------------------------------------

def _run_dict(result: FleetResult, run: qa.FleetRun) -> dict[str, Any]:
    d: dict[str, Any] = run.to_dict()
    done, graded = result.executed[run.id]
    d.update(verdict=graded.verdict, problem=graded.problem or None, command=done.command,
             exit_status=done.exit_status, seconds=round(done.seconds, 3))
    return d


def fleet_fields(result: FleetResult) -> dict[str, Any]:
    """The record's fleet part: suspects, per-host and per-pair results, runs, rounds."""
    p = result.planner
    runs = {run.id: run for run in p.runs}
    suspects = {s.host: s for s in p.suspects()}
    host_results = []
    for h in p.host_summaries():
        alone = [_run_dict(result, runs[i]) for i in h.runs if runs[i].purpose.startswith("alone")]
        first = alone[0] if alone else {}
        host_results.append({
            "host": h.host, "verdict": first.get("verdict"), "busbw_gbps": first.get("busbw_gbps"),
            "alone": h.alone, "network": h.network, "known_good": h.known_good,
            "suspect": suspects[h.host].kind if h.host in suspects else None, "runs": alone,
        })
    pair_results = [_run_dict(result, run) for run in p.runs if len(run.hosts) > 1]
    refs = {name: (ref.to_dict() if ref is not None else None)
            for name, ref in (("alone", p.alone_reference), ("pairs", p.pair_reference))}
    return {
        "suspects": [{"host": s.host, "kind": s.kind, "evidence": s.evidence, "severity": s.severity.name}
                     for s in suspects.values()],
        "host_results": host_results,
        "pair_results": pair_results,
        "runs": len(p.runs),
        "rounds": p.rounds,
        "launcher": result.launcher,
        "fleet_reference": refs,
        "complete": p.complete,
    }
