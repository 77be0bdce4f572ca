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
import shutil
import tempfile
import time
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Protocol

from . import analysis as qa
from . import collsweep as cs
from . import plans
from .hostlist import DEFAULT_MAX_HOSTS, HostListError, expand, fold
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


def parse_hosts(text: str, limit: int = DEFAULT_MAX_HOSTS) -> list[str]:
    """A Slurm-style host list ("gpu[01-16],gpu20") as names, in order, each once;
    at most `limit` of them, counted before the list is expanded."""
    try:
        hosts = expand(text, limit)
    except HostListError as exc:
        raise FleetError(str(exc)) from None
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

    def __init__(self, env: Sequence[tuple[str, str]] = ()) -> None:
        self.env = tuple(env)   # the operator's variables for every rank (srun --export)
        self._forms: dict[int, tuple[list[str], list[str]]] = {}   # hosts per run -> (benchmark, its form)

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        # Runs of a round differ only in their nodes: build the form once per run size.
        form = self._forms.get(len(hosts))
        if form is None or form[0] != benchmark:
            form = (list(benchmark), plans.srun_command(hosts, 1, benchmark, self.env, mpi=len(hosts) > 1))
            self._forms[len(hosts)] = form
        cmd = list(form[1])
        cmd[1] = f"--nodelist={plans.nodelist(hosts)}"
        return cmd, (RING if len(hosts) > 1 else {})


class SshLauncher:
    name = "ssh"

    def __init__(self, env: Sequence[tuple[str, str]] = ()) -> None:
        # The operator's variables and the caller's NCCL_* ones: ssh and mpirun pass none on by themselves.
        self.env = tuple(env)
        self._line: tuple[list[str], str] | None = None   # the last benchmark and its remote line

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        if len(hosts) == 1:
            if self._line is None or self._line[0] != benchmark:
                self._line = (list(benchmark), plans.remote_line(benchmark, self.env))
            return plans.ssh_command(hosts[0], benchmark, line=self._line[1]), {}
        env = [(k, v) for k, v in self.env if k not in RING] + list(RING.items())
        return plans.mpirun_command(hosts, 1, benchmark, env, over_ssh=True), RING


