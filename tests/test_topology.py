"""parse_nccl_topo_xml and _shared_prefix_len: the GPU/NIC inventory read from
NCCL (and RCCL) topology dumps."""

import json
import math
import random
import subprocess
import sys
import textwrap
import types
import xml.etree.ElementTree as StdET
from pathlib import Path

import pytest

import quorvane.collsweep as collsweep

CORPUS = Path(__file__).resolve().parents[1].parent / "shared" / "corpus" / "topo"
EMPTY_INVENTORY = {"gpus": [], "nics": [], "gpu_nic_affinity": {}, "numa_domains": 0}


def parse(text):
    return collsweep.parse_nccl_topo_xml(text)


def system(body, attrs=""):
    return f"<system{attrs}>{body}</system>"


def affinity(body):
    return parse(system(body))["gpu_nic_affinity"]


FULL = system(
    '<cpu numaid="1"><pci busid="sw0">'
    '<pci busid="g0"><gpu dev="3" rank="5" sm="90" gdr="1">'
    '<nvlink target="a" count="2"/><nvlink target="b" count="3"/></gpu></pci>'
    '<pci busid="n0"><nic><net name="mlx5_0" speed="400000" port="1" gdr="1" guid="0xab"/></nic></pci>'
    "</pci></cpu>"
)


def test_inventory_of_one_gpu_and_one_nic():
    inv = parse(FULL)
    assert list(inv.items()) == [
        ("gpus", [{"dev": 3, "rank": 5, "sm": 90, "gdr": True, "busid": "g0", "numa": 1,
                   "nvlink_count": 5, "nvlink_peers": 2}]),
        ("nics", [{"name": "mlx5_0", "speed_mbps": 400000, "port": 1, "gdr": True, "guid": "0xab",
                   "busid": "n0", "numa": 1}]),
        ("gpu_nic_affinity", {"3": ["mlx5_0"]}),
        ("numa_domains", 1),
    ]
    assert [list(inv["gpus"][0]), list(inv["nics"][0])] == [
        ["dev", "rank", "sm", "gdr", "busid", "numa", "nvlink_count", "nvlink_peers"],
        ["name", "speed_mbps", "port", "gdr", "guid", "busid", "numa"]]


@pytest.mark.parametrize("text", [
    system('<cpu numaid="0"><pci busid="a"><pci busid="b"/></pci></cpu>'),
    '\n\n  <?xml version="1.0"?>\n<!-- c -->\n<system version="1"><!-- no devices --></system>\n',
])
def test_document_without_devices_is_an_empty_inventory(text):
    assert parse(text) == EMPTY_INVENTORY


# ---------------------------------------------------------------------------
# PCI chains and affinity

