"""What every command shares, as a user meets it: the help's exit statuses, -q,
the shape of --json, the configuration file, shell completion and the manual page."""
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from history_records import emulated_report, wrap
from test_cli import EMU, quorvane
from test_topo_findings import host

from quorvane.cli import COMMANDS
from quorvane.history import History

TOPO = host(gpu_width={1: 8}, nic_gdr={3: 0})
RUN = ["--gpus", "8", "--collectives", "all_reduce"]


@pytest.fixture
def home(tmp_path):
    """A private configuration folder, data folder and history for one test's children."""
    (tmp_path / "config" / "quorvane").mkdir(parents=True)
    return {"XDG_CONFIG_HOME": str(tmp_path / "config"), "XDG_DATA_HOME": str(tmp_path / "data"),
            "NCCL_STANDIN_LATENCY_US": "0"}


def write_config(env, text):
    Path(env["XDG_CONFIG_HOME"], "quorvane", "config.toml").write_text(text)


# ---- help ---------------------------------------------------------------------------

OWN_STATUS = {   # a status each command's help must list (blanks collapsed), and text it must not borrow
    "sweep": ("3 unknown no cutoff", None), "grade": ("0 pass headline", None),
    "fleet": ("2 fail suspects, at least one fail-level", None),
    "topo": ("4 error a file holds no topology", "headline"),
    "thresholds": ("1 problems with --lint", "headline"),
    "history": ("4 error the history cannot be read", "headline"),
    "compare": ("1 fail some size of B", "headline"),
    "baseline": ("4 error fewer than 3", "headline"),
    "report": ("0 ok the page", "headline"),
    "config": ("0 ok the settings", "headline"),
    "completion": ("0 ok the script", "headline"),
    "transport": ("4 error a file holds no NCCL debug line", "headline"),
}


@pytest.mark.parametrize("command", list(COMMANDS))
def test_each_help_lists_its_own_exit_statuses_and_quiet(command):
    r = quorvane(command, "--help")
    assert r.returncode == 0, r.stderr
    statuses = " ".join(r.stdout[r.stdout.index("exit status:"):].split())
    own, foreign = OWN_STATUS[command]
    assert own in statuses, statuses
    for shared in ("64 usage", "70 internal", "74 write", "128+N stopped"):
        assert shared in statuses, (shared, statuses)
    if foreign:
        assert foreign not in statuses
    assert "-q, --quiet" in r.stdout


# ---- --json -------------------------------------------------------------------------

def _history(env):
    path = Path(env["XDG_DATA_HOME"]) / "h.sqlite3"
    report = emulated_report()
    with History(path) as h:
        for i, scale in enumerate((1.0, 0.99, 1.01)):
            h.add(wrap(report, scale=scale, started_at=f"2026-12-0{i + 1}T10:00:00+00:00"))
    return {**env, "QUORVANE_DB": str(path)}


JSON_CASES = [  # command line, kind, graded
    ([*EMU, *RUN, "--no-record"], "sweep", True),
    (["topo", "{topo}"], "topo", True),
    (["topo", "{topo}", "--check"], "topo", True),
    (["thresholds"], "thresholds", False),
    (["thresholds", "--lint"], "thresholds-lint", True),
    (["history"], "history", False),
    (["compare", "1", "2"], "compare", True),
    (["baseline", "--emulated"], "baseline", False),
    (["config"], "config", False),
]


@pytest.mark.parametrize("argv, kind, graded", JSON_CASES, ids=[" ".join(c[0][:2]) for c in JSON_CASES])
def test_every_json_has_one_shape_and_takes_a_file_or_stdout(argv, kind, graded, tmp_path, home):
    env = _history(home)
    (tmp_path / "topo.xml").write_text(TOPO)
    argv = [a.format(topo=tmp_path / "topo.xml") for a in argv]
    to_file = quorvane(*argv, "--json", str(tmp_path / "out.json"), **env)
    to_stdout = quorvane(*argv, "--json", "-", **env)
    assert to_file.returncode == to_stdout.returncode, to_file.stderr
    for doc in (json.loads((tmp_path / "out.json").read_text()), json.loads(to_stdout.stdout)):
        assert list(doc)[:2] == ["record_version", "kind"] and (doc["record_version"], doc["kind"]) == (1, kind)
        assert ("verdict" in doc, "exit_status" in doc) == (graded, graded)
        if graded:
            assert doc["exit_status"] == to_file.returncode
            assert doc["verdict"] in ("pass", "warn", "fail", "unknown", "error")


def test_topo_json_keeps_the_files_kind_apart_from_its_own(tmp_path):
    r = quorvane("topo", "-", "--json", "-", input=TOPO)
    doc = json.loads(r.stdout)
    assert (doc["kind"], doc["topology"], doc["verdict"], doc["exit_status"]) == ("topo", "dump", "fail", 0)


# ---- -q ------------------------------------------------------------------------------

