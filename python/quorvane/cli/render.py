"""Rendering of records: tables, findings, headline and verdict, as lines
(`term.Lines`: plain text unless colour is wanted on the stream, styled by
hand), so that drawing a record loads no terminal library."""
from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from typing import Any

from ..nccl_debug import summary_rows
from .common import PROG, human_size, shown
from .explain import render_causes
from .emulate import EMULATED
from .term import Lines, Style

SEVERITY_STYLE = {"note": "dim", "warn": "yellow", "fail": "bold red", "error": "magenta"}
GRADE_COLOUR = {"pass": "green", "warn": "yellow", "fail": "red"}
BAR_WIDTH = 24
SCREEN_ROWS = 50   # a screenful where the output is no terminal
MIN_ROWS = 10
HEADERS = (("", "size"), ("busbw", "GB/s"), ("algbw", "GB/s"), ("time", "us"), ("#wrong", "out"),
           ("#wrong", "in"), ("busbw vs", "cutoffs"))


def fmt_num(value: Any, digits: int = 2) -> str:
    if value is None:
        return "-"
    number = float(value)
    if not math.isfinite(number):
        return str(number)
    return f"{number:,.{digits}f}"


def _bar(value: Any, scale: float, ticks: set[int], chars: tuple[str, str, str], grade: str | None,
         style: Style, width: int = BAR_WIDTH) -> str:
    """busbw as a filled bar on [0, scale]; the cutoffs show as ticks on it."""
    number = float(value) if value is not None else 0.0
    if not math.isfinite(number) or scale <= 0:
        filled = width if number == math.inf else 0
    else:
        filled = max(0, min(width, round(number / scale * width)))
    full, empty, tick = chars
    done = "".join(tick if i in ticks else full for i in range(filled))
    rest = "".join(tick if i in ticks else empty for i in range(filled, width))
    colour = GRADE_COLOUR.get(grade or "")
    return (style(done, colour) if colour else done) + style(rest, "dim")


def _grade(busbw: Any, thr: Mapping[str, Any]) -> str | None:
    if busbw is None:
        return None
    return "pass" if busbw >= thr["pass_min_gbps"] else "warn" if busbw >= thr["warn_min_gbps"] else "fail"


def rows_on_screen(out: Lines, all_rows: bool = False) -> int | None:
    """How many rows of one collective are shown (None: all): a screenful on a
    terminal, as many elsewhere."""
    if all_rows:
        return None
    height = out.height if out.is_terminal and out.height else SCREEN_ROWS
    return max(MIN_ROWS, height - 12)


def on_screen(rows: Sequence[Mapping[str, Any]], most: int | None
              ) -> tuple[Sequence[Mapping[str, Any]], int, int]:
    """The rows shown of a collective: all of them when they fit in `most`,
    else the first and the last; and where the line that stands for the others
    goes, and how many it stands for (-1 and 0 when none is left out)."""
    if most is None or len(rows) <= most:
        return rows, -1, 0
    head = (most + 1) // 2
    tail = most - head
    return [*rows[:head], *rows[len(rows) - tail:]], head, len(rows) - head - tail


