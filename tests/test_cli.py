"""The quorvane command line as a user runs it: `python -m quorvane ...` in a child
process, with the built-in emulator standing in for nccl-tests."""
import json
import os
import re
import shutil
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import conftest
from conftest import need_corpus

import quorvane.collsweep as cs
from terminal import run_on_terminal

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
    return run_on_terminal(args, clean_env(**env))


def one_error_line(r, code, start):
    assert (r.returncode, r.stdout) == (code, ""), r.stderr
    assert re.fullmatch(rf"quorvane: error: {re.escape(start)}[^\n]*\n", r.stderr), r.stderr


def test_help_documents_every_exit_status():
    assert [ep.value for ep in metadata.entry_points(group="console_scripts", name="quorvane")] == \
        ["quorvane.cli:run"]
    for args in (["--help"], ["sweep", "--help"], ["grade", "--help"]):
        r = quorvane(*args)
        assert r.returncode == 0, r.stderr
        for code, word in ((0, "pass"), (1, "warn"), (2, "fail"), (3, "unknown"), (4, "error"), (64, "usage"),
                           (70, "internal"), (74, "write")):
            assert re.search(rf"^\s+{code}\s+{word}\b", r.stdout, re.M), (args, code, word)


def override(key="H100_SXM:intra", pass_min="300", warn_min="200"):
    return f'{{"{key}": {{"pass_min_gbps": {pass_min}, "warn_min_gbps": {warn_min}}}}}'


@pytest.mark.parametrize("args,overrides,message", [
    ([], None, "the following arguments are required"),
    ([*EMU, "--gpus", "eight"], None, "argument --gpus: not a whole number"),
    ([*EMU, "--gpus", "1"], None, "--gpus 1: one rank measures nothing"),
    ([*EMU, "--gpus", "8", "--hosts", "h1,h2", "--gpus-per-node", "8"], None, "with --hosts"),
    ([*EMU, "--hosts", "h1", "--gpus-per-node", "8"], None, "argument --hosts: needs at least two"),
    ([*EMU, "--hosts", "h1,h1", "--gpus-per-node", "8"], None, "argument --hosts: host 'h1' is listed twice"),
    ([*EMU, "--hosts=h1,-oProxyCommand=x", "--gpus-per-node", "8"], None, "argument --hosts: host name '-o"),
    ([*EMU, "--hosts", "h1,h\x1b[2", "--gpus-per-node", "8"], None, r"argument --hosts: host name 'h\x1b[2'"),
    ([*EMU, "--gpus", "8", "--timeout", "99999999999"], None, "argument --timeout: must be between 1 and 604800"),
    ([*EMU, "--gpus", "8", "--collectives", "alltoall"], None, "--emulate knows only"),
    ([*EMU, "--gpus", "8", "--json", "/nonexistent-dir/record.json"], None, "--json /nonexistent-dir/record.json"),
    (["sweep", "--emulate", "--gpus", "8", "--gpu-type", "h100_sxm"], None, "unknown GPU type 'h100_sxm'; did you mean 'H100_SXM'?"),
    (["grade", "/nonexistent-dir/out.txt", "--gpu-type", "H100_SXM"], None, "cannot read /nonexistent-dir/out.txt"),
    (["topo", "/dev/zero"], None, "/dev/zero: larger than 64 MiB"),
    (["thresholds", "--gpu-type", "NO_SUCH_GPU"], None, "no cutoffs for GPU type 'NO_SUCH_GPU'"),
    (["thresholds"], "{oops", f"{OVERRIDES} is not valid JSON"),
    (["thresholds"], "[1, 2]", f"{OVERRIDES} must be a JSON object"),
    (["thresholds"], "[" * 5000 + "]" * 5000, f"{OVERRIDES} is nested too deeply"),
    (["thresholds"], override(key="H100_SXM"), f"{OVERRIDES}: key 'H100_SXM' is not GPU_TYPE:intra"),
    (["thresholds"], override(key="H100_SXM:intar"), f"{OVERRIDES}: key 'H100_SXM:intar'"),
    (["thresholds"], override(pass_min='"fast"'), f"{OVERRIDES}: 'H100_SXM:intra' \"pass_min_gbps\" must be a JSON number"),
    (["thresholds"], override(pass_min="true"), f"{OVERRIDES}: 'H100_SXM:intra' \"pass_min_gbps\" must be a JSON number"),
    (["thresholds"], override(pass_min="NaN"), f"{OVERRIDES}: NaN is not a finite number"),
    (["thresholds"], override(warn_min="-Infinity"), f"{OVERRIDES}: -Infinity is not a finite number"),
    (["thresholds"], override(pass_min="1e400"), f"{OVERRIDES}: 'H100_SXM:intra' \"pass_min_gbps\" is not a finite"),
    (["thresholds"], override(pass_min="100"), f"{OVERRIDES}: 'H100_SXM:intra' \"pass_min_gbps\" 100 is below"),
    (["thresholds"], override(pass_min="0", warn_min="-1"), f"{OVERRIDES}: 'H100_SXM:intra' \"warn_min_gbps\" is below 0"),
], ids=lambda a: " ".join(a) if isinstance(a, list) else (a or "")[:24])
def test_bad_usage_is_one_line_and_64_before_anything_runs(args, overrides, message):
    r = quorvane(*args, **({OVERRIDES: overrides} if overrides else {}))
    assert (r.returncode, r.stdout) == (64, ""), r.stderr
    assert len(r.stderr.splitlines()) == 1 and message in r.stderr, r.stderr


