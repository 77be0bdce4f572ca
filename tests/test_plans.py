"""Sweep plans and their command lines (quorvane.plans), the GPU type found
without --gpu-type (quorvane.gpus), and the stand-in's published curves."""
import json
import os
import re
import shlex
import subprocess
import sys

import pytest

import quorvane.analysis as qa
from conftest import STANDIN, corpus_files, corpus_text
from quorvane import gpus, plans
from quorvane.plans import GIB, MIB, PlanError, Target

H100 = "NVIDIA H100 80GB HBM3"


@pytest.mark.parametrize("text,expected", [
    ("8:16G", (8, 16 * GIB, 2)),
    ("1K:128M:16", (1024, 128 * MIB, 16)),
    ("1g:8g", (GIB, 8 * GIB, 2)),
    (" 64 : 1M ", (64, MIB, 2)),
])
def test_sizes_as_nccl_tests_reads_them(text, expected):
    assert plans.parse_sizes(text) == expected


@pytest.mark.parametrize("text,says", [
    ("8", "MIN:MAX"), ("16G:8", "below the smallest"), ("8:16G:1", "factor"), ("0:8", "at least 1 byte"),
    ("8:2T", "not a size"), ("8:2048G", "above 1T"), ("1.5K:8M", "not a size"), ("8:1M:x", "factor"),
])
def test_bad_sizes_are_refused(text, says):
    with pytest.raises(PlanError, match=says):
        plans.parse_sizes(text)


@pytest.mark.parametrize("value,flag", [
    ("-b 8", "-b"), ("-b8", "-b"), ("--minbytes=8", "--minbytes"), ("-d half -g 2", "-g"), ("-t 2", "-t"),
    ("-J out.json", "-J"), ("--iters 5", "--iters"), ("-w 0", "-w"), ("-i 1024", "-i"),
])
def test_a_flag_the_plan_sets_is_refused_by_name(value, flag):
    with pytest.raises(PlanError, match=f"{flag} is set by the plan itself"):
        plans.parse_bench_args(["-c 0", value])


def test_bench_args_are_split_as_a_shell_would_and_kept_in_order():
    assert plans.parse_bench_args(["-d half", "-c 0", "-o 'max'"]) == ["-d", "half", "-c", "0", "-o", "max"]
    with pytest.raises(PlanError, match="No closing quotation"):
        plans.parse_bench_args(["-d 'half"])


@pytest.mark.parametrize("memory,largest", [
    (None, 16 * GIB), (81559 << 20, 16 * GIB), (40 * GIB, 8 * GIB), (24 * GIB, 4 * GIB), (4 * GIB, GIB),
    (192 * GIB, 16 * GIB),
])
def test_the_full_plan_reaches_the_plateau_within_the_gpu_memory(memory, largest):
    plan = plans.make_plan("full", memory_bytes=memory)
    assert (plan.begin, plan.end, plan.factor) == (8, largest, 2)
    assert len(plan.collectives) == 4
    assert (plan.memory_note is None) == (largest == 16 * GIB)
    # --sizes is the operator's word: no memory bound applies to it.
    assert plans.make_plan("full", sizes=(8, 64 * GIB, 2), memory_bytes=memory).end == 64 * GIB


def test_the_quick_plan_is_all_reduce_on_the_plateau():
    plan = plans.make_plan("quick")
    assert plan.collectives == ("all_reduce_perf",)
    assert plan.sizes() == [GIB, 2 * GIB, 4 * GIB, 8 * GIB]


@pytest.mark.parametrize("kwargs", [{"sizes": (8, 16, 2)}, {"iters": 5}, {"warmup": 0}, {"bench_args": ["-c", "0"]},
                                    {"env": [("NCCL_ALGO", "RING")]}])
def test_the_library_plan_takes_no_changes(kwargs):
    with pytest.raises(PlanError, match="--plan library runs the library's fixed sweep"):
        plans.make_plan("library", **kwargs)


