"""`quorvane sweep`: run the nccl-tests sweep on one host or several, show it, grade it."""
from __future__ import annotations

import argparse
import os
import signal
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from .. import gpus, plans
from ..plans import DEFAULT_BINARY_ROOT
from ..policy import check_gpu_type, read_overrides
from . import add_command, options
from .common import VERDICT_STATUSES, LAUNCHERS, PROG, Interrupted, Preload, RunError, UsageError, shown

# What runs a sweep, shows it and records it is imported once a sweep runs:
# --dry-run and the help need none of it.
if TYPE_CHECKING:
    from ..nccl_debug import RunDebug
    from ..record import Measured
    from ..runner import CommandRunner, Outcome
    from .outputs import LogKeeper
    from .progress import SweepProgress

EMULATED = "emulated"
# What a sweep needs once its first benchmark has run, loaded while it runs.
AFTER_RUNS = ("quorvane.record", "quorvane.causes", "quorvane.cli.render")

def _allocation(args: argparse.Namespace) -> None:
    """Inside a Slurm allocation of two or more nodes, without --hosts or --gpus:
    the allocation's nodes, and --gpus-per-node from Slurm's variables."""
    if args.hosts is not None or args.gpus is not None or not os.environ.get("SLURM_JOB_ID"):
        return
    text = os.environ.get("SLURM_JOB_NODELIST") or os.environ.get("SLURM_NODELIST")
    if not text:
        return
    from ..fleet import FleetError, parse_hosts
    try:
        hosts = parse_hosts(text)
    except FleetError as exc:
        raise UsageError(f"SLURM_JOB_NODELIST: {exc}") from None
    if len(hosts) < 2:
        return
    args.hosts = hosts
    if args.gpus_per_node is None:
        args.gpus_per_node = plans.slurm_gpus_per_node(os.environ)


def _check(args: argparse.Namespace) -> None:
    """Everything about the arguments that argparse does not check itself."""
    _allocation(args)
    hosts, gpus, per_node = args.hosts, args.gpus, args.gpus_per_node
    if hosts is None:
        if gpus is None:
            raise UsageError("give --gpus N for this host, or --hosts h1,h2,... with --gpus-per-node N "
                             "(inside a Slurm allocation of several nodes, those are the default)")
        for flag, value in (("--gpus-per-node", per_node), ("--launcher", args.launcher)):
            if value is not None:
                raise UsageError(f"{flag} needs --hosts")
        if gpus < 2:
            raise UsageError("--gpus 1: one rank measures nothing (its bus bandwidth is zero by definition); "
                             "give 2 or more")
    else:
        if gpus is not None:
            raise UsageError("with --hosts give --gpus-per-node N, not --gpus")
        if args.localize:
            raise UsageError("--localize is for one host (--gpus N); a fleet localises its suspects by itself")
        if per_node is None:
            raise UsageError("--hosts needs --gpus-per-node N (Slurm's SLURM_GPUS_PER_NODE gives none here)")
    if args.emulate:
        from .emulate import EMULATED_EXECUTABLES
        if args.binary_root is not None:
            raise UsageError("--emulate and --binary-root exclude each other")
        from .emulate import check_emulation
        check_emulation()
        strange = [n for n in (args.collectives or []) if n not in EMULATED_EXECUTABLES]
        if strange:
            raise UsageError(f"--emulate knows only {', '.join(EMULATED_EXECUTABLES)}; "
                             f"not {', '.join(strange)}")
    if args.binary_root is not None and not args.binary_root.isprintable():
        raise UsageError(f"--binary-root {args.binary_root!r} holds control characters")


# ---- the runner's listener ---------------------------------------------------------