@pytest.mark.parametrize("body, expected", [
    # Nested switches: the NIC behind the same inner switch wins over the one
    # that shares only the outer switch, whichever comes first.
    ('<pci busid="r"><pci busid="sw1"><pci busid="g"><gpu dev="0"/></pci><pci busid="n1"><net name="near"/></pci>'
     '</pci><pci busid="sw2"><pci busid="n2"><net name="far"/></pci></pci></pci>', {"0": ["near"]}),
    ('<pci busid="r"><pci busid="sw2"><pci busid="n2"><net name="far"/></pci></pci><pci busid="sw1">'
     '<pci busid="g"><gpu dev="0"/></pci><pci busid="n1"><net name="near"/></pci></pci></pci>', {"0": ["near"]}),
    # Sharing only the outermost pci element is depth 1, enough to be listed.
    ('<pci busid="r"><pci busid="g"><gpu dev="0"/></pci><pci busid="s"><pci busid="n"><net name="only"/></pci>'
     '</pci></pci>', {"0": ["only"]}),
    # Equal greatest depth: every name once, in document order.
    ('<pci busid="sw"><pci busid="n2"><net name="b"/></pci><pci busid="g"><gpu dev="0"/></pci>'
     '<pci busid="n1"><net name="a"/></pci><net name="b"/></pci>', {"0": ["b", "a"]}),
    # A later, deeper NIC replaces the list; NICs at the old depth are dropped.
    ('<pci busid="sw"><net name="shallow1"/><pci busid="leaf"><gpu dev="0"/><net name="deep"/></pci>'
     '<net name="shallow2"/></pci>', {"0": ["deep"]}),
    # An earlier deeper NIC is not displaced by later shallower ones.
    ('<pci busid="sw"><pci busid="leaf"><net name="deep"/><gpu dev="0"/></pci><net name="shallow"/></pci>',
     {"0": ["deep"]}),
    # A NIC whose chain is a prefix of the GPU's.
    ('<pci busid="a"><net name="up"/><pci busid="b"><pci busid="c"><gpu dev="0"/></pci></pci></pci>',
     {"0": ["up"]}),
    # Different outermost switches under one cpu: depth 0, no affinity.
    ('<cpu numaid="0"><pci busid="a"><gpu dev="0"/></pci><pci busid="b"><net name="n"/></pci></cpu>', {}),
    # Devices outside every pci element never pair.
    ('<pci busid="a"><gpu dev="0"/></pci><nic><net name="n"/></nic>', {}),
    ('<gpu dev="0"/><pci busid="a"><net name="n"/></pci>', {}),
    # Bridges without bus ids (absent, empty) are skipped; chains compare as texts.
    ('<pci><pci busid="sw"><pci busid="g"><gpu dev="0"/></pci></pci></pci>'
     '<pci busid=""><pci busid="sw"><pci busid="n"><net name="x"/></pci></pci></pci>', {"0": ["x"]}),
], ids=["nested-near-first", "nested-far-first", "outermost-only", "equal-depth", "deeper-replaces",
        "deeper-first", "nic-above-gpu", "separate-roots", "nic-without-pci", "gpu-without-pci",
        "pci-without-busid"])
def test_affinity_follows_the_longest_shared_chain(body, expected):
    assert affinity(body) == expected


@pytest.mark.parametrize("body, busid", [
    ('<gpu dev="0"/>', ""),
    ('<pci><gpu dev="0"/></pci>', ""),
    ('<pci busid="outer"><pci busid=""><gpu dev="0"/></pci></pci>', "outer"),
    ('<pci busid="outer"><pci busid="inner"><nic><gpu dev="0"/></nic></pci></pci>', "inner"),
])
def test_busid_is_the_innermost_chain_entry(body, busid):
    assert parse(system(body))["gpus"][0]["busid"] == busid


@pytest.mark.parametrize("gpus, expected", [
    # Duplicate dev: the later GPU's list wins, the key keeps its first position.
    ('<pci busid="a"><gpu dev="1"/><net name="na"/></pci><pci busid="b"><gpu dev="2"/><net name="nb"/></pci>'
     '<pci busid="c"><gpu dev="1"/><net name="nc"/></pci>', [("1", ["nc"]), ("2", ["nb"])]),
    ('<pci busid="a"><gpu dev="07"/><gpu dev=" 3 "/><gpu dev="+4"/><net name="n"/></pci>',
     [("7", ["n"]), ("3", ["n"]), ("4", ["n"])]),
    ('<pci busid="a"><gpu/><gpu dev="x"/><gpu dev="1.0"/><net name="n"/></pci>', []),
], ids=["duplicate-dev", "decimal-keys", "no-integer-dev"])
def test_affinity_keys(gpus, expected):
    inv = parse(system(gpus))
    assert list(inv["gpu_nic_affinity"].items()) == expected
    assert len(inv["gpus"]) == 3


def test_each_gpu_gets_its_own_affinity_list():
    aff = affinity('<pci busid="sw"><gpu dev="0"/><gpu dev="1"/><net name="n"/></pci>')
    aff["0"].append("x")
    assert aff == {"0": ["n", "x"], "1": ["n"]}


# ---------------------------------------------------------------------------
# NUMA placement and device attributes

