"""NCCL's debug output around runs: the stand-in writes it in real wording, with
planted path faults per host; sweep, grade and fleet read it into their records."""
import json
import os
import subprocess
import sys

import pytest

from conftest import STANDIN
from quorvane import analysis
from quorvane.reports import html

FAULTS = "QUORVANE_EMULATE_FAULTS"


def standin(tmp_path, *args, **env):
    full = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_", "QUORVANE_EMULATE", "CUDA_"))}
    full.update(NCCL_STANDIN_COLLECTIVE="all_reduce", **env)
    return subprocess.run([sys.executable, str(STANDIN), "-b", "33554432", "-e", "33554432", *args], env=full,
                          capture_output=True, text=True, timeout=20, cwd=tmp_path)


def account_of(paths, **context):
    reader = analysis.PathReader()
    for p in paths:
        reader.feed(p.read_text())
        reader.end_piece()
    return reader.account(analysis.PathContext(**context)).to_dict()


def busbw(result):
    reading = analysis.read_output(result.stdout, "all_reduce")
    return reading.rows[-1].busbw_gbps


@pytest.mark.parametrize("fault, expect, codes", [
    (None, {"network": "IB", "gdr": True, "intra": ["P2P/CUMEM"], "nics": ["mlx5_0", "mlx5_7"]}, []),
    ("socket", {"network": "Socket", "gdr": None, "nics": ["eth0"]}, ["net-socket"]),
    ("no-gdr", {"network": "IB", "gdr": False}, ["gdr-off"]),
    ("shm", {"network": "IB", "intra": ["SHM"]}, ["p2p-off"]),
])
def test_standin_writes_each_hosts_debug_file(tmp_path, fault, expect, codes):
    faults = json.dumps({"b": {"transport": fault}}) if fault else ""
    r = standin(tmp_path, "-g", "8", NCCL_DEBUG="INFO", NCCL_DEBUG_FILE=str(tmp_path / "nccl-%h-%p.log"),
                QUORVANE_EMULATE_HOSTS="a,b", **{FAULTS: faults})
    assert r.returncode == 0 and "NCCL INFO" not in r.stdout      # stdout keeps the table
    files = {p.name.split("-")[1]: p for p in tmp_path.glob("nccl-*.log")}
    assert sorted(files) == ["a", "b"]
    b = account_of([files["b"]])
    for key, value in expect.items():
        assert b[key] == value, key
    assert [f["code"] for f in b["findings"]] == codes
    assert (b["ranks"], b["nodes"], b["local_ranks"], b["hosts"]) == (16, 2, 8, ["b"])
    assert account_of([files["a"]])["network"] == "IB"


def test_standin_debug_on_stdout_honours_visible_devices_and_ib_hca(tmp_path):
    r = standin(tmp_path, "-g", "2", NCCL_DEBUG="INFO", CUDA_VISIBLE_DEVICES="5,6", NCCL_IB_HCA="=mlx5_5,mlx5_6",
                QUORVANE_EMULATE_HOSTS="a,b")
    assert r.returncode == 0 and "nvmlDev 5" in r.stdout and "[0000:c3:00]" in r.stdout
    acc = analysis.read_path(r.stdout).to_dict()
    assert acc["nics"] == ["mlx5_5", "mlx5_6"] and acc["gdr"] is True
    assert "NET/IB : Using [0]mlx5_5:1/IB [1]mlx5_6:1/IB [RO]" in r.stdout and "via NET/IB/0/GDRDMA" in r.stdout
    assert busbw(r) > 0          # the table is still read with the debug lines around it
    r = standin(tmp_path, NCCL_DEBUG="WARN")
    assert "NCCL INFO" not in r.stdout