class _Collector:
    """Hears each run from the runner: reads its output, keeps it, shows progress."""

    def __init__(self, progress: SweepProgress, keeper: LogKeeper | None, debug: RunDebug | None = None,
                 preload: Preload | None = None) -> None:
        self.progress = progress
        self.keeper = keeper
        self.debug = debug
        self.preload = preload
        self.measured: list[Measured] = []

    def started(self, cmd: list[str], timeout: float) -> None:
        from ..runner import label_of
        self.progress.started(label_of(cmd), timeout)
        if self.preload is not None:   # the rest loads while the benchmark runs
            self.preload.start()

    def finished(self, outcome: Outcome) -> None:
        if self.preload is not None:
            self.preload.wait("quorvane.record")
        from .. import analysis as qa
        from ..record import Measured, read_outcome
        from ..runner import label_of
        label = label_of(outcome.command)
        logs = self.keeper.final(outcome.logs) if self.keeper is not None else outcome.logs
        measured = Measured(label, outcome, logs=logs)
        self.measured.append(measured)  # kept first: a signal during the reading loses no run
        reading = measured.reading = read_outcome(label, outcome) if outcome.started else None
        complete = bool(reading is not None and reading.complete)
        corrupt = reading is not None and any(f.severity == qa.Severity.fail for f in reading.findings)
        if self.debug is not None:
            self.debug.finished(outcome.command, outcome.stdout, outcome.stderr)
        self.progress.finished(label, outcome, len(reading.rows) if reading is not None else 0, complete, corrupt)

    def all_requested(self, collectives: list[str], hosts: list[str] | None, stopped: bool) -> list[Measured]:
        """One entry per requested collective, in order: those that did not run say why."""
        from ..record import Measured
        from ..runner import collective_label
        measured = list(self.measured)
        ran = {m.label for m in measured}
        for exe in collectives:
            label = collective_label(exe)
            if label in ran:
                continue
            why = ("not run: the sweep was stopped" if stopped else
                   f"nccl-tests binary not found{' on launcher' if hosts else ''}: {exe}")
            measured.append(Measured(label, not_run=why))
        order = [collective_label(exe) for exe in collectives]
        measured.sort(key=lambda m: order.index(m.label) if m.label in order else len(order))
        return measured


# ---- sweep --------------------------------------------------------------------------

def _gpu_type_first(args: argparse.Namespace, hosts: list[str] | None) -> gpus.Detected | None:
    """The GPU type known before anything runs: --gpu-type, else this host's own
    GPUs for a one-host sweep (which also give the memory that bounds the plan)."""
    local = gpus.detect_local() if hosts is None and not args.emulate else None
    if args.gpu_type:
        return gpus.given(args.gpu_type)._replace(memory_bytes=local.memory_bytes if local else None)
    return local


def _check_benchmarks(args: argparse.Namespace, collectives: list[str]) -> None:
    """With none of the requested programs to be found, nothing can run: one line up front, as the fleet says it,
    rather than a table of failures that each say it."""
    if args.emulate:
        return
    root = args.binary_root or DEFAULT_BINARY_ROOT
    if all(plans.resolve_binary(exe, root) is None for exe in collectives):
        raise RunError(f"nccl-tests not found: no {', '.join(collectives)} under {shown(root)}, the usual folders "
                       "or the PATH (build nccl-tests, or give --binary-root DIR)")


