"""Localisation inside a suspect: the GPU of an intra suspect, the rail of a net suspect."""
import itertools
import json
import os
import subprocess
import sys

import pytest

from conftest import CORPUS
from quorvane import analysis as qa
from quorvane.fleet import Topology

IBM_H100 = CORPUS / "topo" / "ibmcloud_h100_gx3d_topo.xml"   # GPU i shares its switch with mlx5_(7-i)


@pytest.mark.parametrize("gpus", range(2, 10))
def test_pair_rounds_cover_every_pair_once_in_disjoint_rounds(gpus):
    rounds = qa.gpu_pair_rounds(gpus)
    pairs = [p for r in rounds for p in r]
    assert sorted(pairs) == list(itertools.combinations(range(gpus), 2))
    assert len(rounds) == (gpus - 1 if gpus % 2 == 0 else gpus)
    for r in rounds:
        used = [g for p in r for g in p]
        assert len(used) == len(set(used)) and len(r) == gpus // 2


def pair_results(gpus, slow, factor=0.5, failed=()):
    return [(a, b, None if (a, b) in failed else 100.0 * (factor if slow in (a, b) else 1.0))
            for a, b in itertools.combinations(range(gpus), 2)]


@pytest.mark.parametrize("results, index, text", [
    (pair_results(8, 3), 3, "GPU 3: its 7 pairs at 50% of the host median"),
    (pair_results(8, 6, 0.8), 6, "GPU 6: its 7 pairs at 80%"),
    (pair_results(4, 0, failed={(0, 1)}), 0, "GPU 0: its 3 pairs (1 failed)"),
    (pair_results(8, None), None, None),
    (pair_results(8, 3, 0.9), None, None),                    # within the spread of a healthy host
])
def test_localize_gpu(results, index, text):
    found = qa.localize_gpu(results)
    assert (found and found["index"]) == index
    if text:
        assert text in found["evidence"]


def test_localize_gpu_names_bus_ids_and_needs_all_pairs_slow():
    results = pair_results(8, 3)
    found = qa.localize_gpu(results, [f"0000:{b}:00.0" for b in ("1b", "43", "52", "3b", "9d", "c3", "d1", "df")])
    assert found["evidence"].startswith("GPU 3 (0000:3b:00.0): its 7 pairs")
    # One slow pair is a link, not a GPU.
    assert qa.localize_gpu([(a, b, 50.0 if (a, b) == (2, 3) else 100.0) for a, b, _ in results]) is None


@pytest.mark.parametrize("rails, index, text", [
    ([100.0] * 5 + [58.0] + [100.0] * 2, 5, "rail 5 = GPU 5 \u2194 mlx5_5 at 58% of the rail median"),
    ([100.0, None, 100.0, 100.0], 1, "rail 1 = GPU 1 \u2194 mlx5_1 at failed"),
    ([100.0] * 8, None, None),
])
def test_localize_rail(rails, index, text):
    found = qa.localize_rail(rails, [f"mlx5_{i}" for i in range(len(rails))])
    assert (found and found["index"]) == index
    if text:
        assert found["evidence"] == text


def quorvane(*args, env):
    full = {k: v for k, v in os.environ.items() if not k.startswith(("NCCL_", "QUORVANE_EMULATE"))}
    full.update(env)
    return subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True, text=True, timeout=120,
                          env=full)


@pytest.mark.corpus
@pytest.mark.parametrize("name, nics", [
    ("ibmcloud_h100_gx3d_topo.xml", [f"mlx5_{7 - i}" for i in range(8)]),
    ("rccl_topo_expl_topo_8p_940_mi300x_xgmi.xml", [f"mlx5_{i}" for i in range(8)]),
    ("azhpc_ndv4-topo.xml", [""] * 8),          # two NICs per switch, named nowhere in the file
    ("azhpc_ncv4-topo.xml", [""] * 8),          # no RDMA NIC; 4 GPUs, asked for 8
])
def test_rail_nics_follow_the_topologys_affinity(name, nics):
    topology = Topology.of(qa.analyze_topology((CORPUS / "topo" / name).read_text()).to_dict())
    assert topology.rail_nics(8) == nics


