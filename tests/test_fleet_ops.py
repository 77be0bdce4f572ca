"""Running a cluster with the fleet check: host lists, drain and resume through a
real Slurm, the deadline, verdicts from the fixed cutoffs, the per-host output."""
import json
import os
import signal
import subprocess
import sys
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from quorvane.hostlist import HostListError, expand, fold, upper_count
from quorvane.slurm import REASON_MAX, reason_for
from test_fleet import ENV_FILE, launchers, quorvane_cmd

H100 = ["--gpus-per-node", "4", "--gpu-type", "H100_SXM"]


@pytest.mark.parametrize("hosts, folded", [
    ([f"node{i:03d}" for i in range(1, 129)], "node[001-128]"),
    (["gpu2", "gpu1", "login", "gpu3", "gpu10"], "gpu[1-3,10],login"),
    (["10.0.0.1", "10.0.0.2"], "10.0.0.[1-2]"),
    (["a[1]", "b"], "b,a[1]"),                  # not a host name: shown as it is, never read as a range
    ([], ""),
])
def test_fold(hosts, folded):
    assert fold(hosts) == folded


@given(st.sampled_from(["gpu", "node-", "rack1n", "a.b"]), st.integers(1, 4), st.data())
@settings(max_examples=200, deadline=None)
def test_the_quick_fold_folds_as_clustershell(prefix, width, data):
    """One prefix and one width are folded without ClusterShell, exactly as it folds them."""
    from ClusterShell.NodeSet import NodeSet
    numbers = data.draw(st.lists(st.integers(0, 10 ** width - 1), min_size=1, max_size=60))
    names = [f"{prefix}{n:0{width}d}" for n in numbers]
    assert fold(names) == str(NodeSet.fromlist(names))


@pytest.mark.parametrize("text, names, most", [
    ("gpu[01-03],gpu20", ["gpu01", "gpu02", "gpu03", "gpu20"], 4),
    ("n[1-10/3]", ["n1", "n4", "n7", "n10"], 4),
    ("r[1-2]n[1-3]", ["r1n1", "r1n2", "r1n3", "r2n1", "r2n2", "r2n3"], 6),
    ("a,a,b", ["a", "b"], 3),
])
def test_expand(text, names, most):
    assert expand(text) == names and upper_count(text) == most


@pytest.mark.parametrize("text, message", [
    ("gpu1,GPU1", "same host"),
    ("node[1-9999999]", "more than the limit"),
    ("x[1-1000]y[1-1000]", "more than the limit"),
    ("n[1-", "cannot read"),
])
def test_expand_refuses(text, message):
    t0 = time.monotonic()
    with pytest.raises(HostListError, match=message):
        expand(text, limit=10000)
    assert time.monotonic() - t0 < 1


def test_huge_host_list_is_refused_at_once_and_the_limit_can_be_raised():
    t0 = time.monotonic()
    r = quorvane_cmd("--emulate", "--hosts", "node[1-9999999]", *H100, timeout=30)
    assert r.returncode == 64 and "--max-hosts" in r.stderr and time.monotonic() - t0 < 10, r.stderr
    r = quorvane_cmd("--emulate", "--hosts", "n[1-3]", "--max-hosts", "2", *H100)
    assert r.returncode == 64 and "names up to 3 hosts" in r.stderr


def test_sigint_while_reading_a_long_host_list():
    env = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_EMULATE")}
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "fleet", "--emulate", "--hosts", "n[1-3000000]",
                             "--max-hosts", "4000000", *H100, "--no-record"], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    time.sleep(1.5)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=10)
    assert time.monotonic() - sent < 1.5 and proc.returncode == 130, err
    assert "Traceback" not in err


def test_reason_is_short_and_quotable():
    evidence = "with gpu08: 174.04 GB/s; with gpu01 (known good): 173.90 GB/s; the fleet's pairs: median 348"
    assert reason_for({"kind": "net", "evidence": evidence}) == \
        "quorvane: net with gpu08: 174.04 GB/s; with gpu01 (known good): 173.90 GB/s"
    reason = reason_for({"kind": "intra", "evidence": '`x` $(y) "z"\n' + "w" * 300})
    assert len(reason) == REASON_MAX and not set('"`$\n\\') & set(reason)


def fleet(*args, faults=None, overrides=None, **kw):
    env = {"QUORVANE_EMULATE_FAULTS": json.dumps(faults or {}), "QUORVANE_EMULATE_NOISE": "0"}
    if overrides:
        env["QUORVANE_NCCL_THRESHOLD_OVERRIDES"] = json.dumps(overrides)
    return quorvane_cmd("--emulate", *H100, "--no-record", *args, **env, **kw)


