"""Multi-host sweeps through real launchers: srun, mpirun and mpirun over ssh.

The launchers are the real programs, brought up on this machine by
`.ci/launchers.sh up` (a two-node Slurm cluster, Open MPI, and sshd serving
test hosts on loopback addresses). The stand-in benchmark runs as the ranks.
Without the launchers these tests skip, except when QUORVANE_REQUIRE_LAUNCHERS
is set (CI), where a missing launcher is a failure.
"""

import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import quorvane.collsweep as cs

ENV_FILE = Path(os.environ.get("CI_LAUNCHERS_DIR", "/var/lib/ci-launchers")) / "launchers.env"
STANDIN = Path(__file__).resolve().parent / "bin" / "nccl_standin.py"
NAMES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
LABELS = ("all_reduce", "all_gather", "reduce_scatter", "broadcast")
ARG_COUNT = {"srun": 17, "mpirun": 23, "ssh": 26}


def read_env_file():
    env = {}
    for line in ENV_FILE.read_text().splitlines():
        line = line.strip()
        if line.startswith("export "):
            key, _, value = line[len("export "):].partition("=")
            env[key] = value.strip('"')
    return env


def unavailable(reason):
    if os.environ.get("QUORVANE_REQUIRE_LAUNCHERS"):
        pytest.fail(f"launcher tests required here, but {reason}")
    pytest.skip(reason)


@pytest.fixture(scope="module")
def launcher_env():
    if not ENV_FILE.is_file():
        unavailable(f"launchers are not up ({ENV_FILE} missing; run .ci/launchers.sh up)")
    env = read_env_file()
    for program in ("srun", "salloc", "mpirun", "ssh"):
        if shutil.which(program) is None:
            unavailable(f"{program} is not on PATH")
    return env


@pytest.fixture
def cluster(launcher_env, monkeypatch, tmp_path):
    """The launchers' environment, hosts per mode, and a binary root of stand-ins."""
    for key, value in launcher_env.items():
        monkeypatch.setenv(key, value)
    for key in ("SLURM_JOB_ID", "SKYPILOT_NUM_NODES"):
        monkeypatch.delenv(key, raising=False)
    root = tmp_path / "bin"
    root.mkdir()
    for name in NAMES:
        (root / name).symlink_to(STANDIN)
    hosts = {
        "srun": launcher_env["CI_SLURM_NODES"].split()[:2],  # the cluster may have more nodes
        "mpirun": launcher_env["CI_MPIRUN_LOCAL_HOSTS"].split(),
        "ssh": launcher_env["CI_SSH_HOSTS"].split(),
    }
    return Cluster(root, hosts)


class Cluster:
    def __init__(self, root, hosts):
        self.root = root
        self.hosts = hosts

    def settings(self, **values):
        """Stand-in settings for every rank: ranks started over ssh see only
        the variables that mpirun exports, so they go into the settings file."""
        text = "".join(f"{key}={value}\n" for key, value in values.items())
        (self.root / "nccl_standin.env").write_text(text)


class RecordingRunner(cs.ShellRunner):
    """Runs through the real LocalShellRunner and keeps every command line."""

    def __init__(self):
        self.commands = []

    def run(self, cmd, *, timeout, input_text=None):
        self.commands.append(list(cmd))
        return cs.LocalShellRunner().run(cmd, timeout=timeout)


