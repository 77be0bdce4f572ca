"""Launcher selection and the multi-host argument lists."""

import pytest

import quorvane.collsweep as cs

BENCH = ["-b", "8192", "-e", "134217728", "-f", "16", "-g", "1", "-n", "50", "-w", "5"]
MPI_TAIL = ["--allow-run-as-root", "--bind-to", "none", "-x", "NCCL_DEBUG=WARN"]


def build(mode, ips=("h1", "h2"), per_node=8, ranks=16, cfg=None, binary="/p/all_reduce_perf"):
    return cs._build_multi_node_command(
        mode=mode, binary=binary, node_ips=list(ips), gpus_per_node=per_node, total_ranks=ranks,
        cfg=cfg if cfg is not None else cs._LauncherConfig())


@pytest.mark.parametrize(
    "slurm, skypilot, expected",
    [
        ("123", "2", "srun"),
        ("123", None, "srun"),
        (None, "2", "mpirun"),
        ("", "2", "mpirun"),
        ("", None, "ssh"),
        (None, "", "ssh"),
        (None, None, "ssh"),
    ],
)
def test_mode_follows_environment_at_each_call(monkeypatch, slurm, skypilot, expected):
    for name, value in (("SLURM_JOB_ID", slurm), ("SKYPILOT_NUM_NODES", skypilot)):
        if value is None:
            monkeypatch.delenv(name, raising=False)
        else:
            monkeypatch.setenv(name, value)
    assert cs._select_launcher_mode() == expected


def test_mode_selection_reads_the_late_bound_os(monkeypatch):
    class FakeOs:
        environ = {"SLURM_JOB_ID": "9"}

    monkeypatch.delenv("SLURM_JOB_ID", raising=False)
    monkeypatch.setattr(cs, "os", FakeOs)
    assert cs._select_launcher_mode() == "srun"


@pytest.mark.parametrize(
    "mode, expected",
    [
        ("srun", ["srun", "--mpi=pmix", "--ntasks=16", "--ntasks-per-node=8", "/p/all_reduce_perf"] + BENCH),
        ("mpirun", ["mpirun", "-H", "h1:8,h2:8", "-np", "16"] + MPI_TAIL + ["/p/all_reduce_perf"] + BENCH),
        ("ssh", ["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", "h1:8,h2:8", "-np", "16"] + MPI_TAIL
         + ["/p/all_reduce_perf"] + BENCH),
    ],
)
def test_exact_argument_lists(mode, expected):
    cmd = build(mode)
    assert cmd == expected
    assert len(cmd) == {"srun": 17, "mpirun": 23, "ssh": 26}[mode]
    assert all(type(item) is str for item in cmd)


@pytest.mark.parametrize("mode", ["SRUN", "Mpirun", "", "pbs", "srun "])
def test_any_other_mode_gets_the_ssh_form(mode):
    assert build(mode) == build("ssh")


def test_host_list_keeps_order_and_duplicates_and_counts_are_converted():
    cmd = build("mpirun", ips=("b", "a", "b"), per_node=4.9, ranks=12.0)
    assert cmd[2] == "b:4,a:4,b:4"
    assert cmd[4] == "12"
    srun = build("srun", per_node=8.0, ranks=True)
    assert srun[2:4] == ["--ntasks=1", "--ntasks-per-node=8"]


def test_config_values_are_rendered_and_nothing_is_range_checked():
    cfg = cs._LauncherConfig(begin_bytes=1, end_bytes=2, step_factor=3, iterations=4, warmup_iters=-5)
    cmd = build("mpirun", ips=(), per_node=0, ranks=-1, cfg=cfg)
    assert cmd[2] == "" and cmd[4] == "-1"
    assert cmd[-12:] == ["-b", "1", "-e", "2", "-f", "3", "-g", "1", "-n", "4", "-w", "-5"]


def test_config_without_a_field_raises_attribute_error():
    class Partial:
        begin_bytes = end_bytes = step_factor = iterations = 1

    with pytest.raises(AttributeError):
        build("srun", cfg=Partial())


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: cs._build_multi_node_command("srun"),
         "_build_multi_node_command() takes exactly 0 positional arguments (1 given)"),
        (lambda: cs._build_multi_node_command(mode="srun", node_ips=[], gpus_per_node=1, total_ranks=1, cfg=None),
         "_build_multi_node_command() needs keyword-only argument binary"),
        (lambda: cs._build_multi_node_command(mode="srun", binary="b", node_ips=("a", "b"), gpus_per_node=1,
                                              total_ranks=1, cfg=None),
         "Argument 'node_ips' has incorrect type (expected list, got tuple)"),
        (lambda: cs._build_multi_node_command(mode="srun", binary="b", node_ips=[], gpus_per_node="8",
                                              total_ranks=1, cfg=None),
         "Argument 'gpus_per_node' has incorrect type (expected int, got str)"),
        (lambda: cs._select_launcher_mode(1), "_select_launcher_mode() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message
