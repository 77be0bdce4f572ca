"""The single-host sweep: finding the executables, their command line, and
whole sweeps against the stand-in benchmark program run as real processes."""

import os
import shutil
import signal
from pathlib import Path
from types import SimpleNamespace

import pytest

import quorvane.collsweep as cs

STANDIN = Path(__file__).parent / "bin" / "nccl_standin.py"
EXECUTABLES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
LABELS = ("all_reduce", "all_gather", "reduce_scatter", "broadcast")
FIXED_DIRS = ("/opt/nccl-tests/build/", "/workspace/nccl-tests/build/", "/usr/local/bin/")
# Sizes the default sweep gets from the stand-in: 8 KiB up to 128 MiB, x16.
SIZES = [8192, 131072, 2097152, 33554432]


@pytest.fixture(autouse=True)
def _clean_environment(monkeypatch):
    """No threshold overrides and no stand-in switches from the caller."""
    monkeypatch.delenv("QUORVANE_NCCL_THRESHOLD_OVERRIDES", raising=False)
    for key in list(os.environ):
        if key.startswith("NCCL_STANDIN_"):
            monkeypatch.delenv(key)


def installed_elsewhere(name):
    return any(os.path.exists(d + name) for d in FIXED_DIRS) or shutil.which(name) is not None


def require_not_installed(*names):
    for name in names:
        if installed_elsewhere(name):
            pytest.skip(f"{name} is installed on this machine")


@pytest.fixture
def bench_root(tmp_path):
    """A directory holding the stand-in under the four executable names."""
    root = tmp_path / "nccl-tests" / "build"
    root.mkdir(parents=True)
    for name in EXECUTABLES:
        (root / name).symlink_to(STANDIN)
    return root


def make_executable(path, body="#!/bin/sh\nexit 0\n"):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(body)
    path.chmod(0o755)
    return path


def sweep(root, gpu_count=8, gpu_type="H100_SXM", **kw):
    kw.setdefault("timeout_s", 20)
    return cs.launch_intra_node(gpu_count, gpu_type, binary_root=str(root), **kw)


def labels_of(report):
    return [row.collective for row in report.results]


# ---------------------------------------------------------------------------
# _resolve_binary


def test_configured_root_comes_before_the_path(tmp_path, monkeypatch):
    root = tmp_path / "root"
    on_path = tmp_path / "on-path"
    make_executable(root / "quorvane_probe_perf")
    make_executable(on_path / "quorvane_probe_perf")
    monkeypatch.setenv("PATH", f"{on_path}{os.pathsep}{os.environ['PATH']}")
    assert cs._resolve_binary("quorvane_probe_perf", str(root)) == str(root / "quorvane_probe_perf")
    (root / "quorvane_probe_perf").unlink()
    assert cs._resolve_binary("quorvane_probe_perf", str(root)) == str(on_path / "quorvane_probe_perf")


@pytest.mark.parametrize("obstacle", ["not-executable", "directory", "missing"])
def test_unusable_candidate_under_the_root_is_passed_over(tmp_path, monkeypatch, obstacle):
    root = tmp_path / "root"
    root.mkdir()
    candidate = root / "quorvane_probe_perf"
    if obstacle == "not-executable":
        candidate.write_text("#!/bin/sh\n")
        candidate.chmod(0o644)
    elif obstacle == "directory":
        candidate.mkdir()
        candidate.chmod(0o755)
    first, second = tmp_path / "p1", tmp_path / "p2"
    make_executable(second / "quorvane_probe_perf")
    first.mkdir()
    monkeypatch.setenv("PATH", os.pathsep.join([str(first), str(second), os.environ["PATH"]]))
    assert cs._resolve_binary("quorvane_probe_perf", str(root)) == str(second / "quorvane_probe_perf")


def test_path_order_decides_between_path_directories(tmp_path, monkeypatch):
    a, b = tmp_path / "a", tmp_path / "b"
    make_executable(a / "quorvane_probe_perf")
    make_executable(b / "quorvane_probe_perf")
    monkeypatch.setenv("PATH", f"{b}{os.pathsep}{a}")
    assert cs._resolve_binary("quorvane_probe_perf", str(tmp_path / "none")) == str(b / "quorvane_probe_perf")


def test_nothing_found_gives_none(tmp_path, monkeypatch):
    require_not_installed("quorvane_probe_perf")
    monkeypatch.setenv("PATH", str(tmp_path))
    assert cs._resolve_binary("quorvane_probe_perf", str(tmp_path)) is None


