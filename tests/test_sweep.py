"""Finding the benchmark executables and their single-host command line."""

import os
import shutil
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
