"""LocalShellRunner.run: real child processes, time-outs, missing programs,
and the late-bound `subprocess` it goes through."""

import os
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

import quorvane.collsweep as cs


def run(cmd, **kw):
    return cs.LocalShellRunner().run(cmd, **kw)


def py(code, *args):
    return [sys.executable, "-c", code, *args]


# ---------------------------------------------------------------------------
# Real children


@pytest.mark.parametrize("script, status", [
    ("exit 0", 0), ("exit 1", 1), ("exit 127", 127),
    (f"kill -{int(signal.SIGKILL)} $$", -signal.SIGKILL),
    (f"kill -{int(signal.SIGSEGV)} $$", -signal.SIGSEGV),
])
def test_exit_status_and_both_streams_come_back(script, status):
    result = run(["/bin/sh", "-c", f"printf 'out\\n'; printf 'err\\n' >&2; {script}"], timeout=5)
    assert result == cs.ShellResult(status, "out\n", "err\n")
    assert type(result) is cs.ShellResult


SLEEPER = (
    "import os, sys, time\n"
    "sys.stdout.buffer.write(str(os.getpid()).encode() + b'\\n' + {partial!r}); sys.stdout.flush()\n"
    "sys.stderr.write('dropped'); sys.stderr.flush()\n"
    "time.sleep(30)\n"
)


@pytest.mark.parametrize("partial, expected", [
    (b"", ""), (b"rows so far\n", "rows so far\n"), (b"ok \xff\xfe end", "ok \ufffd\ufffd end"),
], ids=["nothing", "text", "undecodable"])
def test_time_out_kills_the_child_and_keeps_partial_output(partial, expected):
    started = time.monotonic()
    result = run(py(SLEEPER.format(partial=partial)), timeout=1)
    assert time.monotonic() - started < 20, "the child's 30 s sleep was waited out"
    assert (result.returncode, result.stderr) == (124, "timeout after 1s")
    pid, _, rest = result.stdout.partition("\n")
    assert rest == expected
    with pytest.raises(ProcessLookupError):
        os.kill(int(pid), 0)  # the child is gone, not left behind


def test_time_out_returns_while_a_grandchild_holds_the_pipes():
    """Only the child is killed at the time-out. A process that it started (a
    local launcher's rank, say) lives on with the output pipes still open, and
    the call must not wait for it (README: time-outs and child processes)."""
    started = time.monotonic()
    result = run(["/bin/sh", "-c", "sleep 30 & echo $!; wait"], timeout=1)
    elapsed = time.monotonic() - started
    grandchild = int(result.stdout.split()[0])
    try:
        assert (result.returncode, result.stderr) == (124, "timeout after 1s")
        assert elapsed < 10, "the call waited for the grandchild"
        os.kill(grandchild, 0)  # still there: nothing but the child is killed
    finally:
        os.kill(grandchild, signal.SIGKILL)


@pytest.mark.parametrize("program", ["quorvane-no-such-program", "/nonexistent/dir/all_reduce_perf"])
def test_missing_program_gives_127(program):
    result = run([program, "-b", "8"], timeout=5)
    assert (result.returncode, result.stdout) == (127, "")
    assert program in result.stderr and "No such file or directory" in result.stderr


@pytest.mark.parametrize("kind", ["file", "directory"])
def test_program_that_may_not_be_executed_raises(tmp_path, kind):
    target = tmp_path / "all_reduce_perf"
    if kind == "file":
        target.write_text("#!/bin/sh\necho should not run\n")
        target.chmod(0o644)
    else:
        target.mkdir()
    with pytest.raises(PermissionError):
        run([str(target)], timeout=5)