def table_lines(collective: str | None, rows: Sequence[Mapping[str, Any]], head: int, left_out: int,
                thr: Mapping[str, Any] | None, scale: float, fancy: bool, bar_width: int, style: Style
                ) -> list[str]:
    """The rows shown of a collective as text lines, formatted without a rich
    object per row; the rows left out stand as one line before row `head`
    that says how many they are (the record keeps them all)."""
    graded = collective == "all_reduce" and thr is not None
    cutoffs = [thr["warn_min_gbps"], thr["pass_min_gbps"]] if thr else []
    ticks = {min(bar_width - 1, max(0, int(c / scale * bar_width))) for c in cutoffs if scale > 0}
    chars = ("\u2588", "\u00b7", "\u2502") if fancy else ("#", ".", "|")
    cells = []
    for row in rows:
        in_place = row.get("in_place") or {}
        busbw = row.get("busbw_gbps")
        cells.append((human_size(row["size_bytes"]), fmt_num(busbw), fmt_num(row.get("algbw_gbps")),
                      fmt_num(row.get("time_us"), 1), _wrong(row.get("wrong")),
                      _wrong(in_place.get("wrong")) if in_place else "-",
                      _bar(busbw, scale, ticks, chars, _grade(busbw, thr) if graded and thr else None, style,
                           bar_width)))
    widths = [max(len(h[0]), len(h[1]), *(len(c[i]) for c in cells)) for i, h in enumerate(HEADERS[:-1])]
    lines = [style("  ".join([*(h[k].rjust(w) for h, w in zip(HEADERS, widths)), HEADERS[-1][k]]).rstrip(),
                   "bold") for k in (0, 1)]
    for n, c in enumerate(cells):
        if n == head:
            dots = "\u2026" if fancy else "..."
            lines.append(style(f"{dots} {left_out:,} rows {dots}  (--all-rows shows every row)", "dim"))
        lines.append("  ".join([*(x.rjust(w) for x, w in zip(c, widths)), c[-1]]))
    return lines


def _wrong(value: Any) -> str:
    return "n/a" if value is None else str(value)


def _outcome_words(entry: Mapping[str, Any]) -> str:
    rows = len(entry["rows"])
    state = ("complete" if entry["complete"] else
             "corrupt" if any(f["severity"] == "fail" for f in entry["findings"]) else "incomplete")
    words = [f"{rows} row{'s' if rows != 1 else ''}", state]
    if entry.get("exit_status") is not None:
        words.append(f"exit {entry['exit_status']}" + (f" in {entry['seconds']:.2f} s"
                                                       if entry.get("seconds") is not None else ""))
    if entry.get("input"):
        words.append(f"from {shown(entry['input'])}")
    return ", ".join(words)


