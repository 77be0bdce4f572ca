"""Fault injection: the real command (`python -m quorvane`) against binary roots
of small fake nccl-tests programs, each misbehaving one way.  What is checked
for every fault: the exit status, that the record is written, strict and keeps
the rows, and that no process of the run is left behind."""
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import conftest
from conftest import need_corpus

from quorvane.runner import CommandRunner

REPO = Path(__file__).resolve().parent.parent
STANDIN = REPO / "python" / "quorvane" / "_standin.py"
CORPUS = conftest.CORPUS / "nccl-tests"
MARKER = "QUORVANE_TEST_MARKER"
# The stand-in at 350 GB/s: all_reduce passes for H100_SXM with its best at 32 MiB.
PRELUDE = """#!/bin/sh
export NCCL_STANDIN_COLLECTIVE={label} NCCL_STANDIN_BUSBW_GBPS=350
PY='{py}' STANDIN='{standin}' CORPUS='{corpus}' ROOT='{root}'
standin() {{ "$PY" "$STANDIN" "$@"; }}
"""
SOUND = 'exec "$PY" "$STANDIN" "$@"'
EDIT_ROW = "awk '!/^#/ && NF == 13 && !done { %s; done = 1 } 1'"
CUTOFFS = '{"V100:intra": {"pass_min_gbps": 100, "warn_min_gbps": 50}, ' \
          '"A100_SXM:intra": {"pass_min_gbps": 200, "warn_min_gbps": 100}}'


def env(**extra):
    keep = {k: v for k, v in os.environ.items()
            if not k.startswith(("NCCL_STANDIN_", "QUORVANE_", "OMPI_", "PMIX_", "SLURM_", "SKYPILOT_"))}
    return {**keep, "NO_COLOR": "1", **extra}


def make_root(tmp_path, programs):
    """A binary root: `programs` maps a collective to its fake's shell body
    (bytes: the whole file; a body starting with #! replaces the prelude)."""
    root = tmp_path / "bin"
    root.mkdir(exist_ok=True)
    for label, body in programs.items():
        path = root / f"{label}_perf"
        if isinstance(body, bytes):
            path.write_bytes(body)
        elif body.startswith("#!"):
            path.write_text(body.replace("$ROOT", str(root)) + "\n")
        else:
            path.write_text(PRELUDE.format(label=label, py=sys.executable, standin=STANDIN, corpus=CORPUS,
                                           root=root) + body + "\n")
        path.chmod(0o755)
    return root


