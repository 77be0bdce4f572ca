"""The single-host sweep: finding the executables, their command line, and
whole sweeps against the stand-in benchmark program run as real processes."""

import os
import shutil
import signal
import subprocess
from pathlib import Path
from types import SimpleNamespace

import pytest

import quorvane.collsweep as cs

STANDIN = Path(__file__).parent / "bin" / "nccl_standin.py"
EXECUTABLES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
LABELS = ("all_reduce", "all_gather", "reduce_scatter", "broadcast")
FIXED_DIRS = ("/opt/nccl-tests/build/", "/workspace/nccl-tests/build/", "/usr/local/bin/")
SIZES = [8192, 131072, 2097152, 33554432]  # the default sweep: 8 KiB to 128 MiB, x16
PROBE = "quorvane_probe_perf"


@pytest.fixture(autouse=True)
def _no_standin_switches(monkeypatch):
    for key in list(os.environ):
        if key.startswith("NCCL_STANDIN_"):
            monkeypatch.delenv(key)


def require_not_installed(name):
    if any(os.path.exists(d + name) for d in FIXED_DIRS) or shutil.which(name):
        pytest.skip(f"{name} is installed on this machine")


@pytest.fixture
def bench_root(tmp_path):
    """A directory holding the stand-in under the four executable names."""
    root = tmp_path / "nccl-tests" / "build"
    root.mkdir(parents=True)
    for name in EXECUTABLES:
        (root / name).symlink_to(STANDIN)
    return root


def sweep(root, gpu_count=8, gpu_type="H100_SXM", **kw):
    kw.setdefault("timeout_s", 20)
    return cs.launch_intra_node(gpu_count, gpu_type, binary_root=str(root), **kw)


def labels_of(report):
    return [row.collective for row in report.results]


class CannedRunner(cs.ShellRunner):
    """Answers every run with the same result and records the calls."""

    def __init__(self, result):
        self.result, self.calls = result, []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


# ---------------------------------------------------------------------------
# _resolve_binary on a real file system

@pytest.mark.parametrize("layout, root, path, name, found", [
    ({"root": "exe", "a": "exe"}, "{t}/root", ["a"], "", "{t}/root/"),
    ({"root": "plain", "a": "exe"}, "{t}/root", ["a"], "", "{t}/a/"),
    ({"root": "dir", "a": "exe"}, "{t}/root", ["a"], "", "{t}/a/"),
    ({"root": "dangling", "b": "exe"}, "{t}/root", ["a", "b"], "", "{t}/b/"),
    ({"a": "exe", "b": "exe"}, "{t}/none", ["b", "a"], "", "{t}/b/"),
    ({"root": "link"}, "{t}/root/", [], "", "{t}/root/"),
    ({"root": "exe"}, "{t}/root//", [], "", "{t}/root//"),
    ({".": "exe"}, "", [], "", ""),
    ({"x": "exe"}, "/somewhere/else", [], "{t}/x/", "{t}/x/"),
    ({"root": "plain"}, "{t}/root", ["root"], "", None),
], ids=["root-first", "not-executable", "directory", "dangling-link", "path-order", "symlink-as-is",
        "root-as-given", "empty-root", "absolute-name", "nothing"])
def test_resolve_binary(tmp_path, monkeypatch, layout, root, path, name, found):
    require_not_installed(PROBE)
    for folder, kind in layout.items():
        file = tmp_path / folder / PROBE
        file.parent.mkdir(exist_ok=True)
        if kind == "dir":
            file.mkdir()
        elif kind in ("link", "dangling"):
            file.symlink_to(STANDIN if kind == "link" else tmp_path / "gone")
        else:
            file.write_text("#!/bin/sh\nexit 0\n")
            file.chmod(0o755 if kind == "exe" else 0o644)
    monkeypatch.setenv("PATH", os.pathsep.join(str(tmp_path / d) for d in path) or "/nonexistent")
    monkeypatch.chdir(tmp_path)
    t = str(tmp_path)
    expected = None if found is None else found.format(t=t) + PROBE
    assert cs._resolve_binary(name.format(t=t) + PROBE, root.format(t=t)) == expected


