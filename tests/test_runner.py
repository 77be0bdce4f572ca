"""LocalShellRunner.run: real child processes, time-outs, missing programs,
and the late-bound `subprocess` it goes through."""

import locale
import os
import subprocess
import sys
import time
from types import SimpleNamespace

import pytest

import quorvane.collsweep as cs

PY = sys.executable


def run(cmd, **kw):
    return cs.LocalShellRunner().run(cmd, **kw)


def py(code):
    """A command that runs `code` in a fresh interpreter."""
    return [PY, "-c", code]


def process_gone(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    return False


# ---------------------------------------------------------------------------
# Children that exit by themselves


@pytest.mark.parametrize("status", [0, 1, 3, 124, 127, 255])
def test_exit_status_and_both_streams_come_back(status):
    result = run(["/bin/sh", "-c", f"printf 'out\\n'; printf 'err\\n' >&2; exit {status}"], timeout=5)
    assert result == cs.ShellResult(status, "out\n", "err\n")
    assert type(result) is cs.ShellResult


def test_silent_child_gives_empty_texts():
    assert run(["/bin/true"], timeout=5) == cs.ShellResult(0, "", "")


@pytest.mark.parametrize("signame", ["SIGKILL", "SIGTERM", "SIGSEGV"])
def test_child_killed_by_a_signal_has_a_negative_status(signame):
    import signal

    number = int(getattr(signal, signame))
    result = run(["/bin/sh", "-c", f"echo before; kill -{number} $$"], timeout=5)
    assert result.returncode == -number
    assert result.stdout == "before\n"


def test_line_endings_are_translated_and_the_environment_inherited(monkeypatch, tmp_path):
    monkeypatch.setenv("QUORVANE_RUNNER_PROBE", "seen")
    monkeypatch.chdir(tmp_path)
    code = "import os, sys; sys.stdout.buffer.write(b'a\\r\\nb\\r' + os.environ['QUORVANE_RUNNER_PROBE'].encode() + b'\\n' + os.getcwd().encode())"
    result = run(py(code), timeout=5)
    assert result.returncode == 0
    assert result.stdout == f"a\nb\nseen\n{tmp_path}"


def test_much_output_on_both_streams_does_not_stall():
    code = "import sys; sys.stdout.write('o' * 2_000_000); sys.stderr.write('e' * 2_000_000)"
    result = run(py(code), timeout=10)
    assert (result.returncode, len(result.stdout), len(result.stderr)) == (0, 2_000_000, 2_000_000)
    assert set(result.stdout) == {"o"} and set(result.stderr) == {"e"}


def test_cmd_is_not_given_to_a_shell(tmp_path):
    marker = tmp_path / "made-by-shell"
    result = run(["/bin/echo", f"x; touch {marker}", "$HOME"], timeout=5)
    assert result.stdout == f"x; touch {marker} $HOME\n"
    assert not marker.exists()


# ---------------------------------------------------------------------------
# Time-outs

SLEEPER = (
    "import os, sys, time\n"
    "sys.stdout.buffer.write(str(os.getpid()).encode() + b'\\n' + {partial!r})\n"
    "sys.stdout.flush()\n"
    "sys.stderr.write('dropped'); sys.stderr.flush()\n"
    "time.sleep(30)\n"
)


@pytest.mark.parametrize(
    "partial, expected",
    [(b"", ""), (b"rows so far\n", "rows so far\n"), (b"ok \xff\xfe end", "ok \ufffd\ufffd end")],
    ids=["nothing", "text", "undecodable"],
)
def test_time_out_kills_the_child_and_keeps_partial_output(partial, expected):
    started = time.monotonic()
    result = run(py(SLEEPER.format(partial=partial)), timeout=1)
    elapsed = time.monotonic() - started
    assert result.returncode == 124
    assert result.stderr == "timeout after 1s"
    pid_line, _, rest = result.stdout.partition("\n")
    assert rest == expected
    assert elapsed < 20, "the child's 30 s sleep was waited out"
    assert process_gone(int(pid_line)), "the timed-out child outlived the call"


def test_fractional_time_out_is_truncated():
    result = run(["sleep", "10"], timeout=2.9)
    assert result == cs.ShellResult(124, "", "timeout after 2s")


@pytest.mark.parametrize(
    "kw, message",
    [
        ({}, "run() needs keyword-only argument timeout"),
        ({"timeout": None}, "Argument 'timeout' has incorrect type (expected int, got NoneType)"),
        ({"timeout": "1"}, "Argument 'timeout' has incorrect type (expected int, got str)"),
    ],
)
def test_there_is_no_run_without_a_time_out(kw, message):
    with pytest.raises(TypeError) as exc:
        run(["/bin/true"], **kw)
    assert str(exc.value) == message


# ---------------------------------------------------------------------------
# Programs that cannot be run


@pytest.mark.parametrize("program", ["quorvane-no-such-program", "/nonexistent/dir/all_reduce_perf"])
def test_missing_program_gives_127(program):
    result = run([program, "-b", "8"], timeout=5)
    assert result.returncode == 127
    assert result.stdout == ""
    assert program in result.stderr
    assert "No such file or directory" in result.stderr


def test_missing_relative_program_gives_127(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    result = run(["./absent"], timeout=5)
    assert result == cs.ShellResult(127, "", "[Errno 2] No such file or directory: './absent'")


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


def test_output_that_cannot_be_decoded_raises():
    try:
        b"\xff\xfe".decode(locale.getpreferredencoding(False))
    except UnicodeDecodeError:
        pass
    else:
        pytest.skip("the default text encoding decodes every byte")
    with pytest.raises(UnicodeDecodeError):
        run(py("import sys; sys.stdout.buffer.write(b'\\xff\\xfe')"), timeout=5)


# ---------------------------------------------------------------------------
# Standard input


def test_input_text_is_fed_to_the_child():
    result = run(["cat"], timeout=5, input_text="line one\nline two\n")
    assert result == cs.ShellResult(0, "line one\nline two\n", "")


STDIN_PROBE = "import os, sys; print(os.readlink('/proc/self/fd/0')); print(repr(sys.stdin.read()) if not os.isatty(0) else '')"


@pytest.mark.skipif(not os.path.exists("/proc/self/fd/0"), reason="needs /proc")
def test_empty_input_text_still_redirects_standard_input():
    result = run(py(STDIN_PROBE), timeout=5, input_text="")
    link, seen = result.stdout.splitlines()
    assert link.startswith("pipe:")
    assert seen == "''"


@pytest.mark.skipif(not os.path.exists("/proc/self/fd/0"), reason="needs /proc")
def test_no_input_text_leaves_standard_input_alone():
    # Give the caller a standard input of its own that is recognisable.
    probe = (
        "import os, sys, quorvane.collsweep as cs\n"
        "r = cs.LocalShellRunner().run([sys.executable, '-c', \"import os; print(os.readlink('/proc/self/fd/0'))\"], timeout=5)\n"
        "print(os.readlink('/proc/self/fd/0')); print(r.stdout, end='')\n"
    )
    with open(os.devnull) as null:
        out = subprocess.run([PY, "-c", probe], stdin=null, capture_output=True, text=True, timeout=30,
                             env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    mine, childs = out.stdout.splitlines()
    assert mine == childs == os.devnull


# ---------------------------------------------------------------------------
# cmd


@pytest.mark.parametrize(
    "cmd, got",
    [(("/bin/true",), "tuple"), ("/bin/true", "str"), (None, "NoneType")],
)
def test_cmd_must_be_a_list(cmd, got, monkeypatch):
    calls = []
    monkeypatch.setattr(cs, "subprocess", SimpleNamespace(run=lambda *a, **k: calls.append(a)))
    with pytest.raises(TypeError) as exc:
        run(cmd, timeout=5)
    assert str(exc.value) == f"Argument 'cmd' has incorrect type (expected list, got {got})"
    assert calls == []


def test_list_subclass_is_refused():
    class Cmd(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got Cmd\)\. "):
        run(Cmd(["/bin/true"]), timeout=5)


# ---------------------------------------------------------------------------
# The late-bound subprocess module


class FakeTimeout(Exception):
    def __init__(self, stdout):
        super().__init__("fake time-out")
        self.stdout = stdout


class FakeSubprocess:
    """Stands in for the module's `subprocess`: records calls, then returns
    or raises what it was told to."""

    TimeoutExpired = FakeTimeout

    def __init__(self, outcome):
        self.outcome = outcome
        self.calls = []

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


@pytest.mark.parametrize(
    "timeout, input_text, passed",
    [(7, None, 7), (2.9, "doc", 2), (True, "", 1)],
)
def test_replaced_subprocess_sees_the_call(fake_subprocess, timeout, input_text, passed):
    fake = fake_subprocess(SimpleNamespace(returncode=5, stdout="o", stderr="e"))
    cmd = ["prog", "-b", "8"]
    result = run(cmd, timeout=timeout, input_text=input_text)
    assert result == cs.ShellResult(5, "o", "e")
    [(args, kwargs)] = fake.calls
    assert args == (cmd,) and args[0] is cmd
    assert kwargs == {"capture_output": True, "text": True, "timeout": passed, "input": input_text}
    assert type(kwargs["timeout"]) is int


def test_missing_captured_streams_become_empty_text(fake_subprocess):
    fake_subprocess(SimpleNamespace(returncode=0, stdout=None, stderr=None))
    assert run(["x"], timeout=1) == cs.ShellResult(0, "", "")


@pytest.mark.parametrize(
    "partial, expected",
    [(None, ""), (b"", ""), ("", ""), ("text as is \ufffd", "text as is \ufffd"), (b"a\xc3\xa9\x80z", "a\u00e9\ufffdz")],
)
def test_time_out_of_the_replaced_module_is_caught(fake_subprocess, partial, expected):
    fake_subprocess(FakeTimeout(partial))
    assert run(["x"], timeout=33) == cs.ShellResult(124, expected, "timeout after 33s")


def test_real_time_out_class_is_not_caught_once_subprocess_is_replaced(fake_subprocess):
    error = subprocess.TimeoutExpired(["x"], 1)
    fake_subprocess(error)
    with pytest.raises(subprocess.TimeoutExpired) as exc:
        run(["x"], timeout=1)
    assert exc.value is error


def test_file_not_found_from_the_replaced_module(fake_subprocess):
    fake_subprocess(FileNotFoundError(2, "No such file or directory", "prog"))
    assert run(["prog"], timeout=1) == cs.ShellResult(127, "", "[Errno 2] No such file or directory: 'prog'")


@pytest.mark.parametrize(
    "error",
    [PermissionError(13, "Permission denied"), OSError(7, "Argument list too long"), ValueError("bad"),
     KeyboardInterrupt()],
    ids=["permission", "oserror", "value", "interrupt"],
)
def test_other_errors_propagate_unchanged(fake_subprocess, error):
    fake_subprocess(error)
    with pytest.raises(type(error)) as exc:
        run(["x"], timeout=1)
    assert exc.value is error


def test_subprocess_without_time_out_class_chains_the_original_error(monkeypatch):
    error = ValueError("from run")

    def failing_run(*a, **k):
        raise error

    monkeypatch.setattr(cs, "subprocess", SimpleNamespace(run=failing_run))
    with pytest.raises(AttributeError) as exc:
        run(["x"], timeout=1)
    assert exc.value.__context__ is error


def test_runner_holds_no_state_between_calls():
    runner = cs.LocalShellRunner()
    first = runner.run(["/bin/sh", "-c", "echo 1; exit 1"], timeout=5)
    second = runner.run(["/bin/sh", "-c", "echo 2"], timeout=5)
    assert (first, second) == (cs.ShellResult(1, "1\n", ""), cs.ShellResult(0, "2\n", ""))
    assert vars(runner) == {}