@pytest.mark.parametrize("body, numas, domains", [
    ('<cpu numaid="0"><gpu dev="0"/><pci busid="a"><net name="n"/></pci></cpu>', [0, 0], 1),
    ('<cpu numaid="0"><cpu><gpu dev="0"/></cpu><net name="n"/></cpu>', [None, 0], 1),
    ('<cpu numaid="0"><cpu numaid="x"><gpu dev="0"/></cpu><cpu numaid=" 2 "><net/></cpu></cpu>', [None, 2], 1),
    ('<gpu dev="0"/><nic><net name="n"/></nic>', [None, None], 0),
    ('<cpu numaid="0"><gpu/></cpu><cpu numaid="1"><gpu/></cpu><cpu numaid="1"><net/></cpu>'
     '<cpu numaid="3"><pci busid="a"><nic><net/></nic></pci></cpu>', [0, 1, 1, 3], 3),
], ids=["shared-domain", "inner-cpu-without-numaid", "inner-cpu-decides", "no-cpu", "distinct-domains"])
def test_numa_of_devices(body, numas, domains):
    inv = parse(system(body))
    assert [d["numa"] for d in inv["gpus"] + inv["nics"]] == numas
    assert inv["numa_domains"] == domains


@pytest.mark.parametrize("links, count, peers", [
    ("", 0, 0),
    ('<nvlink target="a" count="4"/><nvlink target="b" count="2"/>', 6, 2),
    ('<nvlink target="a" count="4"/><nvlink target="a" count="4"/>', 8, 1),
    ('<nvlink target="a"/><nvlink target="b" count="x"/><nvlink target="c" count="0"/>', 0, 3),
    ('<nvlink count="3"/><nvlink target="" count="3"/>', 6, 0),
    ('<pci busid="x"><nvlink target="deep" count="9"/></pci><gpu dev="1"><nvlink target="q" count="1"/></gpu>',
     0, 0),
], ids=["none", "summed", "same-target-once", "bad-counts", "no-target", "not-direct-children"])
def test_nvlink_count_and_peers(links, count, peers):
    gpu = parse(system(f'<gpu dev="0">{links}</gpu>'))["gpus"][0]
    assert (gpu["nvlink_count"], gpu["nvlink_peers"]) == (count, peers)


@pytest.mark.parametrize("value, expected", [('gdr="1"', True), ('gdr="0"', False), ("", False),
                                             ('gdr=" 1"', False)])
def test_gdr_is_true_only_for_the_text_1(value, expected):
    inv = parse(system(f'<gpu dev="0" {value}/><net name="n" {value}/>'))
    assert inv["gpus"][0]["gdr"] is expected and inv["nics"][0]["gdr"] is expected


def test_missing_or_malformed_nic_attributes():
    nics = parse(system('<net/><net speed="fast" port="1.0"/><net name="x" speed=" 100 " port="-1"/>'))["nics"]
    assert [(n["name"], n["speed_mbps"], n["port"], n["guid"]) for n in nics] == [
        ("", None, None, ""), ("", None, None, ""), ("x", 100, -1, "")]


def test_character_references_are_decoded():
    inv = parse(system(
        '<cpu numaid="&#49;"><pci busid="sw&#x3a;0"><gpu dev="&#50;" gdr="&#49;">'
        '<nvlink target="a&amp;b" count="&#x33;"/></gpu><net name="mlx5&#95;0" guid="&lt;g&gt;"/></pci></cpu>'))
    assert inv["gpus"][0] == {"dev": 2, "rank": None, "sm": None, "gdr": True, "busid": "sw:0",
                              "numa": 1, "nvlink_count": 3, "nvlink_peers": 1}
    assert (inv["nics"][0]["name"], inv["nics"][0]["guid"]) == ("mlx5_0", "<g>")
    assert inv["gpu_nic_affinity"] == {"2": ["mlx5_0"]}


# ---------------------------------------------------------------------------
# Tags, the gate and malformed text

