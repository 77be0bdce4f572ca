"""The fleet check: its statistics and planner, the emulated command, and real srun and ssh."""
import json
import math
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

import quorvane
import quorvane.analysis as qa
from quorvane.fleet import EmulatedLauncher, FleetCheck, grade_run
from quorvane.runner import Outcome

STANDIN = Path(quorvane.__file__).parent / "_standin.py"
ENV_FILE = Path(os.environ.get("CI_LAUNCHERS_DIR", "/var/lib/ci-launchers")) / "launchers.env"


@pytest.mark.parametrize("values, median, spread, cut", [
    ([1.0, 2.0, 3.0], 2.0, 1.4826, 1.5),               # wide spread: the cut stops at max_drop (25%)
    ([100.0] * 9 + [10.0], 100.0, 0.0, 90.0),          # no spread: min_drop (10%); the outlier moves nothing
    ([100.0, 104.0, 96.0, 102.0], 101.0, 2.9652, 86.174),  # between them: five robust spreads
])
def test_reference(values, median, spread, cut):
    ref = qa.reference_of(values)
    assert (ref.median, ref.spread, ref.cut) == pytest.approx((median, spread, cut))


@pytest.mark.parametrize("values, settings", [
    ([], {}), ([1.0, math.nan], {}), ([-1.0], {}), ([1.0], {"min_drop": 0.5, "max_drop": 0.2}),
])
def test_reference_refuses(values, settings):
    with pytest.raises(ValueError):
        qa.reference_of(values, qa.JudgeSettings(**settings))


def plan(hosts, intra=None, net=None, crash=(), once=(), pair_once=()):
    """Drive the planner over a model fleet: alone 100 x intra factor, a pair 50 x
    the slower port; `crash` hosts fail alone; `once` hosts are slow alone on their
    first run only; `pair_once` pairs are slow on their first run together only."""
    intra, net, seen = intra or {}, net or {}, set()
    p = qa.FleetPlanner(hosts)
    while runs := p.next_round():
        for r in runs:
            key = frozenset(r.hosts)
            first, problem = key not in seen, ""
            seen.add(key)
            if len(r.hosts) == 1:
                h = r.hosts[0]
                value = 100 * intra.get(h, 1.0) * (0.5 if h in once and first else 1.0)
                problem = "exit 1" if h in crash else ""
            else:
                value = 50 * min(net.get(h, 1.0) for h in r.hosts) * (0.5 if key in pair_once and first else 1.0)
            p.record(r.id, value, problem, "unknown")
    return p


H = [f"h{i}" for i in range(10)]


@pytest.mark.parametrize("fleet, named, rounds", [
    (dict(), {}, 2),
    (dict(intra={"h2": 0.5}, net={"h5": 0.5}), {"h2": "intra", "h5": "net"}, 3),
    (dict(net={"h4": 0.4, "h5": 0.6}), {"h4": "net", "h5": "net"}, 3),     # both faulty hosts in one pair
    (dict(crash={"h7"}), {"h7": "intra"}, 3),
    (dict(once={"h1"}), {}, 3),                                              # one bad result names nobody
    (dict(pair_once={frozenset({"h2", "h3"})}), {}, 3),
    (dict(hosts=H[:9], net={"h8": 0.5}), {"h8": "net"}, 4),                # the odd one out, paired later
])
def test_planner_names_exactly_the_faulty_hosts(fleet, named, rounds):
    p = plan(fleet.pop("hosts", H), **fleet)
    assert {s.host: s.kind for s in p.suspects()} == named
    assert (p.complete, p.rounds) == (True, rounds)
    assert all(len(s.runs) == 2 for s in p.suspects())


def test_planner_judgements_and_evidence():
    p = plan(H, intra={"h2": 0.85}, net={"h5": 0.5}, once={"h8"})
    by_host = {s.host: s for s in p.suspects()}
    assert by_host["h2"].severity == qa.Severity.warn     # 15% below: measurably, not dramatically
    assert by_host["h5"].severity == qa.Severity.fail
    assert "with h1 (known good): 25.00 GB/s" in by_host["h5"].evidence and "median 50.00" in by_host["h5"].evidence
    slow_pair = next(r for r in p.runs if r.purpose == "pair" and "h5" in r.hosts)
    assert slow_pair.explained_by == ["h5"] and slow_pair.reason == "25.00 GB/s, 50% below the fleet median"
    assert [f.code for f in p.findings()] == ["alone-not-reproduced"]


