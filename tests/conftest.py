"""Shared fixtures for the quorvane.collsweep test suite."""

import pytest

OVERRIDE_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"


@pytest.fixture(scope="session")
def cs():
    """The extension module under test (imported once, like any caller would)."""
    import quorvane.collsweep as module

    return module


@pytest.fixture(autouse=True)
def _no_threshold_overrides(monkeypatch):
    """Every test starts without operator overrides in the environment."""
    monkeypatch.delenv(OVERRIDE_VAR, raising=False)


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
