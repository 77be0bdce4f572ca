"""The quorvane command line as a user runs it: `python -m quorvane ...` in a child
process, with the built-in emulator standing in for nccl-tests."""
import json
import os
import pty
import re
import select
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import quorvane.collsweep as cs

REPO = Path(__file__).resolve().parent.parent
LAUNCHERS_ENV = Path(os.environ.get("CI_LAUNCHERS_DIR", "/var/lib/ci-launchers")) / "launchers.env"
OVERRIDES = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
SIZES = {8192: "8 KiB", 131072: "128 KiB", 2097152: "2 MiB", 33554432: "32 MiB"}
EMU = ["sweep", "--emulate", "--gpu-type", "H100_SXM"]
# Settings that steer the emulator, the verdict, colour or the launcher, or make a child think it is a rank.
STEERING = ("NCCL_STANDIN_", "QUORVANE_", "SKYPILOT_", "OMPI_COMM_WORLD_", "PMIX_", "PMI_", "NO_COLOR")


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(STEERING) and not (k.startswith("SLURM_") and k != "SLURM_CONF")}
    return {**env, "TERM": "xterm-256color", **extra}


def quorvane(*args, input="", timeout=60, **env):
    """Run the command with pipes for output; `env` adds to a clean environment."""
    r = subprocess.run([sys.executable, "-m", "quorvane", *args], input=input, capture_output=True,
                       text=True, env=clean_env(**env), timeout=timeout)
    assert "\x1b" not in r.stdout + r.stderr, "colour codes on a pipe"
    return r


