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

GPU_KEYS = ["dev", "rank", "sm", "gdr", "busid", "numa", "nvlink_count", "nvlink_peers"]
NIC_KEYS = ["name", "speed_mbps", "port", "gdr", "guid", "busid", "numa"]
INVENTORY_KEYS = ["gpus", "nics", "gpu_nic_affinity", "numa_domains"]


def parse(text):
    return collsweep.parse_nccl_topo_xml(text)


def system(body, attrs=""):
    return f"<system{attrs}>{body}</system>"


def affinity(text):
    return parse(text)["gpu_nic_affinity"]


# ---------------------------------------------------------------------------
# Shape of the inventory

FULL = system(
    '<cpu numaid="1">'
    '<pci busid="sw0">'
    '<pci busid="g0"><gpu dev="3" rank="5" sm="90" gdr="1">'
    '<nvlink target="a" count="2"/><nvlink target="b" count="3"/></gpu></pci>'
    '<pci busid="n0"><nic><net name="mlx5_0" speed="400000" port="1" gdr="1" guid="0xab"/></nic></pci>'
    "</pci></cpu>"
)


def test_entries_and_inventory_carry_their_keys_in_order():
    inv = parse(FULL)
    assert list(inv) == INVENTORY_KEYS
    assert list(inv["gpus"][0]) == GPU_KEYS
    assert list(inv["nics"][0]) == NIC_KEYS
    assert inv == {
        "gpus": [{"dev": 3, "rank": 5, "sm": 90, "gdr": True, "busid": "g0", "numa": 1,
                  "nvlink_count": 5, "nvlink_peers": 2}],
        "nics": [{"name": "mlx5_0", "speed_mbps": 400000, "port": 1, "gdr": True, "guid": "0xab",
                  "busid": "n0", "numa": 1}],
        "gpu_nic_affinity": {"3": ["mlx5_0"]},
        "numa_domains": 1,
    }
    assert inv["gpus"][0]["gdr"] is True and inv["nics"][0]["gdr"] is True


def test_every_call_builds_new_objects():
    first, second = parse(FULL), parse(FULL)
    assert first == second
    assert first is not second
    assert first["gpus"][0] is not second["gpus"][0]
    assert first["gpu_nic_affinity"]["3"] is not second["gpu_nic_affinity"]["3"]
    first["gpus"].clear()
    assert parse(FULL) == second


def test_each_gpu_gets_its_own_affinity_list():
    text = system('<pci busid="sw"><gpu dev="0"/><gpu dev="1"/><net name="n"/></pci>')
    aff = affinity(text)
    assert aff == {"0": ["n"], "1": ["n"]}
    assert aff["0"] is not aff["1"]
    aff["0"].append("x")
    assert aff["1"] == ["n"]


@pytest.mark.parametrize(
    "text",
    [
        system(""),
        system('<cpu numaid="0"><pci busid="a"><pci busid="b"/></pci></cpu>'),
        '<?xml version="1.0"?>\n<system version="1"><!-- no devices --></system>',
    ],
    ids=["empty-root", "bridges-only", "declaration-and-comment"],
)
def test_document_without_devices_is_an_empty_inventory(text):
    assert parse(text) == {"gpus": [], "nics": [], "gpu_nic_affinity": {}, "numa_domains": 0}


# ---------------------------------------------------------------------------
# PCI chains, bus ids and affinity


