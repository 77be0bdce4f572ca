"""Failure causes: fake benchmark programs print the real wording of each kind of
failure (nccl-tests, NCCL, CUDA, the dynamic loader, srun, mpirun, ssh) and exit
as the real ones do; each run goes through the library's runner, a real child
process, and the classifier must name the cause."""
import json
import re
import subprocess
import sys

import pytest

import conftest
from conftest import need_corpus

import quorvane.analysis as qa
import quorvane.collsweep as cs

H = "gpu-a"  # nccl-tests prints the host name before its own failures
INFO_NOISE = (  # seen on healthy runs too: never a cause by itself
    f"{H}:81:81 [0] NCCL INFO NET/Plugin : Plugin load (libnccl-net.so) returned 2 : libnccl-net.so: "
    "cannot open shared object file: No such file or directory\n"
    f"{H}:81:90 [0] NCCL INFO Call to connect returned Connection refused, retrying\n")

# id: (stdout, stderr, exit status or "SIG..." to die by, code, text the advice or evidence must hold)
CASES = {
    "loader": ("", "all_reduce_perf: error while loading shared libraries: libnccl.so.2: cannot open shared "
               "object file: No such file or directory\n", 127, "missing-library", "libnccl.so.2"),
    "pmix-plugin": ("", "srun: error: Couldn't load specified plugin name for mpi/pmix: Plugin init() callback "
                    "failed\nsrun: error: cannot create mpi context for mpi/pmix\nsrun: error: Invalid MPI type "
                    "'pmix', --mpi=list for acceptable types\n", 1, "launcher-plugin", "mpi/pmix"),
    "ssh-unreachable": ("", "ssh: connect to host 198.18.0.99 port 22: No route to host\n-----\nORTE was unable "
                        "to reliably start one or more daemons.\n", 255, "ssh", "198.18.0.99"),
    "ssh-host-key": ("", "Host key verification failed.\n", 255, "ssh", "known_hosts"),
    "no-interface": (f"{H}:81:81 [0] bootstrap.cc:45 NCCL WARN Bootstrap : no socket interface found\n"
                     f"{H}: Test NCCL failure common.cu:1005 'internal error - please report this issue to the "
                     "NCCL developers / '\n", "", 3, "bootstrap", "NCCL_SOCKET_IFNAME"),
    "refused": (INFO_NOISE + f"{H}:81:90 [0] misc/socket.cc:484 NCCL WARN socketStartConnect: Connect to "
                "10.0.0.2<45678> failed : Connection refused\n", "", 3, "bootstrap", "Connection refused"),
    "no-device": (f"{H}: Test CUDA failure common.cu:892 'no CUDA-capable device is detected'\n .. {H} pid 81: "
                  "Test failure common.cu:1005\n", "", 2, "no-gpu", "no CUDA-capable device"),
    "zero-gpus": ("", "Invalid number of GPUs: 8 requested but only 0 were found.\nPlease check the number of "
                  "processes and GPUs per process.\n", 5, "no-gpu", "only 0"),
    "host-oom": ("", "Out of memory: Killed process 4242 (all_reduce_perf) total-vm:81234kB\n", "KILL",
                 "out-of-memory", "out-of-memory killer"),
    "cuda-oom": (f"{H}: Test CUDA failure common.cu:913 'out of memory'\n", "", 2, "out-of-memory", "out of memory"),
    "nccl-remote": ("", "all_reduce_perf: rank 1: Test NCCL failure common.cu:1279 'unhandled system error (run "
                    "with NCCL_DEBUG=INFO for details)' / 'remote process exited or there was a network error'\n",
                    1, "nccl-error", "peer rank"),
    "wrong-data": (INFO_NOISE + "# Out of bounds values : 6 FAILED\n# Avg bus bandwidth    : 301.2 \n", "", 7, "corruption",
                   "6 FAILED"),
    "wrong-data-old": ("# Out of bounds values : 2 FAILED\n", "", 1, "corruption", "2 FAILED"),  # exit(EXIT_FAILURE)
    "min-bw": ("# Out of bounds values : 0 OK\n# Avg bus bandwidth    : 12.5 FAILED\n", "", 7, "bandwidth-gate",
               "NCCL_TESTS_MIN_BW"),
    "own-timeout": (f"{H}: Test timeout (5s) common.cu:487\n", "", 4, "timeout", "Test timeout"),
    "segv": (INFO_NOISE, "", "SEGV", "signal", "SIGSEGV"),
    "mpirun-rank-segv": ("", "mpirun noticed that process rank 3 with PID 0 on node gpu-b exited on signal 11 "
                         "(Segmentation fault).\n", 139, "signal", "SIGSEGV"),
    "usage": ("invalid option 'x'\nUSAGE: all_reduce_perf \n\t[-t,--nthreads <num threads>] \n", "", 6,
              "invalid-usage", "invalid option"),
    "too-many-gpus": ("", "Invalid number of GPUs: 8 requested but only 4 were found.\n", 5, "invalid-usage",
                      "--gpus"),
    "standin-refuses": ("", "all_reduce_perf: unknown argument '-x' (accepted: -b -e -f -g -n -w)\n", 2,
                        "invalid-usage", "unknown argument"),
    "bare-status-3": ("", "", 3, "nccl-error", "status 3"),
    "bare-status-1": ("", "", 1, "unknown", "exit status 1"),
    "status-7-no-footer": ("", "", 7, "unknown", "footer"),
    "bare-status-126": ("", "", 126, "not-found", "permissions"),      # a shell found it but may not run it
    "bare-status-129": ("", "", 129, "signal", "SIGHUP"),              # a shell's 128 + signal, from the first
}