@pytest.mark.parametrize("text, devs, names", [
    (system('<n:gpu dev="0"/><gpu dev="1"/><pci busid="p"><n:net name="q"/><net name="r"/></pci>',
            ' xmlns:n="urn:x"'), [1], ["r"]),
    ('<system xmlns="urn:x"><pci busid="a"><gpu dev="0"/><net name="n"/></pci></system>', [], []),
    (system('<CPU numaid="0"><PCI busid="a"><GPU dev="0"/><gpu dev="1"/><Net name="x"/><net name="y"/></PCI></CPU>'),
     [1], ["y"]),
    (system('<x><gpu dev="2"><gpu dev="0"/></gpu></x><net name="b"><net name="a"/></net><gpu dev="1"/>'),
     [2, 0, 1], ["b", "a"]),
    ('<gpu dev="4"><!-- <system --></gpu>', [4], []),
    ('<!-- <system> --><topology><gpu dev="0"/></topology>', [0], []),
], ids=["prefixed", "default-namespace", "case-sensitive", "document-order", "gpu-root", "system-in-comment"])
def test_which_elements_are_devices(text, devs, names):
    inv = parse(text)
    assert [g["dev"] for g in inv["gpus"]] == devs
    assert [n["name"] for n in inv["nics"]] == names


TRUNCATED = '<?xml version="1.0"?>\n' + system("".join(
    f'<cpu numaid="{c}"><pci busid="s{c}"><gpu dev="{c}"/><net name="n{c}"/></pci></cpu>' for c in range(4)))


@pytest.mark.parametrize("text", [
    "", "   \n\t\r\n ", "<graphs><gpu dev='0'/></graphs>", "<System><gpu dev='0'/></System>",
    "<system>", "<system><gpu dev='0'></system>", "<system><gpu dev='0'/></system><system/>",
    "<system><gpu dev=0/></system>", "<system><n:gpu/></system>", "<system>&undefined;</system>",
    "text before <system/>", TRUNCATED[: len(TRUNCATED) // 2], TRUNCATED[:-2],
], ids=["empty", "blank", "no-system", "wrong-case", "unclosed", "mismatched", "two-roots", "unquoted",
        "unbound-prefix", "undefined-entity", "leading-text", "truncated-half", "truncated-end"])
def test_unusable_text_gives_an_empty_dict(text):
    assert parse(text) == {}
    assert parse(TRUNCATED)["gpu_nic_affinity"] == {str(c): [f"n{c}"] for c in range(4)}


@pytest.mark.parametrize("call", [
    lambda: parse(None), lambda: parse(b"<system/>"), lambda: parse(type("Text", (str,), {})(FULL)),
    lambda: collsweep._shared_prefix_len(("a",), ["a"]), lambda: collsweep._shared_prefix_len(["a"], None),
], ids=["none", "bytes", "str-subclass", "tuple", "list-and-none"])
def test_wrong_argument_types_are_refused(call):
    with pytest.raises(TypeError, match="has incorrect type"):
        call()


@pytest.mark.parametrize("a, b, expected", [
    ([], [], 0), ([], ["x"], 0), (["a", "b", "c"], ["a", "b", "c"], 3), (["a", "b", "g"], ["a", "b", "n"], 2),
    (["a", "b"], ["a", "b", "c", "d"], 2), (["z", "b"], ["a", "b"], 0), (["a", "x", "c"], ["a", "y", "c"], 1),
    ([math.nan], [math.nan], 0),
])
def test_shared_prefix_len(a, b, expected):
    assert collsweep._shared_prefix_len(a, b) == expected
    assert collsweep._shared_prefix_len(b=b, a=a) == expected


# ---------------------------------------------------------------------------
# Late binding of module names

def test_replaced_et_parses_the_stripped_text_and_only_with_a_system(monkeypatch):
    seen = []
    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(
        fromstring=lambda text: seen.append(text) or StdET.fromstring(text), ParseError=StdET.ParseError))
    assert parse("\n  " + FULL + " \n")["gpu_nic_affinity"] == {"3": ["mlx5_0"]}
    assert parse("<graphs><gpu dev='0'/></graphs>") == {}
    assert seen == [FULL]


class Rejected(Exception):
    pass


@pytest.mark.parametrize("raised, caught", [(Rejected, True), (StdET.ParseError, False)])
def test_only_the_parse_error_of_the_replaced_et_is_caught(monkeypatch, raised, caught):
    def fromstring(text):
        raise raised(text)

    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=fromstring, ParseError=Rejected))
    if caught:
        assert parse(FULL) == {}
    else:
        with pytest.raises(raised):
            parse(FULL)


