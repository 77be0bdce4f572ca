"""NCCL's account of the path, read from real debug logs and from the wording
of the releases and launchers around them; the `transport` command."""
import csv
import json
import re
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from conftest import CORPUS, corpus_text, fuzz, need_corpus
from quorvane import analysis

INFO = CORPUS / "nccl-info"


def manifest_rows():
    path = INFO / "MANIFEST.tsv"
    if not path.is_file():
        return [None]
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def fact(facts, key):
    """The value the manifest states for `key=` ("net=IB gdr=yes (via ...)" -> "IB"), or None."""
    m = re.search(rf"(?:^|[\s;]){key}=([^;(]*)", facts)
    if not m:
        return None
    value = re.split(r" gdr=| listed| in these| between", m.group(1))[0].strip().rstrip(":")
    return value


def normal_intra(value):
    kind = value.split(" and ")[0].strip()
    if kind.startswith("SHM"):
        return "SHM"
    parts = kind.split("/")
    return "/".join(parts[:2])


def read(text, **context):
    return analysis.read_path(text, analysis.PathContext(**context)).to_dict()


def codes(acc):
    return [f["code"] for f in acc["findings"]]


@pytest.mark.corpus
@pytest.mark.parametrize("row", manifest_rows(), ids=lambda r: r["file"] if r else "missing")
def test_real_log_agrees_with_manifest(row):
    if row is None:
        need_corpus()
    acc = read(corpus_text(INFO / row["file"]))
    facts, situations = row["transport_facts"], set(row["situations"].split(","))
    assert acc["nccl_lines"] > 0
    if row["nccl_version"] != "-":
        assert acc["nccl_versions"] == [row["nccl_version"].split("+")[0]]
    else:
        assert acc["nccl_versions"] == []
    net = fact(facts, "plugin net") or fact(facts, "net")
    if net:
        assert acc["network"] == net
    gdr = fact(facts, "gdr")
    if gdr:
        assert acc["gdr"] is {"yes": True, "no": False}[gdr.split()[0].rstrip(":")]
    if fact(facts, "nics"):
        assert acc["nics"] == fact(facts, "nics").split(",")
    if fact(facts, "link"):
        assert acc["link_layer"] == fact(facts, "link")
    if fact(facts, "intra"):
        assert normal_intra(fact(facts, "intra")) in acc["intra"]
    for key, field in (("nNodes", "nodes"), ("localRanks", "local_ranks"), ("nranks", "ranks")):
        m = re.search(rf"{key} (\d+)", facts)
        if m:
            assert acc[field] == int(m.group(1))
    # What the situation letters promise.
    if "a" in situations:
        assert acc["gdr"] is True and acc["nics"]
    if "b" in situations:
        assert acc["gdr"] is False
    if "c" in situations:
        assert acc["network"] == "Socket" and "net-socket" in codes(acc)
    else:
        assert "net-socket" not in codes(acc)
    if "d" in situations:
        assert acc["plugins_loaded"] or acc["network"] not in ("IB", "Socket", None)
    if "e" in situations:
        assert acc["intra"]
    if "f" in situations:
        assert acc["nvls"] is not None
    if "h" in situations:
        assert acc["errors"]
    for f in acc["findings"]:
        assert f["evidence"] and f["advice"], f


