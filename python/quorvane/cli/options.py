"""Each option more than one command takes, defined once, and the argument
types behind them.  Help text that differs between commands is passed in.
Imports nothing heavy: every command's options are built before any command
module's work is imported."""
from __future__ import annotations

import argparse
import math
from collections.abc import Callable
from typing import Any

MAX_GPUS = 4096
MAX_TIMEOUT_S = 7 * 24 * 3600
MAX_GRACE_S = 3600
DB_VAR = "QUORVANE_DB"   # the history's variable, named here without importing the history (sqlite3)
GPU_TYPE_HELP = "GPU model for the cutoffs, e.g. H100_SXM (see `quorvane thresholds`)"


# ---- argument types -----------------------------------------------------------------

def count(text: str) -> int:
    """A number of GPUs: 1 .. 4096."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 1 <= value <= MAX_GPUS:
        raise argparse.ArgumentTypeError(f"must be between 1 and {MAX_GPUS}: {text!r}")
    return value


def seconds(limit: float, whole: bool) -> Callable[[str], float]:
    """Seconds up to `limit`: whole and at least 1, or any number from 0."""
    def parse(text: str) -> float:
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a {'whole ' if whole else ''}number of seconds: "
                                             f"{text!r}") from None
        low = 1 if whole else 0
        if not low <= value <= limit:  # NaN fails this too
            raise argparse.ArgumentTypeError(f"must be between {low} and {limit:g} seconds: {text!r}")
        return value
    return parse


def host_list(text: str) -> list[str]:
    """h1,h2,...: two or more distinct host names."""
    hosts = [h.strip() for h in text.split(",")]
    for host in hosts:
        if not host:
            raise argparse.ArgumentTypeError(f"empty host name in {text!r}")
        if host.startswith("-"):
            raise argparse.ArgumentTypeError(f"host name {host!r} starts with '-'")
        if any(c.isspace() or not c.isprintable() for c in host):
            raise argparse.ArgumentTypeError(f"host name {host!r} holds white space or control characters")
    seen = [h for i, h in enumerate(hosts) if h in hosts[:i]]
    if seen:
        raise argparse.ArgumentTypeError(f"host {seen[0]!r} is listed twice")
    if len(hosts) < 2:
        raise argparse.ArgumentTypeError("needs at least two hosts (for one host use --gpus N)")
    return hosts


def collectives(text: str) -> list[str]:
    """'all_reduce,broadcast' or executable names -> executable names, in order."""
    names = []
    for item in text.split(","):
        item = item.strip()
        if not item:
            raise argparse.ArgumentTypeError(f"empty collective name in {text!r}")
        if not item.replace("_", "").isalnum() or not item.isascii():
            raise argparse.ArgumentTypeError(f"not a collective name: {item!r}")
        exe = item if item.endswith("_perf") else item + "_perf"
        if exe in names:
            raise argparse.ArgumentTypeError(f"{item!r} is listed twice")
        names.append(exe)
    return names


def whole_from_1(most: int | None = None) -> Callable[[str], int]:
    """A whole number of at least 1 (and at most `most`)."""
    def parse(text: str) -> int:
        if not (text.isascii() and text.isdigit()) or int(text) < 1 or (most is not None and int(text) > most):
            raise argparse.ArgumentTypeError(
                f"must be a whole number from 1 to {most}: {text!r}" if most is not None
                else f"not a whole number of at least 1: {text!r}")
        return int(text)
    return parse


def percent(text: str) -> float:
    """A percentage from 0 up to (not including) 100; a trailing % is allowed."""
    try:
        value = float(text.rstrip("%"))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a percentage: {text!r}") from None
    if not (math.isfinite(value) and 0 <= value < 100):
        raise argparse.ArgumentTypeError(f"must be from 0 up to (not including) 100: {text!r}")
    return value


# ---- the shared options ---------------------------------------------------------------

def gpu_type(p: Any, help: str = GPU_TYPE_HELP, *, required: bool = True) -> None:
    p.add_argument("--gpu-type", required=required, metavar="TYPE", help=help)


def gpus_per_node(p: Any, *, required: bool = False) -> None:
    p.add_argument("--gpus-per-node", type=count, required=required, metavar="N", help="GPUs per host")


def binary_root(p: Any, help: str = "directory of the nccl-tests executables (default /opt/nccl-tests/build)"
                ) -> None:
    p.add_argument("--binary-root", metavar="DIR", help=help)


def timeout(p: Any, help: str) -> None:
    p.add_argument("--timeout", type=seconds(MAX_TIMEOUT_S, True), metavar="S", help=help)


def grace(p: Any, what: str = "a benchmark") -> None:
    from ..runner import GRACE_S

    p.add_argument("--grace", type=seconds(MAX_GRACE_S, False), metavar="S", default=GRACE_S,
                   help=f"seconds {what} gets to stop after SIGTERM before SIGKILL (default {GRACE_S:g})")


def emulate(p: Any, help: str) -> None:
    p.add_argument("--emulate", action="store_true", help=help)


def json_file(p: Any, help: str = "write the result as JSON to FILE ('-': stdout)") -> None:
    p.add_argument("--json", metavar="FILE", help=help)


def prom_file(p: Any, help: str = "also write Prometheus text-format metrics to FILE (for node_exporter's "
                                  "textfile collector; '-': stdout)") -> None:
    p.add_argument("--prom", metavar="FILE", help=help)


def keep_logs(p: Any) -> None:
    p.add_argument("--keep-logs", metavar="DIR",
                   help="keep each collective's raw stdout and stderr in DIR (named in the record)")


def db(p: Any) -> None:
    p.add_argument("--db", metavar="FILE|URL",
                   help=f"the history: a file, or a postgresql://user@host/database URL (default: ${DB_VAR}, "
                        f"else $XDG_DATA_HOME/quorvane/history.sqlite3)")


def no_record(p: Any) -> None:
    p.add_argument("--no-record", action="store_true", help="do not record this run in the history")


def all_rows(p: Any) -> None:
    p.add_argument("--all-rows", action="store_true",
                   help="show every row of each collective (default: a screenful, the first and the last rows; "
                        "the record keeps every row either way)")


def outputs(p: Any, *, logs: bool = True) -> None:
    """The options of a command that makes a record: --json, --keep-logs,
    --prom, --db, --no-record (see cli.outputs)."""
    json_file(p, "write the record as JSON to FILE ('-': stdout, and the tables go to stderr)")
    if logs:
        keep_logs(p)
    prom_file(p)
    db(p)
    no_record(p)
