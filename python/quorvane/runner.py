"""The command's runner: a `ShellRunner` that leaves nothing behind.

Each command runs in its own session (so its process group is its own), with
standard input closed unless text is given.  Both outputs are drained together
and decoded as UTF-8 with replacement; each keeps at most `cap_bytes` in memory
(the first and the last half), and the number of bytes cut is noted, so memory
stays bounded whatever the program prints.  A call returns once the direct
child has exited and its output has been drained briefly, even when something
it started still holds the pipes; then what is left of its group is ended
(SIGTERM, a grace period, SIGKILL).  At the time-out the whole group gets the
same treatment.  An OSError of any kind while starting becomes a failed result
with the reason; 124 (time-out) and 127 (program not found) are kept as the
library's own runner gives them.

Per-call state is local, so one runner may serve many threads at once (the
fleet driver does that).  `stop_all` ends every group still running, for a
signal handler.
"""
from __future__ import annotations

import functools
import os
import selectors
import signal
import subprocess
import threading
import time
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, Protocol

from . import collsweep as cs
from .plans import rank_command

TIMEOUT_STATUS = 124
NOT_FOUND_STATUS = 127
CANNOT_EXECUTE_STATUS = 126

CAP_BYTES = 8 << 20        # per stream: the first 4 MiB and the last 4 MiB are kept
GRACE_S = 5.0              # SIGTERM to SIGKILL
DRAIN_S = 0.5              # output read after the direct child exited
_CHUNK = 1 << 16

_live_lock = threading.Lock()
_live_groups: set[int] = set()


def stop_all(sig: int = signal.SIGTERM) -> int:
    """Send `sig` to every process group a runner call is still waiting on;
    returns how many groups there were.  The calls themselves carry on with
    their grace period and SIGKILL."""
    with _live_lock:
        groups = list(_live_groups)
    for pgid in groups:
        _signal_group(pgid, sig)
    return len(groups)


@dataclass
class Outcome:
    """What one run gave, with more than the library's `ShellResult` holds."""

    command: list[str]
    returncode: int
    stdout: str
    stderr: str
    seconds: float
    reason: str | None = None       # why it failed without an exit status of its own
    started: bool = True            # False: it could not be started (127, 126)
    timed_out: bool = False
    interrupted: bool = False       # a signal to us stopped it
    cut_bytes: dict[str, int] = field(default_factory=dict)   # stream -> bytes not kept in memory
    ended_after_exit: int = 0       # processes of its group still running when it exited
    logs: dict[str, str] | None = None

    def shell_result(self) -> cs.ShellResult:
        """The library's view: 124 with "timeout after Ns", 127 and 126 with the reason."""
        if self.timed_out or not self.started:
            return cs.ShellResult(self.returncode, self.stdout, self.reason or "")
        return cs.ShellResult(self.returncode, self.stdout, self.stderr)


class Observer(Protocol):
    def started(self, cmd: list[str], timeout: float) -> None: ...
    def finished(self, outcome: Outcome) -> None: ...