@pytest.mark.parametrize("faults, visible, hosts, slow", [
    ({"a": {"gpu3": 0.5}}, "2,3", "a", True),
    ({"a": {"gpu3": 0.5}}, "0,1", "a", False),
    ({"b": {"rail5": 0.55}}, "5", "a,b", True),
    ({"b": {"rail5": 0.55}}, "4", "a,b", False),
    ({"b": {"transport": "socket"}}, "0", "a,b", True),
    ({"b": {"transport": "socket"}}, "0", "b", False),   # one host: sockets carry nothing
])
def test_planted_faults_slow_the_runs_they_touch(tmp_path, faults, visible, hosts, slow):
    g = "2" if hosts == "a" else "1"
    base = standin(tmp_path, "-g", g, CUDA_VISIBLE_DEVICES=visible, QUORVANE_EMULATE_HOSTS=hosts, NCCL_ALGO="RING")
    hit = standin(tmp_path, "-g", g, CUDA_VISIBLE_DEVICES=visible, QUORVANE_EMULATE_HOSTS=hosts, NCCL_ALGO="RING",
                  **{FAULTS: json.dumps(faults)})
    assert (busbw(hit) < 0.7 * busbw(base)) == slow


def quorvane(*args, env=None, cwd=None):
    full = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_", "QUORVANE_EMULATE"))}
    full.update(env or {})
    return subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, text=True, timeout=60,
                          env=full, cwd=cwd)


@pytest.mark.parametrize("value", ['{"n": {"transport": "tcp"}}', '{"n": {"gpu": 0.5}}', '{"n": {"rail5": -1}}',
                                   '[1]', '{"n": {"gpu3": true}}'])
@pytest.mark.parametrize("command", [["sweep", "--gpus", "8"], ["fleet", "--hosts", "n[1-4]", "--gpus-per-node", "8"]])
def test_malformed_faults_are_one_usage_error(tmp_path, value, command):
    r = quorvane(*command, "--gpu-type", "H100_SXM", "--emulate", "--no-record", env={FAULTS: value})
    assert r.returncode == 64 and r.stderr.count("\n") == 1 and FAULTS in r.stderr, r.stderr


def test_sweep_records_the_path_and_keeps_the_debug_files(tmp_path):
    env = {FAULTS: json.dumps({os.uname().nodename: {"transport": "shm"}}), "TMPDIR": str(tmp_path)}
    r = quorvane("sweep", "--gpus", "8", "--gpu-type", "H100_SXM", "--emulate", "--collectives", "all_reduce",
                 "--json", str(tmp_path / "r.json"), "--keep-logs", str(tmp_path / "logs"), "--no-record", env=env)
    assert r.returncode == 2, r.stderr
    record = json.loads((tmp_path / "r.json").read_text())
    path = record["transport"]
    assert (path["network"], path["intra"], path["ranks"]) == ("IB", ["SHM"], 8)
    assert [f["code"] for f in path["findings"]] == ["p2p-off"]
    assert "p2p-off" in r.stdout and "NCCL INFO Channel" in r.stdout   # shown with its evidence, not raw
    assert list((tmp_path / "logs" / "nccl-debug" / "all_reduce").glob("nccl-*.log"))
    page = html.render(record)
    assert "<h2>Path</h2>" in page and "SHM/direct/direct" in page
    # Without --keep-logs nothing is left behind.
    r = quorvane("sweep", "--gpus", "2", "--gpu-type", "H100_SXM", "--emulate", "--collectives", "all_reduce",
                 "--json", "-", "--no-record", env=env)
    assert json.loads(r.stdout)["transport"]["network"] == "IB"
    assert not list(tmp_path.glob("quorvane-nccl-*"))


def test_grade_reads_debug_lines_mixed_into_saved_output(tmp_path):
    r = standin(tmp_path, "-g", "2", NCCL_DEBUG="INFO", QUORVANE_EMULATE_HOSTS="a,b",
                **{FAULTS: json.dumps({h: {"transport": "no-gdr"} for h in "ab"})})
    (tmp_path / "all_reduce.txt").write_text(r.stdout)
    g = quorvane("grade", str(tmp_path / "all_reduce.txt"), "--gpu-type", "H100_SXM", "--json", "-", "--no-record")
    record = json.loads(g.stdout)
    assert record["transport"]["gdr"] is False and "gdr-off" in [f["code"] for f in record["transport"]["findings"]]
    (tmp_path / "plain.txt").write_text(standin(tmp_path).stdout)
    g = quorvane("grade", str(tmp_path / "plain.txt"), "--gpu-type", "H100_SXM", "--json", "-", "--no-record")
    assert json.loads(g.stdout)["transport"] is None
