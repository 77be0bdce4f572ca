"""The stand-in benchmark program, run as a real child process under its four names."""
import os
import signal
import subprocess
from pathlib import Path

import pytest

STANDIN = Path(__file__).parent / "bin" / "nccl_standin.py"
SWEEP = ["-b", "8192", "-e", "134217728", "-f", "16", "-g", "8", "-n", "50", "-w", "5"]
SIZES = [8192, 131072, 2097152, 33554432]
LAUNCHER_PREFIXES = ("OMPI_", "PMIX_", "PMI_", "SLURM_", "NCCL_STANDIN_")


@pytest.fixture(scope="module")
def bindir(tmp_path_factory):
    d = tmp_path_factory.mktemp("standin")
    for c in ("all_reduce", "all_gather", "reduce_scatter", "broadcast"):
        (d / f"{c}_perf").symlink_to(STANDIN)
    return d


def run(bindir, collective, args=SWEEP, **env):
    """Run one collective in an environment free of launcher and stand-in variables."""
    clean = {k: v for k, v in os.environ.items() if not k.startswith(LAUNCHER_PREFIXES)}
    return subprocess.run([str(bindir / f"{collective}_perf"), *args], capture_output=True, text=True,
                          timeout=10, env={**clean, **env}, stdin=subprocess.DEVNULL)


def rows(text):
    """Data rows: size count type redop root, then time algbw busbw #wrong twice."""
    found = [line.split() for line in text.splitlines() if not line.startswith("#")]
    return [t for t in found if len(t) == 13 and t[0].isdigit()]


@pytest.mark.parametrize("args, sizes", [
    (SWEEP, SIZES),
    (["-b", "1024", "-e", "4096", "-f", "2"], [1024, 2048, 4096]),
    (["-b", "8", "-e", "8192", "-f", "1"], [8]),
    (["-b", "4096", "-e", "1024", "-f", "2"], []),
])
def test_one_row_per_size(bindir, args, sizes):
    r = run(bindir, "all_reduce", args)
    assert (r.returncode, r.stderr) == (0, "")
    assert [int(t[0]) for t in rows(r.stdout)] == sizes
    assert "# Out of bounds values : 0 OK" in r.stdout.splitlines()


@pytest.mark.parametrize("collective, gpus, env, root, factor", [
    ("all_reduce", "8", {}, "-1", 2 * 7 / 8),
    ("all_gather", "8", {}, "-1", 7 / 8),
    ("reduce_scatter", "8", {}, "-1", 7 / 8),
    ("broadcast", "8", {}, "0", 1.0),
    ("all_reduce", "1", {"OMPI_COMM_WORLD_SIZE": "16"}, "-1", 2 * 15 / 16),
])
def test_bus_factor_and_root(bindir, collective, gpus, env, root, factor):
    args = SWEEP[:7] + [gpus] + SWEEP[8:]
    r = run(bindir, collective, args, NCCL_STANDIN_BUSBW_GBPS="200", NCCL_STANDIN_LATENCY_US="0", **env)
    table = rows(r.stdout)
    assert len(table) == 4
    for t in table:
        algbw, busbw = float(t[6]), float(t[7])
        assert t[4] == root
        assert busbw == pytest.approx(algbw * factor, abs=0.011)
        assert busbw == pytest.approx(200.0, abs=0.011)


@pytest.mark.parametrize("collective, env, status, expected, stderr", [
    ("all_reduce", {"NCCL_STANDIN_MODE": "fail", "NCCL_STANDIN_MESSAGE": "boom", "NCCL_STANDIN_EXIT": "7"},
     7, [], "boom\n"),
    ("all_reduce", {"NCCL_STANDIN_MODE": "sleep", "NCCL_STANDIN_SLEEP": "0.2"}, 0, SIZES, ""),
    ("all_reduce", {"NCCL_STANDIN_MODE": "signal", "NCCL_STANDIN_SIGNAL": "KILL"}, -signal.SIGKILL, [], ""),
    ("all_reduce", {"NCCL_STANDIN_MODE": "signal"}, -signal.SIGSEGV, [], ""),
    ("all_gather", {"NCCL_STANDIN_MODE": "partial"}, 0, SIZES[:2], ""),
    ("reduce_scatter", {"NCCL_STANDIN_MODE": "wrong", "NCCL_STANDIN_WRONG": "5"}, 0,
     [(8192, 0), (131072, 5), (2097152, 0), (33554432, 5)], ""),
    ("all_reduce", {"NCCL_STANDIN_MODE": "garbage"}, 0, [], ""),
    ("all_reduce", {"NCCL_STANDIN_MODE_all_gather": "fail"}, 0, SIZES, ""),
    ("broadcast", {"NCCL_STANDIN_MODE": "fail", "NCCL_STANDIN_MODE_broadcast": "ok"}, 0, SIZES, ""),
], ids=["fail", "sleep", "signal-kill", "signal-segv", "partial", "wrong", "garbage", "other-collective",
        "per-collective-wins"])
def test_modes(bindir, collective, env, status, expected, stderr):
    r = run(bindir, collective, **env)
    expected = [e if isinstance(e, tuple) else (e, 0) for e in expected]
    assert (r.returncode, r.stderr) == (status, stderr)
    assert [(int(t[0]), int(t[8])) for t in rows(r.stdout)] == expected


@pytest.mark.parametrize("var", ["OMPI_COMM_WORLD_RANK", "PMIX_RANK", "SLURM_PROCID"])
def test_only_rank_zero_prints(bindir, var):
    assert run(bindir, "all_reduce", **{var: "0"}).stdout
    for env, status in [({}, 0), ({"NCCL_STANDIN_MODE": "fail"}, 1)]:
        r = run(bindir, "all_reduce", **env, **{var: "3"})
        assert (r.returncode, r.stdout, r.stderr) == (status, "", "")


@pytest.mark.parametrize("args", [["-x", "1"], ["-b"], ["-b", "8K"], ["-g", "0"]])
def test_bad_flag_exits_2(bindir, args):
    r = run(bindir, "all_reduce", args)
    assert r.returncode == 2 and r.stdout == "" and r.stderr.strip()
