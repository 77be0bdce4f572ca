"""Which command lines a sweep runs: the plans, and the launchers' forms.

A plan says which collectives run over which message sizes with how many
iterations, and what else the operator passes to nccl-tests:

* `full` (the default): all four collectives from 8 B (latency shows) to
  16 GiB by factor 2.  Published runs reach their bandwidth plateau between
  1 and 16 GiB (8x H100 SXM: 470 GB/s at 1 GiB, 481 at 8 GiB, 482 at 16 GiB;
  8x A100 SXM: 230 at 1 GiB, 235 at 8 GiB; 8x MI300X: 314 at 1 GiB, 316 at
  8 GiB; two 8x H100 hosts: 298 at 1 GiB, 339 at 8 GiB), so the largest size
  is 16 GiB, lowered where the GPU memory is known and too small for it;
* `quick`: all_reduce alone at 1, 2, 4 and 8 GiB, for admission checks;
* `library`: the library's own fixed sweep (8 KiB .. 128 MiB, factor 16),
  run by `launch_intra_node` / `launch_multi_node` themselves.

`Target` says where the runs go (this host, or hosts through srun, mpirun or
mpirun over ssh); `command_lines` turns a plan and a target into the exact
argument list and added environment of every run.  Nothing here runs
anything: the runner does.
"""
from __future__ import annotations

import re
import shlex
from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import NamedTuple

from .hostlist import bracketed

PLANS = ("full", "quick", "library")
DEFAULT_BINARY_ROOT = "/opt/nccl-tests/build"
DEFAULT_PLAN = "full"
ALL_COLLECTIVES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")

KIB, MIB, GIB = 1 << 10, 1 << 20, 1 << 30
FULL_LARGEST = 16 * GIB
SMALLEST_LARGEST = 1 * GIB     # a plan's largest size never goes below this for lack of memory
MAX_SIZE = 1 << 40             # 1 TiB: no GPU holds more today
MAX_ITERS = 1_000_000

# nccl-tests keeps a send, a receive and (validating) an expected buffer of
# the largest size on every GPU; leave a tenth of the memory to NCCL itself.
BUFFERS = 3
MEMORY_SHARE = 0.9

# Flags a plan sets itself (sizes, GPUs per process, iterations), or that
# would change what the command reads (threads multiply the ranks; -J moves
# the results to a file): short letters and long names of nccl-tests.
PLAN_FLAGS = {
    "b": "minbytes", "e": "maxbytes", "f": "stepfactor", "i": "stepbytes", "g": "ngpus", "n": "iters",
    "w": "warmup_iters", "t": "nthreads", "J": "output_file",
}
_LONG_FLAGS = {long: short for short, long in PLAN_FLAGS.items()}
ENV_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
_SIZE = re.compile(r"([0-9]+)([KMGkmg]?)")
_UNITS = {"": 1, "k": KIB, "m": MIB, "g": GIB}


class PlanError(ValueError):
    """A plan that cannot be built: one line for the user (usage, exit 64)."""


# ---- option values -------------------------------------------------------------------

def parse_size(text: str) -> int:
    """'8', '64K', '128M', '8G' (powers of 1024, as nccl-tests reads them) -> bytes."""
    m = _SIZE.fullmatch(text.strip())
    if m is None:
        raise PlanError(f"not a size: {text!r} (a whole number of bytes, or with K, M or G)")
    return int(m.group(1)) * _UNITS[m.group(2).lower()]


def parse_sizes(text: str) -> tuple[int, int, int]:
    """--sizes MIN:MAX[:FACTOR] -> (begin, end, factor); the factor defaults to 2."""
    parts = text.split(":")
    if len(parts) not in (2, 3):
        raise PlanError(f"--sizes takes MIN:MAX or MIN:MAX:FACTOR, not {text!r}")
    begin, end = parse_size(parts[0]), parse_size(parts[1])
    factor_text = parts[2].strip() if len(parts) == 3 else "2"
    if not (factor_text.isascii() and factor_text.isdigit()) or not 2 <= int(factor_text) <= 1024:
        raise PlanError(f"--sizes: the factor must be a whole number from 2 to 1024, not {factor_text!r}")
    if begin < 1:
        raise PlanError(f"--sizes: the smallest size must be at least 1 byte, not {parts[0]!r}")
    if end < begin:
        raise PlanError(f"--sizes: the largest size {parts[1]!r} is below the smallest {parts[0]!r}")
    if end > MAX_SIZE:
        raise PlanError(f"--sizes: {parts[1]!r} is above 1T, more than any GPU holds")
    return begin, end, int(factor_text)