@pytest.mark.parametrize(
    "body, expected",
    [
        # Nested switches: the NIC behind the same inner switch wins over the
        # one that shares only the outer switch, whichever comes first.
        ('<pci busid="root"><pci busid="sw1"><pci busid="g"><gpu dev="0"/></pci>'
         '<pci busid="n1"><net name="near"/></pci></pci>'
         '<pci busid="sw2"><pci busid="n2"><net name="far"/></pci></pci></pci>',
         {"0": ["near"]}),
        ('<pci busid="root"><pci busid="sw2"><pci busid="n2"><net name="far"/></pci></pci>'
         '<pci busid="sw1"><pci busid="g"><gpu dev="0"/></pci>'
         '<pci busid="n1"><net name="near"/></pci></pci></pci>',
         {"0": ["near"]}),
        # Sharing only the outermost pci element is depth 1, enough to be listed.
        ('<pci busid="root"><pci busid="g"><gpu dev="0"/></pci>'
         '<pci busid="sw"><pci busid="n"><net name="only"/></pci></pci></pci>',
         {"0": ["only"]}),
        # Two NICs at the same greatest depth: both, in document order.
        ('<pci busid="sw"><pci busid="n2"><net name="b"/></pci><pci busid="g"><gpu dev="0"/></pci>'
         '<pci busid="n1"><net name="a"/></pci></pci>',
         {"0": ["b", "a"]}),
        # The same name twice at that depth is listed once.
        ('<pci busid="sw"><pci busid="g"><gpu dev="0"/></pci><net name="p"/><net name="p"/>'
         '<net name="q"/></pci>',
         {"0": ["p", "q"]}),
        # A later, deeper NIC replaces the list; NICs at the old depth are dropped.
        ('<pci busid="sw"><net name="shallow1"/><pci busid="leaf"><gpu dev="0"/>'
         '<net name="deep"/></pci><net name="shallow2"/></pci>',
         {"0": ["deep"]}),
        # Different outermost switches under one cpu: depth 0, no affinity.
        ('<cpu numaid="0"><pci busid="a"><gpu dev="0"/></pci><pci busid="b"><net name="n"/></pci></cpu>',
         {}),
        # A NIC outside every pci element never pairs.
        ('<pci busid="a"><gpu dev="0"/></pci><nic><net name="n"/></nic>', {}),
        # A NIC whose chain is a prefix of the GPU's.
        ('<pci busid="a"><net name="up"/><pci busid="b"><pci busid="c"><gpu dev="0"/></pci></pci></pci>',
         {"0": ["up"]}),
        # A GPU directly under the root.
        ('<gpu dev="0"/><pci busid="a"><net name="n"/></pci>', {}),
    ],
    ids=["nested-near-first", "nested-far-first", "outermost-only", "equal-depth",
         "duplicate-name", "deeper-replaces", "separate-roots", "nic-without-pci",
         "nic-above-gpu", "gpu-under-root"],
)
def test_affinity_follows_the_longest_shared_chain(body, expected):
    assert affinity(system(body)) == expected


def test_pci_elements_without_busid_are_skipped_in_chains():
    # Both outer bridges lack bus ids (absent and empty); the chains are
    # compared on what remains, as texts: the two "sw" elements are distinct.
    text = system(
        '<cpu numaid="0">'
        '<pci><pci busid="sw"><pci busid="g"><gpu dev="0"/></pci></pci></pci>'
        '<pci busid=""><pci busid="sw"><pci busid="n"><net name="x"/></pci></pci></pci>'
        "</cpu>"
    )
    inv = parse(text)
    assert inv["gpus"][0]["busid"] == "g"
    assert inv["nics"][0]["busid"] == "n"
    assert inv["gpu_nic_affinity"] == {"0": ["x"]}


@pytest.mark.parametrize(
    "body, busid",
    [
        ('<gpu dev="0"/>', ""),
        ('<pci><gpu dev="0"/></pci>', ""),
        ('<pci busid="outer"><pci busid=""><gpu dev="0"/></pci></pci>', "outer"),
        ('<pci busid="outer"><pci busid="inner"><nic><gpu dev="0"/></nic></pci></pci>', "inner"),
    ],
    ids=["no-pci", "pci-without-busid", "inner-empty-busid", "through-other-tags"],
)
def test_gpu_busid_is_the_innermost_chain_entry(body, busid):
    assert parse(system(body))["gpus"][0]["busid"] == busid


def test_a_pci_root_counts_in_the_chain():
    inv = parse('<pci busid="top"><!-- <system --><gpu dev="0"/><net name="n"/></pci>')
    assert inv["gpus"][0]["busid"] == "top"
    assert inv["gpu_nic_affinity"] == {"0": ["n"]}


@pytest.mark.parametrize(
    "gpus, expected",
    [
        # The later GPU's list wins; the key keeps its first position.
        ('<pci busid="a"><gpu dev="1"/><net name="na"/></pci>'
         '<pci busid="b"><gpu dev="2"/><net name="nb"/></pci>'
         '<pci busid="c"><gpu dev="1"/><net name="nc"/></pci>',
         [("1", ["nc"]), ("2", ["nb"])]),
        # A later duplicate with no close NIC leaves the earlier list.
        ('<pci busid="a"><gpu dev="1"/><net name="na"/></pci><gpu dev="1"/>',
         [("1", ["na"])]),
        ('<pci busid="a"><gpu dev="07"/><gpu dev=" 3 "/><gpu dev="+4"/><gpu dev="1_0"/>'
         '<net name="n"/></pci>',
         [("7", ["n"]), ("3", ["n"]), ("4", ["n"]), ("10", ["n"])]),
        ('<pci busid="a"><gpu/><gpu dev="x"/><gpu dev="0x1"/><gpu dev="1.0"/><gpu dev=""/>'
         '<net name="n"/></pci>',
         []),
    ],
    ids=["duplicate-dev", "duplicate-without-nic", "decimal-keys", "no-integer-dev"],
)
def test_affinity_keys(gpus, expected):
    inv = parse(system(gpus))
    assert list(inv["gpu_nic_affinity"].items()) == expected