@pytest.mark.corpus
@pytest.mark.parametrize("name, expect", [
    # A plugin loads, its PCI lookup fails, NCCL falls back to its own IB (RoCE).
    ("slurmv4_ofi_plugin_fallback_roce_gdrdma_2node.log",
     {"plugins_loaded": ["AWS Libfabric"], "finding": "net-plugin-failed", "evidence": "plugin/net.cc:118 -> 2"}),
    # "GPU Direct RDMA Disabled" printed for the loopback socket: no GDR verdict at all.
    ("nccl1053_socket_lo_ib_disabled_gdr_wording.log",
     {"gdr": None, "nics": ["lo"], "absent": "gdr-off", "environment": ("NCCL_IB_DISABLE", "1"),
      "finding": "net-socket", "severity": "warn"}),
    # GPUs of one process talking over NET/IB: the network carries intra-host traffic.
    ("nccl707_ib_gdrdma_single_process_4gpu_net_loopback.log",
     {"intra": ["NET/IB"], "finding": "p2p-off", "hosts": ["10-90-43-152"]}),
    # mpirun --tag-output prefixes glued to the host.
    ("awsefaeks_ofi_efa_p4d_2node_v2_9_9.log",
     {"hosts": ["nccl-tests-efa-16-worker-0", "nccl-tests-efa-16-worker-1"], "intra": ["P2P/IPC"]}),
    # NET/IB found no device; the socket lines are the network, not the bootstrap.
    ("nccl226_socket_no_ib_init_v2_4_7.log", {"nics": ["ens3"], "evidence": "NET/IB : No device found."}),
    ("nccl1053_socket_lo_ib_disabled_gdr_wording.log", {"evidence": "Using network Socket"}),
    # The merged device's name comes from "Made virtual device"; GDR off without a network channel is no finding.
    ("timez_single_node_p2p_direct_a100pcie_v2_27_7.log",
     {"gdr": False, "nics": ["mlx5_0", "mlx5_1"], "absent": "gdr-off", "nodes": 1}),
    # (no module): the peer-memory module is missing, which is worth a warning without a topology.
    ("nccl899_ib_gdr_disabled_no_module_busid_format.log", {"finding": "gdr-off", "severity": "warn"}),
    ("nccl_tests213_nvls_comm_p2p_direct_pointer_single_process.log", {"nvls": "used", "hosts": ["hw14"]}),
    ("nccl1232_socket_2node_shm_intra_rank_prefix.log", {"hosts": ["node0", "node2"], "intra": ["SHM"]}),
])
def test_real_log_traps(name, expect):
    acc = read(corpus_text(INFO / name))
    if "finding" in expect:
        found = [f for f in acc["findings"] if f["code"] == expect["finding"]]
        assert found, acc["findings"]
        if "severity" in expect:
            assert found[0]["severity"] == expect["severity"]
    if "absent" in expect:
        assert expect["absent"] not in codes(acc)
    if "evidence" in expect:
        assert any(expect["evidence"] in line for f in acc["findings"] for line in f["evidence"])
    if "environment" in expect:
        k, v = expect["environment"]
        assert acc["environment"][k] == v
    for key in ("plugins_loaded", "gdr", "nics", "intra", "hosts", "nvls", "nodes"):
        if key in expect:
            assert acc[key] == expect[key], key


H = "gpu-a:1201:1301 [0] NCCL INFO "


def lines(*body, prefix=H):
    return "".join(prefix + b + "\n" for b in body)


NET_IB = ("NET/IB : Using [0]mlx5_0:1/IB [1]mlx5_1:1/IB [2]mlx5_10:1/IB ; OOB eth0:10.0.0.1<0>",
          "Using network IB",
          "Channel 00/0 : 0[0] -> 8[0] [send] via NET/IB/0/GDRDMA",
          "Channel 01/0 : 8[0] -> 0[0] [receive] via NET/IB/2/GDRDMA")


