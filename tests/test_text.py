"""How the analysis module takes text: one conversion for every str it is given (a lone surrogate,
as "surrogateescape" leaves for an undecodable byte, reads as U+FFFD, never TypeError), and one rule
for where a reader says it stopped (line and column from 1, the column in characters)."""

import json
import re

import pytest

import quorvane.analysis as qa

LONE = "\udcff"    # what os.fsdecode / surrogateescape make of the byte 0xff
SEEN = "\ufffd"    # what the analysis reads in its place
TABLE = """# nccl-tests version 2.17.8 nccl-headers=22902 nccl-library=22902
# Collective test starting: all_reduce_perf
#  Rank  0 Group  0 Pid   4180 on node{s} device  0 [0000:1b:00] NVIDIA H100 80GB HBM3
#       size  count  type  redop  root  time  algbw  busbw  #wrong  time  algbw  busbw  #wrong
        8192   2048  float  sum  -1  10.00  0.82  1.43  0  10.20  0.80  1.40  0
# Avg bus bandwidth    : 1.43
"""
TOPO = ('<system version="1"><cpu numaid="0"><pci busid="0000:10:00.0" class="0x060400">'
        '<pci busid="0000:11:00.0" class="0x030200" link_speed="32.0 GT/s PCIe" link_width="16">'
        '<gpu dev="0" sm="90" rank="0" gdr="1"/></pci>'
        '<pci busid="0000:12:00.0" class="0x020700" link_speed="32.0 GT/s PCIe" link_width="16">'
        '<nic><net name="mlx5_{s}" speed="400000" port="1" gdr="1"/></nic></pci></pci></cpu></system>')


def planner_run(s):
    p = qa.FleetPlanner(["a" + s, "b"])
    runs = p.next_round()
    p.record(runs[0].id, 1.0, "fell over " + s, "pass")
    return [p.hosts, p.runs[0].problem]


def set_fields(obj, **fields):
    for name, value in fields.items():
        setattr(obj, name, value)
    return [getattr(obj, name) for name in fields]


# Every entry point that takes text, each given a lone surrogate; what it returns shows what it read
# (None where nothing of the text comes back).
ENTRY_POINTS = {
    "read_output.text": lambda s: [r.to_dict() for r in qa.read_output(TABLE.format(s=s)).ranks],
    "read_output.collective": lambda s: [r.collective for r in qa.read_output(TABLE.format(s=""), s).rows],
    "read_json.text": lambda s: qa.read_json(json.dumps({"version": 3, "start_time": s, "results": []},
                                                        ensure_ascii=False)).findings and None,
    "read_json.collective": lambda s: qa.read_json('{"version": 3, "results": []}', s).collective,
    "analyze_topology": lambda s: qa.analyze_topology(TOPO.format(s=s)).to_dict()["nics"][0]["name"],
    "compare_topology": lambda s: [f.message for f in qa.compare_topology(qa.analyze_topology(TOPO.format(s="")),
                                                                          qa.analyze_topology(TOPO.format(s=s)))],
    "compare_hosts.names": lambda s: [d.host for d in qa.compare_hosts(
        [qa.analyze_topology(TOPO.format(s="")), qa.analyze_topology(TOPO.format(s="")),
         qa.analyze_topology(TOPO.format(s="x"))], ["a", "b", "c" + s]).differences],
    "classify_failure": lambda s: qa.classify_failure("NCCL WARN Cuda failure 'out of memory' " + s, s, 1).evidence,
    "fold_causes": lambda s: qa.fold_causes([("all_reduce" + s, qa.Cause("oom", "less"))])[0].collectives,
    "Cause": lambda s: list(qa.Cause("c" + s, "a" + s, "e" + s).to_dict().values()),
    "caveats": lambda s: [c.message for c in qa.caveats(
        "H100_SXM" + s, "multi_node" + s, 2, 8, launcher="mpirun" + s, environment={"NCCL_X" + s: "1" + s},
        forwarded=[s], ranks=[("h" + s, "NVIDIA H100" + s)])],
    "gpu_type_of_device": lambda s: qa.gpu_type_of_device("GPU " + s),
    "link_budget": lambda s: qa.link_budget("H100_SXM" + s, s),
    "typical_busbw": lambda s: qa.typical_busbw(s, s, 1),
    "lint_cutoffs": lambda s: [r.to_dict() for r in qa.lint_cutoffs([("G" + s, "single_node", 1.0, 0.5, s)], 8192)],
    "compare_busbw": lambda s: [c.collective for c in qa.compare_busbw([("c" + s, 1, 2.0)], [("c" + s, 1, 1.0)], 5).changes],
    "site_profile": lambda s: [p.collective for p in qa.site_profile([[("c" + s, 1, 2.0)]] * 3)],
    "FleetPlanner": planner_run,
    "Finding fields": lambda s: set_fields(qa.Finding(), code=s, message=s, evidence=s),
    "Row fields": lambda s: set_fields(qa.Row(), collective=s, type=s, redop=s, timestamp=s),
}


@pytest.mark.parametrize("call", ENTRY_POINTS.values(), ids=ENTRY_POINTS.keys())
def test_a_lone_surrogate_reads_as_the_replacement_character_everywhere(call):
    got = repr(call("ok" + LONE))
    assert "\\udcff" not in got   # never handed back as it came
    clean = repr(call("ok"))
    if clean != got:   # where the text comes back, it comes back with U+FFFD in its place
        assert SEEN in got and got.replace(SEEN, "") == clean.replace(SEEN, "")


def test_a_lone_surrogate_in_a_grade_is_a_bad_value_not_a_bad_type():
    p = qa.FleetPlanner(["a", "b"])
    run = p.next_round()[0]
    with pytest.raises(ValueError, match="not '\ufffd'"):
        p.record(run.id, 1.0, "", LONE)


def json_stop(text):
    [message] = [f.message for f in qa.read_json(text).findings if f.code == "json-invalid"]
    return tuple(int(n) for n in re.search(r"line (\d+), column (\d+)", message).groups())


def xml_stop(text):
    report = qa.analyze_topology(text)
    assert report.kind == "invalid"
    assert f"line {report.line}, column {report.column}:" in report.error
    return report.line, report.column


# (reader, text with the fault at the one "@" that is no part of the text, then removed)
BROKEN = [
    (json_stop, '{"version": 3,\n "start_time": "é€😀 naïve", @x}'),
    (json_stop, '{"a": "\u00e9\u00e9\u00e9\u00e9", "b": [1, 2,@]}'),
    (json_stop, '{"a": "' + LONE + '", @}'),
    (xml_stop, '<system version="1">\n <cpu note="é€😀 naïve">@</system>'),
    (xml_stop, '<system a="\u00e9\u00e9\u00e9\u00e9"><cpu>\r\n<!-- 😀 -->@</system>'),
    (xml_stop, '<system a="' + LONE + '">@</cpu>'),
]


@pytest.mark.parametrize("stop, marked", BROKEN, ids=[f"{s.__name__}-{i}" for i, (s, _) in enumerate(BROKEN)])
def test_both_readers_say_where_they_stopped_in_characters(stop, marked):
    at = marked.index("@")
    text = marked[:at] + marked[at + 1:]
    line = text.count("\n", 0, at) + 1
    column = at - (text.rfind("\n", 0, at) + 1) + 1
    assert stop(text) == (line, column)
