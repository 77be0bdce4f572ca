"""The sweeps: executables found, command lines built, runs recorded and graded.
Most tests drive the sweep through a recording runner; the last ones run the
stand-in benchmark as real processes."""

import os
import shutil
from types import SimpleNamespace

import pytest

import quorvane.collsweep as cs

NAMES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
BENCH = ["-b", "8192", "-e", "134217728", "-f", "16", "-g", "1", "-n", "50", "-w", "5"]
MPI = ["--allow-run-as-root", "--bind-to", "none", "-x", "NCCL_DEBUG=WARN"]
TABLE = ("#  size  count  type  redop  root  time  algbw  busbw  #wrong  time  algbw  busbw  #wrong\n"
         "   8192   2048  float  sum  -1  10.0  0.82  1.43  0  10.2  0.80  1.40  0\n"
         "  33554432  8388608  float  sum  -1  99.0  339.0  330.5  0  99.9  338.0  329.0  0\n")


class Recorder(cs.ShellRunner):
    """Records every run; answers by executable name (ok with TABLE by default)."""

    def __init__(self, **answers):
        self.calls, self.answers = [], answers

    def run(self, cmd, *, timeout, input_text=None):
        self.calls.append((list(cmd), timeout))
        name = next(os.path.basename(item) for item in cmd if item.endswith("_perf"))
        answer = self.answers.get(name, (0, TABLE, ""))
        if isinstance(answer, BaseException):
            raise answer
        return cs.ShellResult(*answer)


@pytest.fixture
def found(monkeypatch):
    """_resolve_binary finds every executable under /b except those listed as missing."""
    missing, asked = set(), []
    monkeypatch.setattr(cs, "_resolve_binary",
                        lambda name, root: asked.append((name, root)) or (None if name in missing else f"/b/{name}"))
    return SimpleNamespace(missing=missing, asked=asked)


def rows_of(report):
    return [(r.collective, r.size_bytes) for r in report.results]


def test_single_host_sweep(found):
    runner = Recorder()
    report = cs.launch_intra_node(8.9, "H100_SXM", binary_root="/r", timeout_s=77.5, runner=runner)
    assert found.asked == [(name, "/r") for name in NAMES]
    assert runner.calls == [([f"/b/{n}", *BENCH[:7], "8", *BENCH[8:]], 77) for n in NAMES]
    assert rows_of(report) == [(n[:-5], size) for n in NAMES for size in (8192, 33554432)]
    assert (report.gpu_type, report.scope, report.num_nodes, report.gpus_per_node, report.error) == (
        "H100_SXM", "intra", 1, 8, None)
    assert (report.status, report.threshold, report.headline_all_reduce_busbw()) == (
        "pass", cs.Threshold(320.0, 250.0), 330.5)


@pytest.mark.parametrize("hosts, per_node, mode, env, command", [
    (["h1", "h2", "h3"], 2, "srun", {}, ["srun", "--mpi=pmix", "--ntasks=6", "--ntasks-per-node=2"]),
    (["h1", "h2"], 8.0, "mpirun", {"SLURM_JOB_ID": "1"}, ["mpirun", "-H", "h1:8,h2:8", "-np", "16", *MPI]),
    (["b", "a", "b"], 0, "ssh", {}, ["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", "b:0,a:0,b:0", "-np", "0",
                                     *MPI]),
    (["h1", "h2"], 4, "SRUN", {}, ["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", "h1:4,h2:4", "-np", "8", *MPI]),
    (["h1", "h2"], 3, "", {"SLURM_JOB_ID": "7", "SKYPILOT_NUM_NODES": "2"},
     ["srun", "--mpi=pmix", "--ntasks=6", "--ntasks-per-node=3"]),
    (["h1", "h2"], 3, None, {"SKYPILOT_NUM_NODES": "2"}, ["mpirun", "-H", "h1:3,h2:3", "-np", "6", *MPI]),
    (["h1", "h2"], 3, None, {"SLURM_JOB_ID": "", "SKYPILOT_NUM_NODES": ""},
     ["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", "h1:3,h2:3", "-np", "6", *MPI]),
])
def test_multi_host_sweep(found, monkeypatch, hosts, per_node, mode, env, command):
    for key, value in env.items():
        monkeypatch.setenv(key, value)
    runner = Recorder()
    report = cs.launch_multi_node(hosts, per_node, "H200", launcher_mode=mode, runner=runner,
                                  collectives=["broadcast_perf", "all_reduce_perf"])
    assert runner.calls == [([*command, f"/b/{n}", *BENCH], 480) for n in ("broadcast_perf", "all_reduce_perf")]
    assert (report.scope, report.num_nodes, report.gpus_per_node, report.status) == (
        "multi", len(hosts), int(per_node), "pass")
    assert found.asked == [(n, "/opt/nccl-tests/build") for n in ("broadcast_perf", "all_reduce_perf")]