@pytest.mark.parametrize("text, context, network, present, absent", [
    # The bootstrap's socket line on a run that uses IB.
    (lines("NET/Socket : Using [0]eth0:10.0.0.1<0>", *NET_IB), {}, "IB", [], ["net-socket"]),
    # NCCL_IB_HCA=mlx5_1 matches mlx5_10 by prefix; more NICs in use than listed is no fault.
    (lines("NCCL_IB_HCA set by environment to mlx5_1", *NET_IB), {}, "IB", [], ["nic-unused"]),
    # ...but an exact list whose NIC carries nothing is.
    (lines(*NET_IB), {"ib_hca": "=mlx5_0,mlx5_1"}, "IB", ["nic-unused"], []),
    (lines(*NET_IB), {"rdma_nics": ["mlx5_0", "mlx5_3"]}, "IB", ["nic-unused"], []),
    # Sockets where RDMA NICs exist fail; without any known, they warn.
    (lines("NET/IB : No device found.", "NET/Socket : Using [0]eth0:10.0.0.1<0>",
           "Channel 00/0 : 0[0] -> 8[0] [send] via NET/Socket/0"), {"rdma_nics": ["mlx5_0"]}, "Socket",
     ["net-socket:fail"], []),
    (lines("NET/IB : No device found.", "NET/Socket : Using [0]eth0:10.0.0.1<0>",
           "Channel 00/0 : 0[0] -> 8[0] [send] via NET/Socket/0"), {}, "Socket", ["net-socket:warn"], []),
    # GDR off on a host whose GPU and NIC share a switch.
    (lines("Channel 00/0 : 0[0] -> 8[0] [send] via NET/IB/0"), {"gpu_nic_same_switch": True}, "IB",
     ["gdr-off:warn"], []),
    # SHM between NVLink peers.
    (lines("Channel 00 : 0[0] -> 1[1] via SHM/direct/direct"), {"nvlink": True}, None, ["p2p-off:fail"], []),
    (lines("Channel 00 : 0[0] -> 1[1] via P2P/CUMEM/read"), {"nvlink": True}, None, [], ["p2p-off"]),
    # NVSwitch without NVLS: a note.
    (lines("4 coll channels, 0 collnet channels, 0 nvls channels, 4 p2p channels"), {"nvswitch": True}, None,
     ["nvls-off:note"], []),
    (lines("NCCL version 2.21.5+cuda12.4") + lines("NCCL version 2.23.4+cuda12.6", prefix="gpu-b:9:9 [0] NCCL INFO "),
     {}, None, ["nccl-version-mismatch:warn"], []),
])
def test_findings(text, context, network, present, absent):
    acc = read(text, **context)
    assert acc["network"] == network
    found = {f["code"] for f in acc["findings"]} | {f"{f['code']}:{f['severity']}" for f in acc["findings"]}
    for code in present:
        assert code in found, acc["findings"]
    for code in absent:
        assert code not in found, acc["findings"]


@pytest.mark.parametrize("prefix", [
    "gpu-a:1201:1301 [3] ",
    "0: gpu-a:1201:1301 [3] ",                 # srun -l
    "[1,3]<stderr>:gpu-a:1201:1301 [3] ",     # mpirun --tag-output
    "[2026-03-03 12:35:26] gpu-a:1201:1301 [3] ",
])
def test_launcher_prefixes(prefix):
    text = (f"{prefix}NCCL INFO NCCL version 2.29.3+cuda13.0\n"
            f"{prefix}NCCL INFO Channel 00/0 : 3[3] -> 11[3] [send] via NET/IB/3(11)/GDRDMA\n"
            f"{prefix}NCCL INFO NET/IB : Using [0]mlx5_0:1/RoCE [3]mlx5_3:1/RoCE [RO]; OOB eth0:10.0.0.1<0>\n")
    acc = read(text)
    assert acc["hosts"] == ["gpu-a"]
    assert acc["nccl_versions"] == ["2.29.3"] and acc["versions"][0]["source"] == "gpu-a:1201"
    assert (acc["network"], acc["link_layer"], acc["gdr"], acc["nics"]) == ("IB", "RoCE", True, ["mlx5_3"])