@pytest.mark.parametrize("root_suffix", ["", "/", "//"])
def test_candidate_under_the_root_is_returned_as_built(tmp_path, root_suffix):
    make_executable(tmp_path / "bin" / "all_reduce_perf")
    root = str(tmp_path / "bin") + root_suffix
    expected = str(tmp_path / "bin") + (root_suffix or "/") + "all_reduce_perf"
    assert cs._resolve_binary("all_reduce_perf", root) == expected


def test_symlink_qualifies_and_is_not_resolved(bench_root):
    found = cs._resolve_binary("all_gather_perf", str(bench_root))
    assert found == str(bench_root / "all_gather_perf")
    assert os.path.islink(found)


def test_dangling_symlink_is_passed_over(tmp_path, monkeypatch):
    require_not_installed("quorvane_probe_perf")
    (tmp_path / "quorvane_probe_perf").symlink_to(tmp_path / "gone")
    monkeypatch.setenv("PATH", str(tmp_path))
    assert cs._resolve_binary("quorvane_probe_perf", str(tmp_path)) is None


def test_empty_root_means_the_working_directory(tmp_path, monkeypatch):
    require_not_installed("quorvane_probe_perf")
    make_executable(tmp_path / "quorvane_probe_perf")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", "/nonexistent")
    assert cs._resolve_binary("quorvane_probe_perf", "") == "quorvane_probe_perf"


def test_absolute_name_ignores_the_root(tmp_path):
    target = make_executable(tmp_path / "x" / "my_perf")
    assert cs._resolve_binary(str(target), "/somewhere/else") == str(target)


class RecordingOs:
    """Stands in for the module's `os`; answers the file tests from a table
    and records them in order."""

    X_OK = os.X_OK

    def __init__(self, files=(), executable=()):
        self.seen = []
        self.files, self.executable = set(files), set(executable)
        self.path = SimpleNamespace(join=self._join, isfile=self._isfile)

    def _join(self, *parts):
        self.seen.append(("join",) + parts)
        return os.path.join(*parts)

    def _isfile(self, p):
        self.seen.append(("isfile", p))
        return p in self.files

    def access(self, p, mode):
        self.seen.append(("access", p, mode))
        return p in self.executable


def test_search_order_through_the_module_os(monkeypatch):
    fake = RecordingOs()
    monkeypatch.setattr(cs, "os", fake)
    monkeypatch.setattr(shutil, "which", lambda name: f"/from/path/{name}")
    assert cs._resolve_binary("ar_perf", "/root") == "/from/path/ar_perf"
    candidates = ["/root/ar_perf"] + [d + "ar_perf" for d in FIXED_DIRS]
    assert fake.seen == [("join", "/root", "ar_perf")] + [("isfile", c) for c in candidates]


@pytest.mark.parametrize("index", [0, 1, 2, 3])
def test_first_qualifying_candidate_wins(monkeypatch, index):
    candidates = ["/root/ar_perf"] + [d + "ar_perf" for d in FIXED_DIRS]
    # Every candidate is a file; only those from `index` on are executable.
    fake = RecordingOs(files=candidates, executable=candidates[index:])
    monkeypatch.setattr(cs, "os", fake)
    monkeypatch.setattr(shutil, "which", lambda name: pytest.fail("PATH searched"))
    assert cs._resolve_binary("ar_perf", "/root") == candidates[index]
    accessed = [s[1] for s in fake.seen if s[0] == "access"]
    assert accessed == candidates[: index + 1]
    assert all(s[2] == os.X_OK for s in fake.seen if s[0] == "access")


def test_which_is_imported_at_call_time(monkeypatch):
    monkeypatch.setattr(cs, "os", RecordingOs())
    calls = []
    monkeypatch.setattr(shutil, "which", lambda name: calls.append(name) or "")
    assert cs._resolve_binary("ar_perf", "/root") == ""
    assert calls == ["ar_perf"]


@pytest.mark.parametrize("args, param", [((None, "/r"), "name"), (("x", None), "binary_root")])
def test_resolve_binary_refuses_non_text(args, param):
    with pytest.raises(TypeError, match=f"Argument '{param}' has incorrect type"):
        cs._resolve_binary(*args)


# ---------------------------------------------------------------------------
# _build_binary_command


def test_command_line_with_the_default_config():
    command = cs._build_binary_command("/opt/nccl-tests/build/all_reduce_perf", 8, cs._LauncherConfig())
    assert command == ["/opt/nccl-tests/build/all_reduce_perf",
                       "-b", "8192", "-e", "134217728", "-f", "16", "-g", "8", "-n", "50", "-w", "5"]
    assert all(type(item) is str for item in command)


