"""Multi-host sweeps through the real launchers brought up by .ci/launchers.sh:
Slurm's srun, Open MPI's mpirun, and mpirun over ssh to loopback test hosts,
with the stand-in benchmark as the ranks. Without the launchers these tests
skip, except where QUORVANE_REQUIRE_LAUNCHERS is set (CI): then they fail."""

import os
import shutil
import time
from pathlib import Path

import pytest

import quorvane.collsweep as cs

ENV_FILE = Path(os.environ.get("CI_LAUNCHERS_DIR", "/var/lib/ci-launchers")) / "launchers.env"
GPUS = 2
LABELS = ("all_reduce", "all_gather", "reduce_scatter", "broadcast")
# nccl-tests' bus factors for n ranks
FACTOR = {"all_reduce": lambda n: 2 * (n - 1) / n, "reduce_scatter": lambda n: (n - 1) / n,
          "broadcast": lambda n: 1.0}


@pytest.fixture(scope="module")
def launcher_env():
    missing = [p for p in ("srun", "salloc", "mpirun", "ssh") if shutil.which(p) is None]
    if not ENV_FILE.is_file() or missing:
        reason = f"launchers are not up ({ENV_FILE}; missing {missing})"
        pytest.fail(reason) if os.environ.get("QUORVANE_REQUIRE_LAUNCHERS") else pytest.skip(reason)
    lines = (line.strip().removeprefix("export ") for line in ENV_FILE.read_text().splitlines())
    return dict(line.split("=", 1) for line in lines if "=" in line and not line.startswith("#"))


@pytest.fixture
def cluster(launcher_env, bench_root, monkeypatch):
    for key, value in launcher_env.items():
        monkeypatch.setenv(key, value.strip('"'))
    hosts = {"srun": "CI_SLURM_NODES", "mpirun": "CI_MPIRUN_LOCAL_HOSTS", "ssh": "CI_SSH_HOSTS"}

    def sweep(mode, settings, **kwargs):
        """Ranks started over ssh see only what mpirun exports: settings go in a file beside them."""
        (bench_root / "nccl_standin.env").write_text("".join(f"{k}={v}\n" for k, v in settings.items()))
        ips = os.environ[hosts[mode or "mpirun"]].split()
        kwargs.setdefault("timeout_s", 60)
        return ips, cs.launch_multi_node(ips, GPUS, "H100_SXM", binary_root=str(bench_root), launcher_mode=mode,
                                         **kwargs)
    return sweep


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh", None])
def test_full_sweep_through_each_launcher(cluster, monkeypatch, mode):
    if mode is None:
        monkeypatch.setenv("SKYPILOT_NUM_NODES", "2")  # chooses mpirun
    ips, report = cluster(mode, {"NCCL_STANDIN_BUSBW_GBPS": 200, "NCCL_STANDIN_LATENCY_US": 0})
    assert report.error is None, report.error
    # Four sizes per collective, in sweep order, printed once (by rank 0 only).
    assert [r.collective for r in report.results] == [label for label in LABELS for _ in range(4)]
    assert [r.size_bytes for r in report.results[:4]] == [8192, 131072, 2097152, 33554432]
    ranks = len(ips) * GPUS  # the bus factors show how many ranks ran
    for row in report.results:
        if row.collective in FACTOR:
            assert row.busbw_gbps / row.algbw_gbps == pytest.approx(FACTOR[row.collective](ranks), rel=0.02)
    assert (report.scope, report.num_nodes, report.gpus_per_node) == ("multi", len(ips), GPUS)
    assert (report.status, report.threshold) == ("pass", cs.Threshold(150.0, 80.0))


@pytest.mark.parametrize("mode", ["srun", "mpirun", "ssh"])
@pytest.mark.parametrize("case", ["failing-rank", "hang"])
def test_failures_on_the_hosts_land_in_the_report(cluster, mode, case):
    started = time.monotonic()
    if case == "hang":
        _, report = cluster(mode, {"NCCL_STANDIN_MODE": "sleep", "NCCL_STANDIN_SLEEP": 8},
                            collectives=["all_reduce_perf"], timeout_s=2)
        assert time.monotonic() - started < 7 and report.error == "all_reduce_perf exited 124: timeout after 2s"
        assert (report.results, report.status) == ([], "error")
        return
    _, report = cluster(mode, {"NCCL_STANDIN_MODE_all_gather": "fail", "NCCL_STANDIN_FAIL_RANK": 3,
                               "NCCL_STANDIN_MESSAGE": "rank3-broke", "NCCL_STANDIN_BUSBW_GBPS": 100},
                        collectives=["all_reduce_perf", "all_gather_perf"])
    assert report.error.startswith("all_gather_perf exited ") and "rank3-broke" in report.error
    assert not report.error.startswith("all_gather_perf exited 0:")
    assert {r.collective for r in report.results} == {"all_reduce"} and report.status == "warn"
