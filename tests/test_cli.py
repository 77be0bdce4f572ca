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
from quorvane import cli

REPO = Path(__file__).resolve().parent.parent
CORPUS_TOPO = REPO.parent / "shared" / "corpus" / "topo"
SGR = re.compile(r"\x1b\[[0-9;]*m")  # colour / bold codes
SWEEP_SIZES = [8192, 131072, 2097152, 33554432]  # 8 KiB .. 128 MiB, factor 16
# Settings that would steer the emulator, the verdict or the launcher choice, or make a
# child think it is a rank; launcher configuration (SLURM_CONF, OMPI_MCA_*) stays.
STEERING_PREFIXES = ("NCCL_STANDIN_", "QUORVANE_", "SKYPILOT_", "OMPI_COMM_WORLD_", "PMIX_", "PMI_")
LAUNCHERS_ENV = Path(os.environ.get("CI_LAUNCHERS_DIR", "/var/lib/ci-launchers")) / "launchers.env"
EMU = ["sweep", "--emulate", "--gpu-type", "H100_SXM"]



def clean_env(**extra):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(STEERING_PREFIXES) and k not in ("NO_COLOR", "TERM")
           and not (k.startswith("SLURM_") and k != "SLURM_CONF")}
    env.update(extra)
    return env


def quorvane(*args, env=None, timeout=60, stdin=subprocess.DEVNULL):
    return subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, text=True,
                          env=clean_env() if env is None else env, timeout=timeout, stdin=stdin)