@pytest.mark.parametrize("gpu_type,settings,status,code", [
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "320"}, "pass", 0),           # exactly on the pass cutoff
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "319.99"}, "warn", 1),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "249.99"}, "fail", 2),
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "900", "NCCL_STANDIN_MODE": "wrong"}, "fail", 2),
    ("L40S", {}, "unknown", 3),                                            # no cutoffs for this GPU type
    ("H100_SXM", {"NCCL_STANDIN_MODE": "fail"}, "error", 4),               # nothing measured
    ("H100_SXM", {"NCCL_STANDIN_BUSBW_GBPS": "350", OVERRIDES: override(pass_min="400", warn_min="300")}, "warn", 1),
], ids=["pass-on-cutoff", "warn", "fail", "fail-wrong-results", "unknown", "error", "override"])
def test_sweep_exit_status_follows_the_verdict(tmp_path, gpu_type, settings, status, code):
    r = quorvane("sweep", "--emulate", "--gpus", "8", "--gpu-type", gpu_type, "--collectives", "all_reduce",
                 "--plan", "library", "--json", "-", TMPDIR=str(tmp_path), NCCL_STANDIN_LATENCY_US="0", **settings)
    assert r.returncode == code, r.stderr
    record = json.loads(r.stdout)  # --json - leaves stdout to the record alone
    assert (record["verdict"], record["library_status"], record["emulated"]) == (status, status, True)
    assert record["report"]["interconnect"] == "emulated"
    assert re.search(rf"^verdict\s+{status.upper()} \(emulated", r.stderr, re.M), r.stderr
    assert list(tmp_path.iterdir()) == []  # the emulator's folder is gone
    assert len(record["collectives"][0]["rows"]) == (0 if status == "error" else 4)
    if OVERRIDES in settings:
        assert record["threshold"] == {"pass_min_gbps": 400.0, "warn_min_gbps": 300.0, "source": "override"}