@pytest.mark.parametrize("gpu_count, text", [(8.9, "8"), (2.9, "2"), (0, "0"), (-3, "-3"), (True, "1"), (10**20, str(10**20))])
def test_gpu_count_becomes_decimal_text(gpu_count, text):
    command = cs._build_binary_command("b", gpu_count, cs._LauncherConfig())
    assert len(command) == 13 and command[7:9] == ["-g", text]


def test_config_fields_in_their_places_and_order():
    order = []

    class Config:
        def __getattr__(self, name):
            order.append(name)
            return {"begin_bytes": 1, "end_bytes": "2k", "step_factor": 3,
                    "iterations": 4, "warmup_iters": 5, "binary_root": "/unused"}[name]

    command = cs._build_binary_command("prog", 6, Config())
    assert command == ["prog", "-b", "1", "-e", "2k", "-f", "3", "-g", "6", "-n", "4", "-w", "5"]
    assert order == ["begin_bytes", "end_bytes", "step_factor", "iterations", "warmup_iters"]


def test_each_command_is_a_new_list():
    cfg = cs._LauncherConfig()
    first = cs._build_binary_command("b", 1, cfg)
    first.append("--extra")
    assert len(cs._build_binary_command("b", 1, cfg)) == 13


def test_config_without_a_field_raises():
    cfg = SimpleNamespace(begin_bytes=1, end_bytes=2, step_factor=3, iterations=4)
    with pytest.raises(AttributeError, match="warmup_iters"):
        cs._build_binary_command("b", 1, cfg)


@pytest.mark.parametrize("args, message", [
    (("b", "8", cs._LauncherConfig()), "Argument 'gpu_count' has incorrect type (expected int, got str)"),
    ((None, 8, cs._LauncherConfig()), "Argument 'binary' has incorrect type (expected str, got NoneType)"),
])
def test_build_binary_command_checks_its_arguments(args, message):
    with pytest.raises(TypeError) as exc:
        cs._build_binary_command(*args)
    assert str(exc.value) == message


# ---------------------------------------------------------------------------
# Whole sweeps against the stand-in


def test_all_collectives_pass(bench_root):
    report = sweep(bench_root)
    assert type(report) is cs.NcclReport
    assert labels_of(report) == [label for label in LABELS for _ in SIZES]
    assert [row.size_bytes for row in report.results[:4]] == SIZES
    assert all(row.wrong == 0 for row in report.results)
    assert (report.gpu_type, report.scope, report.num_nodes, report.gpus_per_node) == ("H100_SXM", "intra", 1, 8)
    assert report.error is None
    assert report.threshold == cs.Threshold(320.0, 250.0)
    assert report.headline_all_reduce_busbw() > 320.0
    assert report.status == "pass"
    d = report.to_dict()
    assert d["status"] == "pass" and "error" not in d and len(d["results"]) == 16


@pytest.mark.parametrize("peak, status", [("330", "pass"), ("300", "warn"), ("200", "fail")])
def test_grade_follows_the_measured_bandwidth(bench_root, monkeypatch, peak, status):
    monkeypatch.setenv("NCCL_STANDIN_BUSBW_GBPS", peak)
    monkeypatch.setenv("NCCL_STANDIN_LATENCY_US", "0")
    report = sweep(bench_root)
    assert report.headline_all_reduce_busbw() == pytest.approx(float(peak), abs=0.01)
    assert report.status == status


def test_rows_match_what_the_parser_reads_from_each_run(bench_root):
    report = sweep(bench_root, gpu_count=4)
    expected = []
    for name, label in zip(EXECUTABLES, LABELS):
        command = cs._build_binary_command(str(bench_root / name), 4, cs._LauncherConfig())
        result = cs.LocalShellRunner().run(command, timeout=20)
        expected += cs.parse_nccl_table(result.stdout, label)
    # The stand-in's numbers do not depend on the run, only on its arguments.
    assert report.results == expected


def test_missing_executable_is_recorded_and_the_sweep_goes_on(bench_root):
    require_not_installed("broadcast_perf")
    (bench_root / "broadcast_perf").unlink()
    report = sweep(bench_root)
    assert labels_of(report) == [label for label in LABELS[:3] for _ in SIZES]
    assert report.error == "nccl-tests binary not found: broadcast_perf"
    assert report.status == "pass"
    assert report.to_dict()["error"] == report.error