@pytest.mark.parametrize("hosts", [[], ["only"]])
def test_fewer_than_two_hosts_is_refused_before_anything(monkeypatch, hosts):
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: pytest.fail("a runner was made"))
    monkeypatch.setattr(cs, "_select_launcher_mode", lambda: pytest.fail("the environment was read"))
    with pytest.raises(ValueError, match=f"^multi-node launcher requires >=2 nodes; got {len(hosts)}$"):
        cs.launch_multi_node(hosts, 8, "H100_SXM")


ERR = "x" * 150 + "y" * 150


@pytest.mark.parametrize("answers, missing, collectives, error, labels, status", [
    ({"all_gather_perf": (3, "8 2 1 2 3 0", ERR)}, (), NAMES, f"all_gather_perf exited 3: {ERR[:200]}",
     ["all_reduce", "reduce_scatter", "broadcast"], "pass"),
    ({"all_reduce_perf": (-9, "", "")}, ("broadcast_perf",), NAMES, "nccl-tests binary not found: broadcast_perf",
     ["all_gather", "reduce_scatter"], "unknown"),
    ({"broadcast_perf": (124, TABLE, "timeout after 240s")}, ("all_gather_perf",), NAMES,
     "broadcast_perf exited 124: timeout after 240s", ["all_reduce", "reduce_scatter"], "pass"),
    ({}, NAMES, NAMES, "nccl-tests binary not found: broadcast_perf", [], "error"),
    ({}, (), [], None, [], "unknown"),
    ({}, (), iter(["all_gather_perf", "all_gather_perf"]), None, ["all_gather", "all_gather"], "unknown"),
], ids=["stderr-cut", "later-failure-wins", "timeout", "all-missing", "none", "repeated"])
def test_failures_land_in_the_report(found, answers, missing, collectives, error, labels, status):
    found.missing.update(missing)
    report = cs.launch_intra_node(8, "H100_SXM", collectives=collectives, runner=Recorder(**answers))
    assert report.error == error and report.status == status
    assert [c for c, _ in rows_of(report)] == [label for label in labels for _ in range(2)]


def test_multi_host_messages_name_the_launching_host(found):
    found.missing.add("all_reduce_perf")
    report = cs.launch_multi_node(["a", "b"], 1, "B200", launcher_mode="srun", collectives=["all_reduce_perf"])
    assert (report.error, report.status) == ("nccl-tests binary not found on launcher: all_reduce_perf", "error")


def failing_names(error):
    yield "all_reduce_perf"
    raise error


@pytest.mark.parametrize("driver", ["intra", "multi"])
@pytest.mark.parametrize("where", ["collectives", "runner"])
def test_errors_of_the_iterator_or_the_runner_reach_the_caller(found, monkeypatch, driver, where):
    error = OSError("no fork")
    monkeypatch.setattr(cs, "_finalize_status", lambda report: pytest.fail("graded"))
    kwargs = {"collectives": failing_names(error)} if where == "collectives" else {
        "runner": Recorder(all_reduce_perf=error)}
    with pytest.raises(OSError) as exc:
        if driver == "intra":
            cs.launch_intra_node(8, "H100_SXM", **kwargs)
        else:
            cs.launch_multi_node(["a", "b"], 8, "H100_SXM", launcher_mode="srun", **kwargs)
    assert exc.value is error