def test_full_emulated_sweep_with_a_failed_and_a_timed_out_collective(tmp_path):
    target, scratch, logs = tmp_path / "record.json", tmp_path / "tmp", tmp_path / "logs"
    scratch.mkdir()
    r = quorvane(*EMU, "--gpus", "8", "--timeout", "2", "--plan", "library", "--json", str(target),
                 "--keep-logs", str(logs),
                 TMPDIR=str(scratch), NCCL_STANDIN_MODE_all_gather="fail", NCCL_STANDIN_MESSAGE="link down on port 3",
                 NCCL_STANDIN_MODE_broadcast="sleep", NCCL_STANDIN_SLEEP="30")
    assert r.returncode == 4, r.stderr  # all_reduce passes, but two collectives gave no table
    assert list(scratch.iterdir()) == []
    data = json.loads(target.read_text())
    assert (data["verdict"], data["library_status"]) == ("error", "pass")
    assert data["verdict_note"] == "the library graded PASS: all_gather: all_gather_perf exited 1"
    assert data["report"]["error"] == "broadcast_perf exited 124: timeout after 2s"
    entries = {e["collective"]: e for e in data["collectives"]}
    assert list(entries) == ["all_reduce", "all_gather", "reduce_scatter", "broadcast"]
    assert [(e["exit_status"], e["complete"], len(e["rows"])) for e in entries.values()] == \
        [(0, True, 4), (1, False, 0), (0, True, 4), (124, False, 0)]
    assert entries["all_gather"]["findings"][0]["evidence"] == "link down on port 3"
    assert (logs / "all_gather.stderr").read_text() == "link down on port 3\n"
    assert entries["all_gather"]["logs"] == {"stdout": str(logs / "all_gather.stdout"),
                                             "stderr": str(logs / "all_gather.stderr")}
    headline = data["headline"]
    assert headline == {"busbw_gbps": max(row["busbw_gbps"] for row in entries["all_reduce"]["rows"]),
                        "size_bytes": headline["size_bytes"]}
    assert (data["typical"]["size_bytes"], data["typical"]["gpus"]) == (headline["size_bytes"], 8)

    out = r.stdout
    assert "EMULATED" in out and f"record written to {target}" in r.stderr
    assert (at := [out.index(f"\n{label}  ") for label in entries]) == sorted(at)
    for row in entries["all_reduce"]["rows"]:
        assert re.search(rf"^\s*{SIZES[row['size_bytes']]}\s+{row['busbw_gbps']:,.2f}\s+{row['algbw_gbps']:,.2f}"
                         rf"\s+{row['time_us']:,.1f}\s+0\s+0\s+\S+$", out, re.M), row
    for line in (rf"headline\s+{headline['busbw_gbps']:,.2f} GB/s at 32 MiB .*emulated\)",
                 r"threshold\s+pass >= 320 GB/s, warn >= 250 GB/s\s+\(H100_SXM, intra, built-in\)",
                 r"typical\s+healthy 8x H100_SXM at 32 MiB: 276-321 GB/s",
                 r"verdict\s+ERROR \(emulated, not a measurement\)"):
        assert re.search(rf"^{line}$", out, re.M), line
    progress = [line for line in r.stderr.splitlines() if line.startswith("[")]
    expected = [f"[{i}/4] {label}: {state}" for i, (label, outcome) in enumerate(
        [("all_reduce", "ok, 4 rows in "), ("all_gather", "failed (exit 1): link down on port 3 in "),
         ("reduce_scatter", "ok, 4 rows in "), ("broadcast", "failed (timed out)")], 1)
        for state in ("running (time-out 2s)", outcome)]
    assert len(progress) == len(expected) and all(map(str.startswith, progress, expected)), progress


FIXED_SEARCH = ("/opt/nccl-tests/build", "/workspace/nccl-tests/build", "/usr/local/bin")  # searched too


@pytest.mark.parametrize("args", [["--gpus", "2"], ["--hosts", "h1,h2", "--gpus-per-node", "4"]])
def test_sweep_without_nccl_tests_says_so_in_one_line(tmp_path, args):
    if any(Path(d, "all_reduce_perf").exists() for d in FIXED_SEARCH):
        pytest.skip("this machine has an all_reduce_perf in a fixed search folder")
    r = quorvane("sweep", *args, "--gpu-type", "H100_SXM", "--binary-root", str(tmp_path), "--json", "-",
                 PATH=str(tmp_path))
    assert (r.returncode, r.stdout) == (4, "")
    assert re.fullmatch(r"quorvane: error: nccl-tests not found: no all_reduce_perf, all_gather_perf, "
                        r"reduce_scatter_perf, broadcast_perf under \S+, the usual folders or the PATH .*\n",
                        r.stderr), r.stderr


def test_sweep_whose_launcher_cannot_run_is_an_error(tmp_path):
    r = quorvane(*EMU, "--hosts", "h1,h2", "--gpus-per-node", "4", "--launcher", "srun",   # no srun on PATH
                 "--collectives", "all_reduce", "--json", "-", PATH=str(tmp_path))
    assert r.returncode == 4, r.stderr
    record = json.loads(r.stdout)
    expected = {"scope": "multi", "num_nodes": 2, "gpus_per_node": 4, "emulated": True}
    assert {k: record[k] for k in expected} == expected and record["verdict"] == "error"
    assert record["report"]["error"].startswith("all_reduce_perf exited 127")


CORPUS = conftest.CORPUS / "nccl-tests"
LAB_CUTOFFS = '{"V100:intra": {"pass_min_gbps": 100, "warn_min_gbps": 50}, "T4:multi": {"pass_min_gbps": 5, ' \
              '"warn_min_gbps": 2}}'