def test_hanging_collective_times_out(bench_root, monkeypatch):
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_reduce", "sleep")
    monkeypatch.setenv("NCCL_STANDIN_SLEEP", "30")
    report = sweep(bench_root, timeout_s=1)
    assert report.error == "all_reduce_perf exited 124: timeout after 1s"
    assert labels_of(report) == [label for label in LABELS[1:] for _ in SIZES]
    # No all_reduce row, so there is no headline to grade.
    assert report.status == "unknown"


@pytest.mark.parametrize("sig", ["KILL", "SEGV"])
def test_collective_killed_by_a_signal(bench_root, monkeypatch, sig):
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_gather", "signal")
    monkeypatch.setenv("NCCL_STANDIN_SIGNAL", sig)
    report = sweep(bench_root)
    number = int(getattr(signal, "SIG" + sig))
    assert report.error == f"all_gather_perf exited -{number}: "
    # It printed its header before dying; nothing of it is kept.
    assert "all_gather" not in labels_of(report)
    assert len(report.results) == 12
    assert report.status == "pass"


@pytest.mark.parametrize("exit_status", ["1", "3"])
def test_every_collective_failing_is_an_error(bench_root, monkeypatch, exit_status):
    monkeypatch.setenv("NCCL_STANDIN_MODE", "fail")
    monkeypatch.setenv("NCCL_STANDIN_EXIT", exit_status)
    report = sweep(bench_root)
    assert report.results == []
    assert report.error.startswith(f"broadcast_perf exited {exit_status}: broadcast_perf: rank 0: ")
    assert report.status == "error"
    assert report.threshold is None
    assert "threshold" not in report.to_dict()


@pytest.mark.parametrize("length", [0, 5, 199, 200, 201, 300])
def test_standard_error_is_cut_to_200_characters(bench_root, monkeypatch, length):
    message = "".join(chr(ord("a") + i % 26) for i in range(length)) or " "
    monkeypatch.setenv("NCCL_STANDIN_MODE_reduce_scatter", "fail")
    monkeypatch.setenv("NCCL_STANDIN_MESSAGE", message)
    report = sweep(bench_root)
    # print() adds a line feed, which counts towards the 200 characters.
    assert report.error == "reduce_scatter_perf exited 1: " + (message + "\n")[:200]
    assert len(report.results) == 12


def test_later_failure_replaces_the_earlier_one(bench_root, monkeypatch):
    require_not_installed("broadcast_perf")
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_reduce", "fail")
    monkeypatch.setenv("NCCL_STANDIN_MESSAGE", "first")
    (bench_root / "broadcast_perf").unlink()
    report = sweep(bench_root)
    assert report.error == "nccl-tests binary not found: broadcast_perf"
    report = sweep(bench_root, collectives=["broadcast_perf", "all_reduce_perf", "all_gather_perf"])
    assert report.error == "all_reduce_perf exited 1: first\n"
    assert labels_of(report) == ["all_gather"] * 4


def test_wrong_results_fail_the_report(bench_root, monkeypatch):
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_gather", "wrong")
    report = sweep(bench_root)
    assert report.error is None
    # The stand-in marks the last row and every second one before it.
    assert [row.wrong for row in report.results if row.collective == "all_gather"] == [0, 3, 0, 3]
    assert all(row.wrong == 0 for row in report.results if row.collective != "all_gather")
    assert report.headline_all_reduce_busbw() > 320.0
    assert report.status == "fail"


def test_partial_table_keeps_the_rows_it_has(bench_root, monkeypatch):
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_reduce", "partial")
    report = sweep(bench_root)
    assert report.error is None
    assert [r.size_bytes for r in report.results if r.collective == "all_reduce"] == SIZES[:2]
    assert len(report.results) == 14
    # Only the small sizes were measured, so the headline is low.
    assert report.status == "fail"


def test_output_without_rows_is_no_failure(bench_root, monkeypatch):
    monkeypatch.setenv("NCCL_STANDIN_MODE", "garbage")
    report = sweep(bench_root)
    assert (report.results, report.error, report.status) == ([], None, "unknown")


@pytest.mark.parametrize("collectives, labels", [
    ([], []),
    (("broadcast_perf", "all_reduce_perf"), ["broadcast", "all_reduce"]),
    (["all_gather_perf", "all_gather_perf"], ["all_gather", "all_gather"]),
    (iter(["reduce_scatter_perf"]), ["reduce_scatter"]),
], ids=["empty", "tuple", "twice", "iterator"])
def test_collectives_run_in_the_order_given(bench_root, collectives, labels):
    report = sweep(bench_root, collectives=collectives)
    assert labels_of(report)[::4] == labels and len(report.results) == 4 * len(labels)
    assert report.error is None


