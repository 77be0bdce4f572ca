"""parse_nccl_topo_xml and _shared_prefix_len, held to tests/oracle.py on
random dumps and the real ones, with replaced module attributes, and against
hostile documents (each in a child process)."""

import random
import xml.etree.ElementTree as StdET
from contextlib import nullcontext
from types import SimpleNamespace

import pytest
from conftest import corpus_files, corpus_text, fuzz
from hypothesis import given
from hypothesis import strategies as st

import oracle

VALUES = {"busid": ["a", "b", "sw", ""], "numaid": ["0", "1", " 2 ", "x"], "dev": ["0", "1", "07", "x", " 3 "],
          "rank": ["0", "-1"], "sm": ["90"], "gdr": ["1", "0", "true", " 1"], "count": ["1", "2", "x", "0", "&#51;"],
          "target": ["p", "q", ""], "name": ["n0", "n1", "n2", "&#110;3"], "speed": ["400000", "x", "1_0"],
          "port": ["1", "1.0"], "guid": ["0xab", "&lt;g&gt;"]}
TAGS = ["pci", "pci", "pci", "cpu", "gpu", "gpu", "net", "net", "nvlink", "nic", "x:gpu", "GPU"]


def document(rng):
    """A random dump: nested pci switches (bus ids often equal), cpus, devices."""
    def element(depth):
        tag = rng.choice(TAGS)
        attrs = "".join(f' {n}="{rng.choice(VALUES[n])}"' for n in rng.sample(sorted(VALUES), rng.randint(0, 3)))
        if tag in ("pci", "cpu") and rng.random() < 0.8:
            attrs += f' {"busid" if tag == "pci" else "numaid"}="{rng.choice(VALUES["busid" if tag == "pci" else "numaid"])}"'
        inner = "".join(element(depth + 1) for _ in range(rng.randint(0, 3))) if depth < 6 else ""
        return f"<{tag}{attrs}>{inner}</{tag}>"
    lead = rng.choice(["", "\n  ", '<?xml version="1.0"?>', "<!-- <system -->"])
    tail = rng.choice(["", "\n", " junk", "<system/>"])
    return f'{lead}<system xmlns:x="urn:x">{"".join(element(0) for _ in range(rng.randint(0, 4)))}</system>{tail}'


@fuzz(300)
@given(st.integers(0, 2 ** 32))
def test_random_dumps_follow_the_rules(cs, seed):
    text = document(random.Random(seed))
    assert repr(cs.parse_nccl_topo_xml(text)) == repr(oracle.parse_nccl_topo_xml(text))  # order and types too


@pytest.mark.parametrize("path", corpus_files("topo"), ids=lambda p: getattr(p, "name", "missing"))
def test_real_dumps(cs, path):
    text = corpus_text(path)
    inventory = cs.parse_nccl_topo_xml(text)
    assert repr(inventory) == repr(oracle.parse_nccl_topo_xml(text))
    if path.name == "ibmcloud_h100_gx3d_topo.xml":  # eight GPUs, each beside its own NIC, on two NUMA nodes
        assert inventory["gpu_nic_affinity"] == {str(d): [f"mlx5_{7 - d}"] for d in range(8)}
        assert inventory["numa_domains"] == 2


@pytest.mark.parametrize("text, expected", [
    (" \n", {}), ("<graphs><gpu dev='0'/></graphs>", {}), ("<system><gpu dev='0'></system>", {}),
    ('<system><cpu numaid="1"><pci busid="sw"><pci busid="g"><gpu dev="3" gdr="1"><nvlink target="a" count="2"/>'
     '</gpu></pci><pci busid="n"><net name="mlx5_0" speed="400000" port="1" guid="0xab"/></pci></pci></cpu></system>',
     {"gpus": [{"dev": 3, "rank": None, "sm": None, "gdr": True, "busid": "g", "numa": 1, "nvlink_count": 2,
                "nvlink_peers": 1}],
      "nics": [{"name": "mlx5_0", "speed_mbps": 400000, "port": 1, "gdr": False, "guid": "0xab", "busid": "n",
                "numa": 1}], "gpu_nic_affinity": {"3": ["mlx5_0"]}, "numa_domains": 1}),
])
def test_worked_examples(cs, text, expected):
    assert repr(cs.parse_nccl_topo_xml(text)) == repr(expected)


def test_prefix_length_compares_values(cs):
    fresh = ["".join(["s", "w"]), "".join(["g", "0"])]
    assert cs._shared_prefix_len(fresh, ["sw", "g0", "x"]) == 2 == cs._shared_prefix_len(b=["sw", "g0"], a=fresh)
    assert cs._shared_prefix_len([float("nan")], [float("nan")]) == 0 == cs._shared_prefix_len([], ["x"])


TWO_SWITCHES = ('<system><pci busid="r"><pci busid="s1"><gpu dev="0"/><gpu dev="1"/><net name="a"/></pci>'
                '<pci busid="s2"><gpu dev="2"/><net name="b"/><net name="c"/></pci></pci></system>')


def test_replaced_helpers_are_used(cs, monkeypatch):
    calls, ints, texts = [], [], []
    monkeypatch.setattr(cs, "_shared_prefix_len", lambda a, b: calls.append((a, b)) or 1)
    monkeypatch.setattr(cs, "_to_int", lambda raw: ints.append(raw) or 7)
    monkeypatch.setattr(cs, "ET", SimpleNamespace(fromstring=lambda t: texts.append(t) or StdET.fromstring(t),
                                                  ParseError=StdET.ParseError))
    inventory = cs.parse_nccl_topo_xml("\n " + TWO_SWITCHES + " \n")
    assert texts == [TWO_SWITCHES] and [i for i in ints if i] == ["0", "1", "2"]
    assert [g["dev"] for g in inventory["gpus"]] == [7, 7, 7] and inventory["nics"][0]["speed_mbps"] == 7
    # depth 1 everywhere: every NIC as close as any other; each chain made once
    assert inventory["gpu_nic_affinity"] == {"7": ["a", "b", "c"]}
    assert [a for a, _ in calls] == [["r", "s1"]] * 6 + [["r", "s2"]] * 3
    assert len({id(a) for a, _ in calls}) == 3 and len({id(b) for _, b in calls}) == 3


@pytest.mark.parametrize("raised", [LookupError, StdET.ParseError])
def test_only_the_parse_error_of_the_current_et_is_caught(cs, monkeypatch, raised):
    def fromstring(text):
        raise raised(text)

    monkeypatch.setattr(cs, "ET", SimpleNamespace(fromstring=fromstring, ParseError=LookupError))
    with pytest.raises(StdET.ParseError) if raised is StdET.ParseError else nullcontext():
        assert cs.parse_nccl_topo_xml(TWO_SWITCHES) == {}