NET = {"n03": {"net": 0.4}}


def test_drain_print_names_each_suspect_once():
    r = fleet("--hosts", "n[01-10]", "--drain", "print", faults=NET)
    assert r.returncode == 2, r.stderr
    [line] = r.stdout.splitlines()
    assert line.startswith('scontrol update NodeName=n03 State=DRAIN Reason="quorvane: net ')


@pytest.mark.parametrize("args, status, shown", [
    (["--suspects-only"], 2, ["n[03-04]"]),
    (["--drain", "print"], 5, []),                              # 2 suspects, a tenth of 8 hosts is 1
    (["--drain", "print", "--max-drain", "2"], 2, None),
    (["--drain", "print", "--suspects-only"], 5, ["n[03-04]"]),
])
def test_max_drain_and_suspects_only(args, status, shown):
    r = fleet("--hosts", "n[01-08]", *args, faults={"n03": {"net": 0.4}, "n04": {"intra": 0.5}})
    assert r.returncode == status, r.stderr
    if shown is None:
        assert [line.split()[2] for line in r.stdout.splitlines()] == ["NodeName=n03", "NodeName=n04"]
    else:
        assert r.stdout.splitlines() == shown
    if status == 5:
        assert "more than --max-drain 1" in r.stderr and "nothing drained" in r.stderr


def test_per_host_table_and_json_hosts():
    r = fleet("--hosts", "n[01-08]", "--json", "-", faults=NET)
    record = json.loads(r.stdout)
    by_host = {h["host"]: h for h in record["hosts"]}
    assert list(by_host) == [f"n{i:02d}" for i in range(1, 9)]
    assert (by_host["n03"]["verdict"], by_host["n03"]["suspect"]) == ("fail", "net")
    assert by_host["n01"]["verdict"] == "pass" and by_host["n01"]["busbw_gbps"] > 0
    peers = {p["with"][0] for p in by_host["n03"]["pairs"]}
    assert len(peers) == 2 and all(p["busbw_gbps"] for p in by_host["n03"]["pairs"])
    table = fleet("--hosts", "n[01-08]", faults=NET).stdout
    lines = table.splitlines()
    header = next(i for i, line in enumerate(lines) if line.split()[:2] == ["host", "alone"])
    rows = [line.split() for line in lines[header + 1:header + 9]]
    assert [r[0] for r in rows] == list(by_host) and rows[2][-2:] == ["fail", "net"]
    assert rows[0][-2:] == ["pass", "-"] and float(rows[0][1]) == by_host["n01"]["busbw_gbps"]


@pytest.mark.parametrize("overrides, status, code", [
    ({"H100_SXM:intra": {"pass_min_gbps": 10000, "warn_min_gbps": 1}}, 1, "fleet-hosts-in-warn-band"),
    ({"H100_SXM:multi": {"pass_min_gbps": 10000, "warn_min_gbps": 1}}, 1, "fleet-pairs-in-warn-band"),
    ({"H100_SXM:multi": {"pass_min_gbps": 10000, "warn_min_gbps": 9999}}, 2, "fleet-pairs-below-cutoff"),
])
def test_fleet_verdict_follows_the_sweep_cutoffs(overrides, status, code):
    r = fleet("--hosts", "n[01-06]", "--json", "-", overrides=overrides)
    record = json.loads(r.stdout)
    assert (r.returncode, record["suspects"]) == (status, []), r.stderr
    assert code in [f["code"] for f in record["findings"]]


@pytest.mark.parametrize("command", ["fleet", "sweep"])
def test_deadline_bounds_the_whole_command(tmp_path, command):
    args = ["--hosts", "n[01-04]", *H100] if command == "fleet" else ["--gpus", "2", "--gpu-type", "H100_SXM"]
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "QUORVANE_EMULATE"))}
    t0 = time.monotonic()
    r = subprocess.run([sys.executable, "-m", "quorvane", command, "--emulate", *args, "--deadline", "2",
                        "--timeout", "60", "--no-record", "--json", "-"], capture_output=True, text=True,
                       timeout=30, env={**env, "NCCL_STANDIN_MODE": "sleep", "NCCL_STANDIN_SLEEP": "30"})
    took = time.monotonic() - t0
    record = json.loads(r.stdout)
    assert took < 20 and record["verdict"] == "error" and r.returncode == 4, (took, r.stderr)   # each run: 30 s
    assert "--deadline of 2 s" in record["verdict_note"]


# ---- a real Slurm -----------------------------------------------------------------------

def sinfo_reasons(env):
    out = subprocess.run(["sinfo", "--noheader", "-R", "--format=%N|%E"], capture_output=True, text=True,
                         env=env, timeout=10, check=True).stdout
    return {n: r for n, _, r in (line.partition("|") for line in out.splitlines())}


