"""What every command shares: exit statuses, errors, small formatters, capped
input and atomic output.  Light on purpose: the command line imports it before
it has read its arguments."""
from __future__ import annotations

import os
import stat
import sys

TYPE_CHECKING = False   # typing is not imported at run time: start-up stays light
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any

from ..policy import INPUT_CAP_BYTES, OVERRIDES_VAR, InputTooLarge, PolicyError, read_bounded
from .term import shown  # noqa: F401  (the one output filter; used here and by every command)

PROG = "quorvane"

EXIT_ERROR = 4
EXIT_USAGE = 64
EXIT_INTERNAL = 70
EXIT_WRITE = 74

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


class UsageError(PolicyError):
    """Bad arguments or configuration: one line on stderr, exit status 64.
    (Unusable cutoffs, PolicyError, are usage errors too.)"""


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


# ---- input --------------------------------------------------------------------------

def read_capped(path: str, cap: int = INPUT_CAP_BYTES) -> str:
    """A text file (or '-' for standard input), refused (exit 64) when it holds
    more than the one input limit.  Undecodable bytes become replacement characters."""
    try:
        data = read_bounded(path, cap)
    except InputTooLarge as exc:
        raise UsageError(shown(str(exc))) from None
    except IsADirectoryError:
        raise UsageError(f"cannot read {shown(path)}: is a directory") from None
    except OSError as exc:
        raise UsageError(f"cannot read {shown(path)}: {exc.strerror or exc}") from None
    return data.decode("utf-8", "replace")


# ---- output -------------------------------------------------------------------------

def write_atomic(target: str, text: str) -> None:
    """Write a whole file or nothing: a temporary file beside the name as given,
    renamed over it.  The name is never resolved: a symbolic link there is
    replaced by the file, not followed (a link left in a shared folder cannot
    redirect the write), except a link to a device or a pipe (/dev/stdout),
    which is written in place like a device or a FIFO.  Failures raise
    WriteError with one line."""
    import tempfile

    try:
        if target == "-":
            sys.stdout.write(text)
            sys.stdout.flush()
            return
        try:
            info = os.lstat(target)
            if stat.S_ISLNK(info.st_mode):
                try:
                    info = os.stat(target)   # where the link leads, if anywhere
                except OSError:
                    pass                     # dangling: the link itself is replaced
            in_place = not stat.S_ISREG(info.st_mode) and not stat.S_ISLNK(info.st_mode)
        except FileNotFoundError:
            in_place = False
        if in_place:   # a device, a FIFO, or a link to one: no file to replace
            with open(target, "w", encoding="utf-8") as f:
                f.write(text)
            return
        fd, temp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp",
                                    dir=os.path.dirname(target) or ".")
        try:
            mask = os.umask(0)
            os.umask(mask)
            os.fchmod(fd, 0o666 & ~mask)
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(text)
                f.flush()
                os.fsync(f.fileno())
            os.replace(temp, target)   # rename(2) replaces a link, never follows it
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
