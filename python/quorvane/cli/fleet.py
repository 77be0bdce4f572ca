"""`quorvane fleet`: find the slow host or the bad network port among many hosts."""
from __future__ import annotations

import argparse
import os
import shutil
import signal
import sys
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TextIO

from .. import collsweep as cs
from .. import plans, slurm
from ..fleet import (BINARY, COLLECTIVE, DEFAULT_TIMEOUT_ALONE, DEFAULT_TIMEOUT_PAIR, EmulatedLauncher, FleetCheck,
                     FleetError, FleetResult, Launcher, SrunLauncher, SshLauncher, Topology, fleet_fields,
                     parse_hosts, suspect_paths)
from ..hostlist import DEFAULT_MAX_HOSTS, fold
from ..nccl_debug import RunDebug, context_from_topology
from ..policy import check_gpu_type, read_overrides
from ..record import EXIT_FOR_VERDICT, build_record as build_common_record, now_utc, threshold_entry
from ..runner import CommandRunner
from . import add_command, options
from .common import PROG, Interrupted, RunError, UsageError, read_topology
from .emulate import EMULATED, check_emulation, emulated_binaries
from .outputs import LogKeeper, Outputs, stop_with_record
from .term import Style

FLEET_LAUNCHERS = ("srun", "ssh")
EXIT_SLURM = 5
# How many runs go at once unless --parallel says otherwise: a Slurm round goes
# whole; ssh fans out like ClusterShell's default; emulated runs share this machine.
DEFAULT_PARALLEL = {"srun": 512, "ssh": 64, EMULATED: 8}

FLEET_STATUSES = (
    ("0", "pass", "no suspect: every host and every pair is in line with the fleet"),
    ("1", "warn", "suspects, all of them warn-level (measurably slower, not dramatically), or hosts or\n"
                  "pairs in the warn band of the fixed cutoffs"),
    ("2", "fail", "suspects, at least one fail-level, or the whole fleet below the fixed cutoffs"),
    ("4", "error", "the check could not complete (too few measurements, no known-good host,\n"
                   "no launcher or benchmark, --deadline reached)"),
    ("5", "", "--drain or --resume not done: more suspects than --max-drain (nothing\n"
              "drained), or scontrol/sinfo failed"),
)


def build_record(result: FleetResult, args: argparse.Namespace, hosts: list[str], started_at: str,
                 overrides: dict[str, Any], keeper: LogKeeper | None = None) -> dict[str, Any]:
    """The common record (kind "fleet") with the fleet's own verdict and parts."""
    verdict = result.verdict
    extra: dict[str, Any] = {
        "verdict": verdict, "exit_status": EXIT_FOR_VERDICT[verdict],
        "verdict_note": result.planner.incomplete_reason or None,
        "thresholds": {"alone": threshold_entry(args.gpu_type, "intra", overrides),
                       "pairs": threshold_entry(args.gpu_type, "multi", overrides)},
        "findings": [{**dict(f.to_dict()), "collective": None} for f in result.planner.findings()]
                    + result.cutoff_findings(),
    }
    if result.deadline_passed and result.interrupted is None:
        extra["verdict_note"] = f"stopped at the --deadline of {args.deadline:g} s before the check was over"
    if result.interrupted is not None and isinstance(result.interrupted, Interrupted):
        signum = result.interrupted.signum
        extra.update(interrupted=signal.Signals(signum).name, exit_status=128 + signum,
                     verdict_note="stopped by a signal before the check was over")
    extra.update(fleet_fields(result, keeper))
    suspect_paths(extra)
    return build_common_record(
        "fleet", started_at=started_at, wall_s=result.wall_s, hosts=hosts, gpu_type=args.gpu_type,
        scope="multi", num_nodes=len(hosts), gpus_per_node=args.gpus_per_node, emulated=bool(args.emulate),
        measured=[], overrides=overrides, extra=extra)