def cmd_sweep(args: argparse.Namespace) -> int:
    _check(args)
    hosts: list[str] | None = args.hosts
    scope = "multi" if hosts else "intra"
    overrides = read_overrides()
    detected = _gpu_type_first(args, hosts)
    launcher = (args.launcher or plans.select_launcher(os.environ)) if hosts else plans.LOCAL
    plan = options.plan_of(args, launcher, collectives=args.collectives,
                           memory_bytes=detected.memory_bytes if detected is not None else None)
    forward = () if args.no_forward_env else plans.forwarded_nccl(os.environ, launcher)
    target = plans.Target(launcher, args.gpus_per_node if hosts else args.gpus, tuple(hosts or ()), forward)
    gpu_type = detected.gpu_type if detected is not None else ""
    if args.dry_run:
        return _dry_run(args, plan, target, gpu_type)
    _check_benchmarks(args, list(plan.collectives))
    warning = check_gpu_type(gpu_type, scope, overrides) if gpu_type else None
    from ..nccl_debug import RunDebug, context_from_topology
    from ..runner import CommandRunner, collective_label
    from .outputs import Outputs, stop_with_record
    from .progress import SweepProgress
    outputs = Outputs.resolve(args, warm_up=False)

    collectives: list[str] = list(plan.collectives)
    progress = SweepProgress(sys.stderr, [collective_label(c) for c in collectives])
    if warning:
        progress.say(f"{PROG}: warning: {warning}")
    if args.emulate:
        progress.say(f"{PROG}: {EMULATED} sweep: the stand-in benchmark replaces nccl-tests; nothing is measured")
    if plan.memory_note:
        progress.say(f"{PROG}: {plan.memory_note}")

    keeper = outputs.keeper
    debug = RunDebug(keeper.folder if keeper is not None else None)
    started_at, start = time.time(), time.monotonic()
    # the rest of the command loads on a thread from the first benchmark on, while they run
    preload = Preload(AFTER_RUNS, later=outputs.store, start=False)
    collector = _Collector(progress, keeper, debug, preload)
    runner = CommandRunner(grace_s=args.grace, observer=collector,
                           logs_for=keeper.for_command if keeper is not None else None,
                           environ_for=debug.environ_for)
    if args.deadline is not None:
        runner.deadline = start + args.deadline
    report = None
    ran: list[tuple[str, Any]] = []
    localized: dict[str, Any] | None = None
    stopped: Interrupted | None = None
    try:
        with progress, _binary_root(args, gpu_type) as root:
            if plan.name == "library":
                report = _library_sweep(args, hosts, gpu_type or gpus.UNKNOWN, collectives, runner, root)
            else:
                timeout = args.timeout or (480 if hosts else 240)
                for exe, line in zip(collectives, plans.command_lines(plan, target, _resolver(root))):
                    ran.append((exe, None if isinstance(line, str) else
                                runner.execute(list(line.argv), timeout=timeout)))
            if args.localize and hosts is None:
                preload.wait()
                localized = localize_gpus(args, gpu_type, root or DEFAULT_BINARY_ROOT, progress.say)
    except Interrupted as exc:
        stopped = exc
    finally:
        path = debug.account(context_from_topology(None, os.environ.get("NCCL_IB_HCA", "")))
        debug.close()

    preload.wait()
    from .. import collsweep as cs
    from ..causes import caveats_of
    from ..record import EXIT_FOR_VERDICT, build_record, cutoff_caveats, finding, now_utc
    from .render import render_record
    from .term import Lines
    err = Lines(sys.stderr)
    out = err if outputs.record_on_stdout else Lines(sys.stdout)   # with --json - the record owns stdout
    measured = collector.all_requested(collectives, hosts, stopped is not None)
    if detected is None:  # from the devices the benchmark named
        detected = gpus.detect_from_ranks(m.reading for m in measured) or gpus.NOT_FOUND
        gpu_type = detected.gpu_type
    num_nodes, per_node = (len(hosts), args.gpus_per_node) if hosts else (1, args.gpus)
    if report is not None:
        report.gpu_type = gpu_type
        cs._finalize_status(report)
    elif plan.name != "library" and stopped is None:
        report = plans.library_report(gpu_type, scope, num_nodes, per_node, ran)
    if report is not None and args.emulate:
        report.interconnect = EMULATED

    extra: dict[str, Any] = {"plan": plan.to_dict(), "gpu_type_from": detected.to_dict(),
                             "forwarded_env": dict(forward) or None, "transport": path}
    if localized is not None:
        extra["localization"] = localized
    if stopped is not None:
        extra.update(interrupted=signal.Signals(stopped.signum).name, exit_status=128 + stopped.signum)
    record = build_record(
        "sweep", started_at=now_utc(started_at), wall_s=time.monotonic() - start,
        hosts=hosts or [os.uname().nodename], gpu_type=gpu_type, scope=scope,
        num_nodes=num_nodes, gpus_per_node=per_node, emulated=bool(args.emulate), measured=measured,
        overrides=overrides, report=report, extra=extra)
    note = detected.note()
    if note is not None:
        record["findings"].append({**finding("gpu-type-unknown" if not detected.known else "gpu-type-found",
                                             "warn" if not detected.known else "note", note), "collective": None})
    record["caveats"] = caveats_of(record, measured, launcher=args.launcher, environ=os.environ)
    record["caveats"] += cutoff_caveats(gpu_type, scope, overrides, _largest_measured(record, plan))
    if (stopped is None and runner.deadline is not None and time.monotonic() >= runner.deadline
            and any(m.outcome is not None and m.outcome.timed_out for m in measured)):
        record.update(verdict="error", exit_status=EXIT_FOR_VERDICT["error"],
                      verdict_note=f"stopped at the --deadline of {args.deadline:g} s before the sweep was over")

    if stopped is not None:
        stop_with_record(stopped, record, outputs, "partial record")
    if localized is not None and localized["result"]:
        found = localized["result"]
        record["findings"].append({"code": "gpu-slow", "severity": found["severity"], "collective": None,
                                   "message": f"GPU {found['index']} is the slow one of this host",
                                   "evidence": found["evidence"]})
    preload.wait(everything=True)
    try:
        render_record(record, out, all_rows=args.all_rows)
        if localized is not None:
            found = localized["result"]
            out.print(f"localised  {found['evidence'] if found else 'no GPU stands out'}  "
                      f"({localized['runs']} pair runs in {localized['rounds']} rounds)")
        status = outputs.emit(record, say=err.print)
    except Interrupted as exc:  # the sweep was over: the whole record is kept
        stop_with_record(exc, record, outputs, "record")
    return status or int(record["exit_status"])


