"""The record's verdict policy: the command's verdict from the reader's rows, the
runs' findings and the library's grade, on real stand-in output."""
import functools
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvane
import quorvane.analysis as qa
import quorvane.collsweep as cs
from quorvane import record
from quorvane.runner import Outcome

STANDIN = Path(quorvane.__file__).parent / "_standin.py"
COMMAND = ["all_reduce_perf", "-b", "8192", "-e", "134217728", "-f", "16", "-g", "8"]
H100 = cs.threshold_for("H100_SXM", "intra")   # pass from 320, warn from 250 GB/s


@functools.cache
def output(busbw):
    """The stand-in's all_reduce table with its best bus bandwidth at `busbw`."""
    env = {"PATH": os.environ.get("PATH", ""), "NCCL_STANDIN_COLLECTIVE": "all_reduce",
           "NCCL_STANDIN_BUSBW_GBPS": str(busbw)}
    return subprocess.run([sys.executable, str(STANDIN), *COMMAND[1:]], capture_output=True, text=True,
                          env=env, timeout=30, check=True).stdout


def measured(busbw=350, label="all_reduce", **outcome):
    stdout = outcome.pop("stdout", output(busbw))
    o = Outcome(COMMAND, outcome.pop("returncode", 0), stdout, outcome.pop("stderr", ""), 1.0, **outcome)
    return record.Measured(label, o, qa.read_output(stdout, label) if o.started else None)


def verdict(*ms, library=None, misread=()):
    entries = [record.collective_entry(m) for m in ms]
    return record.judge(entries, [m.reading for m in ms], H100, library, misread)


@pytest.mark.parametrize("a, b, worst", [
    ("pass", "warn", "warn"), ("warn", "unknown", "unknown"), ("unknown", "error", "error"),
    ("error", "fail", "fail"), ("pass", "fail", "fail"), ("warn", "warn", "warn"),
])
def test_worse_of_two_verdicts(a, b, worst):
    assert record.worse(a, b) == record.worse(b, a) == worst


@pytest.mark.parametrize("outcome, code, words", [
    (dict(returncode=1, stderr="boom\n"), "exit-status", "exited 1"),
    (dict(returncode=-9), "killed", "SIGKILL"),
    (dict(returncode=124, timed_out=True, reason="timeout after 5s"), "timeout", "timeout after 5s"),
    (dict(returncode=127, started=False, stdout="", reason="No such file"), "not-found", "No such file"),
])
def test_a_run_that_failed_is_an_error_with_its_cause(outcome, code, words):
    m = measured(**outcome)
    entry = record.collective_entry(m)
    [found] = [f for f in entry["findings"] if f["code"] == code]
    assert found["severity"] == "error" and words in found["message"]
    assert not entry["complete"] and entry["cause"] is not None
    assert verdict(m)[0] == "error"


def test_a_lost_log_warns_on_a_passing_run():
    assert verdict(measured())[0] == "pass"
    assert verdict(measured(reason="stdout log: No space left on device"))[0] == "warn"


@pytest.mark.parametrize("cut, code", [("# Out of bounds", "truncated"), ("#  Rank", "no-table")])
def test_a_clean_exit_without_a_whole_table_is_no_pass(cut, code):
    text = output(350)
    m = measured(stdout=text[:text.index(cut)])
    assert code in [f["code"] for f in record.collective_entry(m)["findings"] if f["severity"] == "error"]
    assert verdict(m)[0] in ("error", "fail")
    if code == "no-table":   # nothing measured: the missing table alone decides
        assert verdict(m)[0] == "error"


@pytest.mark.parametrize("library, misread, expected, note", [
    ("fail", (), "fail", None),                                   # the library saw worse in the same rows
    ("fail", ("all_reduce (json)",), "pass", "it read all_reduce (json) otherwise"),  # it misread them
    ("pass", (), "pass", None),
])
def test_the_library_grade_counts_unless_it_misread(library, misread, expected, note):
    v, why, _ = verdict(measured(), library=library, misread=misread)
    assert v == expected
    assert (why is None) if note is None else (note in why)


@pytest.mark.parametrize("not_run, cause", [("not run: the sweep was stopped", None),
                                            ("no executable all_reduce_perf found", "not-found")])
def test_a_collective_that_never_ran(not_run, cause):
    entry = record.collective_entry(record.Measured("all_reduce", None, None, not_run=not_run))
    assert (entry["cause"] or {}).get("code") == cause
    assert verdict(record.Measured("all_reduce", None, None, not_run=not_run))[0] == "error"


def test_versions_come_from_the_first_collective_that_names_them():
    a = measured(300)
    b = measured(300, label="all_gather", stdout=output(300).replace("version 2.18.0", "version 2.19.1"))
    assert dict(a.reading.versions) != dict(b.reading.versions)
    doc = record.build_record("sweep", started_at="2026-12-07T00:00:00+00:00", wall_s=1.0, hosts=["h"],
                              gpu_type="H100_SXM", scope="intra", num_nodes=1, gpus_per_node=8, emulated=True,
                              measured=[a, b], overrides={})
    assert doc["versions"] == dict(a.reading.versions)
    assert (doc["verdict"], doc["exit_status"]) == ("warn", 1)
