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
# The statuses every command shares, after its own.
_COMMON_STATUS = (
    ("64", "usage", "bad arguments, a malformed configuration file or %s" % OVERRIDES_VAR),
    ("70", "internal", "an unexpected fault in quorvane itself (one line, no traceback)"),
    ("74", "write", "the result was printed but a file could not be written"),
    ("128+N", "", "stopped by signal N (130 SIGINT, 143 SIGTERM, 129 SIGHUP)"),
)


def exit_status_help(*own: tuple[str, str, str], heading: str = "exit status:") -> str:
    """The one layout of every command's exit statuses: its own (status, name,
    meaning; a meaning may hold several lines), then those every command shares."""
    lines = [heading]
    for code, name, meaning in (*own, *_COMMON_STATUS):
        first, *rest = meaning.split("\n")
        lead = f"  {code:<5} {name:<8} " if name else f"  {code:<14} "
        lines.append(lead + first)
        lines.extend(" " * len(lead) + more for more in rest)
    return "\n".join(lines) + "\n"


# The statuses of a command that grades a sweep (sweep, grade).
VERDICT_STATUSES = (
    ("0", "pass", "headline all_reduce bus bandwidth at or above the pass cutoff"),
    ("1", "warn", "at or above the warn cutoff, below the pass cutoff"),
    ("2", "fail", "below the warn cutoff, or the benchmark counted wrong results"),
    ("3", "unknown", "no cutoff for this GPU type and scope, or no all_reduce rows"),
    ("4", "error", "a collective failed, timed out or printed no complete table,\nor nothing could run"),
)
EXIT_STATUS_HELP = exit_status_help(*VERDICT_STATUSES)


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


def read_topology(path: str) -> Any:
    """The analysis module's report of an NCCL topology file (--topo), refused
    (exit 64) when the file holds none."""
    from .. import analysis
    try:
        text = read_capped(path)
    except UsageError as exc:
        raise UsageError(f"--topo: {exc}") from None
    report = analysis.analyze_topology(text)
    if report.kind not in ("dump", "static"):
        raise UsageError(f"--topo {shown(path)}: {report.error or 'no NCCL topology found'}")
    return report


# ---- output -------------------------------------------------------------------------

class _Said:
    """What the command says beyond its text: its verdict, for the one line of
    --quiet, and the standard output that data (--json -, a script) goes to
    when --quiet silences the rest."""
    verdict: str | None = None
    data: Any = None
    data_written = False


def announce_verdict(verdict: str | None) -> None:
    """The command's verdict (pass, warn, fail, unknown, error): what --quiet prints."""
    _Said.verdict = verdict


def data_stream() -> Any:
    """Where data asked for on standard output goes: stdout, even under --quiet."""
    _Said.data_written = True
    return _Said.data if _Said.data is not None else sys.stdout


def _followed(target: str) -> str:
    """Where a write to `target` lands, following symbolic links one by one as
    the kernel would, but refusing (OSError EPERM) a link of another user in
    a shared sticky folder such as /tmp: a link left there must not redirect
    the write (of root above all) to a file of its maker's choosing."""
    path = os.path.abspath(target)
    for _ in range(40):
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            return path
        if not stat.S_ISLNK(info.st_mode):
            return path
        folder = os.path.dirname(path)
        shared = os.stat(folder)
        if (shared.st_mode & stat.S_ISVTX and shared.st_mode & stat.S_IWOTH
                and info.st_uid not in (os.geteuid(), shared.st_uid)):
            raise PermissionError(1, "a symbolic link of another user in a shared folder; refused")
        try:
            if not stat.S_ISREG(os.stat(path).st_mode):
                return path   # a device or a pipe (/dev/stdout): opened through the link
        except OSError:
            pass
        path = os.path.normpath(os.path.join(folder, os.readlink(path)))
    raise OSError(40, "too many levels of symbolic links")


def write_atomic(target: str, text: str) -> None:
    """Write a whole file or nothing: a temporary file beside it, renamed over it.
    A device or a pipe (/dev/stdout, a FIFO) is written in place.  Links are
    followed, except a link of another user in a shared sticky folder, which
    is refused.  Failures raise WriteError with one line."""
    import tempfile

    try:
        if target == "-":
            out = data_stream()
            out.write(text)
            out.flush()
            return
        path = _followed(target)
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


class Preload:
    """Imports made on a thread while a benchmark runs and this process only
    waits for it: the modules a command needs once the run is over (`modules`,
    in the order it needs them), then those it needs last (`later`, e.g. a
    history server's driver).

    The command imports none of `modules` itself before `wait()` (or
    `wait(module)`, for that module and those before it) has returned: two
    threads importing the same modules at once could each hold what the other
    waits for.  `wait(everything=True)` also waits for `later`.  A module that
    fails to import here is left out, and fails again, with its own error,
    where the command imports it."""

    def __init__(self, modules: Sequence[str], later: Sequence[str] = (), *, start: bool = True) -> None:
        import threading

        self._loaded = {name: threading.Event() for name in modules}
        self._thread = threading.Thread(target=self._load, args=(tuple(modules), tuple(later)),
                                        name="quorvane-preload")
        if start:
            self.start()

    def start(self) -> None:
        """Begin loading (once: at the first benchmark, say)."""
        if self._thread.ident is None:
            self._thread.start()

    def _load(self, modules: tuple[str, ...], later: tuple[str, ...]) -> None:
        import importlib

        try:
            for name in modules:
                try:
                    importlib.import_module(name)
                except Exception:   # noqa: BLE001 - said where the command imports it
                    pass
                self._loaded[name].set()
        finally:
            for loaded in self._loaded.values():
                loaded.set()
        for name in later:
            try:
                importlib.import_module(name)
            except Exception:   # noqa: BLE001
                pass

    def wait(self, module: str | None = None, *, everything: bool = False) -> None:
        self.start()
        for name, loaded in self._loaded.items():
            loaded.wait()
            if name == module:
                return
        if everything:
            self._thread.join()


_KEPT: list[object] = []
ENDS_AT_ONCE = False   # set by cli.run: the process ends with os._exit once the command is done


def keep_to_the_end(*objects: object) -> None:
    """Objects a command is done with that need not be freed one by one where
    the program ends with os._exit (`cli.run`): freeing the record of a
    100,000-row output costs as much as reading it.  Where `main` is called in
    a process that goes on, nothing is kept."""
    if ENDS_AT_ONCE:
        _KEPT.extend(objects)


class collector_paused:   # noqa: N801 - used as a context manager, like a function
    """Reading a big output and building its record allocate objects by the
    hundred thousand (a dict per row, a library row per row) and make no
    cycles; the cyclic garbage collector would walk the growing heap over and
    over (a quarter of `grade`'s time on 100,000 rows). Bounded work only.
    What exists at the end is frozen (left out of later collections, freed by
    its reference counts as ever): else the first collection after it would
    walk all of it once more (only where the program ends at once after the
    command: a process that goes on collects as ever)."""

    def __enter__(self) -> None:
        import gc

        self._was = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc: object) -> None:
        import gc

        if self._was:
            if ENDS_AT_ONCE:
                gc.freeze()
            gc.enable()