def render(record: dict[str, Any], out: TextIO, style: Style) -> None:
    how = "emulated here" if record["emulated"] else f"launcher {record['launcher']}"
    print(f"fleet      {record['num_nodes']} hosts, {record['gpus_per_node']} GPUs each, "
          f"{record['gpu_type']}, {how}", file=out)
    for name, label in (("alone", "alone "), ("pairs", "pairs ")):
        ref = record["fleet_reference"][name]
        if ref:
            print(f"{label}     median {ref['median_gbps']:.2f} GB/s, spread {ref['spread_gbps']:.2f}, "
                  f"slow below {ref['slow_below_gbps']:.2f}, over {ref['count']}", file=out)
    print(f"runs       {record['runs']} in {record['rounds']} round{'s' if record['rounds'] != 1 else ''}, "
          f"{record['wall_s']:.1f} s", file=out)
    for f in record["findings"]:
        print(f"{f['severity']:<10} {f['message']}", file=out)
    host_table(record, out, style)
    suspects = record["suspects"]
    if suspects:
        print(f"suspects   {len(suspects)}", file=out)
        width = max(len(s["host"]) for s in suspects)
        for s in suspects:
            sev = style(s["severity"], "red" if s["severity"] == "fail" else "yellow")
            print(f"  {s['host']:<{width}}  {s['kind']:<5}  {sev}  {s['evidence']}", file=out)
    else:
        print("suspects   none", file=out)
    for host, acc in (record.get("transport_hosts") or {}).items():
        for f in acc["findings"]:
            if f["severity"] in ("warn", "fail"):
                print(f"path       {host}: {f['severity']} {f['code']}  {f['message']}", file=out)
                print(f"             advice: {f['advice']}", file=out)
                for line in f["evidence"]:
                    print(f"             | {line}", file=out)
    print(f"verdict    {style.status(record['verdict'])}", file=out)


def host_table(record: dict[str, Any], out: TextIO, style: Style) -> None:
    """One line per host: alone, paired with whom and at what, verdict, kind."""
    rows = []
    for h in record["hosts"]:
        alone = "-" if h.get("busbw_gbps") is None else f"{h['busbw_gbps']:.2f}"
        pairs = "; ".join(f"{fold(p['with'])} " + ("-" if p.get("busbw_gbps") is None else f"{p['busbw_gbps']:.2f}")
                          for p in h.get("pairs") or []) or "-"
        rows.append([h["host"], alone, pairs, h.get("verdict") or "-", h.get("suspect") or "-"])
    headers = ["host", "alone GB/s", "paired with (GB/s)", "verdict", "kind"]
    widths = [max(len(headers[i]), *(len(r[i]) for r in rows)) for i in range(len(headers))]
    print("  " + "  ".join(f"{c:<{w}}" for c, w in zip(headers, widths)).rstrip(), file=out)
    for r in rows:
        cells = [f"{c:<{w}}" for c, w in zip(r, widths)]
        if r[3] in ("fail", "warn", "error"):
            cells[3] = style(cells[3], "red" if r[3] in ("fail", "error") else "yellow")
        print("  " + "  ".join(cells).rstrip(), file=out)


def slurm_actions(record: dict[str, Any], args: argparse.Namespace) -> tuple[dict[str, Any], list[str]]:
    """What --drain and --resume do: the record's `slurm` part and the lines to print."""
    part: dict[str, Any] = {}
    lines: list[str] = []
    if args.drain:
        suspects = record["suspects"]
        limit = slurm.drain_limit(record["num_nodes"], args.max_drain)
        drain: dict[str, Any] = {"mode": args.drain, "max_drain": limit, "drained": [], "errors": [],
                                 "refused": None}
        if record["verdict"] == "error":
            drain["refused"] = "the check did not complete: nothing is drained on an incomplete result"
        elif len(suspects) > limit:
            drain["refused"] = (f"{len(suspects)} suspects, more than --max-drain {limit}: a fleet-wide "
                                "problem is not that many bad hosts; nothing drained")
        else:
            for s in suspects:
                reason = slurm.reason_for(s)
                cmd = slurm.drain_command(s["host"], reason)
                lines.append(slurm.shown(cmd))
                if args.drain == "apply":
                    errors = slurm.apply([cmd])
                    drain["errors"] += errors
                    if not errors:
                        drain["drained"].append({"host": s["host"], "reason": reason})
        part["drain"] = drain
    if args.resume:
        resume: dict[str, Any] = {"mode": args.resume, "resumed": [], "errors": [], "refused": None}
        if record["verdict"] == "error":
            resume["refused"] = "the check did not complete: nothing is resumed on an incomplete result"
        else:
            passing = [h["host"] for h in record["hosts"] if h.get("verdict") == "pass" and not h.get("suspect")]
            try:
                reasons = slurm.drain_reasons([h["host"] for h in record["hosts"]])
            except slurm.SlurmError as exc:
                reasons = {}
                resume["errors"].append(str(exc))
            for h in (h for h in passing if reasons.get(h, "").startswith(slurm.PREFIX)):
                cmd = slurm.resume_command(h)
                lines.append(slurm.shown(cmd))
                if args.resume == "apply":
                    errors = slurm.apply([cmd])
                    resume["errors"] += errors
                    if not errors:
                        resume["resumed"].append({"host": h, "reason": reasons[h]})
        part["resume"] = resume
    return part, lines


