"""Each option more than one command takes, defined once, and the argument
types behind them.  Help text that differs between commands is passed in.
Imports nothing heavy: every command's options are built before any command
module's work is imported."""
from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import Any

MAX_GPUS = 4096
MAX_TIMEOUT_S = 7 * 24 * 3600
MAX_GRACE_S = 3600
DB_VAR = "QUORVANE_DB"   # the history's variable, named here without importing the history (sqlite3)
GPU_TYPE_HELP = "GPU model for the cutoffs, e.g. H100_SXM (see `quorvane thresholds`)"


# ---- argument types -----------------------------------------------------------------

def count(text: str) -> int:
    """A number of GPUs: 1 .. 4096."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= MAX_GPUS:
        raise argparse.ArgumentTypeError(f"must be between 1 and {MAX_GPUS}: {text!r}")
    return value


def seconds(limit: float, whole: bool) -> Callable[[str], float]:
    """Seconds up to `limit`: whole and at least 1, or any number from 0."""
    def parse(text: str) -> float:
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {'whole ' if whole else ''}number of seconds: "
                                             f"{text!r}") from None
        low = 1 if whole else 0
        if not low <= value <= limit:  # NaN fails this too
            raise argparse.ArgumentTypeError(f"must be between {low} and {limit:g} seconds: {text!r}")
        return value
    return parse


def host_list(text: str) -> list[str]:
    """h1,h2,...: two or more distinct host names."""
    hosts = [h.strip() for h in text.split(",")]
    for host in hosts:
        if not host:
            raise argparse.ArgumentTypeError(f"empty host name in {text!r}")
        if host.startswith("-"):
            raise argparse.ArgumentTypeError(f"host name {host!r} starts with '-'")
        if any(c.isspace() or not c.isprintable() for c in host):
            raise argparse.ArgumentTypeError(f"host name {host!r} holds white space or control characters")
    # Host names compare case-insensitively (DNS): gpu1 and GPU1 are one host; a set checks a thousand at once.
    seen: set[str] = set()
    for host in hosts:
        if host.lower() in seen:
            raise argparse.ArgumentTypeError(f"host {host!r} is listed twice")
        seen.add(host.lower())
    if len(hosts) < 2:
        raise argparse.ArgumentTypeError("needs at least two hosts (for one host use --gpus N)")
    return hosts


def collectives(text: str) -> list[str]:
    """'all_reduce,broadcast' or executable names -> executable names, in order."""
    names = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise argparse.ArgumentTypeError(f"empty collective name in {text!r}")
        if not item.replace("_", "").isalnum() or not item.isascii():
            raise argparse.ArgumentTypeError(f"not a collective name: {item!r}")
        exe = item if item.endswith("_perf") else item + "_perf"
        if exe in names:
            raise argparse.ArgumentTypeError(f"{item!r} is listed twice")
        names.append(exe)
    return names


def whole_from_1(most: int | None = None) -> Callable[[str], int]:
    """A whole number of at least 1 (and at most `most`)."""
    def parse(text: str) -> int:
        if not (text.isascii() and text.isdigit()) or int(text) < 1 or (most is not None and int(text) > most):
            raise argparse.ArgumentTypeError(
                f"must be a whole number from 1 to {most}: {text!r}" if most is not None
                else f"not a whole number of at least 1: {text!r}")
        return int(text)
    return parse


def percent(text: str) -> float:
    """A percentage from 0 up to (not including) 100; a trailing % is allowed."""
    try:
        value = float(text.rstrip("%"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not (math.isfinite(value) and 0 <= value < 100):
        raise argparse.ArgumentTypeError(f"must be from 0 up to (not including) 100: {text!r}")
    return value


# ---- the shared options ---------------------------------------------------------------

def _configured(key: str) -> str | None:
    from ..config import active

    return active().get(key)


def gpu_type(p: Any, help: str = GPU_TYPE_HELP, *, required: bool = True) -> None:
    """--gpu-type of a command that grades; where the command needs it, the
    configuration file's gpu_type is its default (grade reads it from the
    output's own device names first)."""
    configured = _configured("gpu_type") if required else None
    if configured:
        help += f" (default from the configuration file: {configured})"
    p.add_argument("--gpu-type", required=required and not configured, metavar="TYPE", help=help)
    p.set_defaults(config_gpu_type=required)