@pytest.mark.parametrize("argv, env, status, line", [
    ([*EMU, *RUN, "--no-record"], {}, 0, "verdict    PASS\n"),
    ([*EMU, *RUN, "--no-record"], {"NCCL_STANDIN_BUSBW_GBPS": "280"}, 1, "verdict    WARN\n"),
    (["topo", "-", "--check"], {}, 2, "verdict    FAIL\n"),
    (["thresholds"], {}, 0, ""),
    (["history"], {}, 0, ""),
])
def test_quiet_prints_the_verdict_line_alone_and_twice_quiet_nothing(argv, env, status, line, home):
    r = quorvane(*argv, "-q", input=TOPO, **home, **env)
    assert (r.returncode, r.stdout, r.stderr) == (status, line, "")
    r = quorvane(*argv, "-qq", input=TOPO, **home, **env)
    assert (r.returncode, r.stdout, r.stderr) == (status, "", "")


def test_quiet_keeps_errors_and_the_record_asked_for_on_stdout(tmp_path, home):
    r = quorvane(*EMU, "--gpus", "1", "-q", **home)
    assert r.returncode == 64 and r.stderr.startswith("quorvane: error: --gpus 1") and r.stdout == ""
    r = quorvane(*EMU, *RUN, "--no-record", "-q", "--json", "-", **home)
    assert r.returncode == 0 and json.loads(r.stdout)["verdict"] == "pass" and r.stderr == ""


# ---- the configuration file ------------------------------------------------------------

CONFIG = """\
gpu_type = "H100_SXM"
launcher = "srun"
history = "{data}/configured.sqlite3"

[thresholds."H100_SXM:intra"]
pass_min_gbps = 400
warn_min_gbps = 300
"""


