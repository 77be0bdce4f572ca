"""Caveats on results, and `quorvane thresholds --lint`: every cutoff in force checked
against the link budgets and what healthy hosts measure at the largest swept size."""
import json
import os
import pty
import re
import subprocess
import sys

import pytest

import quorvane.analysis as qa

H100, H200 = "NVIDIA H100 80GB HBM3", "NVIDIA H200"
OVERRIDES = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"


def ranks(hosts, per_host, device=H100):
    return [(host, device) for host in hosts for _ in range(per_host)]


# id: (gpu_type, scope, nodes, gpus per node, keywords, {caveat code: text its message holds})
CAVEATS = {
    "two-hosts-srun": ("H100_SXM", "multi", 2, 8, dict(launcher="srun", environment={}, ranks=ranks("ab", 8)),
                       {"two-host-algorithms": "NCCL_ALGO is not RING"}),
    "saved-two-hosts": ("H100_SXM", "multi", 2, 8, dict(ranks=ranks("ab", 8)), {}),  # environment unknown
    "two-hosts-ring": ("H100_SXM", "multi", 2, 8,
                       dict(launcher="srun", environment={"NCCL_ALGO": "ring"}, ranks=ranks("ab", 8)), {}),
    "ring-not-forwarded": ("H100_SXM", "multi", 2, 8,
                           dict(launcher="ssh", environment={"NCCL_ALGO": "RING", "NCCL_DEBUG": "INFO",
                                                             "NCCL_STANDIN_MODE": "ok"},
                                forwarded=["NCCL_DEBUG"], ranks=ranks("ab", 8)),
                           {"two-host-algorithms": "does not pass it", "nccl-env-not-forwarded": ": NCCL_ALGO set"}),
    "three-hosts-mpirun": ("H100_SXM", "multi", 3, 8,
                           dict(launcher="mpirun", environment={"NCCL_IB_HCA": "mlx5_0"}, forwarded=["NCCL_DEBUG"],
                                ranks=ranks("abc", 8)),
                           {"nccl-env-not-forwarded": "NCCL_IB_HCA"}),
    "h100-graded-h200": ("H200", "intra", 1, 8, dict(ranks=ranks("a", 8)), {"device-mismatch": "(H100_SXM)"}),
    "gh200-is-no-h200": ("GH200", "intra", 1, 4, dict(ranks=ranks("a", 4, "NVIDIA GH200 480GB")), {}),
    "mixed": ("H200", "intra", 1, 8, dict(ranks=ranks("a", 6, H200) + ranks("a", 2)),
              {"mixed-devices": "(2 ranks)", "device-mismatch": H100}),
    "fewer-ranks": ("H100_SXM", "intra", 1, 8, dict(ranks=ranks("a", 4)), {"rank-count": "4 ranks; 8"}),
    "one-host-of-two": ("H100_SXM", "multi", 2, 4, dict(launcher="srun", environment={"NCCL_ALGO": "Ring"},
                                                        ranks=ranks("a", 8)), {"host-count": "1 host (a); 2"}),
    "emulated": ("H200", "multi", 2, 4, dict(launcher="srun", environment={"NCCL_ALGO": "RING"}, emulated=True,
                                             ranks=ranks("a", 8)), {}),
}


@pytest.mark.parametrize("gpu,scope,nodes,per_node,kwargs,expected", CAVEATS.values(), ids=CAVEATS.keys())
def test_caveats(gpu, scope, nodes, per_node, kwargs, expected):
    found = {c.code: c.message for c in qa.caveats(gpu, scope, nodes, per_node, **kwargs)}
    assert set(found) == set(expected), found
    for code, text in expected.items():
        assert text in found[code], found[code]


def lint(*args, **env):
    environ = {k: v for k, v in os.environ.items() if k not in (OVERRIDES, "NO_COLOR")}
    return subprocess.run([sys.executable, "-m", "quorvane", "thresholds", "--lint", *args], capture_output=True,
                          text=True, timeout=30, env={**environ, **env})