def fake_benchmark(folder, stdout, stderr, status):
    """A program that prints what a failing benchmark prints and ends as it does."""
    (folder / "out.txt").write_text(stdout)
    (folder / "err.txt").write_text(stderr)
    end = f"kill -{status} $$" if isinstance(status, str) else f"exit {status}"
    path = folder / "all_reduce_perf"
    path.write_text(f"#!/bin/sh\ncat '{folder}/out.txt'\ncat '{folder}/err.txt' >&2\n{end}\n")
    path.chmod(0o755)
    return str(path)


@pytest.mark.parametrize("stdout,stderr,status,code,hint", CASES.values(), ids=CASES.keys())
def test_fake_benchmark_failures_get_their_cause(tmp_path, stdout, stderr, status, code, hint):
    result = cs.LocalShellRunner().run([fake_benchmark(tmp_path, stdout, stderr, status), "-b", "8192"], timeout=5)
    cause = qa.classify_failure(result.stdout, result.stderr, result.returncode)
    assert cause.code == code, (cause, result)
    assert hint in cause.advice + cause.evidence, cause
    assert "\n" not in cause.advice + cause.evidence


@pytest.mark.parametrize("command,timeout,code,hint", [
    (["/nonexistent/all_reduce_perf", "-b", "8192"], 5, "not-found", "/nonexistent/all_reduce_perf"),
    (["sleep", "5"], 1, "timeout", "timeout after 1s"),
], ids=["missing-program", "runner-timeout"])
def test_the_runners_own_failures(command, timeout, code, hint):
    result = cs.LocalShellRunner().run(command, timeout=timeout)
    cause = qa.classify_failure(result.stdout, result.stderr, result.returncode)
    assert (cause.code, hint in cause.advice + cause.evidence) == (code, True), cause


def test_every_cause_code_has_a_case():
    shown = {case[3] for case in CASES.values()} | {"not-found", "timeout"}
    assert shown == set(qa.CAUSE_CODES)


