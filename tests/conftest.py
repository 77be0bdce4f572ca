"""Shared fixtures for the quorvane.collsweep test suite."""

import os
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

REPO = Path(__file__).resolve().parents[1]
STANDIN = Path(__file__).resolve().parent / "bin" / "nccl_standin.py"
OVERRIDE_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
FUZZ_SCALE = max(1, int(os.environ.get("QUORVANE_FUZZ_SCALE", "1")))


def fuzz(examples):
    """Settings of a property test: `examples` times $QUORVANE_FUZZ_SCALE (bench/fuzz_long.py raises it)."""
    return settings(max_examples=examples * FUZZ_SCALE, deadline=None, suppress_health_check=list(HealthCheck))


@pytest.fixture(scope="session")
def cs():
    """The extension module under test (imported once, like any caller would)."""
    import quorvane.collsweep as module

    return module


@pytest.fixture(autouse=True)
def _clean_environment(monkeypatch):
    """Every test starts without operator overrides or a launcher environment."""
    for name in (OVERRIDE_VAR, "SLURM_JOB_ID", "SKYPILOT_NUM_NODES"):
        monkeypatch.delenv(name, raising=False)
    for name in [n for n in os.environ if n.startswith("NCCL_STANDIN_")]:
        monkeypatch.delenv(name)


@pytest.fixture
def set_overrides(monkeypatch):
    """Put a threshold override document into the environment."""
    return lambda text: monkeypatch.setenv(OVERRIDE_VAR, text)


# ---- run history -------------------------------------------------------------------

@pytest.fixture(autouse=True)
def _private_history(monkeypatch, tmp_path_factory):
    """Runs that record themselves write to a history of their own test, never the user's
    (also where a test's child gets an environment without QUORVANE_ settings), and
    outside the test's tmp_path, which some tests expect to find empty."""
    data = tmp_path_factory.mktemp("data")
    monkeypatch.setenv("QUORVANE_DB", str(data / "quorvane" / "history.sqlite3"))
    monkeypatch.setenv("XDG_DATA_HOME", str(data))
    # and no configuration file of the user's steers a test
    monkeypatch.setenv("XDG_CONFIG_HOME", str(tmp_path_factory.mktemp("config")))


# The shared corpus of real outputs and dumps, read in place.
CORPUS = Path(os.environ.get("QUORVANE_CORPUS", REPO.parent / "shared" / "corpus"))


def need_corpus():
    """Skip a test that reads the corpus when it is not there, or fail it where
    QUORVANE_REQUIRE_CORPUS is set (CI)."""
    if not CORPUS.is_dir():
        if os.environ.get("QUORVANE_REQUIRE_CORPUS"):
            pytest.fail(f"the corpus is required here, but {CORPUS} is missing")
        pytest.skip("corpus not available")


def pytest_runtest_setup(item):
    if item.get_closest_marker("corpus"):
        need_corpus()


def corpus_files(kind, pattern="*"):
    """The files of one folder of the corpus; [None] when it is not there,
    which `corpus_text` turns into a skip (or a failure in CI)."""
    folder = CORPUS / kind
    return sorted(folder.glob(pattern)) if folder.is_dir() else [None]


def corpus_text(path):
    if path is None:
        need_corpus()
    return path.read_text(encoding="utf-8")


@pytest.fixture
def bench_root(tmp_path):
    """A directory holding the stand-in benchmark under the four executable names."""
    root = tmp_path / "nccl-tests"
    root.mkdir()
    for name in ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf"):
        (root / name).symlink_to(STANDIN)
    return root