def drive(hosts, alone, pair=lambda hosts, n: (50.0, "", "unknown"), **kw):
    """The planner over a fleet given as functions of the run: (busbw, problem,
    grade) of a host alone or a pair, on their n-th run together."""
    p = qa.FleetPlanner(hosts, **kw)
    seen: dict = {}
    while runs := p.next_round():
        for r in runs:
            key = frozenset(r.hosts)
            n = seen[key] = seen.get(key, -1) + 1
            p.record(r.id, *(alone(r.hosts[0], n) if len(r.hosts) == 1 else pair(r.hosts, n)))
    return p


@pytest.mark.parametrize("failing, named", [(4, ["h0", "h1", "h2", "h3"]), (5, [])])
def test_the_fixed_cutoffs_name_hosts_unless_half_the_fleet_fails_them(failing, named):
    p = drive(H, lambda h, n: (100.0, "", "fail" if int(h[1:]) < failing else "pass"))
    assert [s.host for s in p.suspects()] == named
    assert ("fleet-hosts-below-cutoff" in [f.code for f in p.findings()]) == (not named)


def test_a_host_that_failed_once_and_was_slow_once_is_a_failure():
    p = drive(H, lambda h, n: ((0.0, "exit 1", "unknown") if n == 0 else (88.0, "", "unknown"))
              if h == "h3" else (100.0, "", "unknown"))
    [s] = p.suspects()
    assert (s.host, s.kind, s.severity) == ("h3", "intra", qa.Severity.fail)
    assert {h.host: h.alone for h in p.host_summaries()}["h3"] == "failed"   # the record's hosts[].alone


@pytest.mark.parametrize("max_rounds, complete", [(3, True), (4, True)])
def test_the_planner_uses_every_round_it_is_given(max_rounds, complete):
    p = drive(H, lambda h, n: (50.0 if h == "h2" else 100.0, "", "unknown"),
              lambda hosts, n: (25.0 if "h5" in hosts else 50.0, "", "unknown"),
              settings=qa.JudgeSettings(), max_rounds=max_rounds)
    assert (p.complete, p.rounds, {s.host for s in p.suspects()}) == (complete, 3, {"h2", "h5"})


def test_a_slow_pair_says_how_far_below_the_median():
    p = drive(H, lambda h, n: (100.0, "", "unknown"), lambda hosts, n: (30.0 if "h5" in hosts else 50.0, "", "unknown"))
    slow = next(r for r in p.runs if r.purpose == "pair" and "h5" in r.hosts)
    assert slow.reason == "30.00 GB/s, 40% below the fleet median"


def test_a_host_exactly_on_the_cut_is_not_slow():
    p = qa.FleetPlanner(H)
    for r in p.next_round():      # no spread: the cut is 10% below the median, at 90
        p.record(r.id, 90.0 if r.hosts == ["h3"] else 100.0, "", "unknown")
    p.next_round()
    assert p.alone_reference.cut == 90.0
    assert {r.hosts[0]: r.standing for r in p.runs if r.purpose == "alone"} == {h: "ok" for h in H}


@pytest.mark.parametrize("hosts, fleet, reason", [
    (["a", "b"], dict(crash={"b"}), "no host known good to pair a with"),
    (H[:4], dict(crash={"h0", "h1", "h2"}), "only 1 of 4 hosts alone"),
])
def test_planner_says_when_it_cannot_complete(hosts, fleet, reason):
    p = plan(hosts, **fleet)
    assert not p.complete and reason in p.incomplete_reason
    assert p.worst() == qa.Severity.error


def test_planner_refuses_misuse():
    with pytest.raises(ValueError, match="twice"):
        qa.FleetPlanner(["a", "b", "a"])
    p = qa.FleetPlanner(["a", "b"])
    run = p.next_round()[0]
    p.record(run.id, 1.0, "", "pass")
    for args in [(run.id, 1.0, "", "pass"), (99, 1.0, "", "pass"), (1, math.inf, "", "pass"), (1, 1.0, "", "great")]:
        with pytest.raises(ValueError):
            p.record(*args)
    with pytest.raises(RuntimeError, match="not recorded"):
        p.next_round()


def standin_table(mode="ok"):
    """The stand-in's all_reduce output for one host of 4 GPUs at 350 GB/s."""
    env = {"PATH": os.environ.get("PATH", ""), "NCCL_STANDIN_COLLECTIVE": "all_reduce", "NCCL_STANDIN_MODE": mode,
           "NCCL_STANDIN_BUSBW_GBPS": "350"}
    return subprocess.run([sys.executable, str(STANDIN), "-b", "8192", "-e", "134217728", "-f", "16", "-g", "4"],
                          capture_output=True, text=True, env=env, timeout=30).stdout