@contextmanager
def _benchmark(args: argparse.Namespace, plan: plans.Plan, forward: Sequence[tuple[str, str]],
               dry: bool = False) -> Iterator[tuple[Launcher, str]]:
    if args.emulate:
        gpu_type = (("QUORVANE_EMULATE_GPU_TYPE", args.gpu_type),)   # the stand-in follows its published curve
        with emulated_binaries({**os.environ, **dict(gpu_type)}) as root:
            yield EmulatedLauncher(env=plan.env + gpu_type), os.path.join(root, BINARY)
        return
    launcher_name = _launcher_name(args)
    needed = ["srun"] if launcher_name == "srun" else ["ssh", "mpirun"]
    missing = [p for p in needed if shutil.which(p) is None]
    if missing and not dry:
        raise RunError(f"--launcher {launcher_name} needs {' and '.join(missing)}, not found on PATH")
    where = args.binary_root or plans.DEFAULT_BINARY_ROOT
    binary = cs._resolve_binary(BINARY, where)
    if binary is None and not dry:
        raise RunError(f"{BINARY} not found under {where}, the usual folders or the PATH "
                       "(build nccl-tests, or give --binary-root DIR)")
    launcher = SrunLauncher(env=plan.env) if launcher_name == "srun" else SshLauncher(env=tuple(forward) + plan.env)
    yield launcher, os.path.abspath(binary or os.path.join(where, BINARY))


def _launcher_name(args: argparse.Namespace) -> str:
    return str(args.launcher or ("srun" if os.environ.get("SLURM_JOB_ID") else "ssh"))


def _dry_run(check: FleetCheck) -> int:
    """The first two rounds' command lines: every host alone, then the pairs as they
    are when every host is fine alone (later rounds depend on the results)."""
    from .. import analysis as qa

    planner = qa.FleetPlanner(check.hosts, check.settings)
    lines = []
    for _ in range(2):
        runs = planner.next_round()
        for run in runs:
            cmd, env = check.launcher.command(run.hosts, check.benchmark())
            lines.append(plans.Run(COLLECTIVE, tuple(cmd), tuple(env.items())).shell_line())
            planner.record(run.id, 100.0, "", "pass")
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