def j_file(wrong):
    """An nccl-tests -J file of all_reduce (its environment holds a secret)."""
    rows = [{"size": s, "count": s // 4, "type": "float", "redop": "sum", "root": "    -1",
             "out_of_place": {"time": 100.0, "alg_bw": 200.0, "bus_bw": 350.0, "nwrong": float(wrong)},
             "in_place": {"time": 101.0, "alg_bw": 199.0, "bus_bw": 348.25, "nwrong": 0.0}} for s in SIZES]
    return json.dumps({"version": 3, "args": ["/opt/build/all_reduce_perf"], "env": ["TOKEN=hunter2"],
                       "config": {"nthreads": 1, "ngpus": 8, "minimum_bytes": 8192, "maximum_bytes": 33554432,
                                  "step_factor": 16, "validation": 1},
                       "results": rows, "out_of_bounds": {"count": 0, "okay": "true"}})


@pytest.mark.parametrize("files,options,code,scope,hosts,size", [
    (["superbench_a100_allreduce_v2x_na.txt"], ["--gpu-type", "A100_SXM"], 0, "intra", 1, 8589934592),  # N/A
    (["dgx2_v100_12gpu_allreduce_v2x_err_exp.txt"], ["--gpu-type", "V100"], 0, "intra", 1, 8589934592),
    (["dgx2_v100_12gpu_allreduce_v2x_err_exp.txt", "dgx2_v100_12gpu_allgather_v2x_1e00_failed.txt"],  # FAILED
     ["--gpu-type", "V100"], 2, "intra", 1, 8589934592),
    (["gcp_a3mega_h100_2node_allreduce_modern.txt"], ["--gpu-type", "H100_SXM"], 0, "multi", 2, 8589934592),
    (["aws_eks_efa_g4dn_t4_2node_tagoutput.txt"], ["--gpu-type", "T4", "--collective", "all_reduce"], 1,
     "multi", 2, 268435456),                                                                            # prefix
    (["rccl_mi355x_2node_allreduce_truncated.txt"], ["--gpu-type", "MI300X", "--scope", "intra"], 4,
     "intra", 2, 8589934592),
    (["-"], ["--gpu-type", "H100_SXM"], 0, "intra", 0, 8192),                                           # -J
    (["-", "wrong.json"], ["--gpu-type", "H100_SXM"], 2, "intra", 0, 8192),
], ids=["n/a", "error-column", "out-of-bounds-failed", "multi", "launcher-prefix", "truncated", "-J", "-J-wrong"])
def test_grade_saved_outputs(tmp_path, files, options, code, scope, hosts, size):
    need_corpus()
    (tmp_path / "wrong.json").write_text(j_file(2))
    paths = [f if f == "-" else str(tmp_path / f) if f == "wrong.json" else str(CORPUS / f) for f in files]
    r = quorvane("grade", *paths, *options, "--json", str(tmp_path / "record.json"), input=j_file(0),
                 **{OVERRIDES: LAB_CUTOFFS})
    assert r.returncode == code, r.stdout + r.stderr
    record = json.loads((tmp_path / "record.json").read_text())
    assert (record["kind"], record["scope"], len(record["hosts"])) == ("grade", scope, hosts)
    assert record["headline"]["size_bytes"] == size and "hunter2" not in json.dumps(record)
    assert record["inputs"] == [p if p != "-" else "standard input" for p in paths]


def grade_record(tmp_path, texts, *options, **env):
    """Exit status and record of `grade` over files holding `texts`."""
    paths = []
    for i, text in enumerate(texts):
        paths.append(str(tmp_path / f"out{i}.txt"))
        Path(paths[-1]).write_text(text)
    r = quorvane("grade", *paths, *options, "--json", str(tmp_path / "record.json"), **env)
    assert r.returncode in (0, 1, 2, 3, 4), r.stdout + r.stderr
    return r.returncode, json.loads((tmp_path / "record.json").read_text())