def test_gpus_without_integer_dev_are_still_listed():
    inv = parse(system('<gpu/><gpu dev="x" rank="r" sm=""/>'))
    assert [(g["dev"], g["rank"], g["sm"]) for g in inv["gpus"]] == [(None, None, None)] * 2


# ---------------------------------------------------------------------------
# NUMA placement


@pytest.mark.parametrize(
    "body, numas, domains",
    [
        ('<cpu numaid="0"><gpu dev="0"/><pci busid="a"><net name="n"/></pci></cpu>', [0, 0], 1),
        ('<cpu numaid="0"><cpu><gpu dev="0"/></cpu><net name="n"/></cpu>', [None, 0], 1),
        ('<cpu numaid="0"><cpu numaid="x"><gpu dev="0"/></cpu><cpu numaid=" 2 "><net/></cpu></cpu>',
         [None, 2], 1),
        ('<gpu dev="0"/><nic><net name="n"/></nic>', [None, None], 0),
        ('<cpu numaid="0"><gpu/></cpu><cpu numaid="1"><gpu/></cpu><cpu numaid="1"><net/></cpu>'
         '<cpu numaid="3"><net/></cpu>',
         [0, 1, 1, 3], 3),
        ('<cpu numaid="5"><pci busid="a"><pci busid="b"><nic><net/></nic></pci></pci></cpu>', [5], 1),
    ],
    ids=["shared-domain", "inner-cpu-without-numaid", "inner-cpu-decides", "no-cpu",
         "distinct-domains", "through-bridges"],
)
def test_numa_of_devices(body, numas, domains):
    inv = parse(system(body))
    assert [d["numa"] for d in inv["gpus"] + inv["nics"]] == numas
    assert inv["numa_domains"] == domains


# ---------------------------------------------------------------------------
# Device attributes


@pytest.mark.parametrize(
    "links, count, peers",
    [
        ("", 0, 0),
        ('<nvlink target="a" count="4"/><nvlink target="b" count="2"/>', 6, 2),
        ('<nvlink target="a" count="4"/><nvlink target="a" count="4"/>', 8, 1),
        ('<nvlink target="a"/><nvlink target="b" count="x"/><nvlink target="c" count="0"/>'
         '<nvlink target="d" count="1.5"/>', 0, 4),
        ('<nvlink count="3"/><nvlink target="" count="3"/><nvlink target=" " count="-1"/>', 5, 1),
        ('<pci busid="x"><nvlink target="deep" count="9"/></pci><xgmi target="z" count="7"/>'
         '<NVLINK target="q" count="1"/>', 0, 0),
    ],
    ids=["none", "summed", "same-target-once", "bad-counts", "blank-targets", "not-direct-or-other-tag"],
)
def test_nvlink_count_and_peers(links, count, peers):
    gpu = parse(system(f'<gpu dev="0">{links}</gpu>'))["gpus"][0]
    assert (gpu["nvlink_count"], gpu["nvlink_peers"]) == (count, peers)


def test_nvlinks_belong_to_their_own_gpu():
    gpus = parse(system(
        '<gpu dev="0"><nvlink target="a" count="1"/>'
        '<gpu dev="1"><nvlink target="b" count="5"/><nvlink target="c" count="5"/></gpu>'
        '<nvlink target="d" count="2"/></gpu>'
    ))["gpus"]
    assert [(g["dev"], g["nvlink_count"], g["nvlink_peers"]) for g in gpus] == [(0, 3, 2), (1, 10, 2)]


@pytest.mark.parametrize(
    "value, expected",
    [('gdr="1"', True), ('gdr="0"', False), ("", False), ('gdr="true"', False),
     ('gdr=" 1"', False), ('gdr="01"', False)],
)
def test_gdr_is_true_only_for_the_text_1(value, expected):
    inv = parse(system(f'<gpu dev="0" {value}/><net name="n" {value}/>'))
    assert inv["gpus"][0]["gdr"] is expected
    assert inv["nics"][0]["gdr"] is expected