def parse_count(text: str, what: str, low: int) -> int:
    if not (text.strip().isascii() and text.strip().isdigit()) or not low <= int(text) <= MAX_ITERS:
        raise PlanError(f"{what} must be a whole number from {low} to {MAX_ITERS}, not {text!r}")
    return int(text)


def parse_env(text: str) -> tuple[str, str]:
    """--env NAME=VALUE -> (name, value)."""
    name, sep, value = text.partition("=")
    if not sep or not ENV_NAME.fullmatch(name):
        raise PlanError(f"--env takes NAME=VALUE with a variable name of letters, digits and _, not {text!r}")
    if "\0" in value or "\n" in value:
        raise PlanError(f"--env {name}: the value holds a NUL or a line break")
    return name, value


def refused_flag(arg: str) -> str | None:
    """The plan's own flag that a --bench-arg word sets ('-b', '-b8', '--minbytes=8'), or None."""
    if arg.startswith("--"):
        long = arg[2:].split("=", 1)[0]
        return f"--{long}" if long in _LONG_FLAGS else None
    if arg.startswith("-") and len(arg) >= 2 and arg[1] in PLAN_FLAGS:
        return f"-{arg[1]}"
    return None


def parse_bench_args(values: Iterable[str]) -> list[str]:
    """--bench-arg values, each split as a shell would ('-d half' is two words),
    in order; a flag the plan sets itself is refused."""
    words: list[str] = []
    for value in values:
        try:
            split = shlex.split(value)
        except ValueError as exc:
            raise PlanError(f"--bench-arg {value!r}: {exc}") from None
        for word in split:
            flag = refused_flag(word)
            if flag is not None:
                short = flag if len(flag) == 2 else f"-{_LONG_FLAGS[flag[2:]]}"
                raise PlanError(f"--bench-arg {word!r}: {flag} is set by the plan itself "
                                f"({_plan_option(short)})")
            if any(c in word for c in "\0\n"):
                raise PlanError(f"--bench-arg {value!r} holds a NUL or a line break")
        words += split
    return words


def _plan_option(short: str) -> str:
    return {"-b": "use --sizes", "-e": "use --sizes", "-f": "use --sizes", "-i": "use --sizes",
            "-n": "use --iters", "-w": "use --warmup", "-g": "the GPUs come from --gpus or --gpus-per-node",
            "-t": "one thread per process is what the reader expects",
            "-J": "the command reads the printed table"}[short]


# ---- the plan ------------------------------------------------------------------------

class Plan(NamedTuple):
    """What runs, whatever the launcher: collectives (executable names), sizes,
    iterations, extra benchmark words, and variables for every rank.  (Plain
    tuples here: --dry-run must start as fast as --version, and dataclasses
    alone would cost it a third.)"""
    name: str
    collectives: tuple[str, ...]
    begin: int
    end: int
    factor: int
    iters: int
    warmup: int
    bench_args: tuple[str, ...] = ()
    env: tuple[tuple[str, str], ...] = ()
    memory_note: str | None = None   # why the largest size is below the plan's own

    def benchmark(self, binary: str, gpus: int) -> list[str]:
        """One benchmark process's command line, driving `gpus` GPUs."""
        return [binary, "-b", str(self.begin), "-e", str(self.end), "-f", str(self.factor), "-g", str(gpus),
                "-n", str(self.iters), "-w", str(self.warmup), *self.bench_args]

    def sizes(self) -> list[int]:
        out, size = [], self.begin
        while size <= self.end:
            out.append(size)
            size *= self.factor
        return out

    def to_dict(self) -> dict[str, object]:
        return {"name": self.name, "collectives": [c.removesuffix("_perf") for c in self.collectives],
                "begin_bytes": self.begin, "end_bytes": self.end, "factor": self.factor, "iters": self.iters,
                "warmup": self.warmup, "bench_args": list(self.bench_args), "env": dict(self.env),
                "memory_note": self.memory_note}