def test_configuration_file_sets_defaults_that_flags_and_variables_override(home):
    write_config(home, CONFIG.format(data=home["XDG_DATA_HOME"]))
    # gpu_type and the cutoffs from the file: the stand-in's 370 GB/s is a warn against 400/300
    r = quorvane("sweep", "--emulate", *RUN, "--json", "-", **home)
    doc = json.loads(r.stdout)
    assert (r.returncode, doc["gpu_type"], doc["threshold"]["pass_min_gbps"]) == (1, "H100_SXM", 400), r.stderr
    assert Path(home["XDG_DATA_HOME"], "configured.sqlite3").exists()   # the history named in the file
    # the variable wins over the file's cutoffs, the flag over its GPU type
    over = json.dumps({"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200}})
    r = quorvane("sweep", "--emulate", *RUN, "--no-record", "-q", QUORVANE_NCCL_THRESHOLD_OVERRIDES=over, **home)
    assert (r.returncode, r.stdout) == (0, "verdict    PASS\n")
    r = quorvane("sweep", "--emulate", *RUN, "--no-record", "--gpu-type", "A100_SXM", "--json", "-", **home)
    assert json.loads(r.stdout)["gpu_type"] == "A100_SXM"
    r = quorvane("config", "--json", "-", **home)
    settings = {s["key"]: s for s in json.loads(r.stdout)["settings"]}
    path = str(Path(home["XDG_CONFIG_HOME"], "quorvane", "config.toml"))
    assert (settings["gpu_type"]["value"], settings["gpu_type"]["source"]) == ("H100_SXM", path)
    assert settings['thresholds."H100_SXM:intra"']["value"] == {"pass_min_gbps": 400, "warn_min_gbps": 300}
    assert settings["binary_root"]["source"] == "built-in default"
    r = quorvane("config", QUORVANE_DB="/tmp/elsewhere.sqlite3", **home)
    assert re.search(r"^  history\s+/tmp/elsewhere\.sqlite3\s+--db\s+environment QUORVANE_DB$", r.stdout, re.M)


def test_configured_binary_root_and_launcher_apply_only_where_they_mean_something(home, bench_root):
    write_config(home, f'binary_root = "{bench_root}"\nlauncher = "mpirun"\ngpu_type = "H100_SXM"\n')
    r = quorvane("sweep", *RUN, "--no-record", "--json", "-", **home)   # one host: no launcher
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout)["collectives"][0]["command"][0] == str(bench_root / "all_reduce_perf")
    assert quorvane(*EMU, *RUN, "--no-record", "-q", **home).returncode == 0   # --emulate: no binary root


@pytest.mark.parametrize("flags, programs", [([], ["all_reduce_perf"]), (["--plan", "library"], 4 * [None])])
def test_configured_plan_is_the_default_a_flag_overrides(home, flags, programs):
    write_config(home, 'plan = "quick"\n')
    r = quorvane(*EMU, "--gpus", "8", "--dry-run", *flags, **home)
    assert r.returncode == 0, r.stderr
    lines = r.stdout.splitlines()
    assert len(lines) == len(programs) and all(p is None or p in line for p, line in zip(programs, lines))


@pytest.mark.parametrize("text, message", [
    ("gpu_type = \n", "malformed TOML: Invalid value (at line 1, column 12)"),
    ("colour = true\n", "unknown key 'colour'"),
    ("launcher = \"pdsh\"\n", "launcher 'pdsh' is not one of srun, mpirun, ssh"),
    ("plan = \"fast\"\n", "plan 'fast' is not one of full, quick, library"),
    ("gpu_type = 8\n", "gpu_type must be a non-empty string"),
    ("thresholds = 5\n", "thresholds must be a table"),
    ("[thresholds.\"H100_SXM:intra\"]\npass_min_gbps = 1\nwarn_min_gbps = 2\n", "is below \"warn_min_gbps\" 2"),
    ("[thresholds.\"H100_SXM:intra\"]\npass_min_gbps = \"a\"\nwarn_min_gbps = 2\n", "must be a number, not 'a'"),
])
@pytest.mark.parametrize("command", [["config"], ["thresholds"], [*EMU, *RUN]])
def test_a_malformed_configuration_file_is_one_line_and_64(text, message, command, home):
    write_config(home, text)
    r = quorvane(*command, **home)
    path = Path(home["XDG_CONFIG_HOME"], "quorvane", "config.toml")
    assert (r.returncode, r.stdout) == (64, "")
    assert r.stderr.startswith(f"quorvane: error: {path}") and message in r.stderr
    assert r.stderr.count("\n") == 1, r.stderr


def test_the_users_file_wins_over_the_systems_key_by_key(home):
    system = Path("/etc/quorvane/config.toml")
    if system.exists() or not os.access("/etc", os.W_OK):
        pytest.skip("/etc/quorvane/config.toml is there already, or /etc cannot be written")
    made = not system.parent.exists()
    system.parent.mkdir(exist_ok=True)
    try:
        system.write_text('gpu_type = "A100_SXM"\nlauncher = "ssh"\n')
        write_config(home, 'gpu_type = "H200"\n')
        r = quorvane("config", "--json", "-", **home)
    finally:
        system.unlink()
        if made:
            system.parent.rmdir()
    doc = json.loads(r.stdout)
    settings = {s["key"]: (s["value"], s["source"]) for s in doc["settings"]}
    assert settings["gpu_type"][0] == "H200" and settings["launcher"] == ("ssh", str(system))
    assert [f["path"] for f in doc["files"]][1] == str(system)


# ---- recording -----------------------------------------------------------------------------

def test_the_first_recording_run_says_where_before_it_writes(home):
    first = quorvane(*EMU, *RUN, **home)
    path = Path(home["XDG_DATA_HOME"], "quorvane", "history.sqlite3")
    notice = f"quorvane: recording runs in {path} (a new history"
    assert notice in first.stderr and first.stderr.index(notice) < first.stderr.index("recorded as run 1")
    assert notice not in quorvane(*EMU, *RUN, **home).stderr


# ---- completion and the manual page ---------------------------------------------------------

def complete(script, *words):
    """What bash's completion function offers for the command line `words` (the last being completed)."""
    program = (f"{script}\nCOMP_WORDS=({' '.join(repr(w) for w in words)}); COMP_CWORD={len(words) - 1}\n"
               "_quorvane; printf '%s\\n' \"${COMPREPLY[@]}\"\n")
    r = subprocess.run(["bash", "--norc", "-c", program], capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


@pytest.mark.skipif(shutil.which("bash") is None, reason="no bash")
def test_bash_completion_knows_commands_options_and_choices():
    script = quorvane("completion", "bash").stdout
    assert complete(script, "quorvane", "sw") == ["sweep"]
    assert complete(script, "quorvane", "c") == ["compare", "config", "completion"]
    assert sorted(complete(script, "quorvane", "sweep", "--gp")) == ["--gpu-type", "--gpus", "--gpus-per-node"]
    assert complete(script, "quorvane", "sweep", "--launcher", "") == ["srun", "mpirun", "ssh"]
    assert complete(script, "quorvane", "topo", "--che") == ["--check"]
    assert complete(script, "quorvane", "completion", "z") == ["zsh"]
    r = subprocess.run(["bash", "--norc", "-c", f"{script}\ncomplete -p quorvane"], capture_output=True, text=True)
    assert "-F _quorvane quorvane" in r.stdout


@pytest.mark.skipif(shutil.which("zsh") is None, reason="no zsh")
def test_zsh_completion_is_valid_zsh():
    script = quorvane("completion", "zsh").stdout
    assert script.startswith("#compdef quorvane")
    r = subprocess.run(["zsh", "-n"], input=script, capture_output=True, text=True, timeout=10)
    assert r.returncode == 0, r.stderr


def test_zsh_completion_names_every_command_and_option():
    script = quorvane("completion", "zsh").stdout
    for command in COMMANDS:
        assert f"\n    '{command}:" in script and f"\n        {command})" in script
    assert "'--launcher[" in script and ":(srun mpirun ssh)'" in script


def test_the_manual_page_is_installed_and_names_every_command():
    page = Path(sys.prefix, "share", "man", "man1", "quorvane.1")
    assert page.is_file(), "quorvane.1 was not installed with the package"
    text = page.read_text()
    assert text.startswith(".TH QUORVANE 1")
    for command in COMMANDS:
        assert f".SS quorvane {command}" in text
    assert "\\fB\\-\\-gpu\\-type\\fR" in text and "exit status:" in text
