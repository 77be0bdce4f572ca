"""What every command shares: exit statuses, errors, styling, small formatters,
the strict reading of the threshold override variable, capped input and strict,
atomic JSON output."""
from __future__ import annotations

import json
import math
import os
import stat
import sys
import tempfile
from collections.abc import Mapping, Sequence
from typing import Any, TextIO

from .. import collsweep as cs

PROG = "quorvane"

EXIT_PASS = 0
EXIT_WARN = 1
EXIT_FAIL = 2
EXIT_UNKNOWN = 3
EXIT_ERROR = 4
EXIT_USAGE = 64
EXIT_INTERNAL = 70
EXIT_WRITE = 74
EXIT_INTERRUPTED = 130   # SIGINT; any signal N gives 128+N

EXIT_FOR_STATUS = {"pass": EXIT_PASS, "warn": EXIT_WARN, "fail": EXIT_FAIL,
                   "unknown": EXIT_UNKNOWN, "error": EXIT_ERROR}

OVERRIDES_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
CUTOFF_KEYS = ("pass_min_gbps", "warn_min_gbps")
SCOPES = ("intra", "multi")
LAUNCHERS = ("srun", "mpirun", "ssh")
EXIT_STATUS_HELP = """\
exit status:
  0   pass     headline all_reduce bus bandwidth at or above the pass cutoff
  1   warn     at or above the warn cutoff, below the pass cutoff
  2   fail     below the warn cutoff, or the benchmark counted wrong results
  3   unknown  no cutoff for this GPU type and scope, or no all_reduce rows
  4   error    a collective failed, timed out or printed no complete table,
               or nothing could run; for topo: no topology in the file
  64  usage    bad arguments, or a malformed %s
  70  internal an unexpected fault in quorvane itself (one line, no traceback)
  74  write    the result was printed but a file could not be written
  128+N        stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP)
""" % OVERRIDES_VAR


class UsageError(Exception):
    """Bad arguments or configuration: one line on stderr, exit status 64."""


class RunError(Exception):
    """The command could not do its work: one line on stderr, exit status 4."""


class WriteError(RunError):
    """An output file could not be written: one line on stderr, exit status 74."""


class Interrupted(BaseException):
    """SIGINT, SIGTERM or SIGHUP reached the command: exit status 128+signal.
    A BaseException, so that no `except Exception` on the way swallows it."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum
        self.note: str | None = None   # what was saved, for the one line said at the end


def shown(text: str) -> str:
    """`text` with control and other unprintable characters escaped, for echoing
    arguments and program output on a terminal."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


# ---- terminal styling -------------------------------------------------------------

