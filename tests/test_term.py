"""The one colour policy of the command line: on a terminal every command that
prints styles its output, and none writes a single escape sequence (colour,
bold, dim, cursor movement) with NO_COLOR set or TERM=dumb."""
import os
import subprocess
import sys

import pytest

from test_topo_findings import host
from terminal import run_on_terminal

EMU = ["--emulate", "--gpu-type", "H100_SXM"]


def environment(tmp, **extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("NCCL_STANDIN_", "QUORVANE_", "SLURM_", "NO_COLOR", "FORCE_COLOR"))}
    return {**env, "TERM": "xterm-256color", "COLUMNS": "120", "QUORVANE_DB": str(tmp / "history.sqlite3"),
            **extra}


def on_terminal(args, env):
    """Exit status and everything the command wrote, with stdout and stderr on a pseudo-terminal."""
    return run_on_terminal(args, env)


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    """Three recorded emulated sweeps, the raw output of one, and a topology file."""
    tmp = tmp_path_factory.mktemp("site")
    for _ in range(3):
        subprocess.run([sys.executable, "-m", "quorvane", "sweep", *EMU, "--gpus", "2", "--collectives",
                        "all_reduce", "--keep-logs", str(tmp / "logs")], env=environment(tmp),
                       capture_output=True, check=True, timeout=60)
    (tmp / "topo.xml").write_text(host(gpu_width={1: 8}))
    return tmp


COMMANDS = {
    "sweep": [["sweep", *EMU, "--gpus", "2", "--collectives", "all_reduce,broadcast", "--no-record"], 0],
    "grade": [["grade", "{site}/logs/all_reduce.stdout", "--gpu-type", "H100_SXM", "--no-record"], 0],
    "fleet": [["fleet", *EMU, "--hosts", "h[1-4]", "--gpus-per-node", "2", "--no-record"], 0],
    "topo": [["topo", "{site}/topo.xml"], 0],
    "thresholds": [["thresholds"], 0],
    "history": [["history"], 0],
    "compare": [["compare", "1", "2"], None],
    "baseline": [["baseline"], 0],
}


@pytest.mark.parametrize("env,styled", [({}, True), ({"NO_COLOR": "1"}, False), ({"TERM": "dumb"}, False)],
                         ids=["terminal", "NO_COLOR", "dumb"])
@pytest.mark.parametrize("command", list(COMMANDS))
def test_styling_only_where_colour_is_wanted(site, command, env, styled):
    args, status = COMMANDS[command]
    code, screen = on_terminal([a.format(site=site) for a in args], environment(site, **env))
    assert status is None or code == status, screen
    assert ("\x1b" in screen) == styled, screen



def test_an_empty_no_color_asks_nothing(site):
    code, screen = on_terminal(["thresholds"], environment(site, NO_COLOR=""))
    assert code == 0 and "\x1b[" in screen