def _library_sweep(args: argparse.Namespace, hosts: list[str] | None, gpu_type: str, collectives: list[str],
                   runner: CommandRunner, root: str | None) -> Any:
    """`--plan library`: the library's own sweep, exactly as it runs it."""
    from .. import collsweep as cs
    options: dict[str, Any] = {"collectives": collectives, "runner": runner}
    if args.timeout is not None:
        options["timeout_s"] = args.timeout
    if root is not None:
        options["binary_root"] = root
    if hosts is not None:
        return cs.launch_multi_node(hosts, args.gpus_per_node, gpu_type, launcher_mode=args.launcher, **options)
    return cs.launch_intra_node(args.gpus, gpu_type, **options)


def _resolver(root: str | None) -> Any:
    """The executable's path as the library finds it (root, the usual folders, PATH)."""
    where = root or DEFAULT_BINARY_ROOT
    return lambda exe: (lambda found: os.path.abspath(found) if found else None)(plans.resolve_binary(exe, where))


def _largest_measured(record: dict[str, Any], plan: plans.Plan) -> int:
    """The largest all_reduce size measured, else the largest the plan asks for."""
    sizes = [row["size_bytes"] for e in record["collectives"] if e["collective"] == "all_reduce" for row in e["rows"]]
    return max(sizes) if sizes else plan.sizes()[-1] if plan.sizes() else 0


def _dry_run(args: argparse.Namespace, plan: plans.Plan, target: plans.Target, gpu_type: str) -> int:
    """Print each command line that would run, shell-quoted, with the variables it adds; run nothing."""
    missing: list[str] = []
    with _binary_root(args, gpu_type) as root:
        where = root or DEFAULT_BINARY_ROOT
        found = _resolver(root)

        def binary_for(exe: str) -> str:   # a program missing here is shown at the path it was looked for
            path = found(exe)
            if path is None:
                missing.append(exe)
            return path or os.path.join(where, exe)
        if plan.name == "library":
            lines = plans.library_lines(target, binary_for, plan.collectives)
        else:
            lines = plans.command_lines(plan, target, binary_for)
        text = [line.shell_line() for line in lines if not isinstance(line, str)]
    sys.stdout.write("".join(line + "\n" for line in text))
    sys.stdout.flush()
    for exe in missing:
        print(f"{PROG}: note: {exe} is not under {where}, the usual folders or the PATH here", file=sys.stderr)
    return 0