def on_terminal(*args, **env):
    """Exit status and screen text of a run with stdout and stderr on a pseudo-terminal."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", *args], stdin=subprocess.DEVNULL,
                            stdout=slave, stderr=slave, env=clean_env(**env))
    os.close(slave)
    screen = b""
    try:
        while select.select([master], [], [], 30)[0] and (chunk := os.read(master, 65536)):
            screen += chunk
    except OSError:  # EIO: the child closed the terminal
        pass
    os.close(master)
    return proc.wait(timeout=30), screen.decode("utf-8", "replace")


def one_error_line(r, code, start):
    assert (r.returncode, r.stdout) == (code, ""), r.stderr
    assert re.fullmatch(rf"quorvane: error: {re.escape(start)}[^\n]*\n", r.stderr), r.stderr


def test_help_documents_every_exit_status():
    assert [ep.value for ep in metadata.entry_points(group="console_scripts", name="quorvane")] == \
        ["quorvane.cli:main"]
    for args in (["--help"], ["sweep", "--help"]):
        r = quorvane(*args)
        assert r.returncode == 0, r.stderr
        for code, word in ((0, "pass"), (1, "warn"), (2, "fail"), (3, "unknown"), (4, "error"), (64, "usage")):
            assert re.search(rf"^\s+{code}\s+{word}\b", r.stdout, re.M), (args, code, word)


@pytest.mark.parametrize("args", [
    [],                                                                    # no subcommand
    [*EMU, "--gpus", "eight"],                                             # not a number
    [*EMU, "--gpus", "8", "--hosts", "h1,h2", "--gpus-per-node", "8"],     # both forms
    [*EMU, "--hosts", "h1", "--gpus-per-node", "8"],                       # one host
    [*EMU, "--gpus", "8", "--collectives", "alltoall"],                    # the emulator has no alltoall
    [*EMU, "--gpus", "8", "--json", "/nonexistent-dir/report.json"],
    ["topo", "/nonexistent-dir/topo.xml"],
    ["thresholds", "--gpu-type", "NO_SUCH_GPU"],
], ids=lambda a: " ".join(a) or "(nothing)")
def test_bad_usage_exits_64_before_running_anything(args):
    r = quorvane(*args)
    assert (r.returncode, r.stdout) == (64, ""), r.stderr
    assert r.stderr.strip() and "Traceback" not in r.stderr and "running" not in r.stderr


@pytest.mark.parametrize("args,value", [
    (["thresholds"], "{oops"),
    (["thresholds"], "[1, 2]"),
    (["thresholds"], '{"H100_SXM": {"pass_min_gbps": 300, "warn_min_gbps": 200}}'),  # no scope in the key
    ([*EMU, "--gpus", "8"], '{"H100_SXM:intra": {"pass_min_gbps": "fast", "warn_min_gbps": 200}}'),
])
def test_malformed_override_variable_is_one_line_and_64(args, value):
    one_error_line(quorvane(*args, **{OVERRIDES: value}), 64, OVERRIDES)


@pytest.mark.parametrize("gpu_type,settings,status,code", [
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "320"}, "pass", 0),           # exactly on the pass cutoff
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "319.99"}, "warn", 1),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "249.99"}, "fail", 2),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "900", "NCCL_STANDIN_MODE": "wrong"}, "fail", 2),
    ("L40S", {}, "unknown", 3),                                            # no cutoffs for this GPU type
    ("H100_SXM", {"NCCL_STANDIN_MODE": "fail"}, "error", 4),               # nothing measured
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "350",
                  OVERRIDES: '{"H100_SXM:intra": {"pass_min_gbps": "400", "warn_min_gbps": 300}}'}, "warn", 1),
], ids=["pass-on-cutoff", "warn", "fail", "fail-wrong-results", "unknown", "error", "override"])
def test_sweep_exit_status_follows_the_verdict(tmp_path, gpu_type, settings, status, code):
    r = quorvane("sweep", "--emulate", "--gpus", "8", "--gpu-type", gpu_type, "--collectives", "all_reduce",
                 "--json", "-", TMPDIR=str(tmp_path), NCCL_STANDIN_LATENCY_US="0", **settings)
    assert r.returncode == code, r.stderr
    report = json.loads(r.stdout)  # --json - leaves stdout to the report alone
    assert (report["status"], report["interconnect"]) == (status, "emulated")
    assert re.search(rf"^verdict\s+{status.upper()} \(emulated", r.stderr, re.M), r.stderr
    assert list(tmp_path.iterdir()) == []  # the emulator's folder is gone
    sizes = [row["size_bytes"] for row in report["results"]]
    assert sizes == ([] if status == "error" else list(SIZES))
    if OVERRIDES in settings:
        assert report["threshold"] == {"pass_min_gbps": 400.0, "warn_min_gbps": 300.0}
        assert re.search(r"^threshold .*\boverride\)$", r.stderr, re.M)


def test_full_emulated_sweep_with_a_failed_and_a_timed_out_collective(tmp_path):
    target, scratch = tmp_path / "report.json", tmp_path / "tmp"
    scratch.mkdir()
    r = quorvane(*EMU, "--gpus", "8", "--timeout", "2", "--json", str(target), TMPDIR=str(scratch),
                 NCCL_STANDIN_MODE_all_gather="fail", NCCL_STANDIN_MESSAGE="link down on port 3",
                 NCCL_STANDIN_MODE_broadcast="sleep", NCCL_STANDIN_SLEEP="30")
    assert r.returncode == 0, r.stderr  # all_reduce alone decides the verdict
    assert list(scratch.iterdir()) == []
    text = target.read_text()
    data = json.loads(text)
    rebuilt = cs.NcclReport(**{**data, "results": [cs.NcclResult(**row) for row in data["results"]],
                               "threshold": cs.Threshold(**data["threshold"])})
    assert json.dumps(rebuilt.to_dict(), indent=2) + "\n" == text  # the report dict, keys in order
    assert [data[k] for k in ("gpu_type", "scope", "num_nodes", "gpus_per_node", "interconnect", "status", "error")] \
        == ["H100_SXM", "intra", 1, 8, "emulated", "pass", "broadcast_perf exited 124: timeout after 2s"]
    assert [(row["collective"], row["size_bytes"]) for row in data["results"]] == \
        [(label, size) for label in ("all_reduce", "reduce_scatter") for size in SIZES]

    out = r.stdout
    assert "EMULATED" in out and f"report written to {target}" in out
    assert (at := [out.index(f"\n{label}  ({n} rows)") for label, n in
                   (("all_reduce", 4), ("all_gather", 0), ("reduce_scatter", 4), ("broadcast", 0))]) == sorted(at)
    for row in data["results"]:
        assert re.search(rf"^\s+{SIZES[row['size_bytes']]}\s+{row['busbw_gbps']:,.2f}\s+{row['algbw_gbps']:,.2f}"
                         rf"\s+{row['latency_us']:,.1f}\s+0\s+\S+$", out, re.M), row
    headline = max(row["busbw_gbps"] for row in data["results"] if row["collective"] == "all_reduce")
    for line in (rf"headline\s+{headline:,.2f} GB/s .*", r"error\s+broadcast_perf exited 124: timeout after 2s",
                 r"threshold\s+pass >= 320 GB/s, warn >= 250 GB/s\s+\(H100_SXM, intra, built-in\)",
                 r"verdict\s+PASS \(emulated, not a measurement\)"):
        assert re.search(rf"^{line}$", out, re.M), line
    progress = [line for line in r.stderr.splitlines() if line.startswith("[")]
    expected = [f"[{i}/4] {label}: {state}" for i, (label, outcome) in enumerate(
        [("all_reduce", "ok, 4 rows in "), ("all_gather", "failed (exit 1): link down on port 3 in "),
         ("reduce_scatter", "ok, 4 rows in "), ("broadcast", "failed (timed out)")], 1)
        for state in ("running (time-out 2s)", outcome)]
    assert len(progress) == len(expected) and all(map(str.startswith, progress, expected)), progress


@pytest.mark.parametrize("args,expected,error", [
    (["sweep", "--gpus", "2", "--gpu-type", "H100_SXM", "--binary-root", "{tmp}"],  # no nccl-tests here
     {"scope": "intra", "interconnect": ""}, "nccl-tests binary not found: all_reduce_perf"),
    ([*EMU, "--hosts", "h1,h2", "--gpus-per-node", "4", "--launcher", "srun"],      # no srun on PATH
     {"scope": "multi", "num_nodes": 2, "gpus_per_node": 4, "interconnect": "emulated"}, "all_reduce_perf exited 127"),
], ids=["real-binaries-missing", "launcher-missing"])
def test_sweep_that_cannot_run_is_an_error(tmp_path, args, expected, error):
    fixed = ("/opt/nccl-tests/build", "/workspace/nccl-tests/build", "/usr/local/bin")  # also searched
    if any(Path(d, "all_reduce_perf").exists() for d in fixed):
        pytest.skip("this machine has an all_reduce_perf in a fixed search folder")
    r = quorvane(*[a.format(tmp=tmp_path) for a in args], "--collectives", "all_reduce", "--json", "-",
                 PATH=str(tmp_path))
    assert r.returncode == 4, r.stderr
    report = json.loads(r.stdout)
    assert {k: report[k] for k in expected} == expected and report["status"] == "error"
    assert report["error"].startswith(error)
    assert ("emulated" in r.stderr) == (expected["interconnect"] == "emulated")


def launchers_env():
    """The launchers' environment from `.ci/launchers.sh up`; without them skip, or fail in CI."""
    missing = [p for p in ("srun", "salloc", "mpirun", "ssh") if shutil.which(p) is None]
    reason = (f"launchers are not up ({LAUNCHERS_ENV} missing; run .ci/launchers.sh up)"
              if not LAUNCHERS_ENV.is_file() else f"{missing[0]} is not on PATH" if missing else None)
    if reason and os.environ.get("QUORVANE_REQUIRE_LAUNCHERS"):
        pytest.fail(f"launcher tests required here, but {reason}")
    if reason:
        pytest.skip(reason)
    lines = [line.strip()[len("export "):] for line in LAUNCHERS_ENV.read_text().splitlines()
             if line.strip().startswith("export ")]
    return {key: value.strip('"') for key, _, value in (line.partition("=") for line in lines)}