class FalseRecorder(Recorder):
    def __len__(self):
        return 0


@pytest.mark.parametrize("runner", [None, 0, "", FalseRecorder()])
def test_a_false_runner_means_a_new_local_runner(found, monkeypatch, runner):
    made = []
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: made.append(Recorder()) or made[-1])
    cs.launch_intra_node(8, "H100_SXM", runner=runner, collectives=["broadcast_perf"])
    assert len(made) == 1 and len(made[0].calls) == 1 and getattr(runner, "calls", []) == []


def test_helpers_are_looked_up_when_used(found, monkeypatch):
    seen = []
    monkeypatch.setattr(cs, "collective_name_for_binary", lambda path: "label:" + path)
    monkeypatch.setattr(cs, "parse_nccl_table", lambda text, label: seen.append(label) or [label])
    monkeypatch.setattr(cs, "_build_binary_command", lambda path, gpus, cfg: [path, gpus, cfg.binary_root])
    monkeypatch.setattr(cs, "NcclReport", lambda **fields: SimpleNamespace(**fields))
    monkeypatch.setattr(cs, "_finalize_status", lambda report: seen.append(report.results))
    runner = Recorder()
    report = cs.launch_intra_node(2, "B200", binary_root="/r", collectives=["x_perf"], runner=runner)
    assert runner.calls == [(["/b/x_perf", 2, "/r"], 240)]
    assert seen == ["label:/b/x_perf", ["label:/b/x_perf"]] and report.results == ["label:/b/x_perf"]


# ---------------------------------------------------------------------------
# The search for the executables

@pytest.mark.parametrize("first", range(5))
def test_search_order(monkeypatch, first):
    candidates = ["/root/x_perf", "/opt/nccl-tests/build/x_perf", "/workspace/nccl-tests/build/x_perf",
                  "/usr/local/bin/x_perf"]
    seen = []
    fake_os = SimpleNamespace(X_OK=os.X_OK, access=lambda p, mode: mode == os.X_OK and p in candidates[first:],
                              path=SimpleNamespace(join=os.path.join, isfile=lambda p: seen.append(p) or True))
    monkeypatch.setattr(cs, "os", fake_os)
    monkeypatch.setattr(shutil, "which", lambda name: f"/from/path/{name}")
    assert cs._resolve_binary("x_perf", "/root") == (candidates + ["/from/path/x_perf"])[first]
    assert seen == candidates[:first + 1]


# ---------------------------------------------------------------------------
# Whole sweeps against the stand-in benchmark, run as real processes


@pytest.mark.parametrize("env, timeout_s, error, labels, status", [
    ({}, 20, None, ["all_reduce", "all_gather", "reduce_scatter", "broadcast"], "pass"),
    ({"MODE_all_reduce": "sleep", "SLEEP": "30"}, 1, "all_reduce_perf exited 124: timeout after 1s",
     ["all_gather", "reduce_scatter", "broadcast"], "unknown"),
    ({"MODE_all_gather": "signal", "SIGNAL": "KILL"}, 20, "all_gather_perf exited -9: ",
     ["all_reduce", "reduce_scatter", "broadcast"], "pass"),
    ({"MODE": "fail", "EXIT": "3", "MESSAGE": "boom"}, 20, "broadcast_perf exited 3: boom\n", [], "error"),
])
def test_sweep_of_real_processes(bench_root, monkeypatch, env, timeout_s, error, labels, status):
    for key, value in env.items():
        monkeypatch.setenv("NCCL_STANDIN_" + key, value)
    report = cs.launch_intra_node(8, "H100_SXM", binary_root=str(bench_root), timeout_s=timeout_s)
    assert (report.error, report.status) == (error, status)
    assert [r.collective for r in report.results] == [label for label in labels for _ in range(4)]
    assert [r.size_bytes for r in report.results[:4]] == ([8192, 131072, 2097152, 33554432] if labels else [])