_PRESETS = {
    # name: collectives, begin, end, factor, iters, warmup
    "full": (ALL_COLLECTIVES, 8, FULL_LARGEST, 2, 20, 5),
    "quick": (("all_reduce_perf",), 1 * GIB, 8 * GIB, 2, 20, 5),
}


def largest_for_memory(memory_bytes: int | None, largest: int) -> int:
    """The plan's largest size, lowered to the largest power of two whose buffers
    fit the GPU memory (never below 1 GiB, never above the plan's own)."""
    if not memory_bytes or memory_bytes <= 0:
        return largest
    fits = int(memory_bytes * MEMORY_SHARE) // BUFFERS
    size = SMALLEST_LARGEST
    while size * 2 <= fits and size * 2 <= largest:
        size *= 2
    return min(largest, size)


def library_plan(collectives: Sequence[str] | None = None) -> Plan:
    """The library's fixed sweep, as its own command builders spell it."""
    from . import collsweep as cs
    cfg = cs._LauncherConfig()
    return Plan("library", tuple(collectives or ALL_COLLECTIVES), int(cfg.begin_bytes), int(cfg.end_bytes),
                int(cfg.step_factor), int(cfg.iterations), int(cfg.warmup_iters))


def make_plan(name: str = DEFAULT_PLAN, *, collectives: Sequence[str] | None = None,
              sizes: tuple[int, int, int] | None = None, iters: int | None = None, warmup: int | None = None,
              bench_args: Sequence[str] = (), env: Sequence[tuple[str, str]] = (),
              memory_bytes: int | None = None) -> Plan:
    """The plan `name` with the operator's changes.  `--plan library` takes none:
    it is the library's sweep exactly as the library runs it."""
    if name not in PLANS:
        raise PlanError(f"unknown plan {name!r}; one of {', '.join(PLANS)}")
    if name == "library":
        given = [flag for flag, value in (("--sizes", sizes), ("--iters", iters), ("--warmup", warmup),
                                          ("--bench-arg", bench_args or None), ("--env", env or None))
                 if value is not None]
        if given:
            raise PlanError(f"--plan library runs the library's fixed sweep; {', '.join(given)} "
                            f"need{'s' if len(given) == 1 else ''} --plan full or quick")
        return library_plan(collectives)
    preset_colls, begin, end, factor, n, w = _PRESETS[name]
    note = None
    if sizes is not None:
        begin, end, factor = sizes
    else:
        fitted = largest_for_memory(memory_bytes, end)
        if fitted < end:
            note = (f"largest size {fitted >> 30} GiB: {BUFFERS} buffers of it fit in {memory_bytes / GIB:.0f} GiB "
                    "of GPU memory")
            end = fitted
            begin = min(begin, end)
    names = dict.fromkeys(env_name for env_name, _ in env)
    if len(names) != len(env):
        twice = next(n for n in names if sum(1 for k, _ in env if k == n) > 1)
        raise PlanError(f"--env {twice} is given twice")
    return Plan(name, tuple(collectives or preset_colls), begin, end, factor,
                iters if iters is not None else n, warmup if warmup is not None else w,
                tuple(bench_args), tuple(env), note)


# ---- where the runs go ---------------------------------------------------------------

LOCAL = "local"


class Target(NamedTuple):
    """Where a sweep's runs go: this host (`local`, one process driving `gpus`
    GPUs), or `hosts` through a launcher with `gpus` ranks per host.
    `forward` holds this environment's NCCL_* variables that mpirun passes on
    (srun passes the whole environment on by itself)."""
    launcher: str
    gpus: int
    hosts: tuple[str, ...] = ()
    forward: tuple[tuple[str, str], ...] = ()