def test_grade_splits_a_file_of_several_runs(tmp_path):
    need_corpus()
    code, record = grade_record(tmp_path, [(CORPUS / "dgx2_v100_12gpu_5colls_v2x_0e00.txt").read_text()],
                                "--gpu-type", "V100", **{OVERRIDES: LAB_CUTOFFS})
    assert [e["collective"] for e in record["collectives"]] == ["all_gather", "all_reduce", "broadcast", "reduce",
                                                                 "reduce_scatter"]
    assert [len(e["rows"]) for e in record["collectives"]] == [31] * 5
    # The out-of-bounds values of all_gather fail the run; the others' entries are clean.
    assert code == 2 and [e["complete"] for e in record["collectives"]] == [False, True, True, True, True]
    assert (record["gpus_per_node"], record["num_nodes"], record["headline"]["size_bytes"]) == (12, 1, 8589934592)


def test_grade_takes_collective_hosts_and_layout_from_an_output_that_names_neither(tmp_path):
    """Two hosts, no collective named, no GPU type given."""
    need_corpus()
    text = (CORPUS / "gcp_a3mega_h100_2node_allreduce_modern.txt").read_text()
    code, record = grade_record(tmp_path, [text])
    [entry] = record["collectives"]
    assert (entry["collective"], record["scope"], len(record["hosts"]), record["gpus_per_node"]) == \
        ("all_reduce", "multi", 2, 8)
    assert "collective-from-columns" in {f["code"] for f in entry["findings"]}
    # The device names give the type where the table of device names is built in; else the verdict is unknown.
    assert (code, record["verdict"]) in ((0, "pass"), (3, "unknown")) and record["gpu_type"] in ("H100_SXM", "unknown")
    assert (code == 3) == ("gpu-type" in {f["code"] for f in entry["findings"]} and record["gpu_type"] == "unknown")
    code, record = grade_record(tmp_path, [text], "--gpu-type", "H100_SXM", "--gpus-per-node", "4",
                                "--scope", "intra")
    assert (record["scope"], record["gpus_per_node"], record["gpu_type"]) == ("intra", 4, "H100_SXM")


@pytest.mark.parametrize("cut, rows", [
    (lambda lines: [line for line in lines if not line.startswith(("# Out of", "# Avg"))], 31),  # no footer
    (lambda lines: lines[:lines.index(next(x for x in lines if x.lstrip().startswith("67108864")))], 23),
])
def test_grade_unfinished_all_reduce_is_error_whatever_its_partial_rows(tmp_path, cut, rows):
    need_corpus()
    lines = (CORPUS / "gcp_a3mega_h100_2node_allreduce_modern.txt").read_text().splitlines()
    code, record = grade_record(tmp_path, ["\n".join(cut(lines)) + "\n"], "--gpu-type", "H100_SXM")
    # Its partial rows stay in the record, and neither pass (the whole table) nor fail (the first rows) is said.
    assert (code, record["verdict"], len(record["collectives"][0]["rows"])) == (4, "error", rows)


def test_sweep_all_reduce_stopped_before_its_footer_is_error_not_fail(tmp_path):
    # Its first rows, at 100 GB/s, are below the warn cutoff: on them alone the sweep would fail.
    r = quorvane(*EMU, "--gpus", "8", "--collectives", "all_reduce", "--json", str(tmp_path / "r.json"),
                 NCCL_STANDIN_MODE_all_reduce="partial", NCCL_STANDIN_BUSBW_GBPS="100")
    record = json.loads((tmp_path / "r.json").read_text())
    assert (r.returncode, record["verdict"]) == (4, "error") and record["collectives"][0]["rows"]
    assert record["verdict_note"] is None or "all_reduce" in record["verdict_note"]