class EmulatedLauncher:
    name = "emulated"

    def __init__(self, env: Sequence[tuple[str, str]] = ()) -> None:
        self.env = tuple(env)

    def command(self, hosts: Sequence[str], benchmark: list[str]) -> tuple[list[str], dict[str, str]]:
        env = {**dict(self.env), "QUORVANE_EMULATE_HOSTS": ",".join(hosts)}
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
    debug: Any = None          # nccl_debug.RunDebug of the runs
    path_context: Any = None   # analysis.PathContext for its findings
    localized: dict[str, dict[str, Any]] = field(default_factory=dict)  # per suspect: the GPU or the rail

    deadline_passed: bool = False

    def cutoff_findings(self) -> list[dict[str, Any]]:
        """What the fixed cutoffs say that the fleet's own distribution does not:
        trusted results in the warn band (as `sweep` grades them), and pairs
        that all fail the multi-host cutoffs with no host to blame."""
        found: list[dict[str, Any]] = []
        named = {s.host for s in self.planner.suspects()}
        for pairs, noun in ((False, "hosts alone"), (True, "pairs")):
            graded = [(run, self.done[run.id].graded) for run in self.planner.runs
                      if (len(run.hosts) > 1) == pairs and run.id in self.done
                      and not self.done[run.id].graded.problem and self.done[run.id].graded.busbw_gbps is not None]
            if not graded:
                continue
            warn = [run for run, g in graded if g.grade == "warn" and not named.intersection(run.hosts)]
            failing = [run for run, g in graded if g.grade == "fail"]
            if pairs and len(failing) == len(graded) and not named:
                found.append({"code": "fleet-pairs-all-below-cutoff", "severity": "fail",
                              "message": f"all {len(graded)} pairs grade fail against the multi-host cutoffs "
                                         "and no host explains it: a fleet-wide network problem",
                              "evidence": None, "collective": None})
            elif warn:
                hosts = fold(dict.fromkeys(h for run in warn for h in run.hosts))
                found.append({"code": f"fleet-{'pairs' if pairs else 'hosts'}-in-warn-band", "severity": "warn",
                              "message": f"{len(warn)} {noun if len(warn) != 1 else noun[:-1].replace('hosts', 'host')}"
                                         f" in the warn band of the fixed cutoffs: {hosts}",
                              "evidence": None, "collective": None})
        return found

    @property
    def verdict(self) -> str:
        if self.interrupted is not None or self.deadline_passed or not self.planner.complete:
            return "error"
        worst = self.planner.worst()
        verdict = {qa.Severity.fail: "fail", qa.Severity.warn: "warn"}.get(worst, "pass")
        for f in self.cutoff_findings():
            if f["severity"] == "fail" or (f["severity"] == "warn" and verdict == "pass"):
                verdict = f["severity"]
        return verdict


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
    debug: Any = None   # nccl_debug.RunDebug: NCCL's debug files of the runs
    path_context: Any = None
    localize: bool = True  # after the check, name the GPU or rail of each suspect
    settings: Any = field(default_factory=qa.JudgeSettings)
    plan: plans.Plan = field(default_factory=lambda: plans.make_plan(collectives=[BINARY]))
    deadline: float | None = None  # time.monotonic() by which the whole check ends (--deadline)
    topology: Topology | None = None   # --topo: the GPUs' bus ids and the NIC nearest each GPU

    def benchmark(self) -> list[str]:
        # The plan's command line for one host driving all its GPUs.
        return self.plan.benchmark(self.binary, self.gpus_per_node)

    def one(self, run: qa.FleetRun) -> Done:
        scope = "intra" if len(run.hosts) == 1 else "multi"
        cmd, env = self.launcher.command(run.hosts, self.benchmark())
        name = f"{'+'.join(run.hosts)}.{run.purpose}.{run.id}"
        debug_env = self.debug.environ_for(cmd, name) if self.debug else {}
        run_env = {**env, **debug_env}
        full = (["env", *(f"{k}={v}" for k, v in run_env.items())] if run_env else []) + \
            plans.rank_command(cmd, debug_env)
        logs, log_error = None, None
        if self.keeper is not None:
            try:
                logs = self.keeper.paths(f"{'+'.join(run.hosts)}.{run.purpose}")
            except OSError as exc:   # no room for the log folder: the run goes on without its log
                log_error = f"cannot keep the log: {exc.strerror or exc}"
        timeout = self.timeout_alone if scope == "intra" else self.timeout_pair
        if self.deadline is not None:
            timeout = round(max(0.0, min(timeout, self.deadline - time.monotonic())), 1)
        outcome = self.runner.execute(full, timeout=timeout, logs=logs)
        if log_error is not None and outcome.reason is None:
            outcome.reason = log_error
        outcome.command = cmd  # findings name the program, not the `env` that set its variables
        if self.debug is not None:
            self.debug.finished(cmd, outcome.stdout, outcome.stderr, name)
        return Done(cmd, env, outcome, grade_run(outcome, self.gpu_type, scope))

    def run(self, progress: Callable[[str], None] = lambda _: None) -> FleetResult:
        started = time.monotonic()
        planner = qa.FleetPlanner(self.hosts, self.settings)
        done: dict[int, Done] = {}
        stopped: BaseException | None = None
        deadline_passed = False
        futures: dict[int, Future[Done]] = {}
        pool = ThreadPoolExecutor(max_workers=max(1, self.parallel), thread_name_prefix="quorvane-fleet")
        try:
            while runs := planner.next_round():
                if self.deadline is not None and time.monotonic() >= self.deadline:
                    deadline_passed = True
                    break
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
        localized: dict[str, dict[str, Any]] = {}
        if stopped is None and self.localize:
            try:
                localized = self.localize_suspects(planner, progress)
            except BaseException as exc:  # a signal: what was localised so far is lost, the check is not
                stop_all()
                if isinstance(exc, Exception):
                    raise
                stopped = exc
        result = FleetResult(planner, done, time.monotonic() - started, self.launcher.name, stopped, self.debug,
                             self.path_context, localized)
        result.deadline_passed = deadline_passed or (
            self.deadline is not None and any(d.outcome.timed_out for d in done.values())
            and time.monotonic() >= self.deadline)
        return result

    # ---- localisation inside a suspect ----

    def _measure(self, hosts: list[str], gpus: int, env: dict[str, str], tag: str,
                 nic: bool = False) -> tuple[float | None, str]:
        """One run on the plateau with `env` on every rank: its bus bandwidth (None
        when it cannot be trusted) and, with `nic`, the one RDMA NIC NCCL says it used."""
        from .nccl_debug import LOG_GLOB, debug_environment, read_logs
        scope = "intra" if len(hosts) == 1 else "multi"
        # on the bandwidth plateau, where a slow GPU or rail shows whole (the quick plan's sizes)
        bench = plans.make_plan("quick", collectives=[BINARY]).benchmark(self.binary, gpus)
        cmd, launch_env = self.launcher.command(hosts, bench)
        folder = tempfile.mkdtemp(prefix="quorvane-rail-") if nic else None
        rank_env = {**env, **(debug_environment(folder, "INIT,NET") if folder else {})}
        run_env = {**launch_env, **rank_env}
        full = ["env", *(f"{k}={v}" for k, v in run_env.items())] + plans.rank_command(cmd, rank_env)
        logs = self.keeper.paths(f"{'+'.join(hosts)}.{tag}") if self.keeper is not None else None
        timeout = self.timeout_alone if scope == "intra" else self.timeout_pair
        try:
            outcome = self.runner.execute(full, timeout=timeout, logs=logs)
            used = ""
            if folder is not None:   # the files, or the output where a remote rank could not open one
                acc = read_logs(Path(folder).glob(LOG_GLOB), output=outcome.stdout)
                nics = (acc or {}).get("nics") or []
                # a device's name; "NET/IB/3" (a channel line without the device list) names none
                used = nics[0] if len(nics) == 1 and not nics[0].startswith("NET/") else ""
        finally:
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)
        graded = grade_run(outcome, self.gpu_type, scope)
        return (None if graded.problem else graded.busbw_gbps), used

    def localize_suspects(self, planner: Any, progress: Callable[[str], None]) -> dict[str, dict[str, Any]]:
        """Name the GPU of each intra suspect (pairs of its GPUs, disjoint pairs at once)
        and the rail of each net suspect (GPU i with the NIC nearest it, one rank per
        host, against a known-good partner, every rail at once)."""
        good = [h.host for h in planner.host_summaries() if h.known_good]
        found: dict[str, dict[str, Any]] = {}
        n = self.gpus_per_node
        with ThreadPoolExecutor(max_workers=max(1, self.parallel), thread_name_prefix="quorvane-localize") as pool:
            for s in planner.suspects():
                if s.kind == "intra" and n >= 3:
                    rounds = qa.gpu_pair_rounds(n)
                    results = []
                    for k, pairs in enumerate(rounds, 1):
                        progress(f"localise {s.host}: GPU pairs, round {k} of {len(rounds)}")
                        futures = [pool.submit(self._measure, [s.host], 2, {"CUDA_VISIBLE_DEVICES": f"{a},{b}"},
                                               f"gpus{a}{b}") for a, b in pairs]
                        results += [(a, b, f.result()[0]) for (a, b), f in zip(pairs, futures)]
                    loc = qa.localize_gpu(results, self.topology.gpu_bus_ids(n)) if self.topology else \
                        qa.localize_gpu(results)
                    found[s.host] = {"kind": "gpu", "runs": len(results), "rounds": len(rounds),
                                     "pairs": [{"gpus": [a, b], "busbw_gbps": v} for a, b, v in results],
                                     "result": loc}
                elif s.kind == "net" and n >= 2:
                    partner = next((h for h in good if h != s.host), None)
                    if partner is None:
                        continue
                    # GPU i with the NIC the topology puts nearest it (NCCL_IB_HCA); without a
                    # topology NCCL picks the nearest itself and its debug lines name it.
                    near = self.topology.rail_nics(n) if self.topology else [""] * n
                    progress(f"localise {s.host}: {n} rails against {partner}, at once")
                    futures = [pool.submit(self._measure, [s.host, partner], 1,
                                           {"CUDA_VISIBLE_DEVICES": str(i),
                                            **({"NCCL_IB_HCA": f"={near[i]}"} if near[i] else {})},
                                           f"rail{i}", True)
                               for i in range(n)]
                    measured = [f.result() for f in futures]
                    nics = [used or near[i] for i, (_, used) in enumerate(measured)]
                    loc = qa.localize_rail([v for v, _ in measured], nics)
                    found[s.host] = {"kind": "rail", "runs": n, "rounds": 1, "partner": partner,
                                     "rails": [{"rail": i, "nic": nics[i] or None,
                                                "nic_from": "nccl" if used else "topology" if near[i] else None,
                                                "busbw_gbps": v} for i, (v, used) in enumerate(measured)],
                                     "result": loc}
        return found


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