def test_collectives_that_cannot_be_iterated(bench_root, monkeypatch):
    monkeypatch.setattr(cs, "_resolve_binary", lambda *a: pytest.fail("resolved"))
    with pytest.raises(TypeError, match="not iterable"):
        sweep(bench_root, collectives=5)


def test_fractional_gpu_count_is_truncated(bench_root):
    report = sweep(bench_root, gpu_count=8.9, collectives=["all_reduce_perf"])
    assert report.gpus_per_node == 8 and type(report.gpus_per_node) is int


@pytest.mark.parametrize("args, kw, message", [
    (("8", "H100_SXM"), {}, "Argument 'gpu_count' has incorrect type (expected int, got str)"),
    ((8, None), {}, "Argument 'gpu_type' has incorrect type (expected str, got NoneType)"),
    ((8, "H100_SXM", "/x"), {}, "launch_intra_node() takes exactly 2 positional arguments (3 given)"),
    ((8,), {}, "launch_intra_node() takes exactly 2 positional arguments (1 given)"),
    ((8, "H100_SXM"), {"binary_root": None},
     "Argument 'binary_root' has incorrect type (expected str, got NoneType)"),
    ((8, "H100_SXM"), {"timeout_s": "240"}, "Argument 'timeout_s' has incorrect type (expected int, got str)"),
    ((8, "H100_SXM"), {"runnr": None}, "launch_intra_node() got an unexpected keyword argument 'runnr'"),
])
def test_bad_arguments_are_refused_before_anything_runs(monkeypatch, args, kw, message):
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: pytest.fail("runner made"))
    with pytest.raises(TypeError) as exc:
        cs.launch_intra_node(*args, **kw)
    assert str(exc.value) == message


def test_defaults_are_fixed_at_import(monkeypatch):
    kwdefaults = cs.launch_intra_node.__kwdefaults__
    assert kwdefaults == {"binary_root": "/opt/nccl-tests/build", "timeout_s": 240,
                          "collectives": cs.COLLECTIVES, "runner": None}
    seen = []
    monkeypatch.setattr(cs, "COLLECTIVES", ("other_perf",))
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: seen.append((name, root)))
    report = cs.launch_intra_node(2, "H100_SXM")
    assert seen == [(name, "/opt/nccl-tests/build") for name in EXECUTABLES]
    assert report.error == "nccl-tests binary not found: broadcast_perf"
    assert report.status == "error"


# ---------------------------------------------------------------------------
# Runners and late binding