HOSTS = tuple(f"gpu{i:02d}" for i in range(1, 17))


@pytest.mark.parametrize("target,prefix", [
    (Target("srun", 8, HOSTS),
     ["srun", "--nodelist=gpu[01-16]", "--nodes=16", "--ntasks=128", "--ntasks-per-node=8", "--kill-on-bad-exit=1",
      "--mpi=pmix", "--export=ALL,NCCL_IB_HCA=mlx5_0"]),
    (Target("mpirun", 8, HOSTS[:2], forward=(("NCCL_SOCKET_IFNAME", "eth0"),)),
     ["mpirun", "-H", "gpu01:8,gpu02:8", "-np", "16", "--allow-run-as-root", "--bind-to", "none",
      "-x", "NCCL_DEBUG=WARN", "-x", "NCCL_SOCKET_IFNAME=eth0", "-x", "NCCL_IB_HCA=mlx5_0"]),
    (Target("ssh", 4, HOSTS[:2], forward=(("NCCL_DEBUG", "INFO"),)),
     ["mpirun", "--mca", "plm_rsh_agent", "ssh", "-H", "gpu01:4,gpu02:4", "-np", "8", "--allow-run-as-root",
      "--bind-to", "none", "-x", "NCCL_DEBUG=INFO", "-x", "NCCL_IB_HCA=mlx5_0"]),
    (Target("local", 8), ["env", "NCCL_IB_HCA=mlx5_0"]),
], ids=["srun", "mpirun", "ssh", "local"])
def test_each_launcher_carries_the_variables_its_own_way(target, prefix):
    plan = plans.make_plan("quick", env=[("NCCL_IB_HCA", "mlx5_0")], bench_args=["-d", "half"], iters=7)
    run = plans.run_for(plan, target, "/opt/nt/all_reduce_perf")
    gpus_per_process = "8" if target.launcher == "local" else "1"
    assert list(run.argv) == prefix + ["/opt/nt/all_reduce_perf", "-b", str(GIB), "-e", str(8 * GIB), "-f", "2",
                                       "-g", gpus_per_process, "-n", "7", "-w", "5", "-d", "half"]
    assert run.collective == "all_reduce"


def test_srun_cannot_carry_a_comma_and_a_shell_line_runs_what_the_runner_runs():
    plan = plans.make_plan("full", env=[("NCCL_IB_HCA", "mlx5_0,mlx5_1")])
    with pytest.raises(PlanError, match="comma"):
        plans.run_for(plan, Target("srun", 8, HOSTS[:2]), "/nt/all_reduce_perf")
    run = plans.Run("all_reduce", ("/my dir/all_reduce_perf", "-b", "8", "-d", "it's"), (("NCCL_X", "a b"),))
    assert shlex.split(run.shell_line()) == ["NCCL_X=a b", "/my dir/all_reduce_perf", "-b", "8", "-d", "it's"]


def test_only_nccl_variables_are_forwarded_and_only_where_the_launcher_does_not():
    environ = {"NCCL_ALGO": "RING", "NCCL_DEBUG": "INFO", "PATH": "/bin", "NCCL_STANDIN_X": "1"}
    assert plans.forwarded_nccl(environ, "srun") == ()
    assert dict(plans.forwarded_nccl(environ, "ssh")) == {"NCCL_ALGO": "RING", "NCCL_DEBUG": "INFO",
                                                          "NCCL_STANDIN_X": "1"}


# ---- the GPU type without --gpu-type -----------------------------------------------

def fake_tool(folder, name, body):
    path = folder / name
    path.write_text(f"#!/bin/sh\n{body}\n")
    path.chmod(0o755)