def test_nic_attributes_missing_or_malformed():
    nics = parse(system('<net/><net name="" speed="fast" port="1.0" guid=""/><net speed=" 100 " port="-1"/>'))["nics"]
    assert [(n["name"], n["speed_mbps"], n["port"], n["guid"]) for n in nics] == [
        ("", None, None, ""), ("", None, None, ""), ("", 100, -1, "")]


def test_character_references_are_decoded():
    text = system(
        '<cpu numaid="&#49;">'
        '<pci busid="sw&#x3a;0"><gpu dev="&#50;" gdr="&#49;"><nvlink target="a&amp;b" count="&#x33;"/></gpu>'
        '<net name="mlx5&#95;0" guid="&lt;g&gt;"/></pci></cpu>'
    )
    inv = parse(text)
    assert inv["gpus"][0] == {"dev": 2, "rank": None, "sm": None, "gdr": True, "busid": "sw:0",
                              "numa": 1, "nvlink_count": 3, "nvlink_peers": 1}
    assert inv["nics"][0]["name"] == "mlx5_0" and inv["nics"][0]["guid"] == "<g>"
    assert inv["gpu_nic_affinity"] == {"2": ["mlx5_0"]}


# ---------------------------------------------------------------------------
# Tags


def test_namespace_qualified_tags_do_not_match():
    inv = parse(system('<n:gpu dev="0"/><gpu dev="1"/><pci busid="p"><n:net name="q"/><net name="r"/></pci>',
                       ' xmlns:n="urn:x"'))
    assert [g["dev"] for g in inv["gpus"]] == [1]
    assert [n["name"] for n in inv["nics"]] == ["r"]


def test_default_namespace_hides_every_tag():
    text = '<system xmlns="urn:x"><cpu numaid="0"><pci busid="a"><gpu dev="0"/><net name="n"/></pci></cpu></system>'
    assert parse(text) == {"gpus": [], "nics": [], "gpu_nic_affinity": {}, "numa_domains": 0}


def test_tags_are_case_sensitive():
    inv = parse(system('<CPU numaid="0"><PCI busid="a"><GPU dev="0"/><gpu dev="1"/><Net name="x"/>'
                       '<net name="y"/></PCI></CPU>'))
    assert [(g["dev"], g["busid"], g["numa"]) for g in inv["gpus"]] == [(1, "", None)]
    assert [n["name"] for n in inv["nics"]] == ["y"]
    assert inv["gpu_nic_affinity"] == {}


def test_devices_are_listed_in_document_order_wherever_they_stand():
    inv = parse(system('<x><gpu dev="2"><gpu dev="0"/></gpu></x><net name="b"><net name="a"/></net><gpu dev="1"/>'))
    assert [g["dev"] for g in inv["gpus"]] == [2, 0, 1]
    assert [n["name"] for n in inv["nics"]] == ["b", "a"]


def test_gpu_root():
    assert parse('<gpu dev="4" sm="80"><!-- <system --></gpu>')["gpus"] == [
        {"dev": 4, "rank": None, "sm": 80, "gdr": False, "busid": "", "numa": None,
         "nvlink_count": 0, "nvlink_peers": 0}]


# ---------------------------------------------------------------------------
# The gate, stripping and malformed text


@pytest.mark.parametrize(
    "text",
    ["", "   \n\t\r\n ", "<graphs><gpu dev='0'/></graphs>", "<System><gpu dev='0'/></System>",
     "< system><gpu dev='0'/></ system>", "not xml at all"],
    ids=["empty", "blank", "no-system", "wrong-case", "spaced", "prose"],
)
def test_text_without_system_is_empty(text):
    assert parse(text) == {}


def test_text_without_system_is_not_parsed(monkeypatch):
    def refuse(_text):
        raise AssertionError("parsed")

    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=refuse, ParseError=StdET.ParseError))
    assert parse("<graphs><gpu dev='0'/></graphs>") == {}


@pytest.mark.parametrize(
    "prefix",
    ["\n\n   ", "\n<!-- comment -->\n\n", '\n  <?xml version="1.0" encoding="UTF-8"?>\n<!-- c -->\n  '],
    ids=["blank-lines", "comment", "declaration-after-blanks"],
)
def test_blank_lines_and_comments_before_the_root(prefix):
    assert parse(prefix + FULL + "\n\n") == parse(FULL)


def test_system_only_inside_a_comment_is_parsed():
    inv = parse('<!-- <system> --><topology><gpu dev="0"/></topology>')
    assert [g["dev"] for g in inv["gpus"]] == [0]