@pytest.mark.skipif(not os.path.exists("/proc/self/fd/0"), reason="needs /proc")
@pytest.mark.parametrize("input_text", [None, "", "line one\nline two\n"], ids=["none", "empty", "text"])
def test_standard_input_is_redirected_only_for_text(input_text):
    try:
        ours = os.readlink("/proc/self/fd/0")
    except OSError:
        pytest.skip("this process has no standard input")
    probe = "import os, sys; print(os.readlink('/proc/self/fd/0')); sys.argv[1:] and print(repr(sys.stdin.read()))"
    result = run(py(probe, *(["read"] if input_text is not None else [])), timeout=5, input_text=input_text)
    link, *seen = result.stdout.splitlines()
    if input_text is None:
        assert (link, seen) == (ours, [])
    else:
        assert link.startswith("pipe:") and link != ours
        assert seen == [repr(input_text)]


# ---------------------------------------------------------------------------
# The late-bound subprocess module


class FakeTimeout(Exception):
    def __init__(self, stdout):
        super().__init__("fake time-out")
        self.stdout = stdout


class FakeSubprocess:
    """Stands in for the module's `subprocess`: records calls, then returns or raises."""

    TimeoutExpired = FakeTimeout

    def __init__(self, outcome):
        self.outcome, self.calls = outcome, []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if isinstance(self.outcome, BaseException):
            raise self.outcome
        return self.outcome


@pytest.fixture
def fake_subprocess(monkeypatch):
    def install(outcome):
        fake = FakeSubprocess(outcome)
        monkeypatch.setattr(cs, "subprocess", fake)
        return fake

    return install


@pytest.mark.parametrize("outcome, timeout, input_text, expected", [
    (SimpleNamespace(returncode=5, stdout="o", stderr="e"), 7, None, (5, "o", "e")),
    (SimpleNamespace(returncode=0, stdout=None, stderr=None), True, "", (0, "", "")),
    (FakeTimeout(None), 33, "doc", (124, "", "timeout after 33s")),
    (FakeTimeout("text as is \ufffd"), 2.9, None, (124, "text as is \ufffd", "timeout after 2s")),
    (FakeTimeout(b"a\xc3\xa9\x80z"), 1, None, (124, "a\u00e9\ufffdz", "timeout after 1s")),
    (FileNotFoundError(2, "No such file or directory", "prog"), 1, None,
     (127, "", "[Errno 2] No such file or directory: 'prog'")),
], ids=["exited", "no-streams", "timeout-none", "timeout-text", "timeout-bytes", "not-found"])
def test_replaced_subprocess_sees_the_call(fake_subprocess, outcome, timeout, input_text, expected):
    fake = fake_subprocess(outcome)
    cmd = ["prog", "-b", "8"]
    assert run(cmd, timeout=timeout, input_text=input_text) == cs.ShellResult(*expected)
    [(args, kwargs)] = fake.calls
    assert len(args) == 1 and args[0] is cmd
    assert kwargs == {"capture_output": True, "text": True, "timeout": int(timeout), "input": input_text}
    assert type(kwargs["timeout"]) is int


@pytest.mark.parametrize("error", [
    PermissionError(13, "Permission denied"), OSError(7, "Argument list too long"), ValueError("bad"),
    KeyboardInterrupt(), subprocess.TimeoutExpired(["x"], 1),
], ids=["permission", "oserror", "value", "interrupt", "host-timeout-class"])
def test_other_errors_propagate_unchanged(fake_subprocess, error):
    # Only the replaced module's TimeoutExpired is a time-out now.
    fake_subprocess(error)
    with pytest.raises(type(error)) as exc:
        run(["x"], timeout=1)
    assert exc.value is error


@pytest.mark.parametrize("cmd, kw", [
    (("/bin/true",), {"timeout": 5}), (["/bin/true"], {"timeout": None}), (["/bin/true"], {}),
], ids=["tuple-cmd", "timeout-none", "no-timeout"])
def test_bad_arguments_are_refused_before_anything_runs(fake_subprocess, cmd, kw):
    fake = fake_subprocess(SimpleNamespace(returncode=0, stdout="", stderr=""))
    with pytest.raises(TypeError):
        run(cmd, **kw)
    assert fake.calls == []
