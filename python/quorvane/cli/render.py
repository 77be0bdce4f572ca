"""Rendering of sweep reports and topology inventories on a terminal."""
from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import Any, TextIO

from .. import collsweep as cs
from .emulate import EMULATED
from .common import (PROG, Style, fmt_float, human_size, table, threshold_source)

def _bar(value: float, scale: float, cutoffs: Sequence[float], width: int, style: Style,
         grade: str | None) -> str:
    """busbw as a filled bar on [0, scale]; the cutoffs show as ticks on it."""
    filled = 0 if scale <= 0 or value != value else max(0, min(width, round(value / scale * width)))
    ticks = {min(width - 1, max(0, int(c / scale * width))) for c in cutoffs if scale > 0}
    full, empty, tick = ("\u2588", "\u00b7", "\u2502") if style.fancy else ("#", ".", "|")
    cells = []
    for i in range(width):
        if i in ticks:
            cells.append(tick)
        else:
            cells.append(full if i < filled else empty)
    text = "".join(cells)
    if grade and style.colour:
        head, tail = text[:filled], text[filled:]
        return style(head, *Style.GRADE.get(grade, ())) + style(tail, "dim")
    return text


def render_report(report: Any, collectives: Sequence[str], emulated: bool, out: TextIO,
                  style: Style, overrides: Mapping[str, object]) -> None:
    thr = report.threshold
    cutoffs = [thr.warn_min_gbps, thr.pass_min_gbps] if thr is not None else []
    results = list(report.results)
    top = max([r.busbw_gbps for r in results if r.busbw_gbps == r.busbw_gbps] + [0.0])
    scale = max(top, (thr.pass_min_gbps * 1.25) if thr is not None else 0.0)
    width = 24

    where = (f"{report.num_nodes} hosts x {report.gpus_per_node} GPUs"
             if report.scope == "multi" else f"this host, {report.gpus_per_node} GPUs")
    print(style(f"nccl-tests sweep: {report.gpu_type or '?'} on {where} (scope {report.scope})", "bold"),
          file=out)
    if emulated:
        print(style("EMULATED: these numbers come from quorvane's built-in stand-in benchmark, "
                    "not from GPUs. Nothing was measured.", "bold", "magenta"), file=out)

    labels = [cs.collective_name_for_binary(name) for name in collectives]
    labels += [r.collective for r in results if r.collective not in labels]
    labels = list(dict.fromkeys(labels))
    tick = "\u2502" if style.fancy else "|"
    if thr is not None:
        legend = (f"bars: busbw on a 0-{scale:,.0f} GB/s scale; {tick} marks the warn "
                  f"({thr.warn_min_gbps:g}) and pass ({thr.pass_min_gbps:g}) cutoffs")
    else:
        legend = f"bars: busbw on a 0-{scale:,.0f} GB/s scale (no cutoffs known)"
    print(style(legend, "dim"), file=out)
    for label in labels:
        rows = [r for r in results if r.collective == label]
        print(file=out)
        print(style(label, "bold", "cyan") + f"  ({len(rows)} row{'s' if len(rows) != 1 else ''})", file=out)
        if not rows:
            print("  no rows (see error below)", file=out)
            continue
        body = []
        for r in rows:
            grade = cs.classify(r.busbw_gbps, thr) if label == "all_reduce" and thr is not None else None
            body.append([human_size(r.size_bytes), fmt_float(r.busbw_gbps), fmt_float(r.algbw_gbps),
                         fmt_float(r.latency_us, 1), str(r.wrong),
                         _bar(r.busbw_gbps, scale, cutoffs, width, style, grade)])
        headers = ["size", "busbw GB/s", "algbw GB/s", "latency us", "wrong", "busbw vs cutoffs"]
        for line in table(headers, body, [True, True, True, True, True, False]):
            print(line, file=out)

    print(file=out)
    headline = report.headline_all_reduce_busbw()
    if headline is None:
        print("headline   none: no all_reduce row", file=out)
    else:
        print(f"headline   {style(f'{headline:,.2f} GB/s', 'bold')}  "
              "(all_reduce bus bandwidth, best message size)", file=out)
    if thr is not None:
        source = threshold_source(report.gpu_type, report.scope, overrides)
        print(f"threshold  pass >= {thr.pass_min_gbps:g} GB/s, warn >= {thr.warn_min_gbps:g} GB/s  "
              f"({report.gpu_type}, {report.scope}, {source})", file=out)
    elif report.status == "error":
        print("threshold  not looked up (nothing was measured)", file=out)
    else:
        print(f"threshold  none for {report.gpu_type!r} in scope {report.scope!r} "
              f"(see `{PROG} thresholds`)", file=out)
    if any(r.wrong for r in results):
        print(f"wrong      {style('the benchmark counted wrong results', 'bold', 'red')}", file=out)
    if report.error:
        print(f"error      {report.error}", file=out)
    verdict = style.status(report.status)
    if emulated:
        verdict += f" ({EMULATED}, not a measurement)"
    print(f"verdict    {verdict}", file=out)