@dataclass
class Topology:
    """What the fleet's hosts look like inside (one NCCL topology dump stands for
    all of them): the GPUs in index order and the RDMA NIC nearest each."""
    gpus: list[dict[str, Any]]
    nics: list[dict[str, Any]]
    affinity: dict[str, list[str]]

    @classmethod
    def of(cls, inventory: Mapping[str, Any]) -> Topology:
        gpus = sorted(inventory.get("gpus") or [],
                      key=lambda g: (g.get("dev") is None, g.get("dev") or 0, g.get("busid") or ""))
        return cls(gpus, list(inventory.get("nics") or []), dict(inventory.get("gpu_nic_affinity") or {}))

    def gpu_bus_ids(self, count: int) -> list[str]:
        ids = [g.get("busid") or "" for g in self.gpus[:count]]
        return ids + [""] * (count - len(ids))

    def rail_nics(self, count: int) -> list[str]:
        """GPU i's nearest NIC by name ("" where the topology names none). GPUs that
        share a switch with the same NICs take them in turn: on a host with two
        GPUs and two NICs under each switch, the first GPU gets the first NIC."""
        name_of = {n["busid"]: n.get("name") or "" for n in self.nics if n.get("busid")}
        near = []
        for g in self.gpus[:count]:
            dev = g.get("dev")
            found = (self.affinity.get(str(dev)) if dev is not None else None) or \
                self.affinity.get(g.get("busid") or "") or []
            near.append(tuple(name_of.get(n, n) for n in found))
        out = []
        for i, nics in enumerate(near):
            if not nics:
                out.append("")
                continue
            turn = sum(1 for other in near[:i] if other == nics)
            out.append(nics[turn % len(nics)])
        return out + [""] * (count - len(out))