def test_drain_and_resume_on_real_slurm(tmp_path):
    """Inside one allocation of every node (Slurm starts no new job on a drained
    node; a running allocation keeps it): a planted slow node is drained, with
    its reason in `sinfo -R`, and a clean rerun returns it to service."""
    env = {**{k: v for k, v in os.environ.items() if not k.startswith(("SLURM_", "QUORVANE_EMULATE"))},
           **launchers()}
    nodes = env["CI_SLURM_NODES"].split()
    slow = nodes[1]
    program = tmp_path / "all_reduce_perf"   # the stand-in, slow alone on one node
    program.write_text(f"#!/bin/sh\nQUORVANE_EMULATE_FAULTS='{json.dumps({slow: {'intra': 0.5}})}' "
                       f"exec {env['CI_STANDIN_DIR']}/all_reduce_perf \"$@\"\n")
    program.chmod(0o755)
    fleet = f"{sys.executable} -m quorvane fleet --launcher srun --gpus-per-node 4 --gpu-type H100_SXM " \
            "--timeout 60 --no-record --max-drain 1"
    script = tmp_path / "check.sh"
    script.write_text(f"""cd {tmp_path}
{fleet} --binary-root {tmp_path} --drain apply --json drain.json; echo $? > drain.rc
sinfo -R > drained.txt; sinfo -R --format="%100E %N" >> wide.txt
{fleet} --binary-root {env['CI_STANDIN_DIR']} --resume apply --json resume.json; echo $? > resume.rc
sinfo -R > resumed.txt
""")
    assert not any(r.startswith("quorvane:") for r in sinfo_reasons(env).values()), "a node is already drained"
    try:
        subprocess.run(["salloc", f"--nodelist={','.join(nodes)}", f"--nodes={len(nodes)}", "--immediate=120",
                        "sh", str(script)], env=env, timeout=400, capture_output=True, check=True)
        drain = json.loads((tmp_path / "drain.json").read_text())
        resume = json.loads((tmp_path / "resume.json").read_text())
        drained, resumed = (tmp_path / "drained.txt").read_text(), (tmp_path / "resumed.txt").read_text()
        print(drained, (tmp_path / "wide.txt").read_text(), resumed, sep="\n")
        assert (tmp_path / "drain.rc").read_text().strip() == "2"
        assert [(s["host"], s["kind"]) for s in drain["suspects"]] == [(slow, "intra")]
        assert [d["host"] for d in drain["slurm"]["drain"]["drained"]] == [slow]
        [row] = drained.splitlines()[1:]
        assert row.startswith("quorvane: intra ") and row.split()[-1] == slow
        assert (tmp_path / "resume.rc").read_text().strip() == "0"
        assert [d["host"] for d in resume["slurm"]["resume"]["resumed"]] == [slow]
        assert resumed.splitlines()[1:] == []
    finally:  # the cluster is shared: every node drained here goes back to service
        for node, reason in sinfo_reasons(env).items():
            if reason.startswith("quorvane:"):
                subprocess.run(["scontrol", "update", f"NodeName={node}", "State=RESUME"], env=env, timeout=30)


# ---- host lists wherever hosts are shown ---------------------------------------------------

def test_every_surface_folds_the_host_list(tmp_path, monkeypatch, capsys):
    from history_records import emulated_report, wrap
    from quorvane.cli import main
    from quorvane.history import History
    from quorvane.reports import html

    monkeypatch.setenv("QUORVANE_DB", str(tmp_path / "h.sqlite3"))
    hosts = [f"node{i:03d}" for i in range(1, 129)]
    sweep = wrap(emulated_report(), hosts=hosts)
    fleet_record = wrap(emulated_report(), kind="fleet", hosts=hosts, started_at="2026-12-07T10:55:06+00:00")
    fleet_record["hosts"] = [{"host": h, "verdict": "pass", "busbw_gbps": 300.0} for h in hosts]
    with History(tmp_path / "h.sqlite3") as h:
        h.add(sweep)
        h.add(fleet_record)
    assert main(["history"]) == 0
    listing = capsys.readouterr().out
    assert listing.count("node[001-128]") == 2 and "node004" not in listing
    assert main(["history", "--host", "node077", "--json", "-"]) == 0   # the fleet's hosts are indexed by name
    assert len(json.loads(capsys.readouterr().out)["runs"]) == 2
    main(["compare", "1", "2"])
    assert "node[001-128]" in capsys.readouterr().out
    assert "<title>quorvane fleet: H100_SXM on node[001-128]</title>" in html.render(fleet_record)