def forwarded_nccl(environ: Mapping[str, str], launcher: str) -> tuple[tuple[str, str], ...]:
    """The caller's NCCL_* variables, for a launcher that does not pass them on itself."""
    if launcher not in ("mpirun", "ssh"):
        return ()
    return tuple(sorted((k, v) for k, v in environ.items()
                        if k.startswith("NCCL_") and ENV_NAME.fullmatch(k) and "\n" not in v))


_NUMBERED = re.compile(r"([A-Za-z0-9_.:-]*?)([0-9]+)([A-Za-z_.:-]*)")


def nodelist(hosts: Sequence[str]) -> str:
    """Slurm's compressed host list ('gpu[01-16],login1'); two hosts are plainly joined.

    Names that differ only in one run of digits fold into a bracketed range,
    zero-padded ranges only with names of the same width.  ClusterShell reads
    and writes the same syntax but takes ~100 ms for 1,024 names; this is one
    pass and a sort."""
    if len(hosts) <= 2:
        return ",".join(hosts)
    groups: dict[tuple[str, str, int], list[int]] = {}
    plain: list[str] = []
    for host in hosts:
        m = _NUMBERED.fullmatch(host)
        if m is None:
            plain.append(host)
            continue
        digits = m.group(2)   # same-width numbers share a zero-padded range ("0999-1024" is 0999..1024)
        groups.setdefault((m.group(1), m.group(3), len(digits)), []).append(int(digits))
    parts = [bracketed(prefix, numbers, width, suffix) for (prefix, suffix, width), numbers in groups.items()]
    return ",".join(parts + plain)


def srun_command(hosts: Sequence[str], per_node: int, benchmark: Sequence[str],
                 env: Sequence[tuple[str, str]] = (), *, mpi: bool = True, nodes: str | None = None) -> list[str]:
    """One Slurm step on exactly `hosts`, `per_node` tasks on each; a dead rank ends
    the step.  Variables go through --export (the whole environment, plus these)."""
    bad = [k for k, v in env if "," in v]
    if bad:
        raise PlanError(f"--env {bad[0]}: srun's --export cannot carry a value holding a comma")
    cmd = ["srun", f"--nodelist={nodes if nodes is not None else nodelist(hosts)}", f"--nodes={len(hosts)}", f"--ntasks={len(hosts) * per_node}",
           f"--ntasks-per-node={per_node}", "--kill-on-bad-exit=1"]
    if mpi:
        cmd.append("--mpi=pmix")
    if env:
        cmd.append("--export=" + ",".join(["ALL", *(f"{k}={v}" for k, v in env)]))
    return cmd + list(benchmark)


def mpirun_command(hosts: Sequence[str], per_node: int, benchmark: Sequence[str],
                   env: Sequence[tuple[str, str]] = (), *, over_ssh: bool) -> list[str]:
    """Open MPI's form (over ssh with `over_ssh`): NCCL_DEBUG=WARN unless the
    variables say otherwise, each variable with -x."""
    cmd = ["mpirun"] + (["--mca", "plm_rsh_agent", "ssh"] if over_ssh else [])
    cmd += ["-H", ",".join(f"{h}:{per_node}" for h in hosts), "-np", str(len(hosts) * per_node),
            "--allow-run-as-root", "--bind-to", "none"]
    names = {k for k, _ in env}
    for k, v in ([] if "NCCL_DEBUG" in names else [("NCCL_DEBUG", "WARN")]) + list(env):
        cmd += ["-x", f"{k}={v}"]
    return cmd + list(benchmark)


def remote_line(benchmark: Sequence[str], env: Sequence[tuple[str, str]] = ()) -> str:
    """The one line a remote shell runs: the variables through env(1), all quoted."""
    line = shlex.join(benchmark)
    if env:
        line = "env " + " ".join(shlex.quote(f"{k}={v}") for k, v in env) + " " + line
    return line