def sweep(cluster, mode, **kwargs):
    runner = RecordingRunner()
    report = cs.launch_multi_node(cluster.hosts[mode], 2, "H100_SXM", binary_root=str(cluster.root),
                                  timeout_s=kwargs.pop("timeout_s", 60), launcher_mode=mode, runner=runner, **kwargs)
    return report, runner.commands


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh"])
def test_full_sweep_through_each_launcher(cluster, mode):
    cluster.settings(NCCL_STANDIN_BUSBW_GBPS=200, NCCL_STANDIN_LATENCY_US=0)
    report, commands = sweep(cluster, mode)

    assert report.error is None, report.error
    assert [len(c) for c in commands] == [ARG_COUNT[mode]] * 4
    assert [c[ARG_COUNT[mode] - 13] for c in commands] == [str(cluster.root / n) for n in NAMES]
    # Four sizes per collective, in sweep order, printed once (by rank 0 only).
    assert [r.collective for r in report.results] == [label for label in LABELS for _ in range(4)]
    assert [r.size_bytes for r in report.results[:4]] == [8192, 131072, 2097152, 33554432]
    # The bus factor 2(n-1)/n of all_reduce shows that four ranks ran.
    assert all(r.busbw_gbps / r.algbw_gbps == pytest.approx(1.5, rel=0.02) for r in report.results[:4])
    assert (report.scope, report.num_nodes, report.gpus_per_node) == ("multi", 2, 2)
    assert report.headline_all_reduce_busbw() == pytest.approx(200, rel=0.01)
    assert report.status == "pass" and report.threshold == cs.Threshold(150.0, 80.0)


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh"])
def test_failing_rank_fails_the_launcher_and_lands_in_the_report(cluster, mode):
    cluster.settings(NCCL_STANDIN_MODE_all_gather="fail",
                     NCCL_STANDIN_FAIL_RANK=3, NCCL_STANDIN_MESSAGE="rank3-broke",
                     NCCL_STANDIN_BUSBW_GBPS=100, NCCL_STANDIN_LATENCY_US=0)
    report, _ = sweep(cluster, mode, collectives=["all_reduce_perf", "all_gather_perf"])

    assert report.error.startswith("all_gather_perf exited ")
    assert not report.error.startswith("all_gather_perf exited 0:")
    assert "rank3-broke" in report.error
    assert len(report.error) <= len("all_gather_perf exited -99: ") + 200
    # all_gather's rows are dropped; all_reduce's are graded: 100 GB/s is a warn.
    assert {r.collective for r in report.results} == {"all_reduce"}
    assert report.status == "warn"


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh"])
def test_hang_is_cut_at_the_time_out(cluster, mode):
    cluster.settings(NCCL_STANDIN_MODE="sleep", NCCL_STANDIN_SLEEP=8)
    started = time.monotonic()
    report, _ = sweep(cluster, mode, collectives=["all_reduce_perf"], timeout_s=2)
    assert time.monotonic() - started < 7
    assert report.error == "all_reduce_perf exited 124: timeout after 2s"
    assert report.results == [] and report.status == "error"


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh"])
def test_launcher_missing_from_path_gives_127_everywhere(cluster, mode, monkeypatch, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    report, commands = sweep(cluster, mode)
    assert len(commands) == 4
    launcher = "srun" if mode == "srun" else "mpirun"
    assert report.error.startswith("broadcast_perf exited 127: ") and launcher in report.error
    assert report.results == [] and report.status == "error"


def test_skypilot_environment_selects_mpirun(cluster, monkeypatch):
    monkeypatch.setenv("SKYPILOT_NUM_NODES", "2")
    runner = RecordingRunner()
    report = cs.launch_multi_node(cluster.hosts["mpirun"], 2, "H100_SXM", binary_root=str(cluster.root),
                                  timeout_s=60, collectives=["all_reduce_perf"], runner=runner)
    assert len(runner.commands[0]) == 23 and runner.commands[0][:2] == ["mpirun", "-H"]
    assert report.error is None and len(report.results) == 4


def test_no_launcher_environment_selects_ssh(cluster):
    runner = RecordingRunner()
    report = cs.launch_multi_node(cluster.hosts["ssh"], 2, "H100_SXM", binary_root=str(cluster.root),
                                  timeout_s=60, collectives=["broadcast_perf"], launcher_mode="", runner=runner)
    assert runner.commands[0][:4] == ["mpirun", "--mca", "plm_rsh_agent", "ssh"]
    assert report.error is None and [r.collective for r in report.results] == ["broadcast"] * 4


def test_inside_a_real_slurm_allocation_srun_is_chosen(cluster, launcher_env):
    """salloc sets SLURM_JOB_ID for the program it runs; the sweep sees it."""
    program = textwrap.dedent(f"""
        import json, quorvane.collsweep as cs
        report = cs.launch_multi_node({cluster.hosts["srun"]!r}, 2, "H200", binary_root={str(cluster.root)!r},
                                      timeout_s=60, collectives=["reduce_scatter_perf"])
        print(json.dumps(report.to_dict()))
    """)
    nodes = len(cluster.hosts["srun"])
    proc = subprocess.run(["salloc", f"--nodes={nodes}", "--ntasks=4", sys.executable, "-c", program],
                          capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert proc.returncode == 0, proc.stderr
    report = __import__("json").loads(proc.stdout.strip().splitlines()[-1])
    assert "error" not in report
    assert [r["collective"] for r in report["results"]] == ["reduce_scatter"] * 4
    # reduce_scatter's bus factor (n-1)/n with four ranks.
    assert all(r["busbw_gbps"] / r["algbw_gbps"] == pytest.approx(0.75, rel=0.02) for r in report["results"])