@pytest.mark.parametrize("nvidia,rocm,expected", [
    ("printf 'NVIDIA H100 80GB HBM3, 81559 MiB\\nNVIDIA H100 80GB HBM3, 81559 MiB\\n'", None,
     ("H100_SXM", "nvidia-smi", H100, 81559 << 20, 2)),
    ("echo 'NVIDIA A100-SXM4-40GB, 40960 MiB'", None, ("A100_SXM", "nvidia-smi", "NVIDIA A100-SXM4-40GB", 40 * GIB, 1)),
    ("echo 'NVIDIA GeForce RTX 5090, 32607 MiB'", None,
     ("unknown", "nvidia-smi", "NVIDIA GeForce RTX 5090", 32607 << 20, 1)),
    ("echo 'NVIDIA-SMI has failed' >&2; exit 9",
     "echo 'WARNING: AMD GPU device(s) is/are in a low-power state'; "
     "echo 'device,Card Series,Card Model,VRAM Total Memory (B),VRAM Total Used Memory (B)'; "
     "echo 'card0,AMD Instinct MI300X OAM,0x74a1,206141652992,1000'",
     ("MI300X", "rocm-smi", "AMD Instinct MI300X OAM", 206141652992, 1)),
    (None, None, None),
], ids=["h100", "a100", "unknown-name", "rocm-after-failed-nvidia", "neither"])
def test_the_local_gpus_from_fake_query_programs(tmp_path, monkeypatch, nvidia, rocm, expected):
    for name, body in (("nvidia-smi", nvidia), ("rocm-smi", rocm)):
        if body is not None:
            fake_tool(tmp_path, name, body)
    monkeypatch.setenv("PATH", str(tmp_path))
    found = gpus.detect_local()
    got = None if found is None else (found.gpu_type, found.how, found.device, found.memory_bytes, found.gpus)
    assert got == expected
    if found is not None and not found.known:
        assert "no GPU type quorvane knows" in found.note()


@pytest.mark.corpus
@pytest.mark.parametrize("name,expected", [
    ("xxrjun_h100_8gpu_5colls_v2_17_8.txt", "H100_SXM"), ("rccl_mi300x_8gpu_allreduce_k8s.txt", "MI300X"),
    ("superbench_a100_allreduce_v2x_na.txt", "A100_SXM"), ("ebpf_rtx5090_2rank_broadcast_v2_18_0_root0.txt", "unknown"),
])
def test_the_gpu_type_from_the_rank_lines_of_real_outputs(name, expected):
    path = next(p for p in corpus_files("nccl-tests") if p is None or p.name == name)
    found = gpus.detect_from_ranks([qa.read_output(corpus_text(path), "")])
    assert (found.gpu_type, found.how) == (expected, "output")


# ---- the stand-in's curves ---------------------------------------------------------

def standin_rows(gpu_type, begin, end, hosts=None):
    env = {**os.environ, "NCCL_STANDIN_COLLECTIVE": "all_reduce", "QUORVANE_EMULATE_GPU_TYPE": gpu_type}
    if hosts:
        env["QUORVANE_EMULATE_HOSTS"] = hosts
    out = subprocess.run([sys.executable, str(STANDIN), "-b", str(begin), "-e", str(end), "-f", "2",
                          "-g", "8", "-n", "20", "-w", "5"], env=env, capture_output=True, text=True,
                         timeout=10, check=True).stdout
    return {row.size_bytes: row.busbw_gbps for row in qa.read_output(out, "all_reduce").rows}


@pytest.mark.corpus
@pytest.mark.parametrize("gpu_type,name,hosts", [
    ("H100_SXM", "xxrjun_h100_8gpu_5colls_v2_17_8.txt", None),
    ("A100_SXM", "superbench_a100_allreduce_v2x_na.txt", None),
    ("MI300X", "rccl_mi300x_8gpu_allreduce_k8s.txt", None),
    ("H100_SXM", "gcp_a3mega_h100_2node_allreduce_modern.txt", "a,b"),
])
def test_the_stand_in_follows_a_published_healthy_run_from_32_mib_up(gpu_type, name, hosts):
    path = next(p for p in corpus_files("nccl-tests") if p is None or p.name == name)
    first = corpus_text(path).split("# Collective test concluded")[0]   # the all_reduce of a five-collective log
    real = {row.size_bytes: row.busbw_gbps
            for row in qa.read_output(first, "all_reduce").rows if row.size_bytes >= 32 * MIB}
    emulated = standin_rows(gpu_type, 32 * MIB, max(real), hosts)
    assert len(real) >= 8
    for size, busbw in real.items():
        assert emulated[size] == pytest.approx(busbw, rel=0.12), size
    assert emulated[32 * MIB] == pytest.approx(real[32 * MIB], abs=0.02)   # the 32 MiB figure itself