class RecordingOs:
    """Stands in for the module's `os`: answers the file tests from sets and records them."""

    X_OK = os.X_OK

    def __init__(self, files, executable):
        self.seen, self.files, self.executable = [], set(files), set(executable)
        self.path = SimpleNamespace(join=os.path.join, isfile=self._isfile)

    def _isfile(self, p):
        self.seen.append(p)
        return p in self.files

    def access(self, p, mode):
        assert mode == os.X_OK
        return p in self.executable


@pytest.mark.parametrize("first_executable", [0, 1, 2, 3, 4])
def test_search_order(monkeypatch, first_executable):
    candidates = ["/root/ar_perf"] + [d + "ar_perf" for d in FIXED_DIRS]
    # Every candidate is a file; only those from `first_executable` on may be run.
    fake = RecordingOs(files=candidates, executable=candidates[first_executable:])
    monkeypatch.setattr(cs, "os", fake)
    monkeypatch.setattr(shutil, "which", lambda name: f"/from/path/{name}")  # looked up at call time
    expected = candidates[first_executable] if first_executable < 4 else "/from/path/ar_perf"
    assert cs._resolve_binary("ar_perf", "/root") == expected
    assert fake.seen == candidates[: first_executable + 1]


# ---------------------------------------------------------------------------
# _build_binary_command

def test_command_line_with_the_default_config():
    command = cs._build_binary_command("/opt/nccl-tests/build/all_reduce_perf", 8, cs._LauncherConfig())
    assert command == ["/opt/nccl-tests/build/all_reduce_perf",
                       "-b", "8192", "-e", "134217728", "-f", "16", "-g", "8", "-n", "50", "-w", "5"]


@pytest.mark.parametrize("gpu_count, text", [(6, "6"), (8.9, "8"), (0, "0"), (-3, "-3")])
def test_config_fields_and_gpu_count_in_their_places(gpu_count, text):
    cfg = SimpleNamespace(begin_bytes=1, end_bytes="2k", step_factor=3, iterations=4, warmup_iters=5)
    command = cs._build_binary_command("prog", gpu_count, cfg)
    assert command == ["prog", "-b", "1", "-e", "2k", "-f", "3", "-g", text, "-n", "4", "-w", "5"]
    del cfg.warmup_iters
    with pytest.raises(AttributeError, match="warmup_iters"):
        cs._build_binary_command("prog", gpu_count, cfg)


# ---------------------------------------------------------------------------
# Whole sweeps against the stand-in

def test_all_collectives_pass(bench_root):
    report = sweep(bench_root)
    assert type(report) is cs.NcclReport
    assert labels_of(report) == [label for label in LABELS for _ in SIZES]
    assert [row.size_bytes for row in report.results[:4]] == SIZES
    assert (report.gpu_type, report.scope, report.num_nodes, report.gpus_per_node) == ("H100_SXM", "intra", 1, 8)
    assert (report.error, report.status, report.threshold) == (None, "pass", cs.Threshold(320.0, 250.0))


KILL = int(signal.SIGKILL)


@pytest.mark.parametrize("env, missing, timeout_s, error, rows, wrong, status", [
    ({}, ["broadcast_perf"], 20, "nccl-tests binary not found: broadcast_perf",
     {"all_reduce": 4, "all_gather": 4, "reduce_scatter": 4}, 0, "pass"),
    ({"MODE_all_reduce": "sleep", "SLEEP": "30"}, [], 1, "all_reduce_perf exited 124: timeout after 1s",
     {"all_gather": 4, "reduce_scatter": 4, "broadcast": 4}, 0, "unknown"),
    ({"MODE_all_gather": "signal", "SIGNAL": "KILL"}, [], 20, f"all_gather_perf exited -{KILL}: ",
     {"all_reduce": 4, "reduce_scatter": 4, "broadcast": 4}, 0, "pass"),
    ({"MODE": "fail", "EXIT": "3", "MESSAGE": "boom"}, [], 20, "broadcast_perf exited 3: boom\n", {}, 0, "error"),
    ({"MODE_all_reduce": "fail", "MESSAGE": "first"}, ["broadcast_perf"], 20,
     "nccl-tests binary not found: broadcast_perf", {"all_gather": 4, "reduce_scatter": 4}, 0, "unknown"),
    ({"MODE_all_gather": "wrong"}, [], 20, None,
     {"all_reduce": 4, "all_gather": 4, "reduce_scatter": 4, "broadcast": 4}, 6, "fail"),
    ({"MODE_all_reduce": "partial"}, [], 20, None,
     {"all_reduce": 2, "all_gather": 4, "reduce_scatter": 4, "broadcast": 4}, 0, "fail"),
    ({"MODE": "garbage"}, [], 20, None, {}, 0, "unknown"),
], ids=["missing", "hanging", "killed", "all-failing", "later-failure-wins", "wrong",
        "partial", "garbage"])
