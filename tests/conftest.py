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

    def _set(text):
        monkeypatch.setenv(OVERRIDE_VAR, text)

    return _set


class Recorder:
    """A cutoff value that records what it was compared with.

    ``busbw >= Recorder()`` falls back to ``Recorder.__le__`` because float's
    own comparison does not know this type, so the recorder sees the exact
    object the callee compared.
    """

    def __init__(self, answer=True):
        self.seen = []
        self.answer = answer

    def __le__(self, other):
        self.seen.append(other)
        return self.answer

    __ge__ = __le__


@pytest.fixture
def recorder():
    return Recorder