@pytest.mark.parametrize("hosts,expected", [
    ([f"gpu{i:04d}" for i in range(1, 1025)], "gpu[0001-1024]"),
    (["gpu1", "gpu2", "gpu3", "gpu10", "gpu11", "login", "n01a", "n02a", "n04a"], None),
    (["a07", "a08", "a09", "a10", "a11", "a100", "10.0.0.1", "10.0.0.3"], None),
    (["b", "a"], "b,a"),
])
def test_the_nodelist_names_exactly_the_hosts_as_slurm_reads_it(hosts, expected):
    from ClusterShell.NodeSet import NodeSet
    text = plans.nodelist(hosts)
    assert sorted(NodeSet(text)) == sorted(hosts) and len(text) < len(",".join(hosts)) or len(hosts) <= 2
    if expected is not None:
        assert text == expected


@pytest.mark.parametrize("mode,missing", [("ok", None), ("fail", None), ("ok", "broadcast_perf")])
def test_the_report_of_a_plan_run_here_is_the_one_the_library_makes(bench_root, monkeypatch, cs, mode, missing):
    from quorvane.runner import CommandRunner
    monkeypatch.setenv("NCCL_STANDIN_MODE_all_gather", mode)
    if missing:
        (bench_root / missing).unlink()
    runner = CommandRunner()
    expected = cs.launch_intra_node(4, "H100_SXM", binary_root=str(bench_root), runner=runner)
    lines = plans.library_lines(Target("local", 4), lambda exe: cs._resolve_binary(exe, str(bench_root)),
                                plans.ALL_COLLECTIVES)
    runs = [(exe, None if isinstance(line, str) else runner.execute(list(line.argv), timeout=30))
            for exe, line in zip(plans.ALL_COLLECTIVES, lines)]
    assert plans.library_report("H100_SXM", "intra", 1, 4, runs).to_dict() == expected.to_dict()


def test_the_stand_in_passes_over_the_nccl_tests_flags_a_plan_may_carry():
    env = {**os.environ, "NCCL_STANDIN_COLLECTIVE": "all_reduce"}
    ok = subprocess.run([sys.executable, str(STANDIN), "-b", "8", "-e", "64", "-f", "2", "-g", "2", "-d", "half",
                         "-c", "0", "-o", "max"], env=env, capture_output=True, text=True, timeout=10)
    assert ok.returncode == 0 and len(qa.read_output(ok.stdout, "all_reduce").rows) == 4, ok.stderr
    bad = subprocess.run([sys.executable, str(STANDIN), "-b", "8", "-x", "1"], env=env, capture_output=True,
                         text=True, timeout=10)
    assert bad.returncode == 2 and "unknown argument '-x'" in bad.stderr


@pytest.mark.parametrize("environ,expected", [
    ({"SLURM_GPUS_PER_NODE": "8"}, 8), ({"SLURM_GPUS_PER_NODE": "h100:4"}, 4), ({"SLURM_GPUS_ON_NODE": "2"}, 2),
    ({"SLURM_GPUS_PER_NODE": "h100:8,a100:4", "SLURM_GPUS_ON_NODE": "8"}, 8), ({"SLURM_GPUS_PER_NODE": "0"}, None),
    ({}, None),
])
def test_gpus_per_node_from_slurm(environ, expected):
    assert plans.slurm_gpus_per_node(environ) == expected


# ---- the command: sweep and fleet with plans -----------------------------------------