@pytest.mark.parametrize(
    "text",
    [
        "<system>",
        "<systems",
        "<system><gpu dev='0'></system>",
        "<system><gpu dev='0'/></system><system/>",
        "<system><gpu dev=0/></system>",
        "<system><n:gpu/></system>",
        "<system>&undefined;</system>",
        "<system><gpu dev='0'/></system>trailing",
        "text before <system/>",
        "<system>\x00</system>",
    ],
    ids=["unclosed", "fragment", "mismatched", "two-roots", "unquoted", "unbound-prefix", "undefined-entity",
         "trailing-text", "leading-text", "nul"],
)
def test_malformed_text_is_empty(text):
    assert parse(text) == {}


@pytest.mark.parametrize("fraction", [0.1, 0.5, 0.9, 0.999])
def test_truncated_dump_is_empty(fraction):
    doc = ('<?xml version="1.0"?>\n' + system("".join(
        f'<cpu numaid="{c}"><pci busid="s{c}"><gpu dev="{c}"/><net name="n{c}"/></pci></cpu>' for c in range(4))))
    assert parse(doc)["gpu_nic_affinity"] == {str(c): [f"n{c}"] for c in range(4)}
    assert parse(doc[: int(len(doc) * fraction)]) == {}


# ---------------------------------------------------------------------------
# Argument checking


@pytest.mark.parametrize("bad", [None, b"<system/>", 7, ["<system/>"]])
def test_parse_refuses_non_str(bad):
    with pytest.raises(TypeError, match=r"Argument 'xml_text' has incorrect type \(expected str, got "):
        parse(bad)


def test_parse_refuses_str_subclass():
    class Text(str):
        pass

    with pytest.raises(TypeError, match="expected str, got Text\\)\\. "):
        parse(Text(FULL))


def test_parse_takes_the_keyword_and_one_argument():
    assert collsweep.parse_nccl_topo_xml(xml_text=FULL) == parse(FULL)
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        collsweep.parse_nccl_topo_xml(FULL, FULL)
    with pytest.raises(TypeError, match="unexpected keyword argument 'text'"):
        collsweep.parse_nccl_topo_xml(text=FULL)


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([], [], 0),
        ([], ["x"], 0),
        (["x", "y"], [], 0),
        (["a", "b", "c"], ["a", "b", "c"], 3),
        (["a", "b", "g"], ["a", "b", "n"], 2),
        (["a", "b"], ["a", "b", "c", "d"], 2),
        (["z", "b"], ["a", "b"], 0),
        (["a", "x", "c"], ["a", "y", "c"], 1),
        ([1, 2.0], [1.0, 2], 2),
    ],
)
def test_shared_prefix_len(a, b, expected):
    assert collsweep._shared_prefix_len(a, b) == expected
    assert collsweep._shared_prefix_len(b=b, a=a) == expected
    assert collsweep._shared_prefix_len(a, a) == len(a)


def test_shared_prefix_len_uses_the_host_inequality():
    nan = math.nan
    # `!=` is called even for the very same object, so nan never matches.
    assert collsweep._shared_prefix_len([nan], [nan]) == 0

    class Loose:
        def __ne__(self, other):
            return False

    assert collsweep._shared_prefix_len([Loose(), Loose()], ["p", "q", "r"]) == 2


class ListChild(list):
    pass


@pytest.mark.parametrize(
    "a, b, name, got",
    [
        (("a",), ["a"], "a", "tuple"),
        (["a"], ("a",), "b", "tuple"),
        (None, ["a"], "a", "NoneType"),
        (["a"], "a", "b", "str"),
        (ListChild(["a"]), ["a"], "a", "ListChild"),
    ],
)
def test_shared_prefix_len_refuses_non_lists(a, b, name, got):
    with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected list, got {got}\)"):
        collsweep._shared_prefix_len(a, b)


def test_docstrings():
    assert collsweep._shared_prefix_len.__doc__ == (
        "_shared_prefix_len(list a: list[str], list b: list[str]) -> int\n\n"
        "Length of the common root-first prefix of two PCI ancestor chains.")
    assert collsweep.parse_nccl_topo_xml.__doc__ == (
        "parse_nccl_topo_xml(str xml_text: str) -> dict[str, Any]\n\n"
        "Parse an ``NCCL_TOPO_DUMP_FILE`` XML dump into GPU/NIC inventory plus the\n"
        "GPU<->NIC PCI affinity that drives GPUDirect-RDMA rank placement.\n\n"
        "NCCL nests the hardware tree as ``system > cpu(numa) > pci... > {gpu,nic}``.\n"
        "A GPU and a NIC that share their nearest ``<pci>`` ancestor sit under the\n"
        "same PCIe switch -- the local NIC NCCL prefers for that GPU's GDR traffic.\n"
        "Works for NVIDIA and AMD (RCCL emits the same schema). Returns ``{}`` on\n"
        "unparseable input; partial trees yield partial results.")