def run_on_tty(*args, env, timeout=60):
    """Run with stdout and stderr on a pseudo-terminal; returns (exit status, screen text)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", *args], stdin=subprocess.DEVNULL,
                            stdout=slave, stderr=slave, env=env)
    os.close(slave)
    chunks = []
    try:
        while True:
            ready, _, _ = select.select([master], [], [], timeout)
            if not ready:
                proc.kill()
                pytest.fail("no output from the command on the terminal")
            try:
                data = os.read(master, 65536)
            except OSError:  # EIO: the child closed the terminal
                break
            if not data:
                break
            chunks.append(data)
    finally:
        os.close(master)
    return proc.wait(timeout=timeout), b"".join(chunks).decode("utf-8", "replace")


def one_line(text):
    lines = text.strip().splitlines()
    assert len(lines) == 1, text
    return lines[0]


# ---- help and usage ---------------------------------------------------------------

@pytest.mark.parametrize("args", [["--help"], ["sweep", "--help"], ["topo", "--help"], ["thresholds", "--help"]])
def test_help_documents_exit_statuses(args):
    r = quorvane(*args)
    assert r.returncode == 0, r.stderr
    for code, word in ((0, "pass"), (1, "warn"), (2, "fail"), (3, "unknown"), (4, "error"), (64, "usage")):
        assert re.search(rf"^\s+{code}\s+{word}\b", r.stdout, re.M), (code, word)


def test_console_script_is_declared():
    scripts = metadata.entry_points(group="console_scripts", name="quorvane")
    assert [ep.value for ep in scripts] == ["quorvane.cli:main"]


@pytest.mark.parametrize("args", [
    [],
    ["measure"],
    ["sweep", "--gpus", "8"],                                              # no GPU type
    [*EMU],                                                                # neither --gpus nor --hosts
    [*EMU, "--gpus", "0"],
    [*EMU, "--gpus", "eight"],
    [*EMU, "--gpus", "8", "--timeout", "-5"],
    [*EMU, "--gpus", "8", "--hosts", "h1,h2", "--gpus-per-node", "8"],     # both forms
    [*EMU, "--hosts", "h1", "--gpus-per-node", "8"],                       # one host
    [*EMU, "--hosts", "h1,,h2", "--gpus-per-node", "8"],
    [*EMU, "--hosts", "h1,h2"],                                            # no --gpus-per-node
    [*EMU, "--gpus", "8", "--gpus-per-node", "8"],
    [*EMU, "--gpus", "8", "--launcher", "srun"],                           # launcher without hosts
    [*EMU, "--hosts", "h1,h2", "--gpus-per-node", "8", "--launcher", "pbs"],
    [*EMU, "--gpus", "8", "--binary-root", "/opt/nccl-tests/build"],
    [*EMU, "--gpus", "8", "--collectives", "alltoall"],                    # the emulator has no alltoall
    [*EMU, "--gpus", "8", "--collectives", "all_reduce,,broadcast"],
    [*EMU, "--gpus", "8", "--collectives", "all_reduce,all_reduce_perf"],
    [*EMU, "--gpus", "8", "--json", "/nonexistent-dir/report.json"],
    ["topo"],
    ["topo", "/nonexistent-dir/topo.xml"],
    ["thresholds", "--gpu-type", "NO_SUCH_GPU"],
], ids=lambda a: " ".join(a) or "(nothing)")
def test_bad_usage_exits_64_before_running_anything(args):
    r = quorvane(*args)
    assert r.returncode == 64, r.stdout + r.stderr
    assert r.stdout == ""
    assert r.stderr.strip() and "Traceback" not in r.stderr
    assert "running" not in r.stderr  # no benchmark was started


# ---- the override variable --------------------------------------------------------

MALFORMED = [
    "{oops",
    "[1, 2]",
    "42",
    '{"H100_SXM:intra": 300}',
    '{"H100_SXM:intra": {"pass_min_gbps": 300}}',
    '{"H100_SXM:intra": {"pass_min_gbps": "fast", "warn_min_gbps": 200}}',
    '{"H100_SXM:intra": {"pass_min_gbps": null, "warn_min_gbps": 200}}',
    '{"H100_SXM": {"pass_min_gbps": 300, "warn_min_gbps": 200}}',
]


@pytest.mark.parametrize("command", [["thresholds"], [*EMU, "--gpus", "8"]], ids=["thresholds", "sweep"])
@pytest.mark.parametrize("value", MALFORMED)
def test_malformed_override_variable_is_one_line_and_64(command, value):
    r = quorvane(*command, env=clean_env(QUORVANE_NCCL_THRESHOLD_OVERRIDES=value))
    assert r.returncode == 64
    assert r.stdout == ""
    line = one_line(r.stderr)
    assert line.startswith("quorvane: error: QUORVANE_NCCL_THRESHOLD_OVERRIDES")


def test_blank_override_variable_means_none():
    r = quorvane("thresholds", env=clean_env(QUORVANE_NCCL_THRESHOLD_OVERRIDES="  \n "))
    assert r.returncode == 0, r.stderr
    assert "*" not in r.stdout and "not set" in r.stdout


# ---- sweep ------------------------------------------------------------------------

@pytest.mark.parametrize("gpu_type,settings,overrides,status,exit_code", [
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "320"}, None, "pass", 0),       # exactly on the pass cutoff
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "319.99"}, None, "warn", 1),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "250"}, None, "warn", 1),       # exactly on the warn cutoff
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "249.99"}, None, "fail", 2),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "900", "NCCL_STANDIN_MODE": "wrong"}, None, "fail", 2),
    ("L40S", {}, None, "unknown", 3),                                        # no cutoffs for this GPU type
    ("H100_SXM", {"NCCL_STANDIN_MODE": "fail"}, None, "error", 4),           # nothing measured
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "350"},
     {"H100_SXM:intra": {"pass_min_gbps": 400, "warn_min_gbps": 300}}, "warn", 1),
    ("L40S", {"NCCL_STANDIN_BUSBW_GBPS": "150"},
     {"L40S:intra": {"pass_min_gbps": "120", "warn_min_gbps": 80}}, "pass", 0),
], ids=["pass-on-cutoff", "warn-just-below", "warn-on-cutoff", "fail-just-below", "fail-wrong-results",
        "unknown-gpu", "error", "override-warn", "override-new-gpu"])
def test_sweep_exit_status_follows_the_verdict(gpu_type, settings, overrides, status, exit_code):
    env = clean_env(NCCL_STANDIN_LATENCY_US="0", **settings)  # latency 0: busbw equals the set peak
    if overrides is not None:
        env["QUORVANE_NCCL_THRESHOLD_OVERRIDES"] = json.dumps(overrides)
    r = quorvane("sweep", "--emulate", "--gpus", "8", "--gpu-type", gpu_type,
                 "--collectives", "all_reduce", "--json", "-", env=env)
    assert r.returncode == exit_code, r.stderr
    report = json.loads(r.stdout)  # --json - leaves stdout to the report alone
    assert report["status"] == status
    assert report["interconnect"] == "emulated"
    assert re.search(rf"^verdict\s+{status.upper()} \(emulated", r.stderr, re.M), r.stderr
    if overrides is not None:
        (key, cutoffs), = overrides.items()
        assert report["threshold"] == {k: float(v) for k, v in cutoffs.items()}
        assert re.search(r"^threshold .*\boverride\)", r.stderr, re.M)
    if status == "error":
        assert "threshold" not in report and report["results"] == []
        assert report["error"].startswith("all_reduce_perf exited 1: ")
    else:
        assert [row["size_bytes"] for row in report["results"]] == SWEEP_SIZES
        peak = float(settings.get("NCCL_STANDIN_BUSBW_GBPS", 370))
        assert max(row["busbw_gbps"] for row in report["results"]) == pytest.approx(peak, abs=0.01)


def rebuilt(data):
    """A report made afresh from the fields of a report dict."""
    fields = {k: v for k, v in data.items() if k not in ("results", "threshold")}
    return cs.NcclReport(**fields, results=[cs.NcclResult(**row) for row in data["results"]],
                         threshold=cs.Threshold(**data["threshold"]) if "threshold" in data else None)


def test_full_emulated_sweep(tmp_path):
    target = tmp_path / "report.json"
    r = quorvane(*EMU, "--gpus", "8", "--json", str(target))
    assert r.returncode == 0, r.stderr
    text = target.read_text()
    data = json.loads(text)
    # the file holds the report dict exactly: same keys, same order, same values
    assert json.dumps(rebuilt(data).to_dict(), indent=2) + "\n" == text
    assert list(data) == ["schema_version", "gpu_type", "scope", "num_nodes", "gpus_per_node",
                          "interconnect", "results", "status", "threshold"]
    assert (data["gpu_type"], data["scope"], data["num_nodes"], data["gpus_per_node"]) == ("H100_SXM", "intra", 1, 8)
    assert data["interconnect"] == "emulated" and data["status"] == "pass"
    labels = ["all_reduce", "all_gather", "reduce_scatter", "broadcast"]
    assert [(row["collective"], row["size_bytes"]) for row in data["results"]] == \
        [(label, size) for label in labels for size in SWEEP_SIZES]

    out = r.stdout
    assert "EMULATED" in out and "emulated, not a measurement" in out
    positions = [out.index(f"\n{label}  (4 rows)") for label in labels]
    assert positions == sorted(positions)
    for row in data["results"]:
        assert re.search(rf"^\s+{re.escape(cli.human_size(row['size_bytes']))}\s+{row['busbw_gbps']:,.2f}\s+"
                         rf"{row['algbw_gbps']:,.2f}\s+{row['latency_us']:,.1f}\s+0\s+\S+$", out, re.M), row
    headline = max(row["busbw_gbps"] for row in data["results"] if row["collective"] == "all_reduce")
    assert re.search(rf"^headline\s+{headline:,.2f} GB/s", out, re.M)
    assert re.search(r"^threshold\s+pass >= 320 GB/s, warn >= 250 GB/s\s+\(H100_SXM, intra, built-in\)", out, re.M)
    assert re.search(r"^verdict\s+PASS", out, re.M)
    assert f"report written to {target}" in out

    # progress, in order, on stderr
    progress = [line for line in r.stderr.splitlines() if line.startswith("[")]
    expected = [f"[{i}/4] {label}: {state}" for i, label in enumerate(labels, 1)
                for state in ("running (time-out 240s)", "ok, 4 rows in ")]
    assert len(progress) == len(expected) and all(p.startswith(e) for p, e in zip(progress, expected)), progress


def test_failed_collective_is_reported_and_the_rest_graded():
    env = clean_env(NCCL_STANDIN_MODE_all_gather="fail", NCCL_STANDIN_MESSAGE="link down on port 3")
    r = quorvane(*EMU, "--gpus", "8", "--collectives", "all_reduce,all_gather,broadcast",
                 "--timeout", "20", "--json", "-", env=env)
    assert r.returncode == 0, r.stderr
    report = json.loads(r.stdout)
    assert report["error"] == "all_gather_perf exited 1: link down on port 3\n"
    assert [row["collective"] for row in report["results"]] == ["all_reduce"] * 4 + ["broadcast"] * 4
    assert "[2/3] all_gather: failed (exit 1): link down on port 3" in r.stderr
    assert "[3/3] broadcast: running (time-out 20s)" in r.stderr
    assert re.search(r"^all_gather  \(0 rows\)\n  no rows", r.stderr, re.M)
    assert re.search(r"^error\s+all_gather_perf exited 1: link down on port 3$", r.stderr, re.M)


def test_time_out_is_reported():
    env = clean_env(NCCL_STANDIN_MODE="sleep", NCCL_STANDIN_SLEEP="5")
    r = quorvane(*EMU, "--gpus", "8", "--collectives", "all_reduce", "--timeout", "1", "--json", "-", env=env)
    assert r.returncode == 4, r.stderr
    assert json.loads(r.stdout)["error"] == "all_reduce_perf exited 124: timeout after 1s"
    assert "[1/1] all_reduce: failed (timed out)" in r.stderr


def test_real_binaries_are_looked_up_under_binary_root(tmp_path):
    fixed = ("/opt/nccl-tests/build", "/workspace/nccl-tests/build", "/usr/local/bin")
    if any(Path(d, "all_reduce_perf").exists() for d in fixed):
        pytest.skip("this machine has an all_reduce_perf in a fixed search folder")
    # no nccl-tests here: the sweep records what is missing and grades "error"
    r = quorvane("sweep", "--gpus", "2", "--gpu-type", "H100_SXM", "--binary-root", str(tmp_path),
                 "--collectives", "all_reduce", "--json", "-", env=clean_env(PATH=str(tmp_path)))
    assert r.returncode == 4, r.stderr
    report = json.loads(r.stdout)
    assert (report["interconnect"], report["status"]) == ("", "error")
    assert report["error"] == "nccl-tests binary not found: all_reduce_perf"
    assert "emulated" not in r.stderr.lower()


@pytest.mark.parametrize("mode", ["ok", "fail"])
def test_emulator_directory_is_removed(tmp_path, mode):
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    r = quorvane(*EMU, "--gpus", "2", "--collectives", "all_reduce",
                 env=clean_env(TMPDIR=str(scratch), NCCL_STANDIN_MODE=mode))
    assert r.returncode == (0 if mode == "ok" else 4), r.stderr
    assert list(scratch.iterdir()) == []


def test_emulated_binaries_run_the_emulator_with_this_interpreter():
    with cli.emulated_binaries(environ={"NCCL_STANDIN_BUSBW_GBPS": "123", "NCCL_STANDIN_LATENCY_US": "0"}) as root:
        names = sorted(p.name for p in Path(root).iterdir())
        assert names == sorted(cli.EMULATED_EXECUTABLES)
        assert str(Path(root).resolve()) not in os.environ.get("PATH", "").split(os.pathsep)
        script = (Path(root) / "broadcast_perf").read_text()
        assert f"exec {sys.executable} " in script or f"exec '{sys.executable}' " in script
        r = subprocess.run([str(Path(root) / "broadcast_perf"), "-b", "1024", "-e", "1024", "-f", "2",
                            "-g", "4", "-n", "1", "-w", "1"], capture_output=True, text=True,
                           env=clean_env(), timeout=20)
        assert r.returncode == 0, r.stderr
        rows = cs.parse_nccl_table(r.stdout, "broadcast")
        assert [(row.size_bytes, row.busbw_gbps) for row in rows] == [(1024, 123.0)]
        # the root column is printed only by broadcast: the script picked the collective
        assert re.search(r"^\s+1024\s+256\s+float\s+none\s+0\s", r.stdout, re.M)
    assert not Path(root).exists()


def test_emulator_ships_in_the_package_and_the_test_copy_is_a_link():
    assert cli.EMULATOR_FILE.is_file()
    link = REPO / "tests" / "bin" / "nccl_standin.py"
    assert link.is_symlink()
    assert link.resolve() == (REPO / "python" / "quorvane" / "_standin.py").resolve()


def test_multi_host_sweep_without_the_launcher_program(tmp_path):
    # PATH without srun: each collective fails with 127 and nothing is measured
    r = quorvane(*EMU, "--hosts", "h1,h2", "--gpus-per-node", "4", "--launcher", "srun",
                 "--collectives", "all_reduce,broadcast", "--json", "-", env=clean_env(PATH=str(tmp_path)))
    assert r.returncode == 4, r.stderr
    report = json.loads(r.stdout)
    assert (report["scope"], report["num_nodes"], report["gpus_per_node"]) == ("multi", 2, 4)
    assert report["status"] == "error" and report["interconnect"] == "emulated"
    assert report["error"].startswith("broadcast_perf exited 127: ")
    assert "[1/2] all_reduce: running (time-out 480s)" in r.stderr
    assert "[2/2] broadcast: failed (exit 127)" in r.stderr


def launchers_env():
    """The environment of the launchers that `.ci/launchers.sh up` started."""
    if not LAUNCHERS_ENV.is_file() or any(shutil.which(p) is None for p in ("srun", "mpirun", "ssh")):
        reason = f"launchers are not up ({LAUNCHERS_ENV} missing; run .ci/launchers.sh up)"
        if os.environ.get("QUORVANE_REQUIRE_LAUNCHERS"):
            pytest.fail(f"launcher tests required here, but {reason}")
        pytest.skip(reason)
    env = {}
    for line in LAUNCHERS_ENV.read_text().splitlines():
        if line.startswith("export "):
            key, _, value = line[len("export "):].partition("=")
            env[key] = value.strip('"')
    return env


@pytest.mark.parametrize("mode,hosts_key", [("srun", "CI_SLURM_NODES"), ("mpirun", "CI_MPIRUN_LOCAL_HOSTS"),
                                            ("ssh", "CI_SSH_HOSTS")])
def test_emulated_sweep_through_each_launcher(tmp_path, mode, hosts_key):
    launchers = launchers_env()
    hosts = launchers[hosts_key].split()
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    # Ranks started over ssh inherit nothing from here: the emulator's settings
    # must travel inside the emulated executables.
    env = clean_env(**launchers, TMPDIR=str(scratch), NCCL_STANDIN_LATENCY_US="0", NCCL_STANDIN_BUSBW_GBPS="100")
    r = quorvane(*EMU, "--hosts", ",".join(hosts), "--gpus-per-node", "2", "--launcher", mode,
                 "--collectives", "all_reduce,broadcast", "--timeout", "60", "--json", "-", env=env, timeout=180)
    assert r.returncode == 1, r.stderr  # 100 GB/s lies between the multi-host cutoffs 80 and 150
    report = json.loads(r.stdout)
    assert (report["scope"], report["num_nodes"], report["gpus_per_node"]) == ("multi", len(hosts), 2)
    assert (report["status"], report["interconnect"]) == ("warn", "emulated")
    assert report["threshold"] == {"pass_min_gbps": 150.0, "warn_min_gbps": 80.0}
    assert [row["collective"] for row in report["results"]] == ["all_reduce"] * 4 + ["broadcast"] * 4
    assert [row["busbw_gbps"] for row in report["results"]] == [100.0] * 8
    ranks = 2 * len(hosts)  # all_reduce's bus factor 2(n-1)/n shows how many ranks ran
    assert all(row["busbw_gbps"] / row["algbw_gbps"] == pytest.approx(2 * (ranks - 1) / ranks, rel=0.02)
               for row in report["results"][:4])
    assert list(scratch.iterdir()) == []


# ---- topo -------------------------------------------------------------------------

TOPO = """\
<?xml version="1.0"?>
<system version="1">
  <cpu numaid="0" arch="x86_64">
    <pci busid="0000:10:00.0">
      <pci busid="0000:11:00.0">
        <gpu dev="0" sm="90" rank="0" gdr="1">
          <nvlink target="0000:f3:00.0" count="6"/>
          <nvlink target="0000:f4:00.0" count="6"/>
        </gpu>
      </pci>
      <pci busid="0000:12:00.0">
        <nic><net name="mlx5_0" dev="0" speed="400000" port="1" guid="0x1a2b" gdr="1"/></nic>
      </pci>
    </pci>
  </cpu>
  <cpu numaid="1" arch="x86_64">
    <pci busid="0000:90:00.0">
      <pci busid="0000:91:00.0"><gpu dev="1" sm="90" rank="1" gdr="0"/></pci>
      <pci busid="0000:92:00.0"><nic><net name="eth1" speed="25000" port="2" gdr="0"/></nic></pci>
    </pci>
  </cpu>
