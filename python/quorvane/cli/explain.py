"""The failure causes and caveats of a record, on a terminal: each cause once,
naming every collective that failed that way, with its advice."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from .. import analysis as qa
from .common import shown
from .term import Lines


def render_causes(record: Mapping[str, Any], out: Lines) -> None:
    failed = [(e["collective"] or "?", e["cause"]) for e in record["collectives"] if e.get("cause")]
    groups = qa.fold_causes([(label, qa.Cause(c["code"], c["advice"], c.get("evidence") or ""))
                             for label, c in failed])
    caveats = record.get("caveats") or []
    if groups or caveats:
        out.print()
    for g in groups:
        who = "every collective" if len(g.collectives) > 1 and len(g.collectives) == len(record["collectives"]) \
            else ", ".join(g.collectives)
        out.print("cause      ", (f"{who}: {g.cause.code}", "bold red"), f": {shown(g.cause.advice)}")
        if g.cause.evidence:
            out.print((f"           [{shown(g.cause.evidence)[:200]}]", "dim"))
    for c in caveats:
        out.print("caveat     ", (c["code"], "bold yellow"), f": {shown(c['message'])}")