def test_failures_land_in_the_report(bench_root, monkeypatch, env, missing, timeout_s, error, rows, wrong,
                                     status):
    for key, value in env.items():
        monkeypatch.setenv("NCCL_STANDIN_" + key, value)
    for name in missing:
        require_not_installed(name)
        (bench_root / name).unlink()
    report = sweep(bench_root, timeout_s=timeout_s)
    assert report.error == error
    assert labels_of(report) == [label for label, n in rows.items() for _ in range(n)]
    assert [r.size_bytes for r in report.results[:rows.get("all_reduce", 0)]] == SIZES[:rows.get("all_reduce", 0)]
    assert sum(row.wrong for row in report.results) == wrong
    assert report.status == status
    assert report.threshold == (None if status == "error" else cs.Threshold(320.0, 250.0))


@pytest.mark.parametrize("length", [5, 199, 200, 300])
def test_standard_error_is_cut_to_200_characters(bench_root, monkeypatch, length):
    message = "".join(chr(ord("a") + i % 26) for i in range(length))
    monkeypatch.setenv("NCCL_STANDIN_MODE", "fail")
    monkeypatch.setenv("NCCL_STANDIN_MESSAGE", message)
    report = sweep(bench_root, collectives=["reduce_scatter_perf"])
    # print() adds a line feed, which counts towards the 200 characters.
    assert report.error == "reduce_scatter_perf exited 1: " + (message + "\n")[:200]


@pytest.mark.parametrize("collectives, labels", [
    ([], []),
    (("broadcast_perf", "all_reduce_perf"), ["broadcast", "all_reduce"]),
    (["all_gather_perf", "all_gather_perf"], ["all_gather", "all_gather"]),
    (iter(["reduce_scatter_perf"]), ["reduce_scatter"]),
], ids=["empty", "tuple", "twice", "iterator"])
def test_collectives_run_in_the_order_given(bench_root, collectives, labels):
    report = sweep(bench_root, collectives=collectives)
    assert labels_of(report) == [label for label in labels for _ in SIZES]
    assert report.error is None


@pytest.mark.parametrize("args, kw, message", [
    (("8", "H100_SXM"), {}, "Argument 'gpu_count' has incorrect type (expected int, got str)"),
    ((8, None), {}, "Argument 'gpu_type' has incorrect type (expected str, got NoneType)"),
    ((8, "H100_SXM", "/x"), {}, "launch_intra_node() takes exactly 2 positional arguments (3 given)"),
    ((8, "H100_SXM"), {"timeout_s": "240"}, "Argument 'timeout_s' has incorrect type (expected int, got str)"),
    ((8, "H100_SXM"), {"collectives": 5}, "'int' object is not iterable"),
])
def test_bad_arguments_are_refused_before_anything_runs(monkeypatch, args, kw, message):
    monkeypatch.setattr(cs, "_resolve_binary", lambda *a: pytest.fail("resolved"))
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: SimpleNamespace())
    with pytest.raises(TypeError) as exc:
        cs.launch_intra_node(*args, **kw)
    assert str(exc.value) == message


def test_defaults_are_fixed_at_import(monkeypatch):
    seen = []
    monkeypatch.setattr(cs, "COLLECTIVES", ("other_perf",))
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: seen.append((name, root)))
    report = cs.launch_intra_node(2, "H100_SXM")
    assert seen == [(name, "/opt/nccl-tests/build") for name in EXECUTABLES]
    assert (report.error, report.status) == ("nccl-tests binary not found: broadcast_perf", "error")


