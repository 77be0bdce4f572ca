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
import time
from collections.abc import Callable, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Protocol

from . import analysis as qa
from . import collsweep as cs
from .record import Measured, collective_entry, judge, read_outcome
from .runner import CommandRunner, Outcome, stop_all

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
    from ClusterShell.NodeSet import NodeSet, NodeSetException  # type: ignore[import-untyped]

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
class Graded:
    """One run graded as `quorvane sweep` grades a host (the record's verdict
    policy over the field reader's reading): the headline, the grade against the
    fixed cutoffs, and why the result is not to be trusted, if it is not."""
    busbw_gbps: float | None
    size_bytes: int | None  # the message size the headline was measured at
    grade: str            # pass | warn | fail | unknown: the fixed cutoffs alone
    verdict: str          # the sweep's: pass | warn | fail | unknown | error
    problem: str          # "" when the result can be trusted
    entry: dict[str, Any]  # the record's collective entry: findings, completeness


def grade_run(outcome: Outcome, gpu_type: str, scope: str) -> Graded:
    """A run that failed, timed out, printed no whole table or shows corrupted
    data is never a pass and never a number to compare with the fleet."""
    reading = read_outcome(COLLECTIVE, outcome) if outcome.started else None
    entry = collective_entry(Measured(COLLECTIVE, outcome, reading))
    threshold = cs.threshold_for(gpu_type, scope)
    verdict, _, headline = judge([entry], [reading], threshold, None)
    busbw = headline[0] if headline else None
    problems = [f for f in entry["findings"] if f["severity"] in ("fail", "error")]
    problem = ""
    if problems:
        first = problems[0]
        problem = first["message"] + (f" ({first['evidence'][:160]})" if first.get("evidence") else "")
    return Graded(busbw, headline[1] if headline else None, cs.classify(busbw, threshold), verdict, problem, entry)


@dataclass
class Done:
    """A run as it went: the command (without the environment), what it was given
    in the environment, the runner's outcome and the grading."""
    command: list[str]
    env: dict[str, str]
    outcome: Outcome
    graded: Graded


# ---- the check -------------------------------------------------------------------