@pytest.mark.parametrize("edit", [
    lambda t: t.replace('"bus_bw": 350.0', '"bus_bw": 99999.99', 1),                             # not algbw x 1.75
    lambda t: t.replace('"alg_bw": 200.0, "bus_bw": 350.0', f'"alg_bw": {1e300 / 1.75!r}, "bus_bw": 1e+300', 1),  # no link
])
def test_grade_busbw_that_is_no_measurement_is_never_the_headline_of_a_pass(tmp_path, edit):
    clean, edited = j_file(0), edit(j_file(0))
    assert edited != clean
    code, record = grade_record(tmp_path, [edited], "--gpu-type", "H100_SXM")
    assert (code, record["verdict"]) == (4, "error") and record["headline"]["busbw_gbps"] == 350.0
    assert {f["code"] for f in record["findings"]} & {"busbw-mismatch", "busbw-above-links"}
    assert grade_record(tmp_path, [clean], "--gpu-type", "H100_SXM")[0] == 0



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
    r = quorvane(*EMU, "--hosts", ",".join(hosts), "--gpus-per-node", "2", "--launcher", mode, "--plan", "library",
                 "--collectives", "all_reduce,broadcast", "--timeout", "60", "--json", "-", timeout=180,
                 **launchers, TMPDIR=str(tmp_path), NCCL_STANDIN_LATENCY_US="0", NCCL_STANDIN_BUSBW_GBPS="100")
    assert r.returncode == 1, r.stderr  # 100 GB/s lies between the multi-host cutoffs 80 and 150
    record = json.loads(r.stdout)
    assert (record["scope"], record["num_nodes"], record["gpus_per_node"], record["hosts"]) == \
        ("multi", len(hosts), 2, hosts)
    assert (record["verdict"], record["library_status"], record["emulated"]) == ("warn", "warn", True)
    report = record["report"]
    assert [(row["collective"], row["busbw_gbps"]) for row in report["results"]] == \
        [("all_reduce", 100.0)] * 4 + [("broadcast", 100.0)] * 4
    ranks = 2 * len(hosts)  # all_reduce's bus factor 2(n-1)/n shows how many ranks ran
    assert all(row["busbw_gbps"] / row["algbw_gbps"] == pytest.approx(2 * (ranks - 1) / ranks, rel=0.02)
               for row in report["results"][:4])
    assert list(tmp_path.iterdir()) == []


def test_thresholds_show_built_in_and_overridden_cutoffs():
    overrides = {"H100_SXM:intra": {"pass_min_gbps": 300, "warn_min_gbps": 200, "note": "lab"},
                 "L40S:intra": {"pass_min_gbps": 120, "warn_min_gbps": 80},
                 "B200:multi": {"pass_min_gbps": 1, "warn_min_gbps": 0}}
    r = quorvane("thresholds", "--json", "-", **{OVERRIDES: json.dumps(overrides)})
    assert r.returncode == 0, r.stderr
    doc = json.loads(r.stdout)
    assert (doc["record_version"], doc["kind"]) == (1, "thresholds")
    data = doc["cutoffs"]
    for scope, table in (("intra", cs._INTRA_NODE_THRESHOLDS), ("multi", cs._MULTI_NODE_THRESHOLDS)):
        for gpu, cutoffs in table.items():
            if f"{gpu}:{scope}" not in overrides:
                assert data[f"{gpu}:{scope}"] == {**cutoffs, "source": "built-in"}
    assert data["L40S:intra"] == {"pass_min_gbps": 120.0, "warn_min_gbps": 80.0, "source": "override"}
    assert data["H100_PCIE:multi"] == {"pass_min_gbps": None, "warn_min_gbps": None, "source": None}
    marked = {tuple(line.split()[:4]) for line in r.stderr.splitlines() if "* override" in line}
    assert marked == {("H100_SXM", "intra", "300", "200"), ("L40S", "intra", "120", "80"), ("B200", "multi", "1", "0")}
    assert re.search(r"^\s+H100_SXM\s+intra\s+300\s+200\s+\* override \(built-in 320 / 250\)$", r.stderr, re.M)
    assert f"* from {OVERRIDES}" in r.stderr
    r = quorvane("thresholds", "--gpu-type", "H100_SXM", **{OVERRIDES: "  \n "})  # blank: no overrides
    assert [line.split() for line in r.stdout.splitlines() if line.startswith("  H100")] == \
        [["H100_SXM", "intra", "320", "250", "built-in"], ["H100_SXM", "multi", "150", "80", "built-in"]]
    assert "*" not in r.stdout and f"{OVERRIDES} is not set" in r.stdout


@pytest.mark.parametrize("args,styled", [
    (["thresholds"], r"\x1b\[[0-9;]*m"),                                      # any styling
    ([*EMU, "--gpus", "8", "--collectives", "all_reduce"], r"\x1b\[(?:[0-9]*;)*(?:3[0-8]|9[0-7])[;m]"),  # colour
], ids=["thresholds", "sweep"])
@pytest.mark.parametrize("env,coloured", [({}, True), ({"NO_COLOR": "1"}, False), ({"TERM": "dumb"}, False)],
                         ids=["colour", "NO_COLOR", "dumb"])
def test_colour_on_a_terminal_unless_no_color(args, styled, env, coloured):
    code, screen = on_terminal(*args, **env)
    assert code == 0, screen
    assert bool(re.search(styled, screen)) == coloured, screen