def test_torn_and_interleaved_lines():
    torn = ("gpu-a:1:2 [0] NCCL INFO Channel 00/0 : 0[0] -> 1[1] via P2P/IPgpu-a:1:3 [1] NCCL INFO "
            "Channel 01/0 : 1[1] -> 0[0] via P2P/CUMEM/read\n"
            "#  8388608  2097152  float  sum  -1  123.4  67.9  127.4  0gpu-b:7:8 [0] NCCL INFO Using network IB\n"
            "gpu-a:1:2 [0] NCCL INFO Channel 00/0 : 0[0] -> 8[0] [send] via NET/IB/0/GDRDMA gpu-b:7:8 [0] NCCL "
            "INFO NET/IB : Using [0]mlx5_0:1/IB ; OOB eth0:1.2.3.4<0>\n")
    acc = read(torn)
    assert acc["intra"] == ["P2P/CUMEM"]            # the torn P2P/IP... is not a transport
    assert (acc["network"], acc["gdr"], acc["nics"], acc["link_layer"]) == ("IB", True, ["mlx5_0"], "IB")
    assert acc["hosts"] == ["gpu-a", "gpu-b"]


@pytest.mark.corpus
@fuzz(25)
@given(st.lists(st.integers(min_value=0, max_value=10**6), max_size=12))
def test_pieces_cut_anywhere_read_as_a_whole(cuts):
    need_corpus()
    text = "".join(p.read_text(encoding="utf-8") for p in sorted(INFO.glob("*.log")))
    whole = analysis.read_path(text).to_dict()
    reader = analysis.PathReader()
    points = sorted({c % (len(text) + 1) for c in cuts})
    for a, b in zip([0, *points], [*points, len(text)]):
        reader.feed(text[a:b])
    reader.end_piece()
    assert reader.account().to_dict() == whole


def test_no_nccl_lines_and_junk():
    acc = read("hello\n\x00\x01 NCCL \nNCCL INFO\n" + "x" * 200_000)
    assert acc["network"] is None and acc["findings"] == [] and acc["lines"] == 4


# ---- the command -----------------------------------------------------------------------

def quorvane(*args, input=None):
    return subprocess.run([sys.executable, "-m", "quorvane", *args], input=input, capture_output=True, text=True,
                          timeout=30)


@pytest.mark.corpus
def test_command_json_and_exit_status(tmp_path):
    need_corpus()
    socket_log = str(INFO / "nccl952_socket_no_ib_p2p_ipc_warn.log")
    ib_log = str(INFO / "nccl1189_h20_ib_gdrdma_p2p_cumem_2node.log")
    r = quorvane("transport", socket_log, ib_log, "--json", "-", "--check")
    assert r.returncode == 1, r.stderr      # net-socket warns without known RDMA NICs
    doc = json.loads(r.stdout)
    assert (doc["kind"], doc["record_version"]) == ("transport", 1)
    first, second = doc["files"]
    for key in ("network", "link_layer", "gdr", "nics", "intra", "nvls", "nccl_versions", "findings"):
        assert key in first and key in second
    assert (first["source"], first["network"], second["network"], second["nics"]) == (socket_log, "Socket", "IB",
                                                                                      ["NET/IB/2", "NET/IB/3"])
    assert "net-socket" in r.stderr and "advice:" in r.stderr   # the account went to stderr
    r = quorvane("transport", socket_log, "--ib-hca", "mlx5_0", "--check")
    assert r.returncode == 2 and "FAIL net-socket" in r.stdout
    assert "| <cluster_name>:919:1150 [0] NCCL INFO Channel 00/0 : 0[0] -> 8[0] [receive] via NET/Socket/0" in r.stdout


def test_command_errors(tmp_path):
    empty = tmp_path / "table.txt"
    empty.write_text("# nccl-tests table only\n")
    r = quorvane("transport", str(empty))
    assert r.returncode == 4 and "no NCCL debug lines" in r.stderr and "Traceback" not in r.stderr
    r = quorvane("transport", str(tmp_path / "missing.log"))
    assert r.returncode == 64 and r.stderr.count("\n") == 1
    r = quorvane("transport", "-", input=lines(*NET_IB))
    assert r.returncode == 0 and "IB" in r.stdout and "mlx5_0 (1 ch, GDR)" in r.stdout


