"""The failure causes and caveats of a record, on a terminal: each cause once,
naming every collective that failed that way, with its advice."""
from __future__ import annotations

from collections.abc import Mapping
from typing import Any

from rich.console import Console
from rich.text import Text

from .. import analysis as qa
from .common import shown


def render_causes(record: Mapping[str, Any], console: Console) -> None:
    failed = [(e["collective"] or "?", e["cause"]) for e in record["collectives"] if e.get("cause")]
    groups = qa.fold_causes([(label, qa.Cause(c["code"], c["advice"], c.get("evidence") or ""))
                             for label, c in failed])
    caveats = record.get("caveats") or []
    if groups or caveats:
        console.print()
    for g in groups:
        who = "every collective" if len(g.collectives) > 1 and len(g.collectives) == len(record["collectives"]) \
            else ", ".join(g.collectives)
        line = Text("cause      ")
        line.append(f"{who}: {g.cause.code}", style="bold red")
        line.append(f": {shown(g.cause.advice)}")
        console.print(line)
        if g.cause.evidence:
            console.print(Text(f"           [{shown(g.cause.evidence)[:200]}]", style="dim"))
    for c in caveats:
        line = Text("caveat     ")
        line.append(c["code"], style="bold yellow")
        line.append(f": {shown(c['message'])}")
        console.print(line)