def cmd_fleet(args: argparse.Namespace) -> int:
    text = args.hosts
    if text is None:
        text = os.environ.get("SLURM_JOB_NODELIST") or os.environ.get("SLURM_NODELIST")
        if not text:
            raise UsageError("give --hosts HOSTLIST (or run inside a Slurm allocation to check its nodes)")
    try:
        hosts = parse_hosts(text, args.max_hosts)
    except FleetError as exc:
        raise UsageError(f"--hosts: {exc}") from None
    if len(hosts) < 2:
        raise UsageError(f"a fleet check needs at least two hosts; {text!r} names {len(hosts)}")
    if args.emulate and (args.launcher or args.binary_root):
        raise UsageError("--emulate runs everything here with the stand-in: leave out --launcher and --binary-root")
    if args.emulate:
        check_emulation()
    overrides = read_overrides()
    warnings = {w for w in (check_gpu_type(args.gpu_type, scope, overrides) for scope in ("intra", "multi")) if w}
    topology = read_topology(args.topo) if args.topo is not None else None
    plan = options.plan_of(args, EMULATED if args.emulate else _launcher_name(args), collectives=[BINARY])
    forward = () if args.no_forward_env or args.emulate else plans.forwarded_nccl(os.environ, _launcher_name(args))
    if args.dry_run:
        with _benchmark(args, plan, forward, dry=True) as (launcher, binary):
            return _dry_run(FleetCheck(hosts, args.gpus_per_node, args.gpu_type, launcher, binary, plan=plan))
    outputs = Outputs.resolve(args)
    err = sys.stderr
    out = err if outputs.record_on_stdout else sys.stdout
    for warning in sorted(warnings):
        print(f"{PROG}: warning: {warning}", file=err)
    if args.emulate:
        print(f"{PROG}: {EMULATED} fleet: the host names are only names; every run is the stand-in "
              "benchmark on this machine, and nothing is measured", file=err)

    def progress(line: str) -> None:
        print(line, file=err, flush=True)

    keeper = outputs.keeper
    started_at, start = now_utc(), time.monotonic()
    debug = RunDebug(keeper.folder if keeper is not None else None)
    try:
        with _benchmark(args, plan, forward) as (launcher, binary):
            name = EMULATED if args.emulate else launcher.name
            check = FleetCheck(hosts, args.gpus_per_node, args.gpu_type, launcher, binary,
                               timeout_alone=args.timeout or DEFAULT_TIMEOUT_ALONE,
                               timeout_pair=args.timeout or DEFAULT_TIMEOUT_PAIR,
                               parallel=args.parallel or DEFAULT_PARALLEL[name],
                               runner=CommandRunner(grace_s=args.grace), keeper=keeper, plan=plan, debug=debug,
                               deadline=None if args.deadline is None else start + args.deadline,
                               topology=Topology.of(topology.to_dict()) if topology is not None else None,
                               path_context=context_from_topology(topology, os.environ.get("NCCL_IB_HCA", "")))
            result = check.run(progress)
        result.wall_s = time.monotonic() - start
        record = build_record(result, args, hosts, started_at, overrides, keeper)
        record.update(plan=plan.to_dict(), forwarded_env=dict(forward) or None)
    finally:
        debug.close()
    if isinstance(result.interrupted, Interrupted):
        stop_with_record(result.interrupted, record, outputs, "partial record")
    slurm_status = 0
    if args.drain or args.resume:
        part, lines = slurm_actions(record, args)
        record["slurm"] = part
        for what in part.values():
            for line in [what["refused"], *what["errors"]]:
                if line:
                    print(f"{PROG}: {line}", file=err)
                    slurm_status = EXIT_SLURM
        for line in lines:
            print(line, file=out if not args.suspects_only else err)
        for what, verb in (("drain", "drained"), ("resume", "resumed")):
            done = (part.get(what) or {}).get(verb) or []
            if done:
                print(f"{PROG}: {verb} {fold(d['host'] for d in done)}", file=err)
    try:
        if args.suspects_only:
            print(fold(s["host"] for s in record["suspects"]), file=out)
        elif not (args.drain == "print" or args.resume == "print"):
            render(record, out, Style.for_stream(out))
        status = outputs.emit(record, say=progress)
    except Interrupted as exc:  # the check was over: the whole record is kept
        stop_with_record(exc, record, outputs, "record")
    return status or slurm_status or int(record["exit_status"])


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane fleet` to the command line."""
    p = add_command(
        sub, "fleet", fmt, statuses=FLEET_STATUSES,
        description="Run all_reduce on every host alone, then on disjoint pairs of hosts (NCCL_ALGO=RING), "
                    "judge each result against the fleet's own median and spread as well as the fixed "
                    "cutoffs, and re-pair the hosts of every slow pair with known-good hosts until each is "
                    "explained. A host is named only on two independent bad results. Progress goes to stderr.")
    p.add_argument("--hosts", metavar="HOSTLIST",
                   help="hosts in Slurm's hostlist syntax, e.g. gpu[01-16],gpu20 "
                        "(default inside a Slurm allocation: its nodes)")
    options.gpus_per_node(p, required=True)
    options.gpu_type(p, "GPU model for the fixed cutoffs, e.g. H100_SXM (see `quorvane thresholds`)")
    options.launcher(p, FLEET_LAUNCHERS,
                   help="srun (one Slurm step per run) or ssh (ssh alone, Open MPI over ssh for pairs); "
                        "default: srun inside a Slurm allocation, else ssh")
    options.binary_root(p, "directory of the nccl-tests executables, the same path on every host "
                           "(default /opt/nccl-tests/build)")
    options.timeout(p, f"seconds allowed per run (default {DEFAULT_TIMEOUT_ALONE} alone, "
                       f"{DEFAULT_TIMEOUT_PAIR} for a pair)")
    options.grace(p, "a run")
    p.add_argument("--parallel", type=options.whole_from_1(4096), metavar="N",
                   help="most runs at once (default: srun 512, ssh 64, --emulate 8)")
    p.add_argument("--max-hosts", type=options.whole_from_1(), metavar="N", default=DEFAULT_MAX_HOSTS,
                   help=f"refuse a host list naming more than N hosts, before expanding it (default "
                        f"{DEFAULT_MAX_HOSTS})")
    options.deadline(p, "check")
    p.add_argument("--suspects-only", action="store_true",
                   help="print only the suspects, as one compressed host list (an empty line when none)")
    p.add_argument("--drain", choices=("print", "apply"),
                   help="drain the suspects in Slurm (Reason=\"quorvane: <kind> <evidence>\"): print the "
                        "scontrol commands, or run them")
    p.add_argument("--max-drain", type=options.whole_from_1(), metavar="N",
                   help="with more suspects than N, drain nothing and exit 5 (default: a tenth of the fleet, "
                        "at least 1)")
    p.add_argument("--resume", choices=("print", "apply"),
                   help="return to service the nodes drained with a reason starting 'quorvane:' that pass "
                        "now: print the scontrol commands, or run them")
    options.topo(p, "an NCCL topology dump of the hosts (NCCL_TOPO_DUMP_FILE; one hardware type): names each "
                    "GPU's bus id and the RDMA NIC nearest it for localisation, and gives the path findings the "
                    "hosts' NICs and links (default: NCCL picks each rail's NIC and its debug lines name it)")
    options.emulate(p, "host names are only names: every run is the built-in stand-in on this machine "
                       "(QUORVANE_EMULATE_FAULTS and QUORVANE_EMULATE_NOISE steer it)")
    options.plan(p, what="run")
    options.outputs(p)
    p.set_defaults(handler=cmd_fleet)