def quorvane(*args, timeout=120, **env):
    full = {**{k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "QUORVANE_EMULATE", "NCCL_"))},
            **env}
    return subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, text=True,
                          timeout=timeout, env=full, stdin=subprocess.DEVNULL)


def sweep_record(*args, **env):
    r = quorvane("sweep", *args, "--json", "-", "--no-record", **env)
    return r, (json.loads(r.stdout) if r.stdout.strip().startswith("{") else None)


@pytest.mark.parametrize("plan,sizes,headline", [
    ("full", (8, 16 * GIB), (481.8, 16 * GIB)),
    ("quick", (GIB, 8 * GIB), (481.33, 8 * GIB)),
    ("library", (8192, 32 * MIB), (321.1, 32 * MIB)),   # the 32 MiB figure a healthy 8x H100 reaches
])
def test_the_emulated_plans_on_a_healthy_h100_host(plan, sizes, headline):
    r, record = sweep_record("--emulate", "--gpus", "8", "--gpu-type", "H100_SXM", "--plan", plan)
    assert (r.returncode, record["verdict"]) == (0, "pass"), r.stderr
    assert (record["headline"]["busbw_gbps"], record["headline"]["size_bytes"]) == pytest.approx(headline, abs=0.02)
    ar = record["collectives"][0]
    assert (ar["rows"][0]["size_bytes"], ar["rows"][-1]["size_bytes"]) == sizes
    assert record["plan"]["name"] == plan and record["gpu_type_from"]["how"] == "given"
    assert len(record["collectives"]) == (1 if plan == "quick" else 4)


def test_dry_run_prints_exactly_what_then_runs(tmp_path, bench_root):
    marker = tmp_path / "ran"
    program = bench_root / "all_reduce_perf"
    program.unlink()
    program.write_text(f"#!/bin/sh\ntouch {marker}\nNCCL_STANDIN_COLLECTIVE=all_reduce exec {sys.executable} "
                       f"{STANDIN} \"$@\"\n")
    program.chmod(0o755)
    for plan in ("full", "quick", "library"):
        args = ["--gpus", "4", "--gpu-type", "H100_SXM", "--binary-root", str(bench_root), "--plan", plan]
        extra = [] if plan == "library" else ["--env", "NCCL_STANDIN_LATENCY_US=5", "--bench-arg=-c 0"]
        dry = quorvane("sweep", *args, *extra, "--dry-run")
        assert dry.returncode == 0 and not marker.exists(), dry.stderr
        r, record = sweep_record(*args, *extra)
        assert r.returncode == 0, r.stderr
        assert [shlex.split(line) for line in dry.stdout.splitlines()] == [c["command"] for c in record["collectives"]]
        marker.unlink()


@pytest.mark.parametrize("args,says", [
    (["--bench-arg=-b 8"], "-b is set by the plan itself (use --sizes)"),
    (["--bench-arg", "-t 2"], "-t is set by the plan itself"),
    (["--plan", "library", "--iters", "5"], "--plan library runs the library's fixed sweep; --iters"),
    (["--sizes", "16G:8"], "below the smallest"),
    (["--env", "1X=2"], "--env takes NAME=VALUE"),
    (["--env", "A=1", "--env", "A=2"], "--env A is given twice"),
    (["--hosts", "a,b", "--gpus-per-node", "2", "--launcher", "srun", "--env", "X=a,b", "--dry-run"], "comma"),
])
def test_plan_options_refused_with_one_line(args, says):
    base = [] if "--hosts" in args else ["--gpus", "8"]
    r = quorvane("sweep", *base, "--gpu-type", "H100_SXM", *args)
    assert r.returncode == 64 and says in r.stderr and len(r.stderr.strip().splitlines()) == 1, r.stderr