def test_replaced_to_int_is_used(monkeypatch):
    seen = []
    monkeypatch.setattr(collsweep, "_to_int", lambda raw: seen.append(raw) or (len(raw) if raw else None))
    inv = parse(FULL)
    assert (inv["gpus"][0]["dev"], inv["gpus"][0]["numa"], inv["gpus"][0]["nvlink_count"]) == (1, 1, 2)
    assert (inv["nics"][0]["speed_mbps"], inv["gpu_nic_affinity"]) == (6, {"1": ["mlx5_0"]})
    assert sorted(seen) == sorted(["3", "5", "90", "1", "2", "3", "400000", "1", "1"])


def test_replaced_prefix_len_sees_each_chain_once_and_decides(monkeypatch):
    text = system('<pci busid="r"><pci busid="s1"><gpu dev="0"/><gpu dev="1"/><net name="a"/></pci>'
                  '<pci busid="s2"><gpu dev="2"/><net name="b"/><net name="c"/></pci></pci>')
    calls = []
    monkeypatch.setattr(collsweep, "_shared_prefix_len", lambda a, b: calls.append((a, b)) or 1)
    # Depth 1 everywhere: every NIC is as close as any other.
    assert parse(text)["gpu_nic_affinity"] == {"0": ["a", "b", "c"], "1": ["a", "b", "c"], "2": ["a", "b", "c"]}
    assert [a for a, _ in calls] == [["r", "s1"]] * 6 + [["r", "s2"]] * 3
    assert [b for _, b in calls[:3]] == [["r", "s1"], ["r", "s2"], ["r", "s2"]]
    assert len({id(a) for a, _ in calls}) == 3 and len({id(b) for _, b in calls}) == 3


def _random_document(rng):
    def element(depth):
        tag = rng.choice(["pci"] * 3 + ["cpu", "gpu", "net", "nic", "nvlink", "other"])
        attrs = {"pci": f'busid="{rng.choice("abc")}"' if rng.random() < 0.8 else "",
                 "cpu": f'numaid="{rng.choice(["0", "1", "x"])}"' if rng.random() < 0.7 else "",
                 "gpu": f'dev="{rng.choice(["0", "1", "2", "07", "x"])}"',
                 "net": f'name="{rng.choice(["n0", "n1", "n2", "n3"])}"' if rng.random() < 0.9 else ""}
        inner = "".join(element(depth + 1) for _ in range(rng.randint(0, 3))) if depth < 7 else ""
        return f"<{tag} {attrs.get(tag, '')}>{inner}</{tag}>"

    return system("".join(element(0) for _ in range(rng.randint(0, 4))))


def _literal_prefix_len(a, b):
    count = 0
    for left, right in zip(a, b):
        if left != right:
            break
        count += 1
    return count


@pytest.mark.parametrize("seed", range(4))
def test_affinity_matches_the_pairwise_comparison(seed, monkeypatch):
    # A replaced prefix function makes the parser compare every pair through
    # it; the untouched module must give the same inventories.
    docs = [_random_document(random.Random(seed * 1000 + i)) for i in range(200)]
    direct = [json.dumps(parse(d)) for d in docs]
    monkeypatch.setattr(collsweep, "_shared_prefix_len", _literal_prefix_len)
    assert [json.dumps(parse(d)) for d in docs] == direct
    assert sum(len(json.loads(r)["gpu_nic_affinity"]) for r in direct) > 50


# ---------------------------------------------------------------------------
# Real dumps and static topology files

# file -> gpus, nics, numa domains, affinity, (busid, numa, nvlink_count, nvlink_peers) of GPU 0
CORPUS_EXPECTED = {
    "aws_ofi_nccl_p4d-24xl-topo.xml": (0, 0, 0, {}, None),
    "azhpc_ncv4-graph.xml": None,  # a graph dump, no <system>
    "azhpc_ncv4-topo.xml": (4, 1, 4, {}, ("0001:00:00.0", 0, 12, 1)),
    "azhpc_ndv2-topo.xml": (0, 0, 0, {}, None),
    "azhpc_ndv4-topo.xml": (0, 0, 0, {}, None),
    "azhpc_ndv5-topo.xml": (0, 0, 0, {}, None),
    "ibmcloud_h100_gx3d_topo.xml": (8, 8, 2, {str(d): [f"mlx5_{7 - d}"] for d in range(8)},
                                    ("0000:a4:00.0", 0, 18, 4)),
    "rccl_topo_expl_topo_8p_90a_mi250_xgmi_comment.xml": (8, 1, 1, {}, ("0000:c1:00.0", 0, 0, 0)),
    "rccl_topo_expl_topo_8p_940_mi300x_xgmi.xml": (8, 8, 2, {str(d): [f"mlx5_{d}"] for d in range(8)},
                                                   ("0000:0c:00.0", 0, 0, 0)),
}


needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"topology corpus not present at {CORPUS}")


@needs_corpus
def test_every_corpus_file_has_expectations():
    assert sorted(p.name for p in CORPUS.iterdir() if p.is_file()) == sorted(CORPUS_EXPECTED)


@needs_corpus
@pytest.mark.parametrize("name", sorted(CORPUS_EXPECTED))
def test_corpus_file(name):
    inv, expected = parse((CORPUS / name).read_text()), CORPUS_EXPECTED[name]
    if expected is None:
        assert inv == {}
        return
    gpus, nics, domains, aff, gpu0 = expected
    assert (len(inv["gpus"]), len(inv["nics"]), inv["numa_domains"]) == (gpus, nics, domains)
    assert list(inv["gpu_nic_affinity"].items()) == list(aff.items())
    assert [g["dev"] for g in inv["gpus"]] == list(range(gpus))
    if gpu0:
        assert tuple(inv["gpus"][0][k] for k in ("busid", "numa", "nvlink_count", "nvlink_peers")) == gpu0


# ---------------------------------------------------------------------------
# Hostile documents, each in a child process so that a crash or a runaway
# allocation fails one test instead of the whole run.

HOSTILE = {
    "deep-nesting": ("n = 200_000\nt = '<system>' + '<pci busid=\"0\">' * n + '<gpu dev=\"0\"/><net name=\"a\"/>'"
                     " + '</pci>' * n + '</system>'", "inventory 1 1 {'0': ['a']}"),
    "deep-devices": ("n = 20_000\nt = '<system>' + '<pci busid=\"0\"><gpu dev=\"1\"/><net name=\"a\"/>' * n"
                     " + '</pci>' * n + '</system>'", "inventory 20000 20000 {'1': ['a']}"),
    "entity-bomb": ("e = '<!ENTITY e0 \"lol\">' + ''.join(f'<!ENTITY e{i} \"' + f'&e{i-1};' * 10 + '\">'"
                    " for i in range(1, 10))\nt = '<!DOCTYPE system [' + e + ']><system><gpu name=\"&e9;\"/></system>'",
                    "{}"),
    "lone-surrogate": ("t = '<system><net name=\"\\ud800\"/></system>'",
                       "UnicodeEncodeError: 'utf-8' codec can't encode character"),
    # Every GPU close to every deeper NIC: ~25M affinity items for 0.5 MB.
    "quadratic-affinity": ("t = '<system>' + ''.join(f'<pci busid=\"{i}\"><gpu dev=\"{i}\"/><net name=\"n{i}\"/>'"
                           " for i in range(7000)) + '</pci>' * 7000 + '</system>'",
                           "MemoryError: topology too large: the GPU-NIC affinity"),
}

HOSTILE_RUNNER = textwrap.dedent("""
    import os, resource, sys
    if "libasan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (3 << 30, 3 << 30))
    import quorvane.collsweep as cs
    exec(sys.argv[1])
    try:
        r = cs.parse_nccl_topo_xml(t)
    except Exception as e:
        print(f"{type(e).__name__}: {e}")
    else:
        print("{}" if r == {} else f"inventory {len(r['gpus'])} {len(r['nics'])} {r['gpu_nic_affinity']}")
""")


@pytest.mark.parametrize("case", sorted(HOSTILE))
def test_hostile_document(case):
    build, expected = HOSTILE[case]
    done = subprocess.run([sys.executable, "-c", HOSTILE_RUNNER, build], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().startswith(expected), done.stdout[-500:]
