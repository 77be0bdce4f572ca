"""What every command shares: exit statuses, errors, styling, small formatters,
the strict reading of the threshold override variable and JSON output."""
from __future__ import annotations

import json
import os
import sys
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
EXIT_INTERRUPTED = 130

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
  4   error    nothing could be measured (every collective failed), or the
               sweep could not run at all; for topo: no topology in the file
  64  usage    bad arguments, or a malformed %s
  130          interrupted
""" % OVERRIDES_VAR


class UsageError(Exception):
    """Bad arguments or configuration: one line on stderr, exit status 64."""


class RunError(Exception):
    """The command could not do its work: one line on stderr, exit status 4."""


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

def read_overrides(environ: Mapping[str, str] | None = None) -> dict[str, tuple[float, float]]:
    """The override variable, checked strictly.

    The module quietly ignores text it cannot use; an operator who set the
    variable meant something by it, so here every flaw is a usage error.
    """
    env = os.environ if environ is None else environ
    raw = env.get(OVERRIDES_VAR, "").strip()
    if not raw:
        return {}
    try:
        doc = json.loads(raw)
    except ValueError as exc:
        raise UsageError(f"{OVERRIDES_VAR} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise UsageError(f"{OVERRIDES_VAR} must be a JSON object keyed \"GPU_TYPE:scope\", "
                         f"not a JSON {type(doc).__name__}")
    result: dict[str, tuple[float, float]] = {}
    for key, value in doc.items():
        if ":" not in key:
            raise UsageError(f"{OVERRIDES_VAR}: key {key!r} is not of the form GPU_TYPE:scope "
                             f"(e.g. \"H100_SXM:intra\")")
        if not isinstance(value, dict):
            raise UsageError(f"{OVERRIDES_VAR}: the value of {key!r} must be an object with "
                             f"\"pass_min_gbps\" and \"warn_min_gbps\"")
        cutoffs = []
        for name in CUTOFF_KEYS:
            if name not in value:
                raise UsageError(f"{OVERRIDES_VAR}: {key!r} lacks \"{name}\"")
            try:
                cutoffs.append(float(value[name]))
            except (TypeError, ValueError):
                raise UsageError(f"{OVERRIDES_VAR}: {key!r} \"{name}\" is not a number: "
                                 f"{json.dumps(value[name])}") from None
        result[key] = (cutoffs[0], cutoffs[1])
    # The module reads the same text; anything it still refuses is a usage error too.
    try:
        cs._load_threshold_overrides()
    except (TypeError, ValueError) as exc:
        raise UsageError(f"{OVERRIDES_VAR}: {exc}") from None
    return result


def threshold_source(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str:
    return "override" if f"{gpu_type}:{scope}" in overrides else "built-in"


def _check_json_target(target: str | None) -> None:
    if target is None or target == "-":
        return
    folder = os.path.dirname(os.path.abspath(target))
    if not os.path.isdir(folder):
        raise UsageError(f"--json {target}: no such directory: {folder}")
    if os.path.isdir(target):
        raise UsageError(f"--json {target}: is a directory")
    if not os.access(folder, os.W_OK):
        raise UsageError(f"--json {target}: cannot write in {folder}")


def _write_json(target: str, data: Mapping[str, Any]) -> None:
    text = json.dumps(data, indent=2) + "\n"
    if target == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        with open(target, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as exc:
        raise RunError(f"cannot write {target}: {exc}") from None


def _read_input(path: str) -> str:
    if path == "-":
        return sys.stdin.read()
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError as exc:
        raise UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