def localized_fields(result: FleetResult, suspects: list[dict[str, Any]]) -> dict[str, Any]:
    """The suspects say which GPU or rail; the record keeps the extra runs."""
    for s in suspects:
        loc = result.localized.get(s["host"])
        if not loc or not loc["result"]:
            continue
        found = loc["result"]
        s[loc["kind"]] = found["index"]
        if loc["kind"] == "rail":
            s["nic"] = loc["rails"][found["index"]]["nic"]
        s["evidence"] = found["evidence"] + "; " + s["evidence"]
    return {"localization": result.localized} if result.localized else {}


def path_fields(result: FleetResult, suspects: dict[str, Any]) -> dict[str, Any]:
    """NCCL's account of the path, over all runs and per host where a host's own
    account has findings; a suspect whose host shows a wrong path says so."""
    debug = result.debug
    if debug is None:
        return {}
    context = result.path_context
    merged = debug.account(context)
    # The RDMA NICs the fleet's other hosts use are what each host should use too.
    fleet_nics = merged["nics"] if merged and str(merged.get("network") or "").startswith("IB") else []
    host_context = qa.PathContext(ib_hca=context.ib_hca if context is not None else "", rdma_nics=fleet_nics)
    hosts = {h: acc for h, acc in debug.host_accounts(host_context).items()
             if any(f["severity"] in ("warn", "fail") for f in acc["findings"])}
    return {"transport": merged, "transport_hosts": hosts}


def suspect_paths(record: dict[str, Any]) -> None:
    """Name a suspect by the path finding of its host ("net-socket"), evidence first."""
    hosts = record.get("transport_hosts") or {}
    for s in record.get("suspects") or []:
        found = [f for f in (hosts.get(s["host"]) or {}).get("findings", []) if f["severity"] in ("warn", "fail")]
        if found:
            s["path"] = [f["code"] for f in found]
            s["evidence"] = "; ".join(f"{f['code']}: {f['message']}" for f in found) + "; " + s["evidence"]


def fleet_fields(result: FleetResult, keeper: Any = None) -> dict[str, Any]:
    """The record's fleet part: suspects, `hosts` (one object per host: its runs alone,
    its pairs, its verdict), the pair results, runs, rounds."""
    p = result.planner
    runs = {run.id: run for run in p.runs}
    suspects = {s.host: s for s in p.suspects()}
    pair_results = [_run_dict(result, run, keeper) for run in p.runs if len(run.hosts) > 1]
    pairs_of: dict[str, list[dict[str, Any]]] = {}
    for d in pair_results:
        for host in d["hosts"]:
            pairs_of.setdefault(host, []).append({
                "with": [o for o in d["hosts"] if o != host], "purpose": d.get("purpose"),
                "busbw_gbps": d.get("busbw_gbps"), "verdict": d.get("verdict")})
    host_results = []
    for h in p.host_summaries():
        alone = [_run_dict(result, runs[i], keeper) for i in h.runs if runs[i].purpose.startswith("alone")]
        first = alone[0] if alone else {}
        # The host's own verdict: named, or its alone run's grade (as `sweep` grades it).
        verdict = (suspects[h.host].severity.name if h.host in suspects
                   else first.get("verdict") if first else "error")
        host_results.append({
            "host": h.host, "verdict": verdict, "busbw_gbps": first.get("busbw_gbps"),
            "size_bytes": first.get("size_bytes"),
            "alone": h.alone, "network": h.network, "known_good": h.known_good,
            "suspect": suspects[h.host].kind if h.host in suspects else None, "runs": alone,
            "pairs": pairs_of.get(h.host, []),
        })
    refs = {name: (ref.to_dict() if ref is not None else None)
            for name, ref in (("alone", p.alone_reference), ("pairs", p.pair_reference))}
    named = [{"host": s.host, "kind": s.kind, "evidence": s.evidence, "severity": s.severity.name}
             for s in suspects.values()]
    return {
        "suspects": named,
        **localized_fields(result, named),
        **path_fields(result, suspects),
        "hosts": host_results,
        "pair_results": pair_results,
        "runs": len(p.runs),
        "rounds": p.rounds,
        "launcher": result.launcher,
        "fleet_reference": refs,
        "complete": p.complete,
    }
