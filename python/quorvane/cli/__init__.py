"""The ``quorvane`` command line: a thin front end over :mod:`quorvane.collsweep`.

Subcommands:

* ``quorvane sweep``      run the nccl-tests sweep on one host or several, show it, grade it
* ``quorvane grade FILE`` grade saved nccl-tests outputs with the same reader and policy
* ``quorvane topo FILE``  GPU/NIC inventory and GPU->NIC affinity of an NCCL topology dump
* ``quorvane transport LOG`` NCCL's account of the path (network, NICs, GDR, P2P) from its debug logs
* ``quorvane thresholds`` the pass/warn cutoffs in force, per GPU type and scope
* ``quorvane fleet``      find the slow host or the bad network port among many hosts

One module per command; each adds itself to the parser through `register`,
and imports only shared modules (term, options, outputs, common, ...), never
another command.  Start-up stays light: argv is looked at first, and only the
chosen command's module is imported and given its full parser (the others
show in the help by name and one line).  `main` is where no
traceback gets past: usage errors are one line and 64, unexpected faults one
line and 70, SIGINT/SIGTERM/SIGHUP one line and 128+N, and a standard output
closed by its reader (`| head`) is no error at all.
"""
from __future__ import annotations

import argparse
import importlib
import os
import signal
import sys

TYPE_CHECKING = False   # typing is not imported at run time: start-up stays light
if TYPE_CHECKING:
    from collections.abc import Iterable, Sequence
    from types import FrameType
    from typing import Any, NoReturn

from .. import __version__
from ..policy import PolicyError
from .common import (EXIT_ERROR, EXIT_INTERNAL, EXIT_STATUS_HELP, EXIT_USAGE, EXIT_WRITE, PROG, Interrupted,
                     RunError, WriteError, shown)

# Every command, in the order of the help, with its line there; its module is cli.<name>.
COMMANDS = {
    "sweep": "run the nccl-tests sweep and grade it",
    "grade": "grade saved nccl-tests outputs",
    "fleet": "find the slow host or the bad network port among many hosts",
    "topo": "GPU/NIC inventory of NCCL topology files, and what is wrong with each host",
    "transport": "the path NCCL took (network, NICs, GPU Direct RDMA, intra-host transports) from its debug logs",
    "thresholds": "the pass/warn cutoffs in force",
    "history": "the recorded runs, newest first",
    "compare": "bus bandwidth change between two runs",
    "baseline": "cutoffs from this site's own recorded runs",
    "report": "a run as an HTML page or a Prometheus textfile",
    "config": "the settings in force and where each came from",
    "completion": "a shell completion script for bash or zsh",
}
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# ---- argument parsing -------------------------------------------------------------

class _Parser(argparse.ArgumentParser):
    """argparse with one line per error and the usage exit status of this tool (64)."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {shown(message)} (see {self.prog} --help)\n")


class _Formatter(argparse.RawDescriptionHelpFormatter):
    """argparse's layout, as wide as shutil.get_terminal_size would make it,
    without importing shutil (and its compression modules) on every start."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, _columns() - 2 if width is None else width)


def _columns() -> int:
    columns = os.environ.get("COLUMNS", "")
    if columns.isdigit() and int(columns) > 0:
        return int(columns)
    try:
        return os.get_terminal_size(sys.__stdout__.fileno()).columns or 80   # type: ignore[union-attr]
    except (AttributeError, ValueError, OSError):
        return 80


class _Version(argparse.Action):
    """--version, printed without argparse's help formatter (which imports shutil)."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: Any, values: Any,
                 option_string: str | None = None) -> None:
        sys.stdout.write(f"{PROG} {__version__}\n")
        parser.exit()


def chosen_command(argv: Sequence[str]) -> str | None:
    """The command named in argv: its first word that is no option (the tool's
    own options take no value), when that word is a command."""
    for word in argv:
        if word == "--":
            continue
        if not word.startswith("-"):
            return word if word in COMMANDS else None
    return None


def add_command(sub: Any, name: str, fmt: Any, statuses: Sequence[tuple[str, str, str]] = (),
                extra_help: str = "", **settings: Any) -> argparse.ArgumentParser:
    """A command's subparser, with its line in the tool's help, its own exit
    statuses (then those every command shares) at the end of its help, and -q."""
    from .common import exit_status_help
    from .options import quiet

    epilog = (extra_help + "\n" if extra_help else "") + exit_status_help(*statuses)
    parser: argparse.ArgumentParser = sub.add_parser(name, formatter_class=fmt, help=COMMANDS[name],
                                                     epilog=epilog, **settings)
    quiet(parser)
    return parser


def build_parser(commands: Iterable[str] | None = None) -> argparse.ArgumentParser:
    """The parser with the full options of `commands` (default: all of them);
    every other command is there by name and help line, without options."""
    fmt = _Formatter
    parser = _Parser(
        prog=PROG, formatter_class=fmt, epilog=EXIT_STATUS_HELP,
        description="Measure and grade the collective-communication bandwidth of GPU hosts "
                    "with nccl-tests.")
    parser.add_argument("--version", action=_Version, nargs=0, default=argparse.SUPPRESS,
                        help="show the version and exit")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    full = set(COMMANDS if commands is None else commands)
    for name in COMMANDS:
        if name in full:
            importlib.import_module(f"{__name__}.{name}").register(sub, fmt)
        else:
            add_command(sub, name, fmt)
    return parser


# ---- the process around a command --------------------------------------------------

class _QuietStdout:
    """Standard output that goes quiet when its reader has gone (`| head`):
    further output is dropped and the command finishes its work."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self.gone = False

    def _lost(self) -> None:
        self.gone = True
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, self._stream.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass

    def write(self, text: str) -> int:
        if not self.gone:
            try:
                return int(self._stream.write(text))
            except BrokenPipeError:
                self._lost()
        return len(text)

    def flush(self) -> None:
        if not self.gone:
            try:
                self._stream.flush()
            except BrokenPipeError:
                self._lost()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _install_signal_handlers() -> None:
    """The first stop signal raises Interrupted where the command is (the
    runner then ends the benchmark's group, folders are removed, the record is
    written); later ones are ignored so that this clean-up is not cut short."""
    stopping: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        if stopping:
            return
        stopping.append(signum)
        raise Interrupted(signum)

    for sig in STOP_SIGNALS:
        signal.signal(sig, handler)


