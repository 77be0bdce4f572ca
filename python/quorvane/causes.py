"""Why a collective failed and what a result needs said beside it: the bridge
from what the command saw (runs, readings, its own environment) to the
analysis module's failure causes and caveats."""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any

from . import analysis as qa
from . import collsweep as cs


def _failed(entry: Mapping[str, Any]) -> bool:
    return not entry["complete"] or any(f["severity"] in ("fail", "error") for f in entry["findings"])


def cause_of(measured: Any, entry: Mapping[str, Any]) -> dict[str, str] | None:
    """The record's `cause` of one collective: None when it did not fail, or when
    nothing ran that could have failed (a saved output, a sweep stopped first)."""
    if not _failed(entry):
        return None
    o = measured.outcome
    if o is None:
        if measured.not_run is None or measured.not_run.startswith("not run"):
            return None
        # The library found no executable to run.
        return dict(qa.classify_failure("", measured.not_run, 127).to_dict())
    stderr = o.stderr if o.started and not o.timed_out else "\n".join(t for t in (o.stderr, o.reason) if t)
    cause = qa.classify_failure(o.stdout, stderr, o.returncode)
    if cause.code == "unknown":
        # A clean exit with wrong results, caught by the reader rather than the footer.
        wrong = next((f for f in entry["findings"] if f["severity"] == "fail"), None)
        if wrong is not None:
            cause = qa.Cause("corruption", "the benchmark's results are wrong: a GPU, NVLink or NIC corrupts "
                             "data; run it again, then test the GPUs one by one (e.g. dcgmi diag)",
                             f"{wrong['code']}: {wrong['message']}")
    return dict(cause.to_dict())


def _forwarded(commands: Sequence[Sequence[str]]) -> list[str]:
    """The variables a launcher command passes to remote ranks (mpirun's -x)."""
    names: dict[str, None] = {}
    for cmd in commands:
        for flag, value in zip(cmd, cmd[1:]):
            if flag == "-x":
                names[value.split("=", 1)[0]] = None
    return list(names)


def caveats_of(record: Mapping[str, Any], measured: Sequence[Any], *, launcher: str | None = None,
               environ: Mapping[str, str] | None = None) -> list[dict[str, str]]:
    """The record's `caveats`. `environ` is the environment the runs started
    from (None for saved outputs, whose environment is unknown)."""
    scope = record["scope"]
    if scope == "multi" and environ is not None and not launcher:
        launcher = str(cs._select_launcher_mode())
    environment = None if environ is None else {k: v for k, v in environ.items() if k.startswith("NCCL_")}
    commands = [m.outcome.command for m in measured if m.outcome is not None]
    # One reading's ranks: every collective ran on the same ranks.
    reading = next((m.reading for m in measured if m.reading is not None and len(m.reading.ranks)), None)
    ranks = [(r.host, r.device) for r in reading.ranks] if reading is not None else []
    found = qa.caveats(record["gpu_type"], scope, int(record["num_nodes"]), int(record["gpus_per_node"] or 0),
                       launcher=launcher or "", environment=environment, forwarded=_forwarded(commands),
                       ranks=ranks, emulated=bool(record.get("emulated")))
    return [dict(c.to_dict()) for c in found]