def test_variables_reach_the_ranks_and_the_callers_nccl_ones_are_forwarded_under_mpirun():
    r, record = sweep_record("--emulate", "--gpus", "8", "--gpu-type", "H100_SXM", "--plan", "quick",
                             "--env", "NCCL_STANDIN_BUSBW_GBPS=280")
    assert (r.returncode, record["verdict"]) == (1, "warn"), r.stderr   # the stand-in saw the variable
    assert record["collectives"][0]["command"][:2] == ["env", "NCCL_STANDIN_BUSBW_GBPS=280"]
    hosts = "--hosts", "a,b", "--gpus-per-node", "4", "--gpu-type", "H100_SXM", "--plan", "quick"
    dry = quorvane("sweep", *hosts, "--launcher", "ssh", "--dry-run", NCCL_IB_HCA="mlx5_0", NCCL_DEBUG="INFO")
    words = shlex.split(dry.stdout)
    assert "NCCL_IB_HCA=mlx5_0" in words and "NCCL_DEBUG=INFO" in words and "NCCL_DEBUG=WARN" not in words
    quiet = quorvane("sweep", *hosts, "--launcher", "ssh", "--dry-run", "--no-forward-env", NCCL_IB_HCA="mlx5_0")
    assert "NCCL_IB_HCA" not in quiet.stdout and "NCCL_DEBUG=WARN" in quiet.stdout


@pytest.mark.parametrize("nvidia,expected,how", [
    ("echo 'NVIDIA A100-SXM4-40GB, 40960 MiB'", "A100_SXM", "nvidia-smi"),
    ("echo 'NVIDIA GeForce RTX 5090, 32607 MiB'", "unknown", "nvidia-smi"),
    (None, "H100_SXM", "output"),   # the stand-in's Rank lines name an H100
])
def test_the_gpu_type_without_gpu_type(tmp_path, bench_root, nvidia, expected, how):
    tools = tmp_path / "tools"
    tools.mkdir()
    if nvidia:
        fake_tool(tools, "nvidia-smi", nvidia)
    r, record = sweep_record("--gpus", "4", "--binary-root", str(bench_root), "--plan", "quick",
                             PATH=f"{tools}:/usr/bin:/bin")
    assert (record["gpu_type"], record["gpu_type_from"]["how"]) == (expected, how), r.stderr
    if expected == "unknown":
        assert (r.returncode, record["verdict"]) == (3, "unknown")
        assert any(f["code"] == "gpu-type-unknown" and "RTX 5090" in f["message"] for f in record["findings"])
    if expected == "A100_SXM":   # 40 GiB: three 8 GiB buffers fit, 16 GiB ones do not
        assert record["plan"]["end_bytes"] == 8 * GIB and record["collectives"][0]["command"][4] == str(8 * GIB)


def test_an_unreachable_cutoff_is_a_caveat_with_the_override_to_use():
    r, record = sweep_record("--emulate", "--gpus", "8", "--gpu-type", "MI300X", "--plan", "quick")
    caveat = next(c for c in record["caveats"] if c["code"] == "cutoff-unreachable")
    override = json.loads(caveat["message"].split("QUORVANE_NCCL_THRESHOLD_OVERRIDES='")[1].split("'")[0])
    assert override == {"MI300X:intra": {"pass_min_gbps": 299.9, "warn_min_gbps": 270.0}}
    assert record["verdict"] == "warn"   # a healthy MI300X host under the built-in 350
    again, record = sweep_record("--emulate", "--gpus", "8", "--gpu-type", "MI300X", "--plan", "quick",
                                 QUORVANE_NCCL_THRESHOLD_OVERRIDES=json.dumps(override))
    assert (again.returncode, record["verdict"], record["caveats"]) == (0, "pass", [])
    screen = quorvane("sweep", "--emulate", "--gpus", "8", "--gpu-type", "MI300X", "--plan", "quick", "--no-record")
    assert re.search(r"^verdict +WARN .*cutoff-unreachable", screen.stdout, re.M), screen.stdout


def slurm():
    from test_cli import launchers_env
    env = launchers_env()
    return env, env["CI_SLURM_NODES"].split()


