"""Start-up of the command line: argv is read before any command's work is
imported, and each command imports only what it uses."""
import json
import os
import subprocess
import sys

import pytest

HEAVY = ("rich", "sqlite3", "concurrent.futures", "quorvane.reports.html", "quorvane.history", "quorvane.fleet")
COMMAND_MODULES = tuple(f"quorvane.cli.{name}" for name in
                        ("sweep", "grade", "fleet", "topo", "thresholds", "history", "compare", "baseline",
                         "report"))

PROBE = """
import json, sys
from quorvane.cli import main
sys.stdout = sys.stderr
status = main(sys.argv[1:])
sys.__stdout__.write(json.dumps({"status": status, "modules": sorted(sys.modules)}))
"""


def imported(*args):
    r = subprocess.run([sys.executable, "-c", PROBE, *args], capture_output=True, text=True, timeout=30)
    result = json.loads(r.stdout)
    return result["status"], set(result["modules"])


def present(modules, names):
    return sorted(n for n in names if n in modules)


@pytest.mark.parametrize("args", [["--version"], ["--help"], [], ["nonsense"]])
def test_no_command_imports_nothing_heavy(args):
    status, modules = imported(*args)
    assert status in (0, 64)
    assert present(modules, HEAVY + COMMAND_MODULES) == []


@pytest.mark.parametrize("args,unused", [
    (["thresholds"], ("sqlite3", "quorvane.history", "concurrent.futures", "quorvane.reports.html")),
    (["thresholds", "--help"], ("sqlite3", "quorvane.history", "concurrent.futures", "quorvane.reports.html")),
    (["sweep", "--help"], ("concurrent.futures", "quorvane.reports.html", "quorvane.fleet")),
    (["sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus", "2", "--collectives", "all_reduce",
      "--no-record"], ("sqlite3", "quorvane.history", "concurrent.futures", "quorvane.reports.html", "rich")),
    (["history", "--help"], ("rich", "concurrent.futures", "quorvane.reports.html", "quorvane.fleet")),
])
def test_a_command_imports_only_what_it_uses(args, unused):
    status, modules = imported(*args)
    assert status == 0
    assert present(modules, unused) == []
    command = f"quorvane.cli.{args[0]}"
    assert present(modules, COMMAND_MODULES) == [command]


def test_the_help_lists_every_command_and_each_command_keeps_its_options():
    from quorvane import cli

    r = subprocess.run([sys.executable, "-m", "quorvane", "--help"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 0
    text = " ".join(r.stdout.split())   # help lines may wrap
    for name, line in cli.COMMANDS.items():
        assert f"{name} {line}" in text
    full = cli.build_parser()   # every command with all its options (completion, man page)
    sub = next(a for a in full._actions if a.dest == "command")
    assert set(sub.choices) == set(cli.COMMANDS)
    assert "--gpus-per-node" in sub.choices["fleet"].format_help()
    assert "--keep-logs" in sub.choices["sweep"].format_help()


def test_grading_a_saved_output_draws_it_without_the_terminal_library(tmp_path):
    from test_reader import table
    path = tmp_path / "all_reduce.txt"
    path.write_text(table())
    status, modules = imported("grade", str(path), "--gpu-type", "H100_SXM", "--no-record")
    assert status == 0 and present(modules, ("rich", "concurrent.futures", "quorvane.fleet")) == []


def test_the_history_variable_is_named_alike_where_the_history_is_not_imported():
    from quorvane import history
    from quorvane.cli import options

    assert options.DB_VAR == history.DB_VAR


def test_commands_that_read_records_start_without_the_runner_or_the_library(tmp_path):
    db = str(tmp_path / "history.db")
    for _ in range(3):   # a baseline wants three runs
        subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "2", "--gpu-type", "H100_SXM",
                        "--collectives", "all_reduce", "--db", db], capture_output=True, timeout=60)
    for args in (["history"], ["baseline"], ["report", "--html", str(tmp_path / "r.html")], ["compare", "1", "2"]):
        status, modules = imported(*args, "--db", db)
        assert status == 0 and "quorvane.history" in modules, args
        assert present(modules, ("quorvane.record", "quorvane.runner", "quorvane.collsweep", "quorvane.plans")) == [], args


FIRST_RUN = """
import json, subprocess, sys
from quorvane.cli import common, main

class Idle:   # loads nothing, so what is loaded at the first run is what the command loaded itself
    def __init__(self, modules, later=(), *, start=True):
        pass
    def start(self):
        pass
    def wait(self, module=None, *, everything=False):
        pass

common.Preload = Idle
first = []
spawn = subprocess.Popen.__init__
def spawned(self, *args, **kwargs):
    first.append(first or sorted(sys.modules))
    spawn(self, *args, **kwargs)
subprocess.Popen.__init__ = spawned
sys.stdout = sys.stderr
status = main(sys.argv[1:])
sys.__stdout__.write(json.dumps({"status": status, "first": first[0]}))
"""


@pytest.mark.parametrize("recorded", [False, True])
def test_the_first_benchmark_starts_before_the_record_the_tables_and_the_store_load(tmp_path, recorded):
    where = ["--db", str(tmp_path / "h.sqlite3")] if recorded else ["--no-record"]
    r = subprocess.run([sys.executable, "-c", FIRST_RUN, "sweep", "--emulate", "--gpu-type", "H100_SXM", "--gpus",
                        "2", "--collectives", "all_reduce,broadcast", *where],
                       capture_output=True, text=True, timeout=60)
    result = json.loads(r.stdout)
    assert result["status"] == 0, r.stderr
    assert present(set(result["first"]), ("rich", "quorvane.record", "quorvane.cli.render", "quorvane.causes",
                                          "sqlite3", "quorvane.history.sqlite")) == []
    assert "[2/2] broadcast: ok, " in r.stderr and "verdict" in r.stderr
    assert ("recorded as run 1" in r.stderr) == recorded


def test_preload_loads_on_its_thread_and_leaves_a_failure_to_the_importer():
    from quorvane.cli.common import Preload
    for name in ("colorsys", "graphlib", "quorvane_no_such_module"):
        sys.modules.pop(name, None)
    preload = Preload(["quorvane_no_such_module", "colorsys"], later=["graphlib"])
    preload.wait("colorsys")
    assert "colorsys" in sys.modules
    preload.wait(everything=True)
    assert "graphlib" in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("quorvane_no_such_module")


LINGERING = """
import sys
from concurrent.futures import ThreadPoolExecutor
from quorvane.cli import run
pool = ThreadPoolExecutor(2)   # never shut down, and kept
pool.submit(print, "pool ran", file=sys.stderr)
sys.argv = ["quorvane", *sys.argv[1:]]
run()
"""


@pytest.mark.parametrize("args, status, out, err", [
    (["--version"], 0, "quorvane {}\n", ""),
    (["sweep", "--gpus"], 64, "", "error: argument --gpus: expected one argument"),
])
def test_the_program_ends_at_once_with_the_command_s_status_and_all_its_output(args, status, out, err):
    import quorvane
    buffered = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}   # output waits in buffers
    r = subprocess.run([sys.executable, "-c", LINGERING, *args], capture_output=True, text=True, timeout=20,
                       env=buffered)
    assert (r.returncode, r.stdout) == (status, out.format(quorvane.__version__)) and "pool ran" in r.stderr
    assert err in r.stderr