class _Silent:
    """A stream that keeps nothing (-q: the command's text; -qq: everything)."""

    def write(self, text: str) -> int:
        return len(text)

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


class _ErrorsOnly(_Silent):
    """Standard error under -q: only the command's errors pass, whole lines."""

    PASSED = (f"{PROG}: error", f"{PROG}: internal error", f"{PROG}: stopped")

    def __init__(self, stream: Any) -> None:
        self._stream = stream
        self._passing = False

    def write(self, text: str) -> int:
        if self._passing or text.startswith(self.PASSED):
            self._stream.write(text)
            self._passing = not text.endswith("\n")
        return len(text)

    def flush(self) -> None:
        self._stream.flush()


def _run_quietly(args: argparse.Namespace, level: int) -> int:
    """The command with its text silenced; -q then prints the verdict line."""
    from . import common

    out, err = sys.stdout, sys.stderr
    common._Said.data = out
    sys.stdout = _Silent()   # type: ignore[assignment]
    sys.stderr = _Silent() if level > 1 else _ErrorsOnly(err)   # type: ignore[assignment]
    try:
        status: int = args.handler(args)
    finally:
        sys.stdout, sys.stderr = out, err
        common._Said.data = None
    verdict = common._Said.verdict
    if level == 1 and verdict is not None and not common._Said.data_written:
        print(f"verdict    {verdict.upper()}", file=out)
    return status


def _say(line: str) -> None:
    try:
        print(f"{PROG}: {line}", file=sys.stderr)
    except (OSError, ValueError):
        pass  # stderr is gone too (SIGHUP on a closed terminal)


def main(argv: Sequence[str] | None = None) -> int:
    threading = sys.modules.get("threading")   # not imported: no other thread runs
    in_main_thread = threading is None or threading.current_thread() is threading.main_thread()
    if in_main_thread:
        _install_signal_handlers()
        if not isinstance(sys.stdout, _QuietStdout):
            sys.stdout = _QuietStdout(sys.stdout)
    try:
        from .. import config
        from . import common
        from .options import apply_config

        words = sys.argv[1:] if argv is None else list(argv)
        chosen = chosen_command(words)
        config.activate(None)
        common._Said.verdict, common._Said.data_written = None, False
        common._KEPT.clear()
        if chosen is not None:
            config.activate(config.load())   # a malformed file: one line, 64
        args = build_parser([chosen] if chosen else []).parse_args(words)
        apply_config(args)
        quiet = getattr(args, "quiet", 0)
        status: int = _run_quietly(args, quiet) if quiet else args.handler(args)
        sys.stdout.flush()
        return status
    except SystemExit as exc:  # argparse: --help, --version, usage errors
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    except PolicyError as exc:   # UsageError, and cutoffs that cannot be used
        _say(f"error: {shown(str(exc))}")
        return EXIT_USAGE
    except WriteError as exc:
        _say(f"error: {shown(str(exc))}")
        return EXIT_WRITE
    except RunError as exc:
        _say(f"error: {shown(str(exc))}")
        return EXIT_ERROR
    except Interrupted as exc:
        from ..runner import stop_all
        stop_all()
        name = signal.Signals(exc.signum).name
        _say(f"stopped by {name}" + (f"; {exc.note}" if exc.note else ""))
        return 128 + exc.signum
    except KeyboardInterrupt:  # before the handlers were in place
        _say("stopped by SIGINT")
        return 128 + signal.SIGINT
    except RecursionError:
        _say("internal error: recursion too deep")
        return EXIT_INTERNAL
    except Exception as exc:  # noqa: BLE001 - the one place no traceback gets past
        _say(f"internal error: {type(exc).__name__}: {shown(str(exc))[:300]}")
        return EXIT_INTERNAL
    finally:
        from .. import config
        config.activate(None)
        if in_main_thread:
            for sig in STOP_SIGNALS:
                signal.signal(sig, signal.SIG_DFL if sig != signal.SIGINT else signal.default_int_handler)


def run() -> None:
    """The `quorvane` program: `main`, then the process ends as soon as its work
    is done.  Threads still running are waited for, exit handlers run and the
    standard streams are flushed, as at any exit; what is skipped is the
    interpreter's teardown of every module, which frees nothing the system does
    not free anyway and costs tens of milliseconds once the PostgreSQL driver
    (with asyncio and importlib.metadata) is loaded."""
    from . import common
    common.ENDS_AT_ONCE = True
    status = main()
    threading = sys.modules.get("threading")
    try:
        if threading is not None:
            # as the interpreter ends: the threading module's own exit steps (a
            # thread pool's workers told to stop), then every other thread joined
            shutdown = getattr(threading, "_shutdown", None)
            if shutdown is not None:
                shutdown()
            else:
                for thread in threading.enumerate():
                    if thread is not threading.current_thread() and not thread.daemon:
                        thread.join()
        import atexit
        atexit._run_exitfuncs()
    except KeyboardInterrupt:   # SIGINT while a thread finished loading a module
        status = 128 + signal.SIGINT
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(status & 0xFF)
