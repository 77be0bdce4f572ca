"""The command's runner (quorvane.runner.CommandRunner) on real child processes:
time-outs, programs that cannot start, what a child leaves behind, line endings."""
import sys
import time

import pytest

from quorvane.runner import CommandRunner, label_of


def test_run_passes_its_time_out_on():
    started = time.monotonic()
    result = CommandRunner(grace_s=0.5).run(["sleep", "30"], timeout=1)
    assert (result.returncode, result.stderr) == (124, "timeout after 1s")
    assert time.monotonic() - started < 10


@pytest.mark.parametrize("make, status", [(None, 127), ("not executable", 126)])
def test_a_program_that_cannot_start(tmp_path, make, status):
    program = tmp_path / "all_reduce_perf"
    if make:
        program.write_text("#!/bin/sh\n")
    outcome = CommandRunner().execute([str(program), "-b", "8"], timeout=5)
    assert (outcome.returncode, outcome.started) == (status, False)


def test_what_the_child_left_running_is_ended_and_counted(tmp_path):
    pidfile = tmp_path / "pid"
    script = f"sleep 60 & echo $! > {pidfile}"
    outcome = CommandRunner(grace_s=0.5, drain_s=0.1).execute(["sh", "-c", script], timeout=10)
    assert (outcome.returncode, outcome.ended_after_exit) == (0, 1)
    assert not running(int(pidfile.read_text()))


def running(pid):
    """Whether a process is alive (a zombie waiting for its reaper is not)."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            return f.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except FileNotFoundError:
        return False


def test_carriage_returns_read_as_line_ends():
    script = "import sys; sys.stdout.buffer.write(b'a\\rb\\r\\nc\\n')"
    assert CommandRunner().execute([sys.executable, "-c", script], timeout=10).stdout == "a\nb\nc\n"


@pytest.mark.parametrize("cmd", [
    ["/opt/nccl-tests/build/all_gather_perf", "-b", "8192", "-e", "1024"],
    ["srun", "--nodelist=a,b", "--ntasks=16", "/opt/nccl-tests/build/all_gather_perf", "-b", "8192"],
    ["mpirun", "-np", "16", "-x", "NCCL_DEBUG=WARN", "all_gather_perf", "-b", "8192"],
])
def test_label_of_a_command_behind_a_launcher(cmd):
    assert label_of(cmd) == "all_gather"


def test_long_output_keeps_head_and_tail_and_counts_the_rest():
    script = "import sys\nfor i in range(6): sys.stdout.write(str(i) * 65536); sys.stdout.flush()"
    outcome = CommandRunner(cap_bytes=1000).execute([sys.executable, "-c", script], timeout=10)
    assert outcome.cut_bytes == {"stdout": 6 * 65536 - 1000}
    assert outcome.stdout == "0" * 500 + f"\n[quorvane: {6 * 65536 - 1000} bytes of output not kept here]\n" + "5" * 500
