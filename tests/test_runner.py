"""LocalShellRunner.run: real child processes, time-outs, missing programs, and
the late-bound `subprocess` it goes through."""

import os
import signal
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest


def run(cs, cmd, **kw):
    return cs.LocalShellRunner().run(cmd, **kw)


@pytest.mark.parametrize("script, status", [
    ("exit 0", 0), ("exit 1", 1), (f"kill -{int(signal.SIGKILL)} $$", -signal.SIGKILL)])
def test_exit_status_and_both_streams_come_back(cs, script, status):
    result = run(cs, ["/bin/sh", "-c", f"printf 'out\\n'; printf 'err\\n' >&2; {script}"], timeout=5)
    assert type(result) is cs.ShellResult and result == cs.ShellResult(status, "out\n", "err\n")


SLEEPER = ("import os, sys, time\nsys.stdout.buffer.write(str(os.getpid()).encode() + b'\\n' + {partial!r})\n"
           "sys.stdout.flush(); sys.stderr.write('dropped'); sys.stderr.flush(); time.sleep(30)\n")


@pytest.mark.parametrize("partial, expected", [(b"", ""), (b"ok \xff\xfe end", "ok \ufffd\ufffd end")])
def test_time_out_kills_the_child_and_keeps_partial_output(cs, partial, expected):
    started = time.monotonic()
    result = run(cs, [sys.executable, "-c", SLEEPER.format(partial=partial)], timeout=1.9)
    assert time.monotonic() - started < 20
    assert (result.returncode, result.stderr) == (124, "timeout after 1s")
    pid, _, rest = result.stdout.partition("\n")
    assert rest == expected
    with pytest.raises(ProcessLookupError):
        os.kill(int(pid), 0)


@pytest.mark.parametrize("program", ["quorvane-no-such-program", "/nonexistent/dir/all_reduce_perf"])
def test_missing_program_gives_127(cs, program):
    result = run(cs, [program, "-b", "8"], timeout=5)
    assert (result.returncode, result.stdout) == (127, "") and program in result.stderr


def test_program_that_may_not_be_executed_raises(cs, tmp_path):
    target = tmp_path / "all_reduce_perf"
    target.write_text("#!/bin/sh\necho should not run\n")
    target.chmod(0o644)
    with pytest.raises(PermissionError):
        run(cs, [str(target)], timeout=5)


class FakeTimeout(Exception):
    def __init__(self, stdout):
        super().__init__("fake time-out")
        self.stdout = stdout


@pytest.mark.parametrize("outcome, timeout, input_text, expected", [
    (SimpleNamespace(returncode=5, stdout="o", stderr="e"), 7, None, (5, "o", "e")),
    (FakeTimeout("text as is"), 2.9, "doc", (124, "text as is", "timeout after 2s")),
    (FakeTimeout(b"a\xc3\xa9\x80z"), 1, None, (124, "a\u00e9\ufffdz", "timeout after 1s")),
    (FileNotFoundError(2, "No such file or directory", "prog"), 1, None,
     (127, "", "[Errno 2] No such file or directory: 'prog'")),
    (KeyboardInterrupt(), 1, None, None), (subprocess.TimeoutExpired(["x"], 1), 1, None, None),  # not the fake's
])
def test_replaced_subprocess_sees_the_call(cs, monkeypatch, outcome, timeout, input_text, expected):
    calls = []

    def fake_run(*args, **kwargs):
        calls.append((args, kwargs))
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    monkeypatch.setattr(cs, "subprocess", SimpleNamespace(run=fake_run, TimeoutExpired=FakeTimeout))
    cmd = ["prog", "-b", "8"]
    if expected is None:
        with pytest.raises(type(outcome)) as exc:
            run(cs, cmd, timeout=timeout)
        assert exc.value is outcome
        return
    assert run(cs, cmd, timeout=timeout, input_text=input_text) == cs.ShellResult(*expected)
    [(args, kwargs)] = calls
    assert args == (cmd,) and args[0] is cmd
    assert kwargs == {"capture_output": True, "text": True, "timeout": int(timeout), "input": input_text}
    assert type(kwargs["timeout"]) is int


def test_the_protocol_checks_then_refuses_to_run(cs):
    with pytest.raises(NotImplementedError):
        cs.ShellRunner().run([], timeout=1, input_text="data")