def ssh_command(host: str, benchmark: Sequence[str], env: Sequence[tuple[str, str]] = (), *,
                line: str | None = None) -> list[str]:
    """One host reached over ssh (`line`: the remote line, when already built)."""
    return ["ssh", "-o", "BatchMode=yes", "-o", "ConnectTimeout=20", "--", host,
            line if line is not None else remote_line(benchmark, env)]


def rank_command(cmd: Sequence[str], env: Mapping[str, str]) -> list[str]:
    """`cmd` with `env` reaching every rank it starts, not only the launcher:
    Open MPI passes only what -x names, and a remote shell only what its line
    sets (srun exports the whole environment, a local run inherits it)."""
    cmd = list(cmd)
    if not env or not cmd:
        return cmd
    if cmd[0] == "mpirun":
        kept = [cmd[0]]
        i = 1
        while i < len(cmd):   # a variable set again here replaces the form's own (-x NCCL_DEBUG=WARN)
            if cmd[i] == "-x" and i + 1 < len(cmd) and cmd[i + 1].partition("=")[0] in env:
                i += 2
                continue
            kept.append(cmd[i])
            i += 1
        return kept[:1] + [a for k, v in env.items() for a in ("-x", f"{k}={v}")] + kept[1:]
    if cmd[0] == "ssh":
        words = shlex.split(cmd[-1])
        pairs: list[tuple[str, str]] = []
        if words[:1] == ["env"]:
            words = words[1:]
            while words and ENV_NAME.fullmatch(words[0].partition("=")[0]) and "=" in words[0]:
                key, _, value = words.pop(0).partition("=")
                if key not in env:
                    pairs.append((key, value))
        return cmd[:-1] + [remote_line(words, pairs + list(env.items()))]
    return cmd


class Run(NamedTuple):
    """One command line of a sweep: the collective's label, the argument list as
    the runner gets it, and the variables it adds to the environment."""
    collective: str
    argv: tuple[str, ...]
    env: tuple[tuple[str, str], ...] = ()

    def shell_line(self) -> str:
        """The line a shell would run: the added variables first, all quoted."""
        prefix = " ".join(shlex.quote(f"{k}={v}") for k, v in self.env)
        return f"{prefix} {shlex.join(self.argv)}" if prefix else shlex.join(self.argv)


def run_for(plan: Plan, target: Target, binary: str, extra_env: Sequence[tuple[str, str]] = (),
            nodes: str | None = None) -> Run:
    """The command line of one collective's run (`binary` is its resolved path;
    `nodes`: the target's compressed host list, when already made)."""
    label = binary.rsplit("/", 1)[-1].removesuffix("_perf")
    env = list(plan.env) + list(extra_env)
    if target.launcher == LOCAL:
        argv = plan.benchmark(binary, target.gpus)
        # One host: the runner starts the program with these variables through env(1).
        if env:
            argv = ["env", *(f"{k}={v}" for k, v in env), *argv]
        return Run(label, tuple(argv))
    benchmark = plan.benchmark(binary, 1)
    if target.launcher == "srun":
        return Run(label, tuple(srun_command(target.hosts, target.gpus, benchmark, env, nodes=nodes)))
    names = {k for k, _ in env}
    forwarded = [(k, v) for k, v in target.forward if k not in names]
    return Run(label, tuple(mpirun_command(target.hosts, target.gpus, benchmark, forwarded + env,
                                           over_ssh=target.launcher == "ssh")))


def command_lines(plan: Plan, target: Target, binary_for: Callable[[str], str | None],
                  extra_env: Sequence[tuple[str, str]] = ()) -> list[Run | str]:
    """Every run of the plan, in order: a `Run`, or for a collective whose
    executable was not found, the executable's name."""
    out: list[Run | str] = []
    nodes = nodelist(target.hosts) if target.launcher == "srun" else None   # once for every run
    for exe in plan.collectives:
        binary = binary_for(exe)
        out.append(exe if binary is None else run_for(plan, target, binary, extra_env, nodes))
    return out