def placing_root(tmp_path):
    """all_reduce_perf that notes on which node each rank ran, then runs the stand-in."""
    root, ranks = tmp_path / "bin", tmp_path / "ranks"
    root.mkdir()
    ranks.mkdir()
    program = root / "all_reduce_perf"
    program.write_text(f"#!/bin/sh\necho \"$SLURMD_NODENAME\" > {ranks}/rank-$SLURM_PROCID\n"
                       f"NCCL_STANDIN_COLLECTIVE=all_reduce exec {sys.executable} {STANDIN} \"$@\"\n")
    program.chmod(0o755)
    return root, ranks


def placed(ranks):
    return sorted(p.read_text().strip() for p in ranks.iterdir())


def test_srun_ranks_land_on_exactly_the_named_nodes(tmp_path):
    env, nodes = slurm()
    root, ranks = placing_root(tmp_path)
    chosen = [nodes[0], nodes[1], nodes[3]]   # not the allocation order Slurm would pick by itself
    r, record = sweep_record("--hosts", ",".join(chosen), "--gpus-per-node", "2", "--launcher", "srun",
                             "--gpu-type", "H100_SXM", "--plan", "quick", "--binary-root", str(root), "--timeout", "60",
                             **env)
    assert r.returncode == 0, r.stderr
    assert placed(ranks) == sorted(chosen * 2)
    command = record["collectives"][0]["command"]
    assert f"--nodelist={plans.nodelist(chosen)}" in command and "--nodes=3" in command and "--ntasks=6" in command