class CannedRunner(cs.ShellRunner):
    """Answers every run with the same result and records the calls."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result


def standin_table(label, gpus=8):
    env = {**os.environ, "NCCL_STANDIN_COLLECTIVE": label}
    import subprocess
    return subprocess.run([str(STANDIN), "-b", "8192", "-e", "134217728", "-f", "16", "-g", str(gpus),
                           "-n", "50", "-w", "5"], capture_output=True, text=True, env=env, check=True,
                          timeout=20).stdout


def test_runner_passed_in_gets_each_command(bench_root, monkeypatch):
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: pytest.fail("default runner made"))
    runner = CannedRunner(cs.ShellResult(0, standin_table("all_reduce"), "ignored"))
    report = sweep(bench_root, gpu_count=8.0, timeout_s=77.5, runner=runner)
    cfg = cs._LauncherConfig(binary_root=str(bench_root))
    assert runner.calls == [
        ((cs._build_binary_command(str(bench_root / name), 8, cfg),), {"timeout": 77}) for name in EXECUTABLES
    ]
    # Each run's rows are labelled from the executable that was resolved.
    assert labels_of(report) == [label for label in LABELS for _ in SIZES]
    assert report.status == "pass"


@pytest.mark.parametrize("falsy", [None, 0, "", []], ids=["none", "zero", "empty-str", "empty-list"])
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


def test_falsy_runner_object_is_replaced(bench_root, monkeypatch):
    class Empty(CannedRunner):
        def __len__(self):
            return 0

    given = Empty(cs.ShellResult(0, "", ""))
    made = []
    monkeypatch.setattr(cs, "LocalShellRunner", lambda: made.append(1) or CannedRunner(cs.ShellResult(3, "", "x")))
    report = sweep(bench_root, runner=given, collectives=["all_reduce_perf"])
    assert given.calls == [] and made == [1]
    assert report.error == "all_reduce_perf exited 3: x"


def test_runner_that_raises_reaches_the_caller(bench_root, monkeypatch):
    finalized = []
    monkeypatch.setattr(cs, "_finalize_status", finalized.append)

    class Broken(cs.ShellRunner):
        def run(self, cmd, *, timeout, input_text=None):
            raise OSError("no fork")

    with pytest.raises(OSError, match="no fork"):
        sweep(bench_root, runner=Broken())
    assert finalized == []


def test_executable_that_may_not_be_run_raises(tmp_path, monkeypatch):
    target = tmp_path / "all_reduce_perf"
    target.write_text("#!/bin/sh\n")
    target.chmod(0o644)
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: str(target))
    with pytest.raises(PermissionError):
        cs.launch_intra_node(8, "H100_SXM", collectives=["all_reduce_perf"], timeout_s=5)


def test_replaced_resolve_binary_is_used(bench_root, tmp_path, monkeypatch):
    seen = []

    def resolve(name, root):
        seen.append((name, root))
        return str(bench_root / {"ar": "all_reduce_perf", "bc": "broadcast_perf"}[name]) if name != "none" else ""

    monkeypatch.setattr(cs, "_resolve_binary", resolve)
    report = cs.launch_intra_node(8, "H100_SXM", binary_root=str(tmp_path / "nothing-here"),
                                  collectives=["bc", "none", "ar"], timeout_s=20)
    assert seen == [(n, str(tmp_path / "nothing-here")) for n in ("bc", "none", "ar")]
    assert labels_of(report)[::4] == ["broadcast", "all_reduce"]
    assert report.error == "nccl-tests binary not found: none"


def test_failure_messages_use_the_name_as_given(bench_root, monkeypatch):
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: str(bench_root / "all_reduce_perf"))
    monkeypatch.setenv("NCCL_STANDIN_MODE", "fail")
    monkeypatch.setenv("NCCL_STANDIN_MESSAGE", "boom")
    report = sweep(bench_root, collectives=["my-alias"])
    assert report.error == "my-alias exited 1: boom\n"


def test_replaced_parser_and_label_are_used(bench_root, monkeypatch):
    calls = []
    marker = cs.NcclResult("x", 1, 1.0, 1.0, 1.0, 0)

    def parse(text, label):
        calls.append((text, label))
        return (marker,)  # any iterable of rows

    monkeypatch.setattr(cs, "parse_nccl_table", parse)
    monkeypatch.setattr(cs, "collective_name_for_binary", lambda path: "label-of:" + os.path.basename(path))
    runner = CannedRunner(cs.ShellResult(0, "the output", ""))
    report = sweep(bench_root, runner=runner, collectives=["all_gather_perf", "broadcast_perf"])
    assert calls == [("the output", "label-of:all_gather_perf"), ("the output", "label-of:broadcast_perf")]
    assert report.results == [marker, marker]


def test_label_comes_from_the_resolved_path(bench_root, monkeypatch):
    # The name asked for and the file found differ: the file decides the label.
    monkeypatch.setattr(cs, "_resolve_binary", lambda name, root: str(bench_root / "reduce_scatter_perf"))
    report = sweep(bench_root, collectives=["all_reduce_perf"])
    assert labels_of(report) == ["reduce_scatter"] * 4


def test_report_is_built_and_finalized_through_the_module(bench_root, monkeypatch):
    built, finalized, configs = [], [], []
    real_report, real_config = cs.NcclReport, cs._LauncherConfig

    def report_type(**kw):
        built.append(kw)
        return real_report(**kw)

    def config_type(**kw):
        configs.append(kw)
        return real_config(**kw)

    monkeypatch.setattr(cs, "NcclReport", report_type)
    monkeypatch.setattr(cs, "_LauncherConfig", config_type)
    monkeypatch.setattr(cs, "_finalize_status", lambda r: finalized.append(r) or "ignored")
    report = sweep(bench_root, gpu_count=2, gpu_type="B200", collectives=["all_reduce_perf"])
    assert configs == [{"binary_root": str(bench_root)}]
    [kw] = built
    assert kw == {"gpu_type": "B200", "scope": "intra", "num_nodes": 1, "gpus_per_node": 2,
                  "results": report.results, "error": None}
    assert kw["results"] is report.results
    assert finalized == [report] and finalized[0] is report
    assert (report.status, report.threshold) == ("unknown", None)