def localize_gpus(args: argparse.Namespace, gpu_type: str, root: str, say: Callable[[str], None]) -> dict[str, Any]:
    """all_reduce between every pair of this host's GPUs (CUDA_VISIBLE_DEVICES), the
    disjoint pairs of a round at once, and the GPU all of whose pairs are slow."""
    from concurrent.futures import ThreadPoolExecutor

    from .. import analysis as qa
    from .. import collsweep as cs
    from ..fleet import grade_run
    from ..runner import CommandRunner
    binary = cs._resolve_binary("all_reduce_perf", root) or os.path.join(root, "all_reduce_perf")
    # on the bandwidth plateau, where a slow GPU shows whole (the quick plan's sizes)
    bench = plans.make_plan("quick", collectives=["all_reduce_perf"]).benchmark(binary, 2)
    timeout = args.timeout or 240

    def measure(a: int, b: int) -> float | None:
        runner = CommandRunner(grace_s=args.grace, environ_for=lambda _: {"CUDA_VISIBLE_DEVICES": f"{a},{b}"})
        graded = grade_run(runner.execute(bench, timeout=timeout), gpu_type, "intra")
        return None if graded.problem else graded.busbw_gbps

    rounds = qa.gpu_pair_rounds(args.gpus)
    results: list[tuple[int, int, float | None]] = []
    with ThreadPoolExecutor(max_workers=max(1, args.gpus // 2), thread_name_prefix="quorvane-localize") as pool:
        for k, pairs in enumerate(rounds, 1):
            say(f"{PROG}: localise: GPU pairs, round {k} of {len(rounds)}")
            futures = [pool.submit(measure, a, b) for a, b in pairs]
            results += [(a, b, f.result()) for (a, b), f in zip(pairs, futures)]
    return {"kind": "gpu", "runs": len(results), "rounds": len(rounds),
            "pairs": [{"gpus": [a, b], "busbw_gbps": v} for a, b, v in results],
            "result": qa.localize_gpu(results) if args.gpus >= 3 else None}


@contextmanager
def _binary_root(args: argparse.Namespace, gpu_type: str = "") -> Iterator[str | None]:
    if args.emulate:
        from .emulate import emulated_binaries
        # The stand-in follows the published curve of the GPU type it is told.
        environ = {**os.environ, "QUORVANE_EMULATE_GPU_TYPE": gpu_type} if gpu_type else None
        with emulated_binaries(environ) as root:
            yield root
    else:
        yield args.binary_root


def register(sub: Any, fmt: Any) -> None:
    """Add `quorvane sweep` to the command line."""
    sweep = add_command(
        sub, "sweep", fmt, statuses=VERDICT_STATUSES,
        description="Run all_reduce, all_gather, reduce_scatter and broadcast over the plan's message sizes "
                    "(default: 8 B .. 16 GiB, up to the bandwidth plateau), show the tables, the headline "
                    "all_reduce bus bandwidth and its message size, the cutoffs and the verdict. Progress goes "
                    "to stderr.")
    one = sweep.add_argument_group("one host")
    one.add_argument("--gpus", type=options.count, metavar="N", help="number of local GPUs (2 or more)")
    many = sweep.add_argument_group("several hosts")
    many.add_argument("--hosts", type=options.host_list, metavar="H1,H2,...",
                      help="host addresses (two or more, distinct)")
    options.gpus_per_node(many)
    options.launcher(many, LAUNCHERS,
                      help="srun (Slurm), mpirun (Open MPI) or ssh (mpirun over ssh); "
                           "default: srun inside a Slurm job, mpirun under SkyPilot, else ssh")
    options.gpu_type(sweep, "GPU model for the cutoffs, e.g. H100_SXM (see `quorvane thresholds`); default: "
                            "from nvidia-smi or rocm-smi here, else from the device names the benchmark prints",
                     required=False)
    options.binary_root(sweep)
    options.deadline(sweep, "sweep")
    options.timeout(sweep, "seconds allowed per collective, at most a week "
                           "(default 240 for one host, 480 for several)")
    options.grace(sweep)
    sweep.add_argument("--collectives", type=options.collectives, metavar="A,B,...",
                       help="collectives to run, in order, e.g. all_reduce,all_gather (default: all four)")
    options.emulate(sweep, "run the built-in stand-in benchmark instead of nccl-tests (no GPU needed); "
                           "the record says \"emulated\"")
    options.plan(sweep)
    sweep.add_argument("--localize", action="store_true",
                       help="one host: then run all_reduce between every pair of its GPUs (disjoint pairs at "
                            "once) and name the GPU whose pairs are all slow")
    options.all_rows(sweep)
    options.outputs(sweep)
    sweep.set_defaults(handler=cmd_sweep)