def test_module_attribute_order_places_the_pair_after_to_int():
    names = list(vars(collsweep))
    at = names.index("_to_int")
    assert names[at + 1: at + 3] == ["_shared_prefix_len", "parse_nccl_topo_xml"]


# ---------------------------------------------------------------------------
# Late binding of module names


def test_replaced_et_is_used(monkeypatch):
    seen = []

    def fromstring(text):
        seen.append(text)
        return StdET.fromstring(text)

    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=fromstring, ParseError=StdET.ParseError))
    assert parse("\n  " + FULL + " \n")["gpu_nic_affinity"] == {"3": ["mlx5_0"]}
    assert seen == [FULL]


def test_parse_error_of_the_replaced_et_is_caught(monkeypatch):
    class Rejected(Exception):
        pass

    def fromstring(text):
        raise Rejected(text)

    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=fromstring, ParseError=Rejected))
    assert parse(FULL) == {}


def test_other_parser_exceptions_pass_through(monkeypatch):
    def fromstring(text):
        raise StdET.ParseError("not the replaced module's class")

    class Elsewhere(Exception):
        pass

    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=fromstring, ParseError=Elsewhere))
    with pytest.raises(StdET.ParseError):
        parse(FULL)


def test_parse_error_is_looked_up_only_on_failure(monkeypatch):
    # A replacement module without ParseError serves a document it can parse.
    monkeypatch.setattr(collsweep, "ET", types.SimpleNamespace(fromstring=StdET.fromstring))
    assert parse(FULL)["gpus"][0]["dev"] == 3


def test_replaced_to_int_is_used(monkeypatch):
    seen = []

    def to_int(raw):
        seen.append(raw)
        return len(raw) if raw is not None else None

    monkeypatch.setattr(collsweep, "_to_int", to_int)
    inv = parse(FULL)
    assert inv["gpus"][0]["dev"] == 1 and inv["gpus"][0]["numa"] == 1
    assert inv["gpus"][0]["nvlink_count"] == 2
    assert inv["nics"][0]["speed_mbps"] == 6
    assert inv["gpu_nic_affinity"] == {"1": ["mlx5_0"]}
    assert seen == ["3", "5", "90", "1", "2", "3", "400000", "1", "1"]


def test_replaced_prefix_len_sees_each_chain_once(monkeypatch):
    text = system(
        '<pci busid="r"><pci busid="s1"><gpu dev="0"/><gpu dev="1"/><net name="a"/></pci>'
        '<pci busid="s2"><gpu dev="2"/><net name="b"/><net name="c"/></pci></pci>'
    )
    original = collsweep._shared_prefix_len
    calls = []

    def counting(a, b):
        calls.append((a, b))
        return original(a, b)

    monkeypatch.setattr(collsweep, "_shared_prefix_len", counting)
    inv = parse(text)
    assert inv["gpu_nic_affinity"] == {"0": ["a"], "1": ["a"], "2": ["b", "c"]}
    assert len(calls) == 3 * 3
    assert [a for a, _ in calls] == [["r", "s1"]] * 6 + [["r", "s2"]] * 3
    # One chain object per device, reused for every pair.
    assert len({id(a) for a, _ in calls}) == 3
    assert len({id(b) for _, b in calls}) == 3


def test_replaced_prefix_len_decides_the_affinity(monkeypatch):
    monkeypatch.setattr(collsweep, "_shared_prefix_len", lambda a, b: 1)
    text = system('<pci busid="x"><gpu dev="0"/></pci><net name="n"/><pci busid="y"><net name="m"/></pci>')
    assert affinity(text) == {"0": ["n", "m"]}


def _random_document(rng):
    def element(depth):
        tag = rng.choice(["pci"] * 3 + ["cpu", "gpu", "net", "nic", "nvlink", "other"])
        attrs = []
        if tag == "pci" and rng.random() < 0.8:
            attrs.append(f'busid="{rng.choice("abc")}"')
        if tag == "cpu" and rng.random() < 0.7:
            attrs.append(f'numaid="{rng.choice(["0", "1", " 2", "x", ""])}"')
        if tag == "gpu":
            if rng.random() < 0.8:
                attrs.append(f'dev="{rng.choice(["0", "1", "2", "07", "x"])}"')
            attrs.append(f'gdr="{rng.choice("01")}"')
        if tag == "net" and rng.random() < 0.9:
            attrs.append(f'name="{rng.choice(["n0", "n1", "n2", "n3"])}"')
        if tag == "nvlink":
            attrs.append(f'count="{rng.choice(["1", "2", "x", "0"])}" target="{rng.choice(["a", "b", ""])}"')
        inner = "".join(element(depth + 1) for _ in range(rng.randint(0, 3))) if depth < 7 else ""
        return f"<{tag} {' '.join(attrs)}>{inner}</{tag}>"

    return system("".join(element(0) for _ in range(rng.randint(0, 4))))