def test_lint_of_the_built_in_tables_under_the_library_plan():
    r = lint("--plan", "library", "--json", "-")
    assert r.returncode == 1, r.stderr
    report = json.loads(r.stdout)
    assert report["size_bytes"] == 32 << 20  # 8 KiB x 16^k up to 128 MiB stops at 32 MiB
    problems = {(p["gpu_type"], p["scope"], p["cutoff"], p["code"]) for p in report["results"]
                if p["severity"] != "note"}
    unreachable = {("H100_PCIE", "intra", "pass"), ("A100_PCIE", "intra", "pass"), ("A100_PCIE", "intra", "warn"),
                   ("MI300X", "intra", "pass")}
    missed = {("H100_SXM", "intra", "pass"), ("H200", "intra", "pass"), ("MI300X", "intra", "warn"),
              ("H100_SXM", "multi", "pass"), ("H100_SXM", "multi", "warn"), ("A100_SXM", "intra", "pass"),
              ("A100_SXM", "intra", "warn"), ("A100_SXM", "multi", "pass"), ("A100_SXM", "multi", "warn")}
    assert problems == {(*k, "unreachable") for k in unreachable} | {(*k, "missed-by-healthy") for k in missed}
    assert report["problems"] == len(problems)
    said = {(p["gpu_type"], p["scope"], p["cutoff"]): p["message"] for p in report["results"] if p["cutoff"]}
    assert "inside the healthy range" in said[("H100_SXM", "intra", "pass")]   # 320 in 276-321
    assert "healthy hosts at the low end will grade warn" in said[("H100_SXM", "intra", "pass")]
    assert "above every healthy value" in said[("H200", "intra", "pass")]      # 340 over 298-301
    assert "a healthy host will grade fail" in said[("H100_SXM", "multi", "warn")]
    assert re.search(r"^FAIL\s+MI300X intra pass cutoff 350 GB/s is above the link budget of 336 GB/s", r.stderr, re.M)
    assert re.search(r"^\s+H200\s+intra\s+pass\s+340\s+787.5\s+298-301\s+built-in\s+missed-by-healthy$", r.stderr,
                     re.M)


def test_under_the_default_plan_healthy_hosts_earn_the_built_in_cutoffs():
    r = lint("--json", "-")
    report = json.loads(r.stdout)
    assert (r.returncode, report["plan"], report["size_bytes"]) == (1, "full", 16 << 30), r.stderr
    problems = {(p["gpu_type"], p["scope"], p["cutoff"], p["code"]) for p in report["results"]
                if p["severity"] != "note"}
    assert problems == {("H100_PCIE", "intra", "pass", "unreachable"), ("A100_PCIE", "intra", "pass", "unreachable"),
                        ("A100_PCIE", "intra", "warn", "unreachable"), ("MI300X", "intra", "pass", "unreachable")}
    for gpu in ("H100_SXM", "H200", "A100_SXM"):
        one = lint("--gpu-type", gpu, "--json", "-")
        assert one.returncode == 0, one.stderr
        checked = {(x["scope"], x["code"]) for x in json.loads(one.stdout)["results"]}
        assert not {c for c in checked if c[1] in ("no-typical-value", "no-link-budget")}, (gpu, checked)
    mi300x = lint("--gpu-type", "MI300X")
    assert mi300x.returncode == 1
    assert re.search(r"^override to use: QUORVANE_NCCL_THRESHOLD_OVERRIDES='\{\"MI300X:intra\": "
                     r"\{\"pass_min_gbps\": 299.9, \"warn_min_gbps\": 270.0\}\}'", mi300x.stdout, re.M)