class Recorder:
    """A runner that answers every run with one output and notes each command and its time-out."""

    def __init__(self, stdout):
        self.stdout, self.asked = stdout, []

    def execute(self, cmd, *, timeout, logs=None):
        self.asked.append((list(cmd), timeout))
        return Outcome(list(cmd), 0, self.stdout, "", 0.1)


def test_each_run_gets_its_time_out_and_pairs_run_ring():
    runner = Recorder(standin_table())
    check = FleetCheck(["a", "b"], 4, "H100_SXM", EmulatedLauncher(), "all_reduce_perf", timeout_alone=11,
                       timeout_pair=22, runner=runner)
    assert check.run().verdict == "pass"
    hosts = [next(a.split("=", 1)[1] for a in cmd if a.startswith("QUORVANE_EMULATE_HOSTS=")) for cmd, _ in runner.asked]
    assert sorted(zip(hosts, (t for _, t in runner.asked), ("NCCL_ALGO=RING" in c for c, _ in runner.asked))) == \
        [("a", 11, False), ("a,b", 22, True), ("b", 11, False)]


def test_wrong_results_are_never_a_number_to_compare():
    graded = grade_run(Outcome(["all_reduce_perf"], 0, standin_table("wrong"), "", 0.1), "H100_SXM", "intra")
    assert graded.verdict == "fail" and "#wrong" in graded.problem


def quorvane_cmd(*args, timeout=120, **env):
    full = {**{k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "QUORVANE_EMULATE"))}, **env}
    return subprocess.run([sys.executable, "-m", "quorvane", "fleet", *args], capture_output=True, text=True,
                          timeout=timeout, env=full, stdin=subprocess.DEVNULL)


FAULTS = {"n03": {"net": 0.4}, "n06": {"intra": 0.5}}


@pytest.mark.parametrize("faults, noise, status, named, runs", [
    ({}, "0", 0, [], 12),
    ({}, "0.05", 0, [], 12),
    (FAULTS, "0", 2, [("n03", "net"), ("n06", "intra")], 15),   # 8 alone, 4 pairs, 2 re-pairs, 1 again
    (FAULTS, "0.05", 2, [("n03", "net"), ("n06", "intra")], 15),
    ({"n02": {"intra": 0.85}}, "0", 1, [("n02", "intra")], 13),  # warn-level only
])
def test_emulated_fleet(tmp_path, faults, noise, status, named, runs):
    scratch, prom = tmp_path / "tmp", tmp_path / "fleet.prom"
    scratch.mkdir()
    r = quorvane_cmd("--emulate", "--hosts", "n[01-08]", "--gpus-per-node", "4", "--gpu-type", "H100_SXM",
                     "--json", "-", "--prom", str(prom), QUORVANE_EMULATE_FAULTS=json.dumps(faults),
                     QUORVANE_EMULATE_NOISE=noise, TMPDIR=str(scratch))
    record = json.loads(r.stdout)
    # With noise a healthy host now and then lands in the warn band of the fixed cutoffs, as a sweep of it
    # would: the fleet is then warn, and says which hosts.
    warned = [f for f in record["findings"] if f["code"].endswith("-in-warn-band")]
    assert not warned or noise != "0"
    status = max(status, 1) if warned else status
    assert r.returncode == status, r.stderr
    assert [(s["host"], s["kind"]) for s in record["suspects"]] == named
    assert (record["kind"], record["emulated"], record["exit_status"]) == ("fleet", True, status)
    assert len(record["hosts"]) == 8
    for h in record["hosts"]:   # a host's own figure is its first run alone; a second one confirms it
        assert (h["busbw_gbps"], h["runs"][0]["purpose"]) == (h["runs"][0]["busbw_gbps"], "alone")
    # With noise a healthy pair now and then lands 10% low and is re-paired: more runs, the same answer.
    assert record["runs"] == runs if noise == "0" else record["runs"] >= runs
    assert list(scratch.iterdir()) == []
    families = list(text_string_to_metric_families(prom.read_text()))
    busbw = {s.labels["host"]: s.labels["message_size"] for family in families
             for s in family.samples if s.name == "quorvane_busbw_bytes_per_second"}
    assert busbw == {h["host"]: str(h["size_bytes"]) for h in record["hosts"] if h["busbw_gbps"] is not None}
    suspects = [(s.labels["host"], s.labels["kind"]) for f in families for s in f.samples
                if s.name == "quorvane_fleet_suspect"]
    assert suspects == named and all(s.labels["emulated"] == "true" for f in families for s in f.samples)