def _literal_prefix_len(a, b):
    count = 0
    for left, right in zip(a, b):
        if left != right:
            break
        count += 1
    return count


@pytest.mark.parametrize("seed", range(8))
def test_affinity_matches_the_pairwise_comparison(seed, monkeypatch):
    # Replacing the prefix function makes the parser compare every pair
    # through it; the result must not differ from the untouched module's.
    rng = random.Random(seed)
    docs = [_random_document(rng) for _ in range(150)]
    direct = [json.dumps(parse(d)) for d in docs]
    monkeypatch.setattr(collsweep, "_shared_prefix_len", _literal_prefix_len)
    pairwise = [json.dumps(parse(d)) for d in docs]
    assert pairwise == direct
    assert sum(len(json.loads(r)["gpu_nic_affinity"]) for r in direct) > 50


# ---------------------------------------------------------------------------
# Real dumps and static topology files

IBM_REVERSED = {str(d): [f"mlx5_{7 - d}"] for d in range(8)}
MI300X_STRAIGHT = {str(d): [f"mlx5_{d}"] for d in range(8)}

# file -> (gpus, nics, numa domains, affinity, spot checks on entries)
CORPUS_EXPECTED = {
    "aws_ofi_nccl_p4d-24xl-topo.xml": (0, 0, 0, {}, {}),
    "azhpc_ncv4-graph.xml": None,  # a graph dump, no <system>: empty result
    "azhpc_ncv4-topo.xml": (4, 1, 4, {}, {
        ("gpus", 0): {"dev": 0, "rank": 0, "sm": 80, "gdr": True, "busid": "0001:00:00.0", "numa": 0,
                      "nvlink_count": 12, "nvlink_peers": 1},
        ("gpus", 3): {"dev": 3, "rank": 3, "sm": 80, "gdr": True, "busid": "0004:00:00.0", "numa": 3,
                      "nvlink_count": 12, "nvlink_peers": 1},
        ("nics", 0): {"name": "eth0", "speed_mbps": 100000, "port": 0, "gdr": False, "guid": "0x0",
                      "busid": "", "numa": 0},
    }),
    "azhpc_ndv2-topo.xml": (0, 0, 0, {}, {}),
    "azhpc_ndv4-topo.xml": (0, 0, 0, {}, {}),
    "azhpc_ndv5-topo.xml": (0, 0, 0, {}, {}),
    "ibmcloud_h100_gx3d_topo.xml": (8, 8, 2, IBM_REVERSED, {
        ("gpus", 0): {"dev": 0, "rank": 0, "sm": 90, "gdr": True, "busid": "0000:a4:00.0", "numa": 0,
                      "nvlink_count": 18, "nvlink_peers": 4},
        ("gpus", 7): {"dev": 7, "rank": 7, "sm": 90, "gdr": True, "busid": "0000:ea:00.0", "numa": 1,
                      "nvlink_count": 18, "nvlink_peers": 4},
        ("nics", 0): {"name": "mlx5_7", "speed_mbps": 200000, "port": 1, "gdr": True,
                      "guid": "0x34f4e30003e1a258", "busid": "0000:a3:00.0", "numa": 0},
        ("nics", 7): {"name": "mlx5_0", "speed_mbps": 200000, "port": 1, "gdr": True,
                      "guid": "0xd4f6e30003e1a258", "busid": "0000:e9:00.0", "numa": 1},
    }),
    "rccl_topo_expl_topo_8p_90a_mi250_xgmi_comment.xml": (8, 1, 1, {}, {
        ("gpus", 0): {"dev": 0, "rank": 0, "sm": 104, "gdr": False, "busid": "0000:c1:00.0", "numa": 0,
                      "nvlink_count": 0, "nvlink_peers": 0},
        ("nics", 0): {"name": "eth0", "speed_mbps": 1000, "port": 0, "gdr": False, "guid": "0x0",
                      "busid": "0000:94:00.0", "numa": 0},
    }),
    "rccl_topo_expl_topo_8p_940_mi300x_xgmi.xml": (8, 8, 2, MI300X_STRAIGHT, {
        ("gpus", 0): {"dev": 0, "rank": 0, "sm": 304, "gdr": True, "busid": "0000:0c:00.0", "numa": 0,
                      "nvlink_count": 0, "nvlink_peers": 0},
        ("gpus", 4): {"dev": 4, "rank": 4, "sm": 304, "gdr": True, "busid": "0000:9f:00.0", "numa": 1,
                      "nvlink_count": 0, "nvlink_peers": 0},
        ("nics", 0): {"name": "mlx5_0", "speed_mbps": 400000, "port": 1, "gdr": True,
                      "guid": "0xf01cbc0103dd6838", "busid": "0000:07:00.0", "numa": 0},
        ("nics", 7): {"name": "mlx5_7", "speed_mbps": 400000, "port": 1, "gdr": True,
                      "guid": "0xf71cbc0803dd6838", "busid": "0000:da:00.0", "numa": 1},
    }),
}

