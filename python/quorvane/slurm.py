"""Taking suspects out of Slurm's service and putting them back (`fleet --drain/--resume`).

A drained node carries a reason beginning with `quorvane:`; `--resume` returns
to service only nodes drained with such a reason that pass now, so a node that
an administrator drained for another reason is never touched. Commands are run
as argument lists (no shell); `print` writes the same commands, quoted for a
shell, for an operator to read or run.
"""
from __future__ import annotations

import shlex
import subprocess
from collections.abc import Mapping, Sequence
from typing import Any

PREFIX = "quorvane:"
# Slurm keeps a node's reason as a free string, but sinfo, scontrol and the
# accounting database show and store far less than a long evidence line:
# keep it short enough to read whole in `sinfo -R`.
REASON_MAX = 128
SCONTROL_TIMEOUT_S = 30


class SlurmError(Exception):
    """scontrol or sinfo could not be run, or refused: one line."""


def reason_for(suspect: Mapping[str, Any]) -> str:
    """`quorvane: <kind> <short evidence>`: the evidence's first two results (the
    two independent results that named the host), printable ASCII that needs no
    escaping inside double quotes, at most REASON_MAX characters."""
    evidence = "; ".join(" ".join(str(suspect.get("evidence") or "").split()).split("; ")[:2])
    text = f"{PREFIX} {suspect.get('kind') or 'slow'} {evidence}".strip()
    text = "".join(c if c.isascii() and c.isprintable() and c not in "\"\\$`" else "?" for c in text)
    return text if len(text) <= REASON_MAX else text[:REASON_MAX - 3].rstrip() + "..."


def drain_command(host: str, reason: str) -> list[str]:
    return ["scontrol", "update", f"NodeName={host}", "State=DRAIN", f"Reason={reason}"]


def resume_command(host: str) -> list[str]:
    return ["scontrol", "update", f"NodeName={host}", "State=RESUME"]


def shown(cmd: Sequence[str]) -> str:
    """The command as one shell line: `Reason="..."` quoted as people write it."""
    out = []
    for arg in cmd:
        key, eq, value = arg.partition("=")
        out.append(f'{key}="{value}"' if eq and key == "Reason" else shlex.quote(arg))
    return " ".join(out)


def drain_limit(fleet_size: int, given: int | None) -> int:
    """--max-drain: given, else a tenth of the fleet, at least 1."""
    return given if given is not None else max(1, fleet_size // 10)


def _run(cmd: list[str]) -> str:
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=SCONTROL_TIMEOUT_S,
                              stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        raise SlurmError(f"{cmd[0]} not found on PATH (Slurm's client commands are needed)") from None
    except subprocess.TimeoutExpired:
        raise SlurmError(f"{cmd[0]} gave no answer in {SCONTROL_TIMEOUT_S} s") from None
    if done.returncode != 0:
        why = (done.stderr.strip().splitlines() or [f"exit status {done.returncode}"])[-1]
        raise SlurmError(f"{shown(cmd)}: {why}")
    return done.stdout


def drain_reasons(hosts: Sequence[str]) -> dict[str, str]:
    """Each drained (or draining) node among `hosts` and its reason, from sinfo."""
    from .hostlist import fold

    text = _run(["sinfo", "--noheader", "--Node", f"--nodes={fold(hosts)}", "--format=%N|%T|%E"])
    reasons: dict[str, str] = {}
    for line in text.splitlines():
        node, _, rest = line.partition("|")
        state, _, reason = rest.partition("|")
        if "drain" in state.lower():
            reasons[node.strip()] = reason.strip()
    return reasons


def apply(cmds: Sequence[list[str]]) -> list[str]:
    """Run each command; the one-line errors of those that failed."""
    errors = []
    for cmd in cmds:
        try:
            _run(cmd)
        except SlurmError as exc:
            errors.append(str(exc))
    return errors