@pytest.mark.parametrize("mode,hosts_key", [("srun", "CI_SLURM_NODES"), ("mpirun", "CI_MPIRUN_LOCAL_HOSTS"),
                                            ("ssh", "CI_SSH_HOSTS")])
def test_emulated_sweep_through_each_launcher(tmp_path, mode, hosts_key):
    launchers = launchers_env()
    hosts = launchers[hosts_key].split()
    # Ranks started over ssh inherit nothing from here: the emulator's settings travel in its executables.
    r = quorvane(*EMU, "--hosts", ",".join(hosts), "--gpus-per-node", "2", "--launcher", mode,
                 "--collectives", "all_reduce,broadcast", "--timeout", "60", "--json", "-", timeout=180,
                 **launchers, TMPDIR=str(tmp_path), NCCL_STANDIN_LATENCY_US="0", NCCL_STANDIN_BUSBW_GBPS="100")
    assert r.returncode == 1, r.stderr  # 100 GB/s lies between the multi-host cutoffs 80 and 150
    report = json.loads(r.stdout)
    assert (report["scope"], report["num_nodes"], report["gpus_per_node"]) == ("multi", len(hosts), 2)
    assert (report["status"], report["interconnect"]) == ("warn", "emulated")
    assert [(row["collective"], row["busbw_gbps"]) for row in report["results"]] == \
        [("all_reduce", 100.0)] * 4 + [("broadcast", 100.0)] * 4
    ranks = 2 * len(hosts)  # all_reduce's bus factor 2(n-1)/n shows how many ranks ran
    assert all(row["busbw_gbps"] / row["algbw_gbps"] == pytest.approx(2 * (ranks - 1) / ranks, rel=0.02)
               for row in report["results"][:4])
    assert list(tmp_path.iterdir()) == []