</system>
"""


@pytest.fixture
def topo_file(tmp_path):
    path = tmp_path / "topo.xml"
    path.write_text(TOPO)
    return path


def test_topo_tables(topo_file):
    r = quorvane("topo", str(topo_file))
    assert r.returncode == 0, r.stderr
    out = r.stdout
    assert "2 GPUs, 2 NICs, 2 NUMA domains" in out
    # dev rank sm busid numa nvlinks peers gdr near-NICs
    assert re.search(r"^\s+0\s+0\s+90\s+0000:11:00\.0\s+0\s+12\s+2\s+yes\s+mlx5_0$", out, re.M), out
    assert re.search(r"^\s+1\s+1\s+90\s+0000:91:00\.0\s+1\s+0\s+0\s+no\s+eth1$", out, re.M), out
    # name speed port numa busid gdr guid
    assert re.search(r"^\s+mlx5_0\s+400 Gb/s\s+1\s+0\s+0000:12:00\.0\s+yes\s+0x1a2b$", out, re.M), out
    assert re.search(r"^\s+eth1\s+25 Gb/s\s+2\s+1\s+0000:92:00\.0\s+no\s+-$", out, re.M), out
    assert re.search(r"^\s+GPU\s+0 (->|\u2192) mlx5_0$", out, re.M)
    assert re.search(r"^\s+GPU\s+1 (->|\u2192) eth1$", out, re.M)


@pytest.mark.parametrize("source", ["file", "stdin"])
def test_topo_json_is_the_inventory(topo_file, source):
    if source == "file":
        r = quorvane("topo", str(topo_file), "--json", "-")
    else:
        r = quorvane("topo", "-", "--json", "-", stdin=topo_file.open())
    assert r.returncode == 0, r.stderr
    assert json.loads(r.stdout) == cs.parse_nccl_topo_xml(TOPO)
    assert json.loads(r.stdout)["gpu_nic_affinity"] == {"0": ["mlx5_0"], "1": ["eth1"]}
    assert "GPU -> NIC affinity" in r.stderr  # the tables moved to stderr


@pytest.mark.parametrize("text", ["", "not xml at all", "<graphs><gpu dev='0'/></graphs>", "<system><gpu"])
def test_topo_without_a_topology_is_an_error(tmp_path, text):
    path = tmp_path / "dump.xml"
    path.write_text(text)
    r = quorvane("topo", str(path))
    assert r.returncode == 4
    assert r.stdout == ""
    assert one_line(r.stderr).startswith(f"quorvane: error: {path}: no NCCL topology found")


@pytest.mark.skipif(not CORPUS_TOPO.is_dir(), reason="shared corpus not present")
@pytest.mark.parametrize("name,gpus,nics", [("ibmcloud_h100_gx3d_topo.xml", 8, 8),
                                             ("azhpc_ndv4-topo.xml", 0, 0)])
def test_topo_of_real_dumps(name, gpus, nics):
    path = CORPUS_TOPO / name
    if not path.is_file():
        pytest.skip(f"{name} not in the corpus")
    r = quorvane("topo", str(path), "--json", "-")
    assert r.returncode == 0, r.stderr
    inventory = json.loads(r.stdout)
    assert inventory == cs.parse_nccl_topo_xml(path.read_text())
    assert (len(inventory["gpus"]), len(inventory["nics"])) == (gpus, nics)
    assert f"{gpus} GPU" in r.stderr and f"{nics} NIC" in r.stderr
    assert len(re.findall(r"^\s+GPU\s+\d+ (?:->|\u2192) ", r.stderr, re.M)) == len(inventory["gpu_nic_affinity"])


# ---- thresholds -------------------------------------------------------------------

def test_thresholds_lists_the_built_in_tables():
    r = quorvane("thresholds", "--json", "-")
    assert r.returncode == 0, r.stderr
    data = json.loads(r.stdout)
    for scope, table in (("intra", cs._INTRA_NODE_THRESHOLDS), ("multi", cs._MULTI_NODE_THRESHOLDS)):
        for gpu, cutoffs in table.items():
            assert data[f"{gpu}:{scope}"] == {**cutoffs, "source": "built-in"}
    # a GPU type with only a single-host entry has no multi-host cutoff
    assert data["H100_PCIE:multi"] == {"pass_min_gbps": None, "warn_min_gbps": None, "source": None}
    assert re.search(r"^\s+H100_SXM\s+intra\s+320\s+250\s+built-in$", r.stderr, re.M)
    assert "*" not in r.stderr


def test_thresholds_marks_overrides():
    overrides = {"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200, "note": "lab"},
                 "L40S:intra": {"pass_min_gbps": "120", "warn_min_gbps": 80},
                 "B200:lab": {"pass_min_gbps": 1, "warn_min_gbps": 0}}
    env = clean_env(QUORVANE_NCCL_THRESHOLD_OVERRIDES=json.dumps(overrides))
    r = quorvane("thresholds", env=env)
    assert r.returncode == 0, r.stderr
    marked = {tuple(line.split()[:4]) for line in r.stdout.splitlines() if "* override" in line}
    assert marked == {("H100_SXM", "intra", "300", "200"), ("L40S", "intra", "120", "80"),
                      ("B200", "lab", "1", "0")}
    assert re.search(r"^\s+H100_SXM\s+intra\s+300\s+200\s+\* override \(built-in 320 / 250\)$", r.stdout, re.M)
    assert re.search(r"^\s+H100_SXM\s+multi\s+150\s+80\s+built-in$", r.stdout, re.M)
    assert "* from QUORVANE_NCCL_THRESHOLD_OVERRIDES" in r.stdout
    only = quorvane("thresholds", "--gpu-type", "L40S", env=env)
    rows = [line.split()[:2] for line in only.stdout.splitlines() if line.startswith("  L40S")]
    assert rows == [["L40S", "intra"], ["L40S", "multi"]]


# ---- colour -----------------------------------------------------------------------

COLOUR_CASES = [["thresholds"], [*EMU, "--gpus", "8", "--collectives", "all_reduce"]]


@pytest.mark.parametrize("args", COLOUR_CASES, ids=["thresholds", "sweep"])
def test_no_colour_codes_when_not_a_tty(args):
    r = quorvane(*args, env=clean_env(TERM="xterm-256color"))
    assert r.returncode == 0, r.stderr
    assert "\x1b" not in r.stdout + r.stderr


@pytest.mark.parametrize("args", COLOUR_CASES, ids=["thresholds", "sweep"])
@pytest.mark.parametrize("no_color", [None, "1"])
def test_colour_on_a_terminal_unless_no_color(args, no_color):
    env = clean_env(TERM="xterm-256color")
    if no_color:
        env["NO_COLOR"] = no_color
    code, screen = run_on_tty(*args, env=env)
    assert code == 0, screen
    assert bool(SGR.search(screen)) == (no_color is None), screen