@pytest.mark.parametrize("overrides,emitted", [
    ({}, {"H100_PCIE:intra": [48.6, 40.9], "A100_PCIE:intra": [24.3, 20.4], "MI300X:intra": [299.9, 270.0]}),
    # An override in force is kept; one a healthy host misses is replaced.
    ({"L40S:intra": [120, 80], "MI300X:intra": [330, 320]},
     {"L40S:intra": [120, 80], "H100_PCIE:intra": [48.6, 40.9], "A100_PCIE:intra": [24.3, 20.4],
      "MI300X:intra": [299.9, 252.5]}),
], ids=["built-in", "with-overrides"])
def test_emit_overrides_prints_the_variable_that_clears_the_lint(overrides, emitted):
    text = json.dumps({k: {"pass_min_gbps": p, "warn_min_gbps": w} for k, (p, w) in overrides.items()})
    r = lint("--emit-overrides", **({OVERRIDES: text} if overrides else {}))
    assert r.returncode == 0, r.stderr
    got = json.loads(r.stdout)
    assert {k: [v["pass_min_gbps"], v["warn_min_gbps"]] for k, v in got.items()} == emitted
    assert lint(**{OVERRIDES: r.stdout.strip()}).returncode == 0   # and the lint is then clean


@pytest.mark.parametrize("overrides,plan,status,codes", [
    ({"H100_SXM:intra": [270, 200], "H100_SXM:multi": [50, 30]}, "library", 0, set()),
    ({"H100_SXM:intra": [300, 280], "H100_SXM:multi": [50, 30]}, "library", 1, {"missed-by-healthy"}),
    ({"H100_SXM:intra": [300, 280], "H100_SXM:multi": [50, 30]}, "full", 0, set()),
    ({"H100_SXM:intra": [800, 200], "H100_SXM:multi": [50, 30]}, "full", 1, {"unreachable"}),
    ({"H100_SXM:intra": [485, 200], "H100_SXM:multi": [50, 30]}, "full", 1, {"missed-by-healthy"}),
    ({"H100_SXM:intra": [475, 200], "H100_SXM:multi": [50, 30]}, "quick", 0, set()),   # 481.39 at 8 GiB
], ids=["sane", "inside-healthy-range-at-32-mib", "reached-on-the-plateau", "above-nvlink", "above-the-plateau",
        "quick"])
def test_lint_of_overrides(overrides, plan, status, codes):
    text = json.dumps({k: {"pass_min_gbps": p, "warn_min_gbps": w} for k, (p, w) in overrides.items()})
    r = lint("--gpu-type", "H100_SXM", "--plan", plan, "--json", "-", **{OVERRIDES: text})
    assert r.returncode == status, r.stderr
    results = json.loads(r.stdout)["results"]
    assert {x["code"] for x in results if x["severity"] != "note"} == codes
    assert {x["source"] for x in results} <= {"override"}


def test_lint_is_plain_on_a_dumb_terminal_and_coloured_on_a_real_one():
    for term, coloured in (("dumb", False), ("xterm-256color", True)):
        master, slave = pty.openpty()
        proc = subprocess.Popen([sys.executable, "-m", "quorvane", "thresholds", "--lint"], stdout=slave,
                                stderr=slave, env={**os.environ, "TERM": term})
        os.close(slave)
        screen = b""
        try:
            while chunk := os.read(master, 65536):
                screen += chunk
        except OSError:  # EIO: the child closed the terminal
            pass
        os.close(master)
        assert proc.wait(timeout=30) == 1
        assert bool(re.search(rb"\x1b\[[0-9;]*m", screen)) == coloured, screen[:200]


@pytest.mark.parametrize("begin,end,factor,largest", [
    (8192, 128 << 20, 16, 32 << 20), (8192, 32 << 20, 16, 32 << 20), (8192, 8192, 16, 8192), (8, 100, 1, 8)])
def test_largest_measured_size(begin, end, factor, largest):
    assert qa.largest_measured_size(begin, end, factor) == largest
    assert qa.typical_busbw("H100_SXM", "intra", 128 << 20) is None  # only measured sizes have values