@dataclass
class FleetResult:
    planner: qa.FleetPlanner
    done: dict[int, Done]
    wall_s: float
    launcher: str
    interrupted: BaseException | None = None  # the signal (Interrupted) that stopped it

    @property
    def verdict(self) -> str:
        if self.interrupted is not None or not self.planner.complete:
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
    timeout_alone: float = DEFAULT_TIMEOUT_ALONE
    timeout_pair: float = DEFAULT_TIMEOUT_PAIR
    parallel: int = 64
    runner: CommandRunner = field(default_factory=CommandRunner)
    keeper: Any = None  # the output step's LogKeeper, for --keep-logs
    settings: Any = field(default_factory=qa.JudgeSettings)

    def benchmark(self) -> list[str]:
        # The sweep's own command line for one host driving all its GPUs.
        return list(cs._build_binary_command(self.binary, self.gpus_per_node, cs._LauncherConfig()))

    def one(self, run: qa.FleetRun) -> Done:
        scope = "intra" if len(run.hosts) == 1 else "multi"
        cmd, env = self.launcher.command(run.hosts, self.benchmark())
        full = (["env", *(f"{k}={v}" for k, v in env.items())] if env else []) + cmd
        logs, log_error = None, None
        if self.keeper is not None:
            try:
                logs = self.keeper.paths(f"{'+'.join(run.hosts)}.{run.purpose}")
            except OSError as exc:   # no room for the log folder: the run goes on without its log
                log_error = f"cannot keep the log: {exc.strerror or exc}"
        timeout = self.timeout_alone if scope == "intra" else self.timeout_pair
        outcome = self.runner.execute(full, timeout=timeout, logs=logs)
        if log_error is not None and outcome.reason is None:
            outcome.reason = log_error
        outcome.command = cmd  # findings name the program, not the `env` that set its variables
        return Done(cmd, env, outcome, grade_run(outcome, self.gpu_type, scope))

    def run(self, progress: Callable[[str], None] = lambda _: None) -> FleetResult:
        started = time.monotonic()
        planner = qa.FleetPlanner(self.hosts, self.settings)
        done: dict[int, Done] = {}
        stopped: BaseException | None = None
        futures: dict[int, Future[Done]] = {}
        pool = ThreadPoolExecutor(max_workers=max(1, self.parallel), thread_name_prefix="quorvane-fleet")
        try:
            while runs := planner.next_round():
                t0 = time.monotonic()
                progress(f"round {planner.rounds}: {_describe_round(runs)}")
                futures = {run.id: pool.submit(self.one, run) for run in runs}
                for run in runs:
                    done[run.id] = futures[run.id].result()
                    g = done[run.id].graded
                    planner.record(run.id, g.busbw_gbps, g.problem, g.grade)
                bad = [(run, done[run.id].graded) for run in runs
                       if done[run.id].graded.problem or done[run.id].graded.grade == "fail"]
                for run, g in bad[:10]:
                    progress(f"  {run.purpose} {'+'.join(run.hosts)}: {g.problem or 'below the fixed cutoffs'}")
                if len(bad) > 10:
                    progress(f"  ... and {len(bad) - 10} more")
                progress(f"  {len(runs)} run{'s' if len(runs) != 1 else ''} in {time.monotonic() - t0:.1f}s")
        except BaseException as exc:  # a signal: no new run starts, those running are ended
            pool.shutdown(wait=False, cancel_futures=True)
            stop_all()
            if isinstance(exc, Exception):
                raise
            stopped = exc
        finally:
            pool.shutdown(wait=True)
        for run_id, future in futures.items():  # what the runs that were stopped gave
            if run_id not in done and future.done() and not future.cancelled() and future.exception() is None:
                done[run_id] = future.result()
        return FleetResult(planner, done, time.monotonic() - started, self.launcher.name, stopped)


def _describe_round(runs: Sequence[qa.FleetRun]) -> str:
    counts: dict[str, int] = {}
    for run in runs:
        counts[run.purpose] = counts.get(run.purpose, 0) + 1
    return ", ".join(f"{n} {purpose}" for purpose, n in counts.items())


# ---- the record ------------------------------------------------------------------

def _run_dict(result: FleetResult, run: qa.FleetRun, keeper: Any) -> dict[str, Any]:
    d: dict[str, Any] = run.to_dict()
    did = result.done.get(run.id)
    if did is None:
        d.update(verdict="error", problem="not run: the check was stopped", command=None)
        return d
    entry = did.graded.entry
    d.update(size_bytes=did.graded.size_bytes, verdict=did.graded.verdict, problem=did.graded.problem or None,
             command=did.command,
             env=did.env or None, exit_status=did.outcome.returncode, seconds=round(did.outcome.seconds, 3),
             complete=entry["complete"], findings=entry["findings"], cause=entry.get("cause"),
             logs=keeper.final(did.outcome.logs) if keeper is not None else None)
    return d


def fleet_fields(result: FleetResult, keeper: Any = None) -> dict[str, Any]:
    """The record's fleet part: suspects, per-host and per-pair results, runs, rounds."""
    p = result.planner
    runs = {run.id: run for run in p.runs}
    suspects = {s.host: s for s in p.suspects()}
    host_results = []
    for h in p.host_summaries():
        alone = [_run_dict(result, runs[i], keeper) for i in h.runs if runs[i].purpose.startswith("alone")]
        first = alone[0] if alone else {}
        host_results.append({
            "host": h.host, "verdict": first.get("verdict"), "busbw_gbps": first.get("busbw_gbps"),
            "size_bytes": first.get("size_bytes"),
            "alone": h.alone, "network": h.network, "known_good": h.known_good,
            "suspect": suspects[h.host].kind if h.host in suspects else None, "runs": alone,
        })
    pair_results = [_run_dict(result, run, keeper) for run in p.runs if len(run.hosts) > 1]
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