def test_gpus_sharing_nics_take_them_in_turn():
    gpus = [{"dev": d, "busid": f"0000:{d:02x}:00.0"} for d in (1, 0, 2, 3)]
    nics = [{"name": n, "busid": f"0000:8{i}:00.0"} for i, n in enumerate(("ib0", "ib1", "ib2"))]
    affinity = {"0": ["0000:80:00.0", "0000:81:00.0"], "1": ["0000:80:00.0", "0000:81:00.0"], "2": ["0000:82:00.0"]}
    topology = Topology.of({"gpus": gpus, "nics": nics, "gpu_nic_affinity": affinity})
    assert topology.rail_nics(4) == ["ib0", "ib1", "ib2", ""]
    assert topology.gpu_bus_ids(5) == ["0000:00:00.0", "0000:01:00.0", "0000:02:00.0", "0000:03:00.0", ""]


@pytest.mark.parametrize("topo, nic, gpu3", [
    (None, "mlx5_5", "GPU 3:"),                 # no topology: NCCL picks the NIC and its debug lines name it
    (IBM_H100, "mlx5_2", "GPU 3 (0000:c2:00.0):"),
])
def test_emulated_fleet_names_the_planted_hosts_with_gpu_rail_and_path(topo, nic, gpu3):
    if topo is not None and not topo.is_file():
        pytest.skip("corpus not available")
    faults = {"node05": {"transport": "socket"}, "node09": {"gpu3": 0.5}, "node12": {"rail5": 0.55}}
    r = quorvane("fleet", "--hosts", "node[01-16]", "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--emulate",
                 "--json", "-", "--no-record", *(["--topo", str(topo)] if topo else []),
                 env={"QUORVANE_EMULATE_FAULTS": json.dumps(faults)})
    record = json.loads(r.stdout)
    suspects = {s["host"]: s for s in record["suspects"]}
    assert sorted(suspects) == ["node05", "node09", "node12"], r.stderr
    assert suspects["node05"]["path"] == ["net-socket"] and "net-socket" in suspects["node05"]["evidence"]
    assert (suspects["node09"]["kind"], suspects["node09"]["gpu"]) == ("intra", 3)
    assert suspects["node09"]["evidence"].startswith(gpu3)
    assert (suspects["node12"]["kind"], suspects["node12"]["rail"], suspects["node12"]["nic"]) == ("net", 5, nic)
    assert suspects["node12"]["evidence"].startswith(f"rail 5 = GPU 5 \u2194 {nic} at ")
    loc = record["localization"]
    assert [rail["nic"] for rail in loc["node12"]["rails"]][5] == nic
    assert (loc["node09"]["runs"], loc["node09"]["rounds"]) == (28, 7)
    assert (loc["node12"]["runs"], loc["node12"]["rounds"]) == (8, 1)
    assert list(record["transport_hosts"]) == ["node05"]
    assert record["transport_hosts"]["node05"]["findings"][0]["severity"] == "fail"   # the fleet's hosts have RDMA
    assert record["transport"]["network"] == "IB" and len(record["transport"]["hosts"]) == 16


def test_sweep_localize_on_one_host():
    env = {"QUORVANE_EMULATE_FAULTS": json.dumps({os.uname().nodename: {"gpu5": 0.5}})}
    r = quorvane("sweep", "--gpus", "8", "--gpu-type", "H100_SXM", "--emulate", "--collectives", "all_reduce",
                 "--localize", "--json", "-", "--no-record", env=env)
    record = json.loads(r.stdout)
    assert record["localization"]["result"]["index"] == 5 and record["localization"]["runs"] == 28
    assert any(f["code"] == "gpu-slow" and "GPU 5" in f["evidence"] for f in record["findings"])
    r = quorvane("sweep", "--hosts", "a,b", "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--emulate",
                 "--localize", env={})
    assert r.returncode == 64 and "--localize" in r.stderr


@pytest.mark.parametrize("topo, says", [
    ("/nonexistent/topo.xml", "--topo: cannot read /nonexistent/topo.xml"),
    (str(CORPUS / "topo" / "azhpc_ncv4-graph.xml"), "--topo "),     # a search graph, not a topology
])
def test_fleet_refuses_a_topology_it_cannot_use_in_one_line(topo, says):
    r = quorvane("fleet", "--hosts", "node[01-04]", "--gpus-per-node", "8", "--gpu-type", "H100_SXM", "--emulate",
                 "--no-record", "--topo", topo, env={})
    assert r.returncode == 64 and says in r.stderr and len(r.stderr.strip().splitlines()) == 1, r.stderr