def survivors(marker):
    """Live processes whose environment carries the marker."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if f"{MARKER}={marker}".encode() in Path(f"/proc/{pid}/environ").read_bytes().split(b"\0") and \
                    Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z":
                found.append(int(pid))
        except OSError:
            pass
    return found


def sweep(tmp_path, *args, timeout=60, **extra):
    record = tmp_path / "record.json"
    r = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--gpus", "8", "--json", str(record), *args],
                       capture_output=True, text=True, timeout=timeout,
                       env=env(**{MARKER: str(tmp_path), **extra}))
    assert "Traceback" not in r.stderr, r.stderr
    assert survivors(tmp_path) == [], "processes of the run were left behind"
    text = record.read_text() if record.exists() else None
    return r, (json.loads(text, parse_constant=pytest.fail) if text else None)


FAULTS = [
    # name, fake all_gather (all_reduce is sound), exit status, all_gather rows kept
    ("wrong-exit-7", 'NCCL_STANDIN_MODE=wrong standin "$@"; exit 7', 2, 4),
    ("wrong-in-place", 'standin "$@" | ' + EDIT_ROW % "$13 = 2", 2, 4),
    ("wrong-negative", 'standin "$@" | ' + EDIT_ROW % "$9 = -1", 2, 4),
    ("footer-failed", 'standin "$@" | sed "s/values : 0 OK/values : 2 FAILED/"', 2, 4),
    ("crash", 'NCCL_STANDIN_MODE=signal standin "$@"', 4, 0),
    ("no-table", "echo 'NCCL WARN nothing to see'", 4, 0),
    ("truncated", 'NCCL_STANDIN_MODE=partial standin "$@"', 4, 2),
    ("exit-1", 'NCCL_STANDIN_MODE=fail standin "$@"', 4, 0),
    ("exit-7-alone", 'standin "$@"; exit 7', 4, 4),                 # NCCL_TESTS_MIN_BW: no corruption
    ("not-executable-format", b"\x7fELF\x02\x01garbage", 4, 0),    # ENOEXEC
    ("interpreter-refused", "#!$ROOT", 4, 0),                        # EACCES: a folder as interpreter
    ("ignores-sigterm", "trap '' TERM; sleep 300", 4, 0),            # time-out, grace, SIGKILL
    ("grandchild-holds-stdout", 'sleep 30 & standin "$@"', 0, 4),
    ("undecodable-byte", 'standin "$@" | sed "1s/$/ \\xff\\xfe/"', 0, 4),
    ("huge-number", 'standin "$@" | ' + EDIT_ROW % '$8 = 1 sprintf("%0310d", 0)', 4, None),
]


@pytest.mark.parametrize("fake,status,rows", [f[1:] for f in FAULTS], ids=[f[0] for f in FAULTS])
def test_fault_gives_its_status_and_keeps_the_record(tmp_path, fake, status, rows):
    root = make_root(tmp_path, {"all_reduce": SOUND, "all_gather": fake})
    r, record = sweep(tmp_path, "--gpu-type", "H100_SXM", "--binary-root", str(root), "--timeout", "2",
                      "--grace", "0.5", "--collectives", "all_reduce,all_gather")
    assert r.returncode == status, r.stdout + r.stderr
    assert (record["verdict"], record["exit_status"]) == ({0: "pass", 2: "fail", 4: "error"}[status], status)
    reduce, gather = record["collectives"]
    assert reduce["complete"] and len(reduce["rows"]) == 4 and record["headline"]["size_bytes"] == 33554432
    if rows is not None:
        assert len(gather["rows"]) == rows
    assert gather["complete"] == (status == 0)
    assert (record["verdict_note"] is None) == (record["verdict"] == record["library_status"])
    assert re.search(rf"^verdict\s+{record['verdict'].upper()}$", r.stdout, re.M), r.stdout


@pytest.mark.parametrize("fake,gpu_type,library", [
    ('cat "$CORPUS/dgx2_v100_12gpu_allreduce_v2x_err_exp.txt"', "V100", "fail"),   # error column before 2.13
    ('cat "$CORPUS/superbench_a100_allreduce_v2x_na.txt"', "A100_SXM", "fail"),    # validation off: N/A
    ('standin "$@" | sed "s/^/[1,0]<stdout>:/"', "H100_SXM", "unknown"),          # mpirun --tag-output
    ('standin "$@" | sed "s/^/0: /"', "H100_SXM", "unknown"),                     # srun --label
], ids=["error-column", "n/a", "prefix-tag", "prefix-label"])
def test_format_variants_never_fail(tmp_path, fake, gpu_type, library):
    if "CORPUS" in fake:
        need_corpus()
    root = make_root(tmp_path, {"all_reduce": fake})
    r, record = sweep(tmp_path, "--gpu-type", gpu_type, "--binary-root", str(root), "--collectives", "all_reduce",
                      QUORVANE_NCCL_THRESHOLD_OVERRIDES=CUTOFFS)
    assert (r.returncode, record["verdict"], record["library_status"]) == (0, "pass", library), r.stdout + r.stderr
    assert record["verdict_note"].startswith(f"the library graded {library.upper()}: it read all_reduce")
    assert record["collectives"][0]["complete"]


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP], ids=lambda s: s.name)
def test_signal_stops_the_benchmark_and_keeps_what_ran(tmp_path, sig):
    scratch, logs, record = tmp_path / "tmp", tmp_path / "logs", tmp_path / "record.json"
    scratch.mkdir()
    proc = subprocess.Popen([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                             "H100_SXM", "--collectives", "all_reduce,all_gather", "--json", str(record),
                             "--keep-logs", str(logs)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env=env(TMPDIR=str(scratch), NCCL_STANDIN_MODE_all_gather="sleep",
                                    **{MARKER: str(tmp_path)}))
    for line in proc.stderr:  # all_reduce has run, all_gather sleeps
        if "all_gather: running" in line:
            break
    time.sleep(0.3)
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=20)
    assert proc.returncode == 128 + sig, err
    assert err.splitlines()[-1] == f"quorvane: stopped by {sig.name}; partial record written to {record}"
    assert survivors(tmp_path) == [] and list(scratch.iterdir()) == []
    data = json.loads(record.read_text())
    assert (data["interrupted"], data["exit_status"], data["verdict"]) == (sig.name, 128 + sig, "error")
    reduce, gather = data["collectives"]
    assert reduce["complete"] and len(reduce["rows"]) == 4
    assert [f["code"] for f in gather["findings"]][:1] == ["interrupted"] and gather["exit_status"] == -signal.SIGTERM
    assert sorted(p.name for p in logs.iterdir()) == [f"{c}.{s}" for c in ("all_gather", "all_reduce")
                                                       for s in ("stderr", "stdout")]


def test_failed_write_keeps_the_printed_result(tmp_path):
    r = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                        "H100_SXM", "--collectives", "all_reduce", "--json", "/dev/full"],
                       capture_output=True, text=True, timeout=60, env=env(NCCL_STANDIN_LATENCY_US="0"))
    assert r.returncode == 74
    assert re.search(r"^verdict\s+PASS", r.stdout, re.M)
    assert r.stderr.splitlines()[-1] == "quorvane: error: cannot write /dev/full: No space left on device"


@pytest.mark.parametrize("reader", ["head -1", "true"])  # true: gone before anything is written
def test_closed_stdout_is_no_error(reader):
    r = subprocess.run(["bash", "-c", f"'{sys.executable}' -m quorvane thresholds | {reader}; "
                                      "exit ${PIPESTATUS[0]}"], capture_output=True, text=True, timeout=30)
    assert (r.returncode, r.stderr, len(r.stdout.splitlines())) == (0, "", reader.count("head"))


def test_unexpected_fault_is_one_line_and_70(tmp_path):
    code = ("import sys, quorvane.cli as cli, quorvane.cli.sweep\n"
            "cli.sweep.cmd_sweep = lambda args: {}['boom']\n"
            "sys.exit(cli.main(['sweep', '--gpus', '2', '--gpu-type', 'H100_SXM']))")
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)
    assert (r.returncode, r.stdout, r.stderr) == (70, "", "quorvane: internal error: KeyError: 'boom'\n")


@pytest.mark.parametrize("script,kept", [
    ("import sys; sys.stdout.buffer.write(b'a' * 3000 + b'\\n' + b'b' * 3000)", "cut"),
    ("import sys; sys.stdout.write('a' * 1000)", "whole"),
])
def test_runner_keeps_head_and_tail_and_the_log_keeps_all(tmp_path, script, kept):
    logs = (str(tmp_path / "out"), str(tmp_path / "err"))
    outcome = CommandRunner(cap_bytes=1000).execute([sys.executable, "-c", script], timeout=10, logs=logs)
    raw = Path(logs[0]).read_bytes()
    if kept == "cut":
        assert outcome.cut_bytes == {"stdout": len(raw) - 1000}
        head, _, tail = outcome.stdout.partition("\n[quorvane: ")
        assert (head, tail.partition("\n")[2]) == (raw[:500].decode(), raw[-500:].decode())
    else:
        assert outcome.cut_bytes == {} and outcome.stdout == raw.decode() and outcome.returncode == 0