def test_inside_an_allocation_the_hosts_are_the_allocations(tmp_path):
    env, nodes = slurm()
    root, ranks = placing_root(tmp_path)
    full = {**{k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "NCCL_"))}, **env}
    done = subprocess.run(["salloc", "-N", "2", "--ntasks-per-node", "2", "--quiet", sys.executable, "-m", "quorvane", "sweep",
                           "--gpus-per-node", "2", "--gpu-type", "H100_SXM", "--plan", "quick", "--binary-root",
                           str(root), "--timeout", "60", "--json", "-", "--no-record"],
                          capture_output=True, text=True, timeout=180, env=full, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr
    record = json.loads(done.stdout)
    assert (record["scope"], len(record["hosts"])) == ("multi", 2) and set(record["hosts"]) <= set(nodes)
    assert placed(ranks) == sorted(record["hosts"] * 2)


@pytest.mark.parametrize("launcher,hosts_key", [("mpirun", "CI_MPIRUN_LOCAL_HOSTS"), ("ssh", "CI_SSH_HOSTS")])
def test_emulated_full_plan_through_mpirun_carries_the_variables(tmp_path, launcher, hosts_key):
    from test_cli import launchers_env
    env = launchers_env()
    hosts = env[hosts_key].split()
    r, record = sweep_record("--emulate", "--hosts", ",".join(hosts), "--gpus-per-node", "2", "--launcher", launcher,
                             "--gpu-type", "H100_SXM", "--collectives", "all_reduce", "--timeout", "60",
                             "--env", "NCCL_STANDIN_BUSBW_GBPS=120", **env, TMPDIR=str(tmp_path))
    assert (r.returncode, record["verdict"]) == (1, "warn"), r.stderr   # 120: between the multi cutoffs 80 and 150
    assert record["headline"]["size_bytes"] == 16 * GIB
    command = record["collectives"][0]["command"]
    assert command[command.index("NCCL_STANDIN_BUSBW_GBPS=120") - 1] == "-x"
    # NCCL's debug variables reach every rank (mpirun -x, the remote line), not only the launcher
    assert record["transport"]["ranks"] == 4 and record["transport"]["network"] == "IB", record["transport"]


@pytest.mark.parametrize("form, env, expected", [
    (["mpirun", "-H", "a:1,b:1", "-x", "NCCL_DEBUG=WARN", "-x", "NCCL_ALGO=RING", "prog", "-b", "8"],
     {"NCCL_DEBUG": "INFO", "CUDA_VISIBLE_DEVICES": "3"},
     ["mpirun", "-x", "NCCL_DEBUG=INFO", "-x", "CUDA_VISIBLE_DEVICES=3", "-H", "a:1,b:1", "-x", "NCCL_ALGO=RING",
      "prog", "-b", "8"]),
    (["ssh", "--", "h", "env NCCL_DEBUG=WARN 'A=x y' /b/all_reduce_perf -b 8"], {"NCCL_DEBUG": "INFO", "F": "/t/a b"},
     ["ssh", "--", "h", "env 'A=x y' NCCL_DEBUG=INFO 'F=/t/a b' /b/all_reduce_perf -b 8"]),
    (["ssh", "h", "/b/all_reduce_perf"], {"X": "1"}, ["ssh", "h", "env X=1 /b/all_reduce_perf"]),
    (["srun", "--nodelist=a,b", "prog"], {"X": "1"}, ["srun", "--nodelist=a,b", "prog"]),   # srun exports ALL
    (["mpirun", "prog"], {}, ["mpirun", "prog"]),
])
def test_rank_command_passes_variables_through_the_launcher(form, env, expected):
    assert plans.rank_command(form, env) == expected


@pytest.mark.parametrize("environ", [{}, {"SLURM_JOB_ID": "7"}, {"SKYPILOT_NUM_NODES": "2"},
                                     {"SLURM_JOB_ID": "", "SKYPILOT_NUM_NODES": "2"},
                                     {"SLURM_JOB_ID": "7", "SKYPILOT_NUM_NODES": "2"}])
def test_the_launcher_and_the_programs_are_found_as_the_library_finds_them(tmp_path, monkeypatch, cs, environ):
    for name in ("SLURM_JOB_ID", "SKYPILOT_NUM_NODES"):
        monkeypatch.delenv(name, raising=False)
    for name, value in environ.items():
        monkeypatch.setenv(name, value)
    assert plans.select_launcher(os.environ) == cs._select_launcher_mode()
    on_path, root = tmp_path / "path", tmp_path / "root"
    on_path.mkdir(), root.mkdir()
    fake_tool(on_path, "all_reduce_perf", "true")
    fake_tool(root, "broadcast_perf", "true")
    (root / "all_gather_perf").write_text("not executable")
    (root / "reduce_scatter_perf").mkdir()
    monkeypatch.setenv("PATH", str(on_path))
    for name in ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf", "none_perf"):
        for where in (str(root), str(root) + "/", ""):
            assert plans.resolve_binary(name, where) == cs._resolve_binary(name, where), (name, where)


def test_the_parser_states_the_runners_grace_period():
    from quorvane.cli import options
    from quorvane.runner import GRACE_S
    assert options.GRACE_S == GRACE_S


def test_fleet_runs_the_plan_and_prints_its_first_rounds():
    hosts = "--hosts", "n[01-04]", "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--plan", "quick"
    dry = quorvane("fleet", *hosts, "--emulate", "--dry-run", "--env", "NCCL_IB_HCA=mlx5_0")
    lines = [shlex.split(line) for line in dry.stdout.splitlines()]
    assert dry.returncode == 0 and len(lines) == 6, dry.stderr   # 4 alone, then 2 pairs
    assert all(words[words.index("-b") + 1] == str(GIB) and "NCCL_IB_HCA=mlx5_0" in words for words in lines)
    assert [("NCCL_ALGO=RING" in words) for words in lines] == [False] * 4 + [True] * 2
    r = quorvane("fleet", *hosts, "--emulate", "--json", "-", "--no-record")
    record = json.loads(r.stdout)
    assert (r.returncode, record["plan"]["name"], record["suspects"]) == (0, "quick", []), r.stderr
    alone = [(h["busbw_gbps"], h["size_bytes"]) for h in record["hosts"]]
    assert alone == [(pytest.approx(481.33, abs=0.02), 8 * GIB)] * 4   # H100's published curve
