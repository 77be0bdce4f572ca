"""The stand-in benchmark program, run as a real child process under its four names."""
import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

STANDIN = Path(__file__).parent / "bin" / "nccl_standin.py"
COLLECTIVES = ("all_reduce", "all_gather", "reduce_scatter", "broadcast")
SWEEP = ["-b", "8192", "-e", "134217728", "-f", "16", "-g", "8", "-n", "50", "-w", "5"]
SWEEP_SIZES = [8192, 131072, 2097152, 33554432]
NUMERIC = re.compile(r"-?\d+(?:\.\d+)?")
LAUNCHER_PREFIXES = ("OMPI_", "PMIX_", "PMI_", "SLURM_", "NCCL_STANDIN_")


@pytest.fixture(scope="module")
def bindir(tmp_path_factory):
    d = tmp_path_factory.mktemp("standin")
    for c in COLLECTIVES:
        (d / f"{c}_perf").symlink_to(STANDIN)
    return d


def run(bindir, collective, args=SWEEP, timeout=10, **env):
    """Run one collective; the environment is free of launcher and stand-in variables."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith(LAUNCHER_PREFIXES)}
    clean.update(env)
    return subprocess.run([str(bindir / f"{collective}_perf"), *args], capture_output=True,
                          text=True, timeout=timeout, env=clean, stdin=subprocess.DEVNULL)


def data_rows(text):
    """Rows as a table reader sees them: non-comment lines starting with an integer."""
    rows = []
    for line in text.splitlines():
        tokens = line.split()
        if tokens and not tokens[0].startswith("#") and tokens[0].isdigit():
            rows.append(tokens)
    return rows


def out_of_place(tokens):
    """(size, time, algbw, busbw, wrong) read by numeric position, root column by parity."""
    nums = [t for t in tokens if NUMERIC.fullmatch(t)]
    off = 3 if len(nums) % 2 else 2
    return int(nums[0]), float(nums[off]), float(nums[off + 1]), float(nums[off + 2]), int(nums[off + 3])


@pytest.mark.parametrize("collective,redop,root", [
    ("all_reduce", "sum", "-1"), ("all_gather", "none", "-1"),
    ("reduce_scatter", "sum", "-1"), ("broadcast", "none", "0")])
def test_table_layout(bindir, collective, redop, root):
    r = run(bindir, collective)
    assert (r.returncode, r.stderr) == (0, "")
    rows = data_rows(r.stdout)
    assert [int(t[0]) for t in rows] == SWEEP_SIZES
    for t in rows:
        assert len(t) == 13 and sum(bool(NUMERIC.fullmatch(x)) for x in t) == 11
        assert t[2:5] == ["float", redop, root]
        # the in-place block is measured separately and is not a copy of the out-of-place one
        assert t[5:9] != t[9:13]
    lines = r.stdout.splitlines()
    assert all(line.startswith("#") for line in lines if line.split() not in rows)
    assert sum(line.startswith("#  Rank ") for line in lines) == 8
    assert "# Out of bounds values : 0 OK" in lines
    assert any(line.startswith("# Avg bus bandwidth    : ") for line in lines)


@pytest.mark.parametrize("args,sizes", [
    (["-b", "8", "-e", "8192", "-f", "1"], [8]),
    (["-b", "1024", "-e", "4096", "-f", "2"], [1024, 2048, 4096]),
    (["-b", "4096", "-e", "1024", "-f", "2"], []),
])
def test_sizes_follow_flags(bindir, args, sizes):
    r = run(bindir, "all_reduce", args)
    assert r.returncode == 0
    assert [int(t[0]) for t in data_rows(r.stdout)] == sizes


@pytest.mark.parametrize("collective,gpus,env,factor", [
    ("all_reduce", "8", {}, 2 * 7 / 8),
    ("all_gather", "8", {}, 7 / 8),
    ("reduce_scatter", "8", {}, 7 / 8),
    ("broadcast", "8", {}, 1.0),
    ("all_reduce", "1", {"OMPI_COMM_WORLD_SIZE": "16"}, 2 * 15 / 16),
    ("reduce_scatter", "4", {"SLURM_NTASKS": "2"}, 7 / 8),
    ("all_reduce", "1", {}, 0.0),
])
def test_bus_factor_and_peak(bindir, collective, gpus, env, factor):
    args = SWEEP[:7] + [gpus] + SWEEP[8:]
    r = run(bindir, collective, args, NCCL_STANDIN_BUSBW_GBPS="200", NCCL_STANDIN_LATENCY_US="0", **env)
    rows = [out_of_place(t) for t in data_rows(r.stdout)]
    assert len(rows) == 4
    size, time_us, algbw, _, _ = rows[-1]  # times are printed to 0.01 us: check the longest
    assert algbw == pytest.approx(size / time_us / 1e3, rel=1e-3)
    for size, time_us, algbw, busbw, _ in rows:
        assert busbw == pytest.approx(algbw * factor, abs=0.011)
        assert busbw == pytest.approx(200.0 if factor else 0.0, abs=0.011)


def test_default_model_is_h100_like(bindir):
    r = run(bindir, "all_reduce", ["-b", "134217728", "-e", "134217728", "-f", "2", "-g", "8"])
    [(size, _, _, busbw, _)] = [out_of_place(t) for t in data_rows(r.stdout)]
    assert size == 134217728 and 340 <= busbw <= 380


def test_fail_mode(bindir):
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="fail")
    assert r.returncode == 1 and r.stdout == ""
    assert len(r.stderr) > 200 and "Test NCCL failure" in r.stderr[:200]
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="fail", NCCL_STANDIN_MESSAGE="boom {x}",
            NCCL_STANDIN_EXIT="7")
    assert (r.returncode, r.stderr) == (7, "boom {x}\n")


def test_sleep_mode(bindir):
    with pytest.raises(subprocess.TimeoutExpired):
        run(bindir, "broadcast", timeout=1, NCCL_STANDIN_MODE="sleep")
    r = run(bindir, "broadcast", NCCL_STANDIN_MODE="sleep", NCCL_STANDIN_SLEEP="0.2")
    assert r.returncode == 0 and len(data_rows(r.stdout)) == 4


@pytest.mark.parametrize("name,signum", [("", signal.SIGSEGV), ("KILL", signal.SIGKILL)])
def test_signal_mode(bindir, name, signum):
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="signal", NCCL_STANDIN_SIGNAL=name)
    assert r.returncode == -signum
    assert "# Using devices" in r.stdout and data_rows(r.stdout) == []


def test_partial_mode(bindir):
    r = run(bindir, "all_gather", NCCL_STANDIN_MODE="partial")
    assert r.returncode == 0
    assert [int(t[0]) for t in data_rows(r.stdout)] == SWEEP_SIZES[:2]
    assert "Avg bus bandwidth" not in r.stdout


def test_wrong_mode(bindir):
    r = run(bindir, "reduce_scatter", NCCL_STANDIN_MODE="wrong", NCCL_STANDIN_WRONG="5")
    assert r.returncode == 0
    assert [out_of_place(t)[4] for t in data_rows(r.stdout)] == [0, 5, 0, 5]
    assert "# Out of bounds values : 20 FAILED" in r.stdout


def test_garbage_mode(bindir):
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="garbage")
    assert r.returncode == 0 and r.stdout.strip()
    parsed = []
    for tokens in data_rows(r.stdout):
        nums = [t for t in tokens if NUMERIC.fullmatch(t)]
        off = 3 if len(nums) % 2 else 2
        if len(nums) >= 5 and len(nums) > off + 2:
            parsed.append(tokens)
    assert parsed == []


@pytest.mark.parametrize("collective,env,rc", [
    ("all_gather", {"NCCL_STANDIN_MODE_all_gather": "fail"}, 1),
    ("all_reduce", {"NCCL_STANDIN_MODE_all_gather": "fail"}, 0),
    ("broadcast", {"NCCL_STANDIN_MODE": "fail", "NCCL_STANDIN_MODE_broadcast": "ok"}, 0),
    ("broadcast", {"NCCL_STANDIN_MODE": "fail"}, 1),
])
def test_mode_per_collective(bindir, collective, env, rc):
    assert run(bindir, collective, **env).returncode == rc


@pytest.mark.parametrize("var", ["OMPI_COMM_WORLD_RANK", "PMIX_RANK", "SLURM_PROCID", "PMI_RANK"])
def test_only_rank_zero_prints(bindir, var):
    r = run(bindir, "all_reduce", **{var: "3"})
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="fail", **{var: "3"})
    assert (r.returncode, r.stdout, r.stderr) == (1, "", "")
    r = run(bindir, "all_reduce", ["-x"], **{var: "3"})
    assert (r.returncode, r.stderr) == (2, "")


@pytest.mark.parametrize("rank,rc,table,message", [("0", 0, True, False), ("2", 1, False, True)])
def test_fail_rank(bindir, rank, rc, table, message):
    r = run(bindir, "all_reduce", NCCL_STANDIN_MODE="fail", NCCL_STANDIN_FAIL_RANK="2",
            OMPI_COMM_WORLD_RANK=rank, OMPI_COMM_WORLD_SIZE="4")
    assert r.returncode == rc
    assert bool(data_rows(r.stdout)) == table
    assert ("rank 2: Test NCCL failure" in r.stderr) == message


def test_settings_file_beside_program(tmp_path):
    (tmp_path / "all_reduce_perf").symlink_to(STANDIN)
    (tmp_path / "nccl_standin.env").write_text("# for ranks started over ssh\nNCCL_STANDIN_MODE=fail\n")
    assert run(tmp_path, "all_reduce").returncode == 1
    assert run(tmp_path, "all_reduce", NCCL_STANDIN_MODE="ok").returncode == 0


@pytest.mark.parametrize("args", [
    ["-x", "1"], ["-b"], ["-b", "8K"], ["-b", "-1"], ["-b", "1.5"], ["-b", "+8"], ["--b=8"],
    ["-g", "0"], ["-b", "8", "extra"],
])
def test_bad_arguments(bindir, args):
    r = run(bindir, "all_reduce", args)
    assert r.returncode == 2 and r.stdout == "" and r.stderr.strip()


def test_unknown_name_or_mode(bindir, tmp_path):
    (tmp_path / "alltoall_perf").symlink_to(STANDIN)
    r = run(tmp_path, "alltoall")
    assert r.returncode == 2 and "alltoall" in r.stderr
    assert run(bindir, "all_reduce", NCCL_STANDIN_MODE="hang").returncode == 2