def render_record(record: Mapping[str, Any], out: Lines, *, all_rows: bool = False) -> None:
    """Tables per collective (a screenful of rows each unless `all_rows`),
    findings, headline, threshold and verdict."""
    emulated = bool(record.get("emulated"))
    thr = record.get("threshold")
    style = out.style
    most = rows_on_screen(out, all_rows)
    shown_rows = [on_screen(e["rows"], most) for e in record["collectives"]]
    # The bars' scale is that of the rows on the screen: drawing costs what the screen holds.
    busbws = [row["busbw_gbps"] for rows, _, _ in shown_rows for row in rows
              if row.get("busbw_gbps") is not None and math.isfinite(row["busbw_gbps"])]
    scale = max(busbws + [thr["pass_min_gbps"] * 1.25 if thr else 0.0, 0.0])
    fancy = out.fancy
    bar_width = max(8, min(BAR_WIDTH, out.width - 58))

    if record["kind"] == "grade":
        where = f"saved output, {len(record.get('inputs', []))} file(s)"
    elif record["scope"] == "multi":
        where = f"{record['num_nodes']} hosts x {record['gpus_per_node']} GPUs"
    else:
        where = f"this host, {record['gpus_per_node']} GPUs"
    out.print((f"nccl-tests {record['kind']}: {shown(record['gpu_type'])} on {where} "
               f"(scope {record['scope']})", "bold"))
    if emulated:
        out.print(("EMULATED: these numbers come from quorvane's built-in stand-in benchmark, "
                   "not from GPUs. Nothing was measured.", "bold magenta"))
    tick = "\u2502" if fancy else "|"
    legend = (f"bars: busbw on a 0-{scale:,.0f} GB/s scale; {tick} marks the warn ({thr['warn_min_gbps']:g}) "
              f"and pass ({thr['pass_min_gbps']:g}) cutoffs" if thr else
              f"bars: busbw on a 0-{scale:,.0f} GB/s scale (no cutoffs known)")
    out.print((legend, "dim"))
    plan = record.get("plan")
    if plan:
        out.print((f"plan       {plan['name']}: {human_size(plan['begin_bytes'])} .. "
                   f"{human_size(plan['end_bytes'])} x{plan['factor']}, {plan['iters']} iterations, "
                   f"{plan['warmup']} warm-up" + (f"; {plan['memory_note']}" if plan.get("memory_note") else ""),
                   "dim"))

    for entry, (rows, cut, left_out) in zip(record["collectives"], shown_rows):
        out.print()
        out.print((f"{entry['collective'] or '?'}  {_outcome_words(entry)}", "bold cyan"))
        if entry["rows"]:
            out.stream.write("\n".join(table_lines(entry["collective"], rows, cut, left_out, thr, scale, fancy,
                                                  bar_width, style)) + "\n")
        for f in entry["findings"]:
            out.print("  ", (f"{f['severity']:<6}", SEVERITY_STYLE.get(f["severity"], "")),
                      f" {f['code']}: {shown(f['message'])}",
                      (f"  [{shown(f['evidence'])[:160]}]", "dim") if f.get("evidence") else "")

    render_causes(record, out)
    if record.get("transport"):
        out.print()
        out.print(("path  (NCCL's own account, from its debug output)", "bold cyan"))
        render_path(record["transport"], out)
    out.print()
    suffix = f", {EMULATED}" if emulated else ""
    headline = record.get("headline")
    if headline is None:
        out.print("headline   none: no all_reduce row")
    else:
        out.print("headline   ", (f"{fmt_num(headline['busbw_gbps'])} GB/s", "bold"),
                  f" at {human_size(headline['size_bytes'])}  (all_reduce bus bandwidth, best message size{suffix})")
    if thr:
        out.print(f"threshold  pass >= {thr['pass_min_gbps']:g} GB/s, warn >= {thr['warn_min_gbps']:g} GB/s  "
                  f"({shown(record['gpu_type'])}, {record['scope']}, {thr['source']})")
    else:
        out.print(f"threshold  none for {record['gpu_type']!r} in scope {record['scope']!r} "
                  f"(see `{PROG} thresholds`)")
    typical = record.get("typical")
    if typical:
        span = (f"{typical['low_gbps']:g} GB/s" if typical["low_gbps"] == typical["high_gbps"]
                else f"{typical['low_gbps']:g}-{typical['high_gbps']:g} GB/s")
        out.print(f"typical    healthy {typical['gpus']}x {shown(record['gpu_type'])} at "
                  f"{human_size(typical['size_bytes'])}: {span}")
        out.print((f"           source: {shown(typical['source'])}", "dim"))
    if record.get("verdict_note"):
        out.print((f"library    {shown(record['verdict_note'])}", "dim"))
    unreachable = any(c.get("code") == "cutoff-unreachable" for c in record.get("caveats") or [])
    out.print("verdict    ", out.style.status(record["verdict"]),
              f" ({EMULATED}, not a measurement)" if emulated else "",
              ("  (cutoff-unreachable: no healthy host of this type earns the cutoff; the caveat above "
               "gives the override to use)", "yellow") if unreachable else "")


def render_path(acc: Mapping[str, Any], out: Lines, indent: str = "  ") -> None:
    """One path account: network, NICs, transports, versions, then its findings with advice and evidence."""
    for label, text in summary_rows(acc):
        out.print(f"{indent}{label:<11} {shown(text)}")
    render_path_findings(acc.get("findings") or [], out, indent)


def render_path_findings(findings: Sequence[Mapping[str, Any]], out: Lines, indent: str = "  ") -> None:
    if not findings:
        out.print(f"{indent}findings: none")
    for f in findings:
        out.print(indent, (f"{f['severity'].upper()}", SEVERITY_STYLE.get(f["severity"], "")),
                  (f" {f['code']}", "bold"), f"  {shown(f['message'])}")
        out.print((f"{indent}    advice: {shown(f['advice'])}", "dim"))
        for evidence in f.get("evidence") or []:
            out.print((f"{indent}    | {shown(evidence)}", "dim"))
