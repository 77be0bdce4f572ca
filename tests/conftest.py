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


# ---- history stores -----------------------------------------------------------------

PG_VAR = "QUORVANE_TEST_PG"


@pytest.fixture(scope="session")
def pg_server():
    """The URL of the PostgreSQL server the history tests may use ($QUORVANE_TEST_PG,
    written by .ci/postgres.sh up): skipped without one, failed where
    QUORVANE_REQUIRE_POSTGRES is set (CI)."""
    url = os.environ.get(PG_VAR)
    required = os.environ.get("QUORVANE_REQUIRE_POSTGRES")
    try:
        import psycopg
    except ImportError:
        psycopg = None
    if not url or psycopg is None:
        why = f"${PG_VAR} is not set" if not url else "psycopg is not installed"
        if required:
            pytest.fail(f"PostgreSQL is required here, but {why}")
        pytest.skip(f"no PostgreSQL server ({why})")
    try:
        psycopg.connect(url, connect_timeout=5).close()
    except psycopg.Error as exc:
        if required:
            pytest.fail(f"PostgreSQL is required here, but {url} does not answer: {exc}")
        pytest.skip(f"PostgreSQL at {url} does not answer")
    return url


def pg_schema_url(url, schema):
    """url with the history's tables in a schema of their own."""
    from urllib.parse import quote

    return url + ("&" if "?" in url else "?") + "options=" + quote(f"-csearch_path={schema}")


@pytest.fixture
def pg_location(pg_server):
    """A postgresql:// location with a fresh, empty schema, dropped afterwards."""
    import uuid

    import psycopg

    schema = f"t_{uuid.uuid4().hex[:16]}"
    with psycopg.connect(pg_server, autocommit=True) as conn:
        conn.execute(f"CREATE SCHEMA {schema}")
    yield pg_schema_url(pg_server, schema)
    with psycopg.connect(pg_server, autocommit=True) as conn:
        conn.execute(f"DROP SCHEMA {schema} CASCADE")


@pytest.fixture(params=["sqlite", "postgres"])
def store(request, tmp_path, monkeypatch):
    """A new, empty history in each store (SQLite file, PostgreSQL schema), set
    as $QUORVANE_DB: where runs recorded by the commands under test go."""
    if request.param == "sqlite":
        location = str(tmp_path / "h.sqlite3")
    else:
        location = request.getfixturevalue("pg_location")
    monkeypatch.setenv("QUORVANE_DB", location)
    return location