def test_a_signal_ends_the_runs_of_the_round(tmp_path):
    env = {**{k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "QUORVANE_EMULATE"))},
           "NCCL_STANDIN_MODE": "sleep", "NCCL_STANDIN_SLEEP": "60"}
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "fleet", "--emulate", "--hosts", "a,b",
                             "--gpus-per-node", "2", "--gpu-type", "H100_SXM", "--json", str(tmp_path / "r.json")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, env=env)
    for line in proc.stderr:   # both hosts' runs alone are sleeping
        if "round 1" in line:
            break
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    try:
        proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert proc.returncode == 128 + signal.SIGINT
    assert json.loads((tmp_path / "r.json").read_text())["verdict"] == "error"


@pytest.mark.parametrize("args, env, message", [
    (["--hosts", "n[01-"], {}, "cannot read the host list"),
    (["--hosts", "n01"], {}, "at least two hosts"),
    (["--hosts", "a,-oProxyCommand=x"], {}, "not a host name"),
    (["--hosts", "a,-x"], {}, "not a host name"),
    (["--hosts", "a,b", "--emulate", "--launcher", "srun"], {}, "leave out --launcher"),
    ([], {}, "give --hosts"),
    # a malformed fault plan is refused before anything runs
    (["--emulate"], {"SLURM_JOB_NODELIST": "a,b", "QUORVANE_EMULATE_FAULTS": "{"}, "QUORVANE_EMULATE_FAULTS"),
    # the allocation's nodes by default; a stand-in that fails every run: the check cannot complete
    (["--emulate"], {"SLURM_JOB_NODELIST": "a,b", "NCCL_STANDIN_MODE": "fail"}, None),
])
def test_bad_input_is_one_line(args, env, message):
    r = quorvane_cmd(*args, "--gpus-per-node", "2", "--gpu-type", "H100_SXM", "--json", "-", **env)
    if message is None:
        record = json.loads(r.stdout)
        assert (r.returncode, record["verdict"], [h["host"] for h in record["hosts"]]) == (4, "error", ["a", "b"])
    else:
        assert r.returncode == 64 and message in r.stderr and len(r.stderr.strip().splitlines()) == 1, r.stderr


# ---- real launchers -------------------------------------------------------------------

def launchers():
    if not ENV_FILE.is_file() or not all(shutil.which(p) for p in ("srun", "ssh", "mpirun")):
        if os.environ.get("QUORVANE_REQUIRE_LAUNCHERS"):
            pytest.fail("launcher tests required here, but the launchers are not up")
        pytest.skip("launchers are not up (.ci/launchers.sh up)")
    lines = [line[len("export "):] for line in ENV_FILE.read_text().splitlines() if line.startswith("export ")]
    return {k: v.strip('"') for k, _, v in (line.partition("=") for line in lines)}


@pytest.mark.parametrize("launcher, hosts_key, fault, kind", [
    ("srun", "CI_SLURM_NODES", 2, "net"),    # the third Slurm node's network port
    ("ssh", "CI_SSH_HOSTS", 1, "intra"),     # the second ssh host, slow on its own
])
def test_real_launcher_names_the_planted_host(tmp_path, launcher, hosts_key, fault, kind):
    env = launchers()
    hosts = env[hosts_key].split()
    if len(hosts) <= fault:
        pytest.fail(f"{hosts_key} has too few hosts: {hosts}")
    # Ranks started over ssh see no variable of ours: the fault travels inside the program.
    faults = json.dumps({hosts[fault]: {kind: 0.5}})
    program = tmp_path / "all_reduce_perf"
    program.write_text(f"#!/bin/sh\nQUORVANE_EMULATE_FAULTS='{faults}' NCCL_STANDIN_COLLECTIVE=all_reduce "
                       f"exec {sys.executable} {STANDIN} \"$@\"\n")
    program.chmod(0o755)
    r = quorvane_cmd("--launcher", launcher, "--hosts", ",".join(hosts), "--gpus-per-node", "2",
                     "--gpu-type", "H100_SXM", "--binary-root", str(tmp_path), "--timeout", "60", "--json", "-",
                     timeout=300, **env)
    assert r.returncode == 2, r.stderr
    record = json.loads(r.stdout)
    assert [(s["host"], s["kind"]) for s in record["suspects"]] == [(hosts[fault], kind)]
    commands = [run["command"] for h in record["hosts"] for run in h["runs"]]
    commands += [p["command"] for p in record["pair_results"]]
    if launcher == "srun":
        assert all(c[0] == "srun" and "--kill-on-bad-exit=1" in c and any(a.startswith("--nodelist=") for a in c)
                   for c in commands)
    else:
        assert {c[0] for c in commands} == {"ssh", "mpirun"} and "NCCL_ALGO=RING" in record["pair_results"][0]["command"]