def launcher(p: Any, choices: tuple[str, ...], help: str) -> None:
    """--launcher; the configuration file's launcher is its default where it is one of `choices`."""
    p.add_argument("--launcher", choices=choices, help=help)
    p.set_defaults(config_launcher=choices)


def gpus_per_node(p: Any, *, required: bool = False) -> None:
    p.add_argument("--gpus-per-node", type=count, required=required, metavar="N", help="GPUs per host")


def binary_root(p: Any, help: str = "directory of the nccl-tests executables (default /opt/nccl-tests/build)"
                ) -> None:
    p.add_argument("--binary-root", metavar="DIR", help=help)
    p.set_defaults(config_binary_root=True)


def apply_config(args: argparse.Namespace) -> None:
    """Fill the options left unset from the configuration file (a flag always
    wins): --gpu-type, --binary-root (not with --emulate), --plan, --launcher
    (where the command runs on several hosts and takes that launcher)."""
    if getattr(args, "config_gpu_type", False) and args.gpu_type is None:
        args.gpu_type = _configured("gpu_type")
    if getattr(args, "config_binary_root", False) and args.binary_root is None \
            and not getattr(args, "emulate", False):
        args.binary_root = _configured("binary_root")
    if hasattr(args, "plan") and args.plan is None:
        args.plan = _configured("plan")   # checked against the plans when the file was read
    choices = getattr(args, "config_launcher", None)
    if choices and args.launcher is None and getattr(args, "gpus", None) is None:
        configured = _configured("launcher")
        if configured in choices:
            args.launcher = configured


def timeout(p: Any, help: str) -> None:
    p.add_argument("--timeout", type=seconds(MAX_TIMEOUT_S, True), metavar="S", help=help)


# The runner's default (quorvane.runner.GRACE_S), named here so that building
# the parser loads neither the runner nor the library behind it.
GRACE_S = 5.0


def deadline(p: Any, what: str) -> None:
    p.add_argument("--deadline", type=seconds(MAX_TIMEOUT_S, True), metavar="S",
                   help=f"seconds the whole {what} may take, every run in it included: what is still running "
                        "then is stopped and the verdict is error (exit 4); for prologs and health checks")


def grace(p: Any, what: str = "a benchmark") -> None:
    p.add_argument("--grace", type=seconds(MAX_GRACE_S, False), metavar="S", default=GRACE_S,
                   help=f"seconds {what} gets to stop after SIGTERM before SIGKILL (default {GRACE_S:g})")


def emulate(p: Any, help: str) -> None:
    p.add_argument("--emulate", action="store_true", help=help)


def quiet(p: Any) -> None:
    p.add_argument("-q", "--quiet", action="count", default=0,
                   help="print only the verdict line (-qq: nothing; the exit status alone)")


def json_file(p: Any, help: str = "write the result as JSON to FILE ('-': stdout)") -> None:
    p.add_argument("--json", metavar="FILE", help=help)


def prom_file(p: Any, help: str = "also write Prometheus text-format metrics to FILE (for node_exporter's "
                                  "textfile collector; '-': stdout)") -> None:
    p.add_argument("--prom", metavar="FILE", help=help)


def topo(p: Any, help: str) -> None:
    p.add_argument("--topo", metavar="FILE", help=help)


def keep_logs(p: Any) -> None:
    p.add_argument("--keep-logs", metavar="DIR",
                   help="keep each collective's raw stdout and stderr in DIR (named in the record)")