def test_identical_causes_are_said_once():
    missing = qa.classify_failure("", "x: error while loading shared libraries: libnccl.so.2: cannot open", 127)
    other = qa.classify_failure("", "", -9)
    crash = qa.classify_failure("", "", -11)     # the same code, other advice: said apart
    groups = qa.fold_causes([("all_reduce", missing), ("all_gather", missing), ("broadcast", other),
                             ("reduce_scatter", missing), ("sendrecv", crash)])
    assert [(g.cause.code, g.collectives) for g in groups] == [
        ("missing-library", ["all_reduce", "all_gather", "reduce_scatter"]), ("signal", ["broadcast"]),
        ("signal", ["sendrecv"])]


CORPUS = conftest.CORPUS / "nccl-tests"
LOADER = 'echo "$0: error while loading shared libraries: libnccl.so.2: cannot open shared object file" >&2; exit 127'


@pytest.mark.parametrize("scripts,collectives,lines", [
    ({"all_reduce": LOADER, "all_gather": LOADER, "reduce_scatter": LOADER, "broadcast": LOADER},
     "all_reduce,all_gather,reduce_scatter,broadcast",
     ["every collective: missing-library: the dynamic loader cannot find libnccl.so.2"]),
    ({"all_reduce": LOADER, "broadcast": "kill -KILL $$"}, "all_reduce,reduce_scatter,broadcast",
     ["all_reduce: missing-library", "reduce_scatter: not-found: nccl-tests is not installed",
      "broadcast: signal: killed by SIGKILL"]),
], ids=["all-alike", "mixed"])
def test_sweep_says_each_cause_once(tmp_path, scripts, collectives, lines):
    for label, script in scripts.items():
        (tmp_path / f"{label}_perf").write_text(f"#!/bin/sh\n{script}\n")
        (tmp_path / f"{label}_perf").chmod(0o755)
    r = subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--gpus", "8", "--gpu-type", "H100_SXM",
                        "--binary-root", str(tmp_path), "--collectives", collectives, "--json", "-"],
                       capture_output=True, text=True, timeout=60)
    causes = [line.split(None, 1)[1] for line in r.stderr.splitlines() if line.startswith("cause ")]
    assert len(causes) == len(lines) and all(c.startswith(want) for c, want in zip(causes, lines)), r.stderr
    assert all(e["cause"]["advice"] for e in json.loads(r.stdout)["collectives"])


def test_grade_names_a_device_of_another_type():
    saved = CORPUS / "xxrjun_h100_8gpu_5colls_v2_17_8.txt"
    need_corpus()
    r = subprocess.run([sys.executable, "-m", "quorvane", "grade", str(saved), "--gpu-type", "H200", "--json", "-"],
                       capture_output=True, text=True, timeout=60)
    assert [c["code"] for c in json.loads(r.stdout)["caveats"]] == ["device-mismatch"], r.stderr
    assert re.search(r"^caveat\s+device-mismatch: .*NVIDIA H100 80GB HBM3 \(H100_SXM\), graded as H200", r.stderr,
                     re.M), r.stderr


def test_a_variable_forwarded_with_a_value_counts_as_forwarded():
    from quorvane.causes import caveats_of
    from quorvane.record import Measured
    from quorvane.runner import Outcome

    cmd = ["mpirun", "-np", "24", "-x", "NCCL_DEBUG=WARN", "-x", "NCCL_ALGO", "all_reduce_perf", "-b", "8192"]
    record = {"scope": "multi", "gpu_type": "H100_SXM", "num_nodes": 3, "gpus_per_node": 8, "emulated": False}
    found = caveats_of(record, [Measured("all_reduce", Outcome(cmd, 0, "", "", 1.0))], launcher="mpirun",
                       environ={"NCCL_DEBUG": "INFO", "NCCL_ALGO": "RING", "NCCL_IB_HCA": "mlx5_0"})
    [message] = [c["message"] for c in found if c["code"] == "nccl-env-not-forwarded"]
    assert "passes only NCCL_DEBUG, NCCL_ALGO to remote ranks: NCCL_IB_HCA set here" in message