# ---------------------------------------------------------------------------
# Runners and late binding

def standin_table(label):
    env = {**os.environ, "NCCL_STANDIN_COLLECTIVE": label}
    return subprocess.run([str(STANDIN), *cs._build_binary_command("x", 8, cs._LauncherConfig())[1:]],
                             capture_output=True, text=True, env=env, check=True, timeout=20).stdout


@pytest.mark.parametrize("gpu_count, passed", [(8.0, 8), (0, 0)])
def test_runner_passed_in_gets_each_command(bench_root, monkeypatch, gpu_count, passed):
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: pytest.fail("default runner made"))
    runner = CannedRunner(cs.ShellResult(0, standin_table("all_reduce"), "ignored"))
    report = sweep(bench_root, gpu_count=gpu_count, timeout_s=77.5, runner=runner)
    cfg = cs._LauncherConfig(binary_root=str(bench_root))
    assert runner.calls == [
        ((cs._build_binary_command(str(bench_root / name), passed, cfg),), {"timeout": 77}) for name in EXECUTABLES
    ]
    # Each run's rows are labelled from the executable that was resolved.
    assert labels_of(report) == [label for label in LABELS for _ in SIZES]
    assert report.gpus_per_node == passed


class FalseRunner(CannedRunner):
    def __len__(self):
        return 0


@pytest.mark.parametrize("falsy", [None, 0, "", FalseRunner(cs.ShellResult(0, "", ""))],
                         ids=["none", "zero", "empty-str", "false-object"])
def test_false_runner_means_a_new_local_runner(bench_root, monkeypatch, falsy):
    made = []

    class Local(CannedRunner):
        def __init__(self):
            super().__init__(cs.ShellResult(0, standin_table("all_gather"), ""))
            made.append(self)

    monkeypatch.setattr(cs, "LocalShellRunner", Local)
    report = sweep(bench_root, runner=falsy, collectives=["all_gather_perf", "broadcast_perf"])
    assert len(made) == 1 and len(made[0].calls) == 2
    assert labels_of(report) == ["all_gather"] * 4 + ["broadcast"] * 4
    assert getattr(falsy, "calls", []) == []


def test_runner_that_raises_reaches_the_caller(bench_root, monkeypatch):
    finalized = []
    monkeypatch.setattr(cs, "_finalize_status", finalized.append)

    class Broken(cs.ShellRunner):
        def run(self, cmd, *, timeout, input_text=None):
            raise OSError("no fork")

    with pytest.raises(OSError, match="no fork"):
        sweep(bench_root, runner=Broken())
    assert finalized == []


def test_helpers_are_looked_up_when_used(bench_root, tmp_path, monkeypatch):
    seen, parsed, finalized = [], [], []
    files = {"bc": "broadcast_perf", "ar": "all_reduce_perf", "fail": "all_gather_perf"}
    monkeypatch.setattr(cs, "_resolve_binary",
                        lambda name, root: seen.append((name, root)) or (str(bench_root / files[name]) if name in files else ""))
    monkeypatch.setattr(cs, "collective_name_for_binary", lambda path: "label:" + os.path.basename(path))
    marker = cs.NcclResult("x", 1, 1.0, 1.0, 1.0, 0)
    monkeypatch.setattr(cs, "parse_nccl_table", lambda text, label: parsed.append((text, label)) or (marker,))
    monkeypatch.setattr(cs, "_finalize_status", finalized.append)

    class Runner(cs.ShellRunner):
        def run(self, cmd, *, timeout):
            return cs.ShellResult(9 if cmd[0].endswith("all_gather_perf") else 0, "the output", "oops")

    root = str(tmp_path / "nothing-here")
    report = cs.launch_intra_node(8, "B200", binary_root=root, collectives=["bc", "none", "ar", "fail"],
                                  runner=Runner())
    assert seen == [(n, root) for n in ("bc", "none", "ar", "fail")]
    # The label comes from the file found, the messages from the name asked for.
    assert parsed == [("the output", "label:broadcast_perf"), ("the output", "label:all_reduce_perf")]
    assert report.results == [marker, marker]
    assert report.error == "fail exited 9: oops"
    assert finalized == [report]