def colour_wanted(stream: TextIO) -> bool:
    """Colour only on a terminal, and never when NO_COLOR is set to anything."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    isatty = getattr(stream, "isatty", None)
    return bool(isatty and isatty())


def unicode_ok(stream: TextIO) -> bool:
    encoding = (getattr(stream, "encoding", None) or "").lower().replace("-", "").replace("_", "")
    return encoding.startswith("utf")


class Style:
    """ANSI styling that turns into plain text when colour is off."""

    CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33",
             "magenta": "35", "cyan": "36", "grey": "90"}
    STATUS = {"pass": ("bold", "green"), "warn": ("bold", "yellow"), "fail": ("bold", "red"),
              "unknown": ("bold", "grey"), "error": ("bold", "magenta")}
    GRADE = {"pass": ("green",), "warn": ("yellow",), "fail": ("red",), "unknown": ()}

    def __init__(self, colour: bool, fancy: bool) -> None:
        self.colour = colour
        self.fancy = fancy

    def __call__(self, text: str, *names: str) -> str:
        if not self.colour or not names or not text:
            return text
        codes = ";".join(self.CODES[n] for n in names)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def status(self, status: str) -> str:
        return self(status.upper(), *self.STATUS.get(status, ("bold",)))

    @classmethod
    def for_stream(cls, stream: TextIO) -> Style:
        return cls(colour_wanted(stream), unicode_ok(stream))


# ---- small formatting helpers -----------------------------------------------------

def human_size(size: int) -> str:
    """8192 -> '8 KiB', 134217728 -> '128 MiB', 1536 -> '1.5 KiB'."""
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(value) < 1024 or unit == "TiB":
            text = f"{value:.1f}".rstrip("0").rstrip(".") if unit != "B" else str(size)
            return f"{text} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def fmt_float(value: Any, digits: int = 2) -> str:
    if value is None:
        return "-"
    return f"{float(value):,.{digits}f}"


def fmt_opt(value: Any) -> str:
    return "-" if value is None else str(value)


def fmt_speed(mbps: int | None) -> str:
    if mbps is None:
        return "-"
    if mbps >= 1000 and mbps % 1000 == 0:
        return f"{mbps // 1000} Gb/s"
    return f"{mbps} Mb/s"


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[bool],
          indent: str = "  ") -> list[str]:
    """Columns padded to their widest cell; the last column is never padded, so
    it may carry styled text (bars)."""
    widths = [len(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row[:-1]):
            widths[i] = max(widths[i], len(cell))

    def line(cells: Sequence[str]) -> str:
        parts = []
        for i, cell in enumerate(cells):
            if i == len(cells) - 1:
                parts.append(cell)
            elif right[i]:
                parts.append(cell.rjust(widths[i]))
            else:
                parts.append(cell.ljust(widths[i]))
        return (indent + "  ".join(parts)).rstrip()

    return [line(headers)] + [line(row) for row in rows]


# ---- threshold overrides ----------------------------------------------------------

OVERRIDES_MAX_DEPTH = 3   # {"GPU:scope": {"pass_min_gbps": 1, "other": {...}}}


def _depth(value: Any) -> int:
    if isinstance(value, dict):
        return 1 + max(map(_depth, value.values()), default=0)
    if isinstance(value, list):
        return 1 + max(map(_depth, value), default=0)
    return 0


def _refuse_constant(name: str) -> Any:
    raise UsageError(f"{OVERRIDES_VAR}: {name} is not a finite number")


def _cutoff(key: str, name: str, value: Any) -> float:
    where = f"{OVERRIDES_VAR}: {key!r} \"{name}\""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise UsageError(f"{where} must be a JSON number, not {shown(json.dumps(value))[:60]}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise UsageError(f"{where} is not a finite number")
    return number


def read_overrides(environ: Mapping[str, str] | None = None) -> dict[str, tuple[float, float]]:
    """The override variable, checked strictly.

    The library quietly ignores text it cannot use; an operator who set the
    variable meant something by it, so here every flaw is a usage error: keys
    GPU_TYPE:intra or GPU_TYPE:multi, both cutoffs finite JSON numbers (not
    booleans, not strings), pass >= warn >= 0, nesting bounded.
    """
    env = os.environ if environ is None else environ
    raw = env.get(OVERRIDES_VAR, "").strip()
    if not raw:
        return {}
    try:
        doc = json.loads(raw, parse_constant=_refuse_constant)
    except RecursionError:
        raise UsageError(f"{OVERRIDES_VAR} is nested too deeply") from None
    except ValueError as exc:
        raise UsageError(f"{OVERRIDES_VAR} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise UsageError(f"{OVERRIDES_VAR} must be a JSON object keyed \"GPU_TYPE:scope\", "
                         f"not a JSON {type(doc).__name__}")
    if _depth(doc) > OVERRIDES_MAX_DEPTH:
        raise UsageError(f"{OVERRIDES_VAR} is nested too deeply (at most {OVERRIDES_MAX_DEPTH} levels)")
    result: dict[str, tuple[float, float]] = {}
    for key, value in doc.items():
        gpu, sep, scope = key.rpartition(":")
        if not sep or not gpu.strip() or scope not in SCOPES:
            raise UsageError(f"{OVERRIDES_VAR}: key {key!r} is not GPU_TYPE:intra or GPU_TYPE:multi "
                             f"(e.g. \"H100_SXM:intra\")")
        if not isinstance(value, dict):
            raise UsageError(f"{OVERRIDES_VAR}: the value of {key!r} must be an object with "
                             f"\"pass_min_gbps\" and \"warn_min_gbps\"")
        for name in CUTOFF_KEYS:
            if name not in value:
                raise UsageError(f"{OVERRIDES_VAR}: {key!r} lacks \"{name}\"")
        pass_min, warn_min = (_cutoff(key, name, value[name]) for name in CUTOFF_KEYS)
        if warn_min < 0:
            raise UsageError(f"{OVERRIDES_VAR}: {key!r} \"warn_min_gbps\" is below 0")
        if pass_min < warn_min:
            raise UsageError(f"{OVERRIDES_VAR}: {key!r} \"pass_min_gbps\" {pass_min:g} is below "
                             f"\"warn_min_gbps\" {warn_min:g}")
        result[key] = (pass_min, warn_min)
    return result


def threshold_source(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str:
    return "override" if f"{gpu_type}:{scope}" in overrides else "built-in"


def known_gpu_types(overrides: Mapping[str, object]) -> list[str]:
    """GPU types with cutoffs in some scope, built in or overridden."""
    return list(dict.fromkeys([*cs._INTRA_NODE_THRESHOLDS, *cs._MULTI_NODE_THRESHOLDS,
                               *(k.rpartition(":")[0] for k in overrides)]))


def check_gpu_type(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str | None:
    """Refuse a GPU type that matches a known one only when case is ignored;
    return a warning when no cutoffs are known for it in `scope`."""
    if not gpu_type.strip() or not gpu_type.isprintable():
        raise UsageError(f"--gpu-type {gpu_type!r} is not a GPU type name")
    known = known_gpu_types(overrides)
    if gpu_type not in known:
        near = [k for k in known if k.casefold() == gpu_type.casefold()]
        if near:
            raise UsageError(f"unknown GPU type {gpu_type!r}; did you mean {near[0]!r}?")
        return (f"unknown GPU type {gpu_type!r} (known: {', '.join(known)}): the verdict will be unknown; "
                f"cutoffs can be given in {OVERRIDES_VAR}")
    if cs.threshold_for(gpu_type, scope) is None:
        return f"no cutoffs for {gpu_type!r} in scope {scope!r}: the verdict will be unknown"
    return None


# ---- input --------------------------------------------------------------------------

INPUT_CAP_BYTES = 64 << 20


def read_capped(path: str, cap: int = INPUT_CAP_BYTES) -> str:
    """A text file (or '-' for standard input), refused when it holds more than
    `cap` bytes: the size is checked while reading, so /dev/zero or a pipe that
    never ends is refused too.  Undecodable bytes become replacement characters."""
    try:
        if path == "-":
            data = sys.stdin.buffer.read(cap + 1)
        else:
            with open(path, "rb") as f:
                data = f.read(cap + 1)
    except IsADirectoryError:
        raise UsageError(f"cannot read {shown(path)}: is a directory") from None
    except OSError as exc:
        raise UsageError(f"cannot read {shown(path)}: {exc.strerror or exc}") from None
    if len(data) > cap:
        raise UsageError(f"{'standard input' if path == '-' else shown(path)}: larger than "
                         f"{cap >> 20} MiB; refused")
    return data.decode("utf-8", "replace")


def _read_input(path: str) -> str:
    return read_capped(path)


# ---- output -------------------------------------------------------------------------

def finite(value: Any) -> Any:
    """A copy of plain data with every NaN or infinity replaced by None."""
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {k: finite(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [finite(v) for v in value]
    return value


def strict_json(data: Any) -> str:
    """JSON with no NaN or Infinity in it (they become null), ending in a newline."""
    return json.dumps(finite(data), indent=2, allow_nan=False) + "\n"


def write_atomic(target: str, text: str) -> None:
    """Write a whole file or nothing: a temporary file beside it, renamed over it.
    A device or a pipe (/dev/stdout, a FIFO) is written in place.  Failures
    raise WriteError with one line."""
    try:
        if target == "-":
            sys.stdout.write(text)
            sys.stdout.flush()
            return
        path = os.path.realpath(target)
        try:
            regular = stat.S_ISREG(os.stat(path).st_mode)
        except FileNotFoundError:
            regular = True
        if not regular:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
            return
        fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(path)}.", suffix=".tmp",
                                    dir=os.path.dirname(path))
        try:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(fd, 0o666 & ~mask)
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temp, path)
        except BaseException:
            try:
                os.unlink(temp)
            except OSError:
                pass
            raise
    except OSError as exc:
        raise WriteError(f"cannot write {shown(target)}: {exc.strerror or exc}") from None


def check_json_target(target: str | None, option: str = "--json") -> None:
    """Refuse, before anything runs, a JSON target that cannot be written."""
    if target is None or target == "-":
        return
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise UsageError(f"{option} {shown(target)}: no such directory: {shown(folder)}")
    if os.path.isdir(target):
        raise UsageError(f"{option} {shown(target)}: is a directory")
    if not os.access(folder, os.W_OK) and not os.path.exists(target):
        raise UsageError(f"{option} {shown(target)}: cannot write in {shown(folder)}")


_check_json_target = check_json_target


def _write_json(target: str, data: Any) -> None:
    write_atomic(target, strict_json(data))