class _Capture:
    """One output stream: all of it to an optional log file, the head and the
    tail of it in memory."""

    __slots__ = ("half", "head", "tail", "tail_len", "cut", "sink", "sink_error")

    def __init__(self, cap: int, sink: IO[bytes] | None) -> None:
        self.half = max(1, cap // 2)
        self.head = bytearray()
        self.tail: deque[bytes] = deque()
        self.tail_len = 0
        self.cut = 0
        self.sink = sink
        self.sink_error: str | None = None

    def add(self, chunk: bytes) -> None:
        if self.sink is not None:
            try:
                self.sink.write(chunk)
            except OSError as exc:  # a full disk loses the log, not the run
                self.sink_error = exc.strerror or str(exc)
                self.sink = None
        room = self.half - len(self.head)
        if room > 0:
            self.head += chunk[:room]
            chunk = chunk[room:]
            if not chunk:
                return
        self.tail.append(chunk)
        self.tail_len += len(chunk)
        while self.tail_len - len(self.tail[0]) >= self.half:
            dropped = self.tail.popleft()
            self.tail_len -= len(dropped)
            self.cut += len(dropped)

    def text(self) -> str:
        tail = b"".join(self.tail)
        extra = len(tail) - self.half
        if extra > 0:
            tail = tail[extra:]
            self.cut += extra
        data = bytes(self.head)
        if self.cut:
            data += b"\n[quorvane: %d bytes of output not kept here]\n" % self.cut + tail
        else:
            data += tail
        return decode(data)


def decode(data: bytes) -> str:
    """UTF-8 with replacement, line endings as text mode gives them."""
    text = data.decode("utf-8", "replace")
    if "\r" in text:
        text = text.replace("\r\n", "\n").replace("\r", "\n")
    return text


def _signal_group(pgid: int, sig: int) -> bool:
    try:
        os.killpg(pgid, sig)
        return True
    except (ProcessLookupError, PermissionError):
        return False


def _members(pgid: int) -> list[int]:
    """Live (not zombie) processes of a group, found through /proc."""
    found = []
    try:
        entries = os.listdir("/proc")
    except OSError:
        return [pgid] if _signal_group(pgid, 0) else []
    for name in entries:
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 2 and fields[2] == str(pgid).encode() and fields[0] != b"Z":
            found.append(int(name))
    return found


def end_group(pgid: int, grace_s: float) -> int:
    """End what is left of a process group: SIGTERM, up to `grace_s` for it to
    go, then SIGKILL.  Returns how many processes were found running."""
    if not _signal_group(pgid, 0):
        return 0
    alive = _members(pgid)
    if not alive:
        return 0
    _signal_group(pgid, signal.SIGTERM)
    deadline = time.monotonic() + grace_s
    while _members(pgid) and time.monotonic() < deadline:
        time.sleep(0.02)
    if _members(pgid):
        _signal_group(pgid, signal.SIGKILL)
        deadline = time.monotonic() + 2.0
        while _members(pgid) and time.monotonic() < deadline:
            time.sleep(0.01)
    return len(alive)


class CommandRunner(cs.ShellRunner):
    """The runner of the `quorvane` command (see the module's docstring).

    `observer` hears of each run as it starts and ends; `logs_for(cmd)` may
    name two files (stdout, stderr) that receive the whole raw output;
    `environ_for(cmd)` may add variables to the run's environment.
    """

    def __init__(self, *, grace_s: float = GRACE_S, drain_s: float = DRAIN_S, cap_bytes: int = CAP_BYTES,
                 observer: Observer | None = None,
                 logs_for: Callable[[list[str]], tuple[str, str] | None] | None = None,
                 environ_for: Callable[[list[str]], Mapping[str, str] | None] | None = None) -> None:
        self.grace_s = grace_s
        self.environ_for = environ_for
        self.drain_s = drain_s
        self.cap_bytes = cap_bytes
        self.observer = observer
        self.logs_for = logs_for
        self.deadline: float | None = None  # time.monotonic() past which no run may go on (--deadline)

    def run(self, cmd: list[str], *, timeout: int, input_text: str | None = None) -> cs.ShellResult:
        return self.execute(cmd, timeout=timeout, input_text=input_text).shell_result()

    def execute(self, cmd: Sequence[str], *, timeout: float, input_text: str | None = None,
                logs: tuple[str, str] | None = None) -> Outcome:
        argv = [str(a) for a in cmd]
        if self.deadline is not None:
            timeout = round(max(0.0, min(timeout, self.deadline - time.monotonic())), 1)
        log_error = None
        if logs is None and self.logs_for is not None:
            try:
                logs = self.logs_for(argv)
            except OSError as exc:   # no room for the log folder: the run goes on without its log
                log_error = f"cannot keep the log: {exc.strerror or exc}"
        if self.observer is not None:
            self.observer.started(argv, timeout)
        outcome, stopped_by = self._execute(argv, timeout, input_text, logs)
        if log_error is not None and outcome.reason is None:
            outcome.reason = log_error
        if self.observer is not None:
            self.observer.finished(outcome)
        if stopped_by is not None:
            raise stopped_by
        return outcome

    def _execute(self, argv: list[str], timeout: float, input_text: str | None,
                 logs: tuple[str, str] | None) -> tuple[Outcome, BaseException | None]:
        start = time.monotonic()
        sinks: list[IO[bytes] | None] = [None, None]
        log_error = None
        if logs is not None:
            try:
                sinks = [open(logs[0], "wb"), open(logs[1], "wb")]
            except OSError as exc:
                log_error = f"cannot keep the log: {exc.strerror or exc}"
                for s in sinks:
                    if s is not None:
                        try:
                            s.close()
                        except OSError:
                            pass
                sinks = [None, None]
        out, err = _Capture(self.cap_bytes, sinks[0]), _Capture(self.cap_bytes, sinks[1])
        extra = self.environ_for(argv) if self.environ_for is not None else None
        try:
            # the added variables reach the ranks too (mpirun -x, the remote shell's line)
            proc = subprocess.Popen(rank_command(argv, extra) if extra else argv, stdin=subprocess.DEVNULL if input_text is None else subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                    env={**os.environ, **extra} if extra else None)
        except FileNotFoundError as exc:
            return self._failed(argv, start, NOT_FOUND_STATUS, str(exc), sinks, logs), None
        except (OSError, ValueError, subprocess.SubprocessError) as exc:
            why = getattr(exc, "strerror", None) or str(exc)
            return self._failed(argv, start, CANNOT_EXECUTE_STATUS, f"cannot execute {argv[0] if argv else '?'}: {why}",
                                sinks, logs), None
        with _live_lock:
            _live_groups.add(proc.pid)
        timed_out = False
        stopped_by: BaseException | None = None
        try:
            timed_out = self._pump(proc, out, err, input_text, timeout, start)
        except BaseException as exc:  # a signal to us (or worse): end the group, keep what it printed
            stopped_by = exc
        finally:
            for pipe in (proc.stdin, proc.stdout, proc.stderr):
                if pipe is not None:
                    try:
                        pipe.close()
                    except OSError:
                        pass
            running = proc.returncode is None   # interrupted before it ended
            ended = max(0, end_group(proc.pid, self.grace_s) - running)
            proc.wait()
            with _live_lock:
                _live_groups.discard(proc.pid)
            for capture, sink in zip((out, err), sinks):
                if sink is not None:
                    try:
                        sink.close()   # flushes: a full disk says so here, and loses the log, not the run
                    except OSError as exc:
                        capture.sink_error = capture.sink_error or exc.strerror or str(exc)
        kept = None
        if logs is not None and not log_error:
            kept = {}
            for name, path, capture in (("stdout", logs[0], out), ("stderr", logs[1], err)):
                if capture.sink_error is None:
                    kept[name] = path
                else:   # an incomplete log is not kept: the warning says it is missing
                    try:
                        os.unlink(path)
                    except OSError:
                        pass
        returncode = TIMEOUT_STATUS if timed_out else proc.returncode
        reason = f"timeout after {timeout}s" if timed_out else None
        problems = [p for p in (log_error, out.sink_error and f"stdout log: {out.sink_error}",
                                err.sink_error and f"stderr log: {err.sink_error}") if p]
        if problems and reason is None:
            reason = "; ".join(problems)
        return Outcome(argv, returncode, out.text(), err.text(), time.monotonic() - start, reason=reason,
                       timed_out=timed_out, interrupted=stopped_by is not None,
                       cut_bytes={k: c.cut for k, c in (("stdout", out), ("stderr", err)) if c.cut},
                       ended_after_exit=ended,
                       logs=kept or None), stopped_by

    def _failed(self, argv: list[str], start: float, status: int, reason: str,
                sinks: list[IO[bytes] | None], logs: tuple[str, str] | None) -> Outcome:
        for s in sinks:
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass
        return Outcome(argv, status, "", "", time.monotonic() - start, reason=reason, started=False,
                       logs=None if logs is None else {"stdout": logs[0], "stderr": logs[1]})

    def _pump(self, proc: subprocess.Popen[bytes], out: _Capture, err: _Capture, input_text: str | None,
              timeout: float, start: float) -> bool:
        """Read both outputs until the child has exited and they are drained;
        handle the time-out.  Returns whether the time-out struck."""
        sel = selectors.DefaultSelector()
        captures: dict[int, _Capture] = {}
        for pipe, cap in ((proc.stdout, out), (proc.stderr, err)):
            assert pipe is not None
            sel.register(pipe.fileno(), selectors.EVENT_READ)
            captures[pipe.fileno()] = cap
        pending = b""
        if proc.stdin is not None:
            pending = (input_text or "").encode("utf-8")
            if pending:
                sel.register(proc.stdin.fileno(), selectors.EVENT_WRITE)
            else:
                proc.stdin.close()
        pidfd = None
        try:
            pidfd = os.pidfd_open(proc.pid)
            sel.register(pidfd, selectors.EVENT_READ)
        except (AttributeError, OSError):
            pidfd = None
        deadline = start + timeout
        exited_at: float | None = None
        kill_at: float | None = None
        timed_out = False
        try:
            while True:
                now = time.monotonic()
                if exited_at is None and pidfd is None and proc.poll() is not None:
                    exited_at = now
                if exited_at is not None and (not captures or now >= exited_at + self.drain_s):
                    return timed_out
                waits = []
                if exited_at is None:
                    if not timed_out and now >= deadline:
                        timed_out = True
                        _signal_group(proc.pid, signal.SIGTERM)
                        kill_at = now + self.grace_s
                    elif kill_at is not None and now >= kill_at:
                        _signal_group(proc.pid, signal.SIGKILL)
                        kill_at = None
                    waits.append(deadline - now if not timed_out else 1.0)
                    if kill_at is not None:
                        waits.append(kill_at - now)
                    if pidfd is None:
                        waits.append(0.05)
                else:
                    waits.append(exited_at + self.drain_s - now)
                for key, _ in sel.select(max(0.0, min(waits))):
                    fd = key.fd
                    if fd == pidfd:
                        sel.unregister(fd)
                        proc.wait()
                        exited_at = time.monotonic()
                    elif fd in captures:
                        chunk = os.read(fd, _CHUNK)
                        if chunk:
                            captures[fd].add(chunk)
                        else:
                            sel.unregister(fd)
                            del captures[fd]
                    else:  # standard input
                        try:
                            written = os.write(fd, pending[:_CHUNK])
                            pending = pending[written:]
                        except BrokenPipeError:
                            pending = b""
                        if not pending:
                            sel.unregister(fd)
                            assert proc.stdin is not None
                            proc.stdin.close()
        finally:
            sel.close()
            if pidfd is not None:
                os.close(pidfd)


def binary_of(cmd: Sequence[str]) -> str:
    """The benchmark executable in a command line: just before the first -b flag
    (the single-host command starts with it; launchers put theirs in front)."""
    for i in range(1, len(cmd)):
        if cmd[i] == "-b":
            return cmd[i - 1]
    return cmd[0] if cmd else ""


def collective_label(binary: str) -> str:
    """The library's label of a benchmark binary ("all_reduce"), asked of the
    library once per program name (its label depends on the name alone)."""
    return _label_of_name(os.path.basename(binary))


@functools.lru_cache(maxsize=256)
def _label_of_name(name: str) -> str:
    return str(cs.collective_name_for_binary(name))


def label_of(cmd: Sequence[str]) -> str:
    return collective_label(binary_of(cmd))


__all__ = ["CommandRunner", "Outcome", "Observer", "stop_all", "end_group", "decode", "binary_of", "label_of", "collective_label",
           "TIMEOUT_STATUS", "NOT_FOUND_STATUS", "CANNOT_EXECUTE_STATUS"]