def test_thresholds_show_built_in_and_overridden_cutoffs():
    overrides = {"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200, "note": "lab"},
                 "L40S:intra": {"pass_min_gbps": "120", "warn_min_gbps": 80},
                 "B200:lab": {"pass_min_gbps": 1, "warn_min_gbps": 0}}
    r = quorvane("thresholds", "--json", "-", **{OVERRIDES: json.dumps(overrides)})
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    for scope, table in (("intra", cs._INTRA_NODE_THRESHOLDS), ("multi", cs._MULTI_NODE_THRESHOLDS)):
        for gpu, cutoffs in table.items():
            if f"{gpu}:{scope}" not in overrides:
                assert data[f"{gpu}:{scope}"] == {**cutoffs, "source": "built-in"}
    assert data["L40S:intra"] == {"pass_min_gbps": 120.0, "warn_min_gbps": 80.0, "source": "override"}
    assert data["H100_PCIE:multi"] == {"pass_min_gbps": None, "warn_min_gbps": None, "source": None}
    marked = {tuple(line.split()[:4]) for line in r.stderr.splitlines() if "* override" in line}
    assert marked == {("H100_SXM", "intra", "300", "200"), ("L40S", "intra", "120", "80"), ("B200", "lab", "1", "0")}
    assert re.search(r"^\s+H100_SXM\s+intra\s+300\s+200\s+\* override \(built-in 320 / 250\)$", r.stderr, re.M)
    assert f"* from {OVERRIDES}" in r.stderr
    r = quorvane("thresholds", "--gpu-type", "H100_SXM", **{OVERRIDES: "  \n "})  # blank: no overrides
    assert [line.split() for line in r.stdout.splitlines() if line.startswith("  H100")] == \
        [["H100_SXM", "intra", "320", "250", "built-in"], ["H100_SXM", "multi", "150", "80", "built-in"]]
    assert "*" not in r.stdout and f"{OVERRIDES} is not set" in r.stdout


@pytest.mark.parametrize("env,coloured", [({}, True), ({"NO_COLOR": "1"}, False)], ids=["colour", "NO_COLOR"])
def test_colour_on_a_terminal_unless_no_color(env, coloured):
    code, screen = on_terminal("thresholds", **env)
    assert code == 0, screen
    assert bool(re.search(r"\x1b\[[0-9;]*m", screen)) == coloured, screen