SEARCHED = ("/opt/nccl-tests/build/", "/workspace/nccl-tests/build/", "/usr/local/bin/")


def resolve_binary(name: str, root: str) -> str | None:
    """Where the library's sweep finds an executable (`collsweep._resolve_binary`):
    `root`, the usual folders, then the PATH; the same answer without loading it."""
    import os
    import shutil
    for candidate in (os.path.join(root, name), *(folder + name for folder in SEARCHED)):
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return shutil.which(name)


def select_launcher(environ: Mapping[str, str]) -> str:
    """The launcher the library picks without one named (`collsweep._select_launcher_mode`)."""
    if environ.get("SLURM_JOB_ID"):
        return "srun"
    return "mpirun" if environ.get("SKYPILOT_NUM_NODES") else "ssh"


def library_lines(target: Target, binary_for: Callable[[str], str | None],
                  collectives: Sequence[str]) -> list[Run | str]:
    """The command lines the library's own sweep would run, from its own builders."""
    from . import collsweep as cs
    cfg = cs._LauncherConfig()
    out: list[Run | str] = []
    for exe in collectives:
        binary = binary_for(exe)
        if binary is None:
            out.append(exe)
            continue
        label = exe.removesuffix("_perf")
        if target.launcher == LOCAL:
            argv = cs._build_binary_command(binary, target.gpus, cfg)
        else:
            argv = cs._build_multi_node_command(mode=target.launcher, binary=binary, node_ips=list(target.hosts),
                                                gpus_per_node=target.gpus,
                                                total_ranks=len(target.hosts) * target.gpus, cfg=cfg)
        out.append(Run(label, tuple(argv)))
    return out


def largest_measured(name: str) -> int:
    """The largest message size plan `name` measures as it stands (before any
    memory bound): what a cutoff is checked against."""
    from . import analysis as qa
    plan = make_plan(name)
    return int(qa.largest_measured_size(plan.begin, plan.end, plan.factor))


def library_report(gpu_type: str, scope: str, num_nodes: int, gpus_per_node: int,
                   runs: Sequence[tuple[str, object | None]]) -> object:
    """The library's report of a plan the command ran itself, made as the
    library's sweep makes its own: each run that exited 0 parsed with
    `parse_nccl_table`, the last failure in `error` ("<exe> exited N: <stderr>",
    "nccl-tests binary not found: <exe>"), graded by `_finalize_status`.
    `runs` holds (executable name, the runner's Outcome or None when not found)."""
    from . import collsweep as cs
    rows: list[object] = []
    error = None
    for exe, outcome in runs:
        if outcome is None:
            error = f"nccl-tests binary not found: {exe}"
            continue
        result = outcome.shell_result()  # type: ignore[attr-defined]
        if result.returncode != 0:
            error = f"{exe} exited {result.returncode}: {result.stderr[:200]}"
            continue
        rows += cs.parse_nccl_table(result.stdout, str(cs.collective_name_for_binary(exe)))
    report = cs.NcclReport(gpu_type=gpu_type, scope=scope, num_nodes=num_nodes, gpus_per_node=gpus_per_node,
                           results=rows, error=error)
    cs._finalize_status(report)
    return report


def slurm_gpus_per_node(environ: Mapping[str, str]) -> int | None:
    """GPUs per node of the allocation, from SLURM_GPUS_PER_NODE ("8", "h100:8")
    or SLURM_GPUS_ON_NODE; None where neither gives one number."""
    for name in ("SLURM_GPUS_PER_NODE", "SLURM_GPUS_ON_NODE"):
        text = environ.get(name, "").strip()
        last = text.rsplit(":", 1)[-1]
        if text and "," not in text and last.isascii() and last.isdigit() and int(last) > 0:
            return int(last)
    return None


def check_target(plan: Plan, launcher: str) -> None:
    """What a launcher cannot carry, before anything runs (PlanError)."""
    if launcher == "srun":
        bad = [k for k, v in plan.env if "," in v]
        if bad:
            raise PlanError(f"--env {bad[0]}: srun's --export cannot carry a value holding a comma")
