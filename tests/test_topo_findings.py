"""Topology findings: small synthetic hosts with one planted defect each, the real files of the
corpus, and `quorvane topo` as users run it."""
import json
import os
import pty
import re
import select
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

import conftest

import quorvane.analysis as qa
import quorvane.collsweep as cs

REPO = Path(__file__).resolve().parent.parent
CORPUS = conftest.CORPUS / "topo"
needs_corpus = pytest.mark.corpus


def host(gpu_width=(), gpu_speed=(), nic_width=(), gpu_gdr=(), nic_gdr=(), nic_speed=(), nvlinks=(),
         lone_nic=(), pair_node=(), extra_nics=(), drop_gpu=(), drop_nic=()):
    """Four GPU+NIC pairs, each under its own PCIe switch, pairs 0-1 on NUMA node 0 and 2-3 on 1.
    Each argument is a dict {pair: value} that changes that pair; lone_nic={pair: node} takes the
    NIC out of its switch and puts it straight under that node's cpu."""
    get = lambda plant, p, default: dict(plant).get(p, default)  # noqa: E731
    cpus = {0: [], 1: []}
    for p in range(4):
        gpu = "" if p in drop_gpu else (
            f'<pci busid="0000:{p}1:00.0" class="0x030200" vendor="0x10de" device="0x2330" '
            f'link_speed="{get(gpu_speed, p, "32.0 GT/s PCIe")}" link_width="{get(gpu_width, p, 16)}">'
            f'<gpu dev="{p}" sm="90" rank="{p}" gdr="{get(gpu_gdr, p, 1)}">'
            f'<nvlink target="0000:f0:00.0" count="{get(nvlinks, p, 18)}"/></gpu></pci>')
        nic = "" if p in drop_nic else "".join(
            f'<pci busid="0000:{p}{2 + k}:00.0" class="0x020700" vendor="0x15b3" device="0x1021" '
            f'link_speed="32.0 GT/s PCIe" link_width="{get(nic_width, p, 16)}"><nic><net name="mlx5_{p}{"x" * k}" '
            f'speed="{get(nic_speed, p, 400000)}" port="1" gdr="{get(nic_gdr, p, 1)}"/></nic></pci>'
            for k in range(1 + get(extra_nics, p, 0)))
        node = get(pair_node, p, p // 2)
        if p in dict(lone_nic):
            cpus[dict(lone_nic)[p]].append(nic)
            nic = ""
        cpus[node].append(f'<pci busid="0000:{p}0:00.0" class="0x060400">{gpu}{nic}</pci>')
    body = "".join(f'<cpu numaid="{n}">{"".join(parts)}</cpu>' for n, parts in cpus.items())
    return f'<?xml version="1.0"?>\n<system version="1">{body}</system>\n'


def found(report_or_list):
    findings = getattr(report_or_list, "findings", report_or_list)
    return sorted((f.code, f.severity.name, re.search(r"(GPU \d+|NIC \S+|NICs)", f.message)[0]) for f in findings)


@pytest.mark.parametrize("plant,expected", [
    ({}, []),
    ({"gpu_width": {1: 0}}, []),                      # width 0: unknown (a virtual machine), no defect
    ({"gpu_width": {1: 8}}, [("pcie-link-downtrained", "fail", "GPU 1")]),
    ({"gpu_speed": {3: "16.0 GT/s PCIe"}}, [("pcie-link-downtrained", "fail", "GPU 3")]),
    ({"nic_width": {2: 8}}, [("pcie-link-downtrained", "fail", "NIC mlx5_2")]),
    ({"gpu_gdr": {0: 0}}, [("gdr-off", "warn", "GPU 0")]),
    ({"nic_gdr": {3: 0}}, [("gdr-off", "warn", "NIC mlx5_3")]),
    ({"nic_speed": {1: 200000}}, [("nic-slow", "fail", "NIC mlx5_1")]),
    ({"lone_nic": {1: 0}}, [("gpu-no-local-nic", "warn", "GPU 1")]),              # nearest NIC on its node
    ({"lone_nic": {2: 0, 3: 0}}, [("gpu-no-local-nic", "fail", "GPU 2"), ("gpu-no-local-nic", "fail", "GPU 3"),
                                  ("nic-numa-imbalance", "warn", "NICs")]),     # node 1 left without a NIC
    ({"nvlinks": {3: 12}}, [("nvlink-degraded", "fail", "GPU 3")]),
    ({"extra_nics": {0: 2}}, [("nic-numa-imbalance", "warn", "NICs")]),
])
def test_each_planted_defect_gives_its_finding_alone(plant, expected):
    report = qa.analyze_topology(host(**plant))
    assert report.kind == "dump"
    assert found(report) == expected
    for f in report.findings:  # the device is named by bus id, and the evidence given
        assert re.search(r"0000:\d\d:00\.0|NICs", f.message) and f.evidence, f


@pytest.mark.parametrize("golden,current,expected", [
    ({}, {}, []),
    ({"gpu_width": {1: 0}}, {}, []),                  # unknown width is no change
    ({}, {"drop_gpu": {2}}, [("gpu-missing", "fail", "GPU 2")]),
    ({"drop_gpu": {2}}, {}, [("gpu-added", "warn", "GPU 2")]),
    ({}, {"drop_nic": {1}}, [("nic-missing", "fail", "NIC mlx5_1")]),
    ({}, {"gpu_width": {1: 8}}, [("pcie-link-changed", "fail", "GPU 1")]),
    ({"gpu_speed": {1: "16 GT/s"}}, {}, [("pcie-link-changed", "warn", "GPU 1")]),
    ({}, {"nvlinks": {3: 12}}, [("nvlink-changed", "fail", "GPU 3")]),
    ({}, {"nic_speed": {1: 200000}}, [("nic-speed-changed", "fail", "NIC mlx5_1")]),
    ({}, {"pair_node": {1: 1}}, [("numa-changed", "warn", "GPU 1"), ("numa-changed", "warn", "NIC mlx5_1")]),
])
def test_changes_against_a_golden_file(golden, current, expected):
    assert found(qa.compare_topology(qa.analyze_topology(host(**golden)), qa.analyze_topology(host(**current)))) \
        == expected


def test_hosts_compared_with_the_fleet_and_the_majority():
    reports = [qa.analyze_topology(host(**plant)) for plant in
               ({}, {"gpu_speed": dict.fromkeys(range(4), "16 GT/s")}, {}, {"drop_nic": {3}}, {"gpu_width": {0: 8}})]
    comparison = qa.compare_hosts(reports, ["a", "b", "c", "d", "e"])
    # Host b's GPUs agree with each other, but not with the best the other hosts have; host e's
    # narrow GPU has its finding from its own host already.
    assert [found(f) for f in comparison.findings] == \
        [[], [("pcie-link-downtrained", "fail", f"GPU {i}") for i in range(4)], [], [], []]
    assert "on a)" in comparison.findings[1][0].message
    assert {(d.host, d.what, d.value, d.majority) for d in comparison.differences} >= {
        (1, "GPU PCIe links", "4x x16 at 16 GT/s", "4x x16 at 32 GT/s"), (3, "NICs", "3", "4")}
    assert {d.host for d in comparison.differences} == {1, 3, 4}


def library_view(report):
    """The analysis' inventory cut down to the keys parse_nccl_topo_xml has."""
    inv = report.to_dict()
    keys = list(cs.parse_nccl_topo_xml(host())["gpus"][0]), list(cs.parse_nccl_topo_xml(host())["nics"][0])
    return {"gpus": [{k: g[k] for k in keys[0]} for g in inv["gpus"]],
            "nics": [{k: n[k] for k in keys[1]} for n in inv["nics"]],
            "gpu_nic_affinity": inv["gpu_nic_affinity"], "numa_domains": inv["numa_domains"]}


def corpus_dumps():
    texts = {p.name: p.read_text() for p in CORPUS.glob("*.xml")}
    # without the corpus, one case that the corpus marker skips (or fails in CI)
    return sorted(name for name, text in texts.items() if "<system" in text and "<gpu" in text) or ["(corpus)"]


@pytest.mark.parametrize("text", [host(), host(extra_nics={0: 2}, lone_nic={3: 0}),
                                  ('<system><cpu numaid="0"><pci busid="a"><pci busid="b"><gpu dev="1"/>'
                                   '<net name="deep"/></pci><pci busid="c"><gpu dev="07"/></pci>'
                                   '<nic><net name="n&amp;1"/><net name="n&#38;1"/></nic></pci></cpu>'
                                   '<pci busid="a"><net name="m"/></pci></system>')])
def test_inventory_is_the_librarys(text):
    assert library_view(qa.analyze_topology(text)) == cs.parse_nccl_topo_xml(text)


@needs_corpus
@pytest.mark.parametrize("name", corpus_dumps())
def test_inventory_of_real_dumps_is_the_librarys(name):
    text = (CORPUS / name).read_text()
    assert library_view(qa.analyze_topology(text)) == cs.parse_nccl_topo_xml(text)


@needs_corpus
@pytest.mark.parametrize("name,kind,gpus,nics,codes", [
    ("ibmcloud_h100_gx3d_topo.xml", "dump", 8, 8, {}),
    ("rccl_topo_expl_topo_8p_940_mi300x_xgmi.xml", "dump", 8, 8, {}),
    ("rccl_topo_expl_topo_8p_90a_mi250_xgmi_comment.xml", "dump", 8, 1,
     {("gdr-off", "warn"): 9, ("gpu-no-local-nic", "warn"): 8}),
    ("azhpc_ncv4-topo.xml", "dump", 4, 1,
     {("gdr-off", "warn"): 1, ("gpu-no-local-nic", "warn"): 1, ("gpu-no-local-nic", "fail"): 3}),
    ("azhpc_ndv2-topo.xml", "static", 8, 1, {("gpu-no-local-nic", "warn"): 4, ("gpu-no-local-nic", "fail"): 4}),
    ("azhpc_ndv4-topo.xml", "static", 8, 8, {}),
    ("azhpc_ndv5-topo.xml", "static", 8, 8, {}),
    ("aws_ofi_nccl_p4d-24xl-topo.xml", "static", 8, 4, {}),
    ("azhpc_ncv4-graph.xml", "none", 0, 0, {}),
])
def test_real_files(name, kind, gpus, nics, codes):
    report = qa.analyze_topology((CORPUS / name).read_text())
    assert (report.kind, report.gpu_count, report.nic_count) == (kind, gpus, nics)
    assert Counter((f.code, f.severity.name) for f in report.findings) == codes
    if kind == "static":  # affinity from the switch tree: a GPU and a NIC under one switch
        assert len(report.to_dict()["gpu_nic_affinity"]) == (0 if name == "azhpc_ndv2-topo.xml" else 8)


@needs_corpus
def test_amd_dump_counts_xgmi_and_keeps_its_architecture():
    gpus = qa.analyze_topology((CORPUS / "rccl_topo_expl_topo_8p_940_mi300x_xgmi.xml").read_text()).to_dict()["gpus"]
    assert {(g["gcn"], g["xgmi_count"], g["xgmi_peers"], g["nvlink_count"]) for g in gpus} == {("gfx942", 7, 7, 0)}


@pytest.mark.parametrize("text,line,column,message", [
    ("<system>\n  <cpu numaid='0'>\n    <pci busid=\"x", 3, 18, "end of file: the value of the attribute busid"),
    ("<system>\n<cpu>\n</system>", 3, 1, "mismatched tag: </system> does not close <cpu> opened at line 2, column 1"),
    ("<system><cpu>\n", 2, 1, "unexpected end of file: <cpu> opened at line 1, column 9 is not closed"),
    ("<system><gpu dev='&nope;'/></system>", 1, 19, "undefined entity &nope;"),
    ("<system><gpu dev='1' dev='2'/></system>", 1, 22, "duplicate attribute dev"),
    ("<system/>\n<system/>", 2, 1, "a second element after the document element"),
    ("<system>\x01</system>", 1, 9, "invalid character"),
    ("<system a=1/>", 1, 11, "not quoted"),
    ("<system><!-- a -- b --></system>", 1, 16, "'--' inside a comment"),
    ("<system>" * 5000, 1, 32769, "nested deeper than 4096"),
])
def test_malformed_files_say_where(text, line, column, message):
    report = qa.analyze_topology(text)
    assert (report.kind, report.line, report.column) == ("invalid", line, column)
    assert report.error.startswith(f"malformed XML at line {line}, column {column}: ") and message in report.error


# ---- the command ------------------------------------------------------------------

def quorvane(*args, input="", **env):
    environ = {k: v for k, v in os.environ.items() if k not in ("NO_COLOR", "TERM")}
    r = subprocess.run([sys.executable, "-m", "quorvane", "topo", *args], input=input, capture_output=True,
                       text=True, env={**environ, **env}, timeout=60)
    assert "\x1b" not in r.stdout + r.stderr and "Traceback" not in r.stderr
    return r


TOPO = host(gpu_width={1: 8}, nic_gdr={3: 0})


def test_tables_findings_and_json(tmp_path):
    path = tmp_path / "topo.xml"
    path.write_text(TOPO)
    r = quorvane(str(path))
    assert r.returncode == 0, r.stderr  # findings change the status only with --check
    for line in (r"4 GPUs, 4 NICs, 2 NUMA domains",
                 r"1\s+1\s+90\s+0000:11:00\.0\s+0\s+18\s+1\s+yes\s+x8 at 32 GT/s\s+mlx5_1",
                 r"mlx5_3\s+400 Gb/s\s+1\s+1\s+0000:32:00\.0\s+no\s+x16 at 32 GT/s\s+-",
                 r"GPU\s+2 (->|\u2192) mlx5_2",
                 r"FAIL\s+pcie-link-downtrained\s+GPU 1 \(0000:11:00\.0\): PCIe link x8 at 32 GT/s, .*\]",
                 r"WARN\s+gdr-off\s+NIC mlx5_3 \(0000:32:00\.0\): GPUDirect RDMA off\s+\[gdr=\"0\"\]"):
        assert re.search(rf"^\s+{line}$", r.stdout, re.M), (line, r.stdout)
    r = quorvane("-", "--json", str(tmp_path / "out.json"), "--check", input=TOPO)
    assert r.returncode == 2 and "FAIL" in r.stdout
    data = json.loads((tmp_path / "out.json").read_text())
    expected = qa.analyze_topology(TOPO).to_dict()
    assert (data["gpus"], data["nics"]) == (expected["gpus"], expected["nics"])
    assert [(f["code"], f["severity"]) for f in data["findings"]] == [("pcie-link-downtrained", "fail"),
                                                                      ("gdr-off", "warn")]
    assert sorted(os.listdir(tmp_path)) == ["out.json", "topo.xml"]  # no temporary file left
    r = quorvane("-", "--json", "-", input=TOPO)
    assert json.loads(r.stdout)["source"] == "-" and "GPU -> NIC affinity" in r.stderr


def test_json_goes_through_links_and_comes_after_the_results(tmp_path):
    (tmp_path / "real.json").write_text("old")
    os.symlink(tmp_path / "real.json", tmp_path / "link.json")
    assert quorvane("-", "--json", str(tmp_path / "link.json"), input=TOPO).returncode == 0
    assert (tmp_path / "link.json").is_symlink() and json.loads((tmp_path / "real.json").read_text())["kind"] == "dump"
    r = quorvane("-", "--json", "/proc/version", input=TOPO)  # cannot be written; the results are out before
    assert r.returncode == 74 and "Findings" in r.stdout and r.stderr.startswith("quorvane: error: cannot write")


@pytest.mark.parametrize("golden,plant,status", [
    (None, {}, 0), (None, {"gpu_gdr": {0: 0}}, 1), (None, {"nvlinks": {0: 2}}, 2),
    ({}, {}, 0), ({"drop_nic": {0}}, {}, 1), ({}, {"drop_gpu": {0}}, 2),
])
def test_check_exit_status(golden, plant, status, tmp_path):
    against = []
    if golden is not None:
        (tmp_path / "golden.xml").write_text(host(**golden))
        against = ["--against", str(tmp_path / "golden.xml")]
    assert quorvane("-", "--check", *against, input=host(**plant)).returncode == status
    assert quorvane("-", *against, input=host(**plant)).returncode == 0


@pytest.mark.parametrize("args,input,status,message", [
    (["/dev/zero"], "", 64, "/dev/zero: larger than 64 MiB"),
    (["-"], "<system><cpu>", 4, "-: malformed XML at line 1, column 14: unexpected end of file: <cpu>"),
    (["-"], "not xml at all", 4, "-: no NCCL topology found"),
    (["-", "--check"], "<graphs/>", 4, "-: no NCCL topology found"),
    (["/nonexistent/topo.xml"], "", 64, "cannot read /nonexistent/topo.xml"),
    (["-", "--against", "-"], "", 64, "standard input ('-') can be read only once"),
    (["-", "--against", "/dev/null"], "<system/>", 64, "--against /dev/null: no NCCL topology found"),
])
def test_bad_input_gives_one_line(args, input, status, message):
    r = quorvane(*args, input=input)
    assert (r.returncode, r.stdout) == (status, "")
    assert re.fullmatch(rf"quorvane: error: {re.escape(message)}[^\n]*\n", r.stderr), r.stderr


def test_many_hosts(tmp_path):
    paths = []
    for name, plant in (("a-topo", {}), ("b-topo", {"drop_nic": {3}}), ("c-topo", {}), ("bad", None)):
        paths.append(tmp_path / f"{name}.xml")
        paths[-1].write_text(host(**plant) if plant is not None else "<system><cpu>")
    r = quorvane(*map(str, paths), "--json", str(tmp_path / "fleet.json"))
    assert r.returncode == 4, r.stderr  # one host could not be read
    # hosts are named as their files name them, not by path
    assert re.search(r"^  b\s+4 GPUs, 3 NICs, 2 NUMA domains\s+1 warn$", r.stdout, re.M), r.stdout
    assert re.search(r"^  b\s+NICs 3 \(majority 4\);", r.stdout, re.M)
    assert len(re.findall(r"^  [ac]\s+4 GPUs, 4 NICs", r.stdout, re.M)) == 2
    assert "bad.xml: malformed XML at line 1, column 14" in r.stderr
    data = json.loads((tmp_path / "fleet.json").read_text())
    assert [(h["host"], Path(h["source"]).name) for h in data["hosts"]] == [
        ("a", "a-topo.xml"), ("b", "b-topo.xml"), ("c", "c-topo.xml")]
    assert {(d["host"], d["what"]) for d in data["differences"]} >= {("b", "NICs")}
    # two files that would get one name keep their paths
    (tmp_path / "x").mkdir()
    (tmp_path / "x" / "a-topo.xml").write_text(host())
    r = quorvane(str(paths[0]), str(tmp_path / "x" / "a-topo.xml"))
    assert len(re.findall(r"^  \S+/a-topo\.xml\s+4 GPUs", r.stdout, re.M)) == 2, r.stdout


@pytest.mark.parametrize("name", sorted(set(corpus_dumps()) | {"azhpc_ndv2-topo.xml"}))
@needs_corpus
def test_a_file_against_itself_passes_the_check(name):
    path = str(CORPUS / name)
    r = quorvane(path, "--check", "--against", path)
    assert r.returncode == 0, r.stdout
    assert "none: the same devices, placement and links" in r.stdout


@pytest.mark.parametrize("golden,current,status", [
    ({"gpu_gdr": {0: 0}}, {"gpu_gdr": {0: 0}}, 0),            # built that way: the golden file has it too
    ({"gpu_gdr": {0: 0}}, {"gpu_gdr": {0: 0, 1: 0}}, 1),      # one more GPU without GDR is this host's own
    ({"nic_gdr": {0: 0}}, {"nic_gdr": {0: 0}, "nvlinks": {2: 2}}, 2),
])
def test_golden_findings_are_the_machine_type(golden, current, status, tmp_path):
    (tmp_path / "golden.xml").write_text(host(**golden))
    r = quorvane("-", "--check", "--against", str(tmp_path / "golden.xml"), "--json", "-", input=host(**current))
    assert r.returncode == status, r.stderr
    data = json.loads(r.stdout)
    assert len(data["findings_in_golden"]) == 1 and "Also in the golden file" in r.stderr


def test_the_same_finding_on_many_devices_is_one_line():
    r = quorvane("-", input=host(gpu_gdr={0: 0, 1: 0, 2: 0, 3: 0}, nic_gdr={2: 0}))
    lines = [line for line in r.stdout.splitlines() if "gdr-off" in line]
    assert len(lines) == 1, r.stdout
    assert "GPUDirect RDMA off: 5 devices: GPU 0 (0000:01:00.0), GPU 1 (0000:11:00.0)" in lines[0]
    assert "NIC mlx5_2 (0000:22:00.0)" in lines[0]


@pytest.mark.parametrize("env,colour", [({}, True), ({"NO_COLOR": "1"}, False), ({"TERM": "dumb"}, False)])
def test_colour_only_on_a_terminal_that_wants_it(env, colour):
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "topo", "-", "--check"], stdin=subprocess.PIPE,
                            stdout=slave, stderr=slave, env={**os.environ, "TERM": "xterm-256color", **env})
    os.close(slave)
    proc.stdin.write(host(nic_speed={0: 100000}).encode())
    proc.stdin.close()
    screen = b""
    try:
        while select.select([master], [], [], 30)[0] and (chunk := os.read(master, 65536)):
            screen += chunk
    except OSError:
        pass
    os.close(master)
    assert proc.wait(timeout=30) == 2
    assert ("\x1b[" in screen.decode()) == colour and b"nic-slow" in screen