needs_corpus = pytest.mark.skipif(not CORPUS.is_dir(), reason=f"topology corpus not present at {CORPUS}")


@needs_corpus
def test_every_corpus_file_has_expectations():
    assert sorted(p.name for p in CORPUS.iterdir() if p.is_file()) == sorted(CORPUS_EXPECTED)


@needs_corpus
@pytest.mark.parametrize("name", sorted(CORPUS_EXPECTED))
def test_corpus_file(name):
    inv = parse((CORPUS / name).read_text())
    expected = CORPUS_EXPECTED[name]
    if expected is None:
        assert inv == {}
        return
    gpus, nics, domains, aff, spots = expected
    assert list(inv) == INVENTORY_KEYS
    assert (len(inv["gpus"]), len(inv["nics"]), inv["numa_domains"]) == (gpus, nics, domains)
    assert inv["gpu_nic_affinity"] == aff
    assert list(inv["gpu_nic_affinity"]) == list(aff)
    assert [g["dev"] for g in inv["gpus"]] == list(range(gpus))
    for (kind, index), entry in spots.items():
        assert list(inv[kind][index].items()) == list(entry.items())


# ---------------------------------------------------------------------------
# Hostile documents: each runs in a child process so that a crash or a
# runaway allocation fails one test instead of the whole run.

HOSTILE = {
    # 200k nested bridges, a GPU and a NIC at the bottom.
    "deep-nesting": (
        "n = 200_000\n"
        "t = '<system>' + '<pci busid=\"0\">' * n + '<gpu dev=\"0\"/><net name=\"a\"/>' + '</pci>' * n + '</system>'\n",
        "inventory 1 1 {'0': ['a']}",
    ),
    # A GPU and a NIC at every one of 20k levels: chains of every length.
    "deep-devices": (
        "n = 20_000\n"
        "t = '<system>' + '<pci busid=\"0\"><gpu dev=\"1\"/><net name=\"a\"/>' * n + '</pci>' * n + '</system>'\n",
        "inventory 20000 20000 {'1': ['a']}",
    ),
    "entity-bomb": (
        "ents = '<!ENTITY e0 \"lol\">' + ''.join(f'<!ENTITY e{i} \"' + f'&e{i-1};' * 10 + '\">' for i in range(1, 10))\n"
        "t = '<!DOCTYPE system [' + ents + ']><system><gpu dev=\"0\" name=\"&e9;\"/></system>'\n",
        "{}",
    ),
    "quadratic-entity": (
        "t = '<!DOCTYPE system [<!ENTITY a \"' + 'x' * 100_000 + '\">]><system>' + '&a;' * 100_000 + '</system>'\n",
        "{}",
    ),
    "lone-surrogate": (
        "t = '<system><gpu dev=\"0\"/><net name=\"\\ud800\"/></system>'\n",
        "UnicodeEncodeError: 'utf-8' codec can't encode character",
    ),
    # Every GPU close to every deeper NIC, all names distinct: the affinity
    # would need ~25M list items for a 0.5 MB document.
    "quadratic-affinity": (
        "n = 7_000\n"
        "t = '<system>' + ''.join(f'<pci busid=\"{i}\"><gpu dev=\"{i}\"/><net name=\"n{i}\"/>' for i in range(n))"
        " + '</pci>' * n + '</system>'\n",
        "MemoryError: topology too large: the GPU-NIC affinity",
    ),
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
    done = subprocess.run([sys.executable, "-c", HOSTILE_RUNNER, build],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip().startswith(expected), done.stdout[-500:]