def db(p: Any) -> None:
    p.add_argument("--db", metavar="FILE|URL",
                   help=f"the history: a file, or a postgresql://user@host/database URL (default: ${DB_VAR}, "
                        f"else $XDG_DATA_HOME/quorvane/history.sqlite3)")


def no_record(p: Any) -> None:
    p.add_argument("--no-record", action="store_true", help="do not record this run in the history")


def all_rows(p: Any) -> None:
    p.add_argument("--all-rows", action="store_true",
                   help="show every row of each collective (default: a screenful, the first and the last rows; "
                        "the record keeps every row either way)")


def outputs(p: Any, *, logs: bool = True) -> None:
    """The options of a command that makes a record: --json, --keep-logs,
    --prom, --db, --no-record (see cli.outputs)."""
    json_file(p, "write the record as JSON to FILE ('-': stdout, and the tables go to stderr)")
    if logs:
        keep_logs(p)
    prom_file(p)
    db(p)
    no_record(p)


# ---- the sweep plan (sweep, fleet) ---------------------------------------------------

def _plan_type(parse: Callable[[str], Any]) -> Callable[[str], Any]:
    def convert(text: str) -> Any:
        from ..plans import PlanError
        try:
            return parse(text)
        except PlanError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return convert


def _iterations(low: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        from ..plans import parse_count
        return parse_count(text, "the value", low)
    return _plan_type(parse)


def plan(p: Any, *, what: str = "collective") -> None:
    """--plan, --sizes, --iters, --warmup, --bench-arg, --env, --no-forward-env, --dry-run."""
    from ..plans import DEFAULT_PLAN, PLANS, parse_env, parse_sizes

    g = p.add_argument_group("plan (what runs)")
    g.add_argument("--plan", choices=PLANS, default=None,
                   help=f"full: 8 B .. 16 GiB by 2, the bandwidth plateau (default {DEFAULT_PLAN}); quick: all_reduce "
                        "at 1-8 GiB; library: the library's fixed sweep (8 KiB .. 128 MiB by 16)")
    g.add_argument("--sizes", type=_plan_type(parse_sizes), metavar="MIN:MAX[:FACTOR]",
                   help="message sizes, as nccl-tests reads them (8, 64K, 128M, 8G); factor 2 by default")
    g.add_argument("--iters", type=_iterations(1), metavar="N", help=f"timed iterations per size and {what}")
    g.add_argument("--warmup", type=_iterations(0), metavar="N", help="warm-up iterations")
    g.add_argument("--bench-arg", action="append", default=[], metavar="ARG",
                   help="words for nccl-tests, split as a shell would, e.g. --bench-arg='-d bfloat16' "
                        "(repeatable; flags the plan sets are refused)")
    g.add_argument("--env", action="append", type=_plan_type(parse_env), default=[], metavar="NAME=VALUE",
                   help="a variable for every rank (srun --export, mpirun -x, env on one host); repeatable")
    g.add_argument("--no-forward-env", action="store_true",
                   help="do not pass this environment's NCCL_* variables on to mpirun and ssh ranks")
    g.add_argument("--dry-run", action="store_true",
                   help="print each command line that would run (shell-quoted, with the variables it adds) "
                        "and exit 0")


def plan_of(args: Any, launcher: str, *, collectives: Any = None, memory_bytes: int | None = None) -> Any:
    """The plan the options ask for, for runs through `launcher`; a bad
    combination is a usage error."""
    from ..plans import DEFAULT_PLAN, PlanError, check_target, make_plan, parse_bench_args
    from .common import UsageError

    try:
        plan = make_plan(args.plan or DEFAULT_PLAN, collectives=collectives, sizes=args.sizes, iters=args.iters,
                         warmup=args.warmup, bench_args=parse_bench_args(args.bench_arg), env=args.env,
                         memory_bytes=memory_bytes)
        check_target(plan, launcher)
    except PlanError as exc:
        raise UsageError(str(exc)) from None
    return plan