@pytest.mark.parametrize("body, expect", [
    # A plugin's own IB transport, named as NCCL names it.
    (("NET/IBext_v8 : Using [0]mlx5_0:1/IB [1]mlx5_1:1/IB [RO]; OOB ib0:10.0.0.1<0>",
      "Initialized NET plugin IBext_v8", "Assigned NET plugin IBext_v8 to comm",
      "Channel 00/0 : 0[0] -> 8[0] [send] via NET/IBext_v8/1/GDRDMA"),
     {"network": "IBext_v8", "nics": ["mlx5_1"], "link_layer": "IB", "gdr": True}),
    # No channel lines: NCCL's own GDR and NVLS lines decide.
    (("NET/IB : Using [0]mlx5_0:1/RoCE [RO]; OOB eth0:10.0.0.1<0>", "Using network IB",
      "NET/IB : GPU Direct RDMA Enabled for HCA 0 'mlx5_0'",
      "NVLS multicast support is available on dev 0 (NVLS_NCHANNELS 16)"),
     {"network": "IB", "gdr": True, "nics": ["mlx5_0"], "link_layer": "RoCE", "nvls": "available"}),
    # Connection index, copy-engine and indirect P2P wording.
    (("Channel 00/1 : 0[0] -> 1[1] via P2P/CUMEM/read", "Channel 01/0 : 1[1] -> 2[2] via P2P/IPC/CE",
      "Channel 02/0 : 2[2] -> 3[3] via P2P/indirect/1[1]"),
     {"intra": ["P2P/CUMEM", "P2P/IPC", "P2P/indirect"], "channels": 3}),
    # Ranks from init lines of every era.
    (("ncclCommInitRankConfig comm 0x5620a5c59ae0 rank 3 nranks 16 cudaDev 3 nvmlDev 3 busId 5d000 "
      "commId 0x1c2e - Init START",
      "comm 0x5620a5c59ae0 rank 3 nRanks 16 nNodes 2 localRanks 8 localRank 3 MNNVL 0"),
     {"ranks": 16, "nodes": 2, "local_ranks": 8}),
    # Not finding the default plugin is how a run without one starts.
    (("NET/Plugin: Plugin load returned 2 : libnccl-net.so: cannot open shared object file: No such file or "
      "directory : when loading libnccl-net.so", "NET/IB : Using [0]mlx5_0:1/IB ; OOB ib0:1.2.3.4<0>",
      "Using network IB"),
     {"network": "IB", "codes": []}),
    # ...but a plugin asked for that does not load has failed.
    (("NCCL_NET_PLUGIN set by environment to aws-ofi", "NET/Plugin: Plugin load returned 2 : "
      "libnccl-net-aws-ofi.so: cannot open shared object file", "NET/IB : No device found.",
      "NET/Socket : Using [0]eth0:10.0.0.1<0>", "Using network Socket"),
     {"network": "Socket", "codes": ["net-socket", "net-plugin-failed"]}),
])
def test_wording_of_recent_releases(body, expect):
    acc = read(lines(*body))
    codes_expected = expect.pop("codes", None)
    for key, value in expect.items():
        assert acc[key] == value, key
    if codes_expected is not None:
        assert codes(acc) == codes_expected


@fuzz(60)
@given(st.lists(st.sampled_from([H, "NCCL INFO ", "NCCL WARN ", "Channel 00/0 : ", "0[0] -> 1[1] ", "[send] ",
                                 "via NET/IB/", "via P2P/IPC", "GDRDMA", "NCCL version 2.", "\n", " -> ", "[",
                                 "]", ":", "x" * 70, "\u00e9\u2194", "NET/IB : Using [0]mlx5_0:1/IB"]),
                max_size=40))
def test_any_text_reads_the_same_whole_or_cut(pieces):
    text = "".join(pieces)
    whole = analysis.read_path(text).to_dict()
    reader = analysis.PathReader()
    half = len(text) // 2
    reader.feed(text[:half])
    reader.feed(text[half:])
    reader.end_piece()
    assert reader.account().to_dict() == whole
    assert whole["lines"] == text.count("\n") + (0 if text.endswith("\n") or not text else 1)
