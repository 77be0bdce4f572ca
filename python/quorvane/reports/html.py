"""A run record as one self-contained HTML page: inline CSS and SVG, no script,
nothing fetched, so it opens the same on an air-gapped laptop or as a mail attachment.

The chart draws bus bandwidth against message size (log scale) with one series
per collective (`<g class="series" data-collective=...>`), the pass and warn
cutoffs, the site's baseline band for all_reduce (the middle half of its
recorded runs) and the typical healthy range where one is known. A fleet run
adds a host x test heatmap with the suspects marked.
"""
from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from html import escape as html_escape
from typing import Any

from ..hostlist import fleet_hosts, fold, names_of
from ..textfilter import shown
from ..record_data import busbw_points


def escape(text: str) -> str:
    """Text for HTML: through the one output filter first (control characters
    and bidirectional overrides shown escaped), then HTML-escaped."""
    return html_escape(shown(text))

COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b", "#e377c2")
VERDICT_COLOURS = {"pass": "#1a7f37", "warn": "#b58100", "fail": "#cf222e", "unknown": "#6e7781",
                   "error": "#8250df"}


@dataclass(frozen=True)
class BandPoint:
    """The site's runs at one size: the middle half, from low to high."""
    size_bytes: int
    low_gbps: float
    high_gbps: float


@dataclass(frozen=True)
class TypicalRange:
    """Typical healthy all_reduce bus bandwidth at one size, with its public source."""
    size_bytes: int
    low_gbps: float
    high_gbps: float
    source: str = ""
    gpus: int = 0         # GPUs in the published runs (0: not said)


@dataclass(frozen=True)
class Baseline:
    runs: int
    band: Sequence[BandPoint]
    label: str = ""


def size_label(size: int) -> str:
    value = float(size)
    for unit in ("B", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:g} {unit}"
        value /= 1024
    return f"{size} B"


def _fmt(value: Any, digits: int = 2) -> str:
    return "-" if value is None else f"{float(value):,.{digits}f}"


CSS = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px auto;max-width:980px;
 color:#1f2328;padding:0 16px}
h1{font-size:20px;margin:0 0 4px} h2{font-size:16px;margin:28px 0 8px}
.meta{color:#59636e} .badge{display:inline-block;padding:2px 10px;border-radius:12px;color:#fff;
 font-weight:600;letter-spacing:.04em}
.emulated{background:#fbefff;border:1px solid #8250df;padding:6px 10px;border-radius:6px;margin:10px 0}
.headline{font-size:18px;margin:10px 0 2px} .typical{color:#59636e}
table{border-collapse:collapse;margin:6px 0} td,th{padding:3px 10px;border-bottom:1px solid #d1d9e0;
 text-align:left} td.num,th.num{text-align:right;font-variant-numeric:tabular-nums}
.sev-fail,.sev-error{color:#cf222e;font-weight:600} .sev-warn{color:#9a6700;font-weight:600}
.sev-note{color:#59636e}
svg text{font:12px system-ui,sans-serif;fill:#1f2328} .axis line,.grid line{stroke:#d1d9e0}
.legend{display:flex;flex-wrap:wrap;gap:14px;margin:4px 0 0 60px} .key{display:inline-block;width:18px;
 height:4px;vertical-align:middle;margin-right:5px}
.heat td{text-align:center;min-width:64px} .heat td.suspect{outline:3px solid #cf222e;outline-offset:-3px;
 font-weight:700} .heat td.slowed{color:#59636e} .heat .partner{font-size:11px;color:#59636e}
"""


# ---- the chart --------------------------------------------------------------------

class _Scale:
    def __init__(self, sizes: Sequence[int], top: float, width: int, height: int, pad: tuple[int, int, int, int]):
        self.left, self.right, self.top_px, self.bottom = pad
        self.width, self.height = width, height
        lo, hi = math.log2(min(sizes)), math.log2(max(sizes))
        if hi - lo < 1:
            lo, hi = lo - 1, hi + 1
        self.lo, self.hi = lo - 0.3, hi + 0.3
        self.ymax = _nice_ceiling(top)

    def x(self, size: float) -> float:
        span = self.width - self.left - self.right
        return self.left + (math.log2(size) - self.lo) / (self.hi - self.lo) * span

    def y(self, gbps: float) -> float:
        span = self.height - self.top_px - self.bottom
        return self.height - self.bottom - max(0.0, gbps) / self.ymax * span


def _nice_ceiling(value: float) -> float:
    if value <= 0:
        return 1.0
    step = 10.0 ** math.floor(math.log10(value))
    for m in (1.0, 2.0, 2.5, 5.0, 10.0):
        if m * step >= value:
            return m * step
    return 10 * step


def chart(record: Mapping[str, Any], baseline: Baseline | None,
          typical: Sequence[TypicalRange]) -> str:
    # a message of 0 bytes (nccl-tests -b 0) has no place on a log scale
    points = [p for p in busbw_points(record) if p[1] > 0]
    if not points:
        return "<p>No bus bandwidth was measured, so there is nothing to draw.</p>"
    series: dict[str, list[tuple[int, float]]] = {}
    for coll, size, value in points:
        series.setdefault(coll, []).append((size, value))
    thr = record.get("threshold") or {}
    cutoffs = [(k, float(thr[k])) for k in ("pass_min_gbps", "warn_min_gbps") if thr.get(k) is not None]
    band = [b for b in baseline.band if b.size_bytes > 0] if baseline else []
    typical = [t for t in typical if t.size_bytes > 0]
    sizes = [s for s, _ in (p for pts in series.values() for p in pts)]
    sizes += [b.size_bytes for b in band] + [t.size_bytes for t in typical]
    top = max([v for _, _, v in points] + [c for _, c in cutoffs] + [b.high_gbps for b in band]
              + [t.high_gbps for t in typical]) * 1.08
    width, height = 900, 420
    sc = _Scale(sizes, top, width, height, (64, 20, 16, 44))
    out = [f'<svg id="busbw-chart" xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" role="img" aria-label="bus bandwidth against message size">']
    # grid and axes
    out.append('<g class="grid">')
    for i in range(6):
        v = sc.ymax * i / 5
        y = sc.y(v)
        out.append(f'<line x1="{sc.left}" x2="{width - sc.right}" y1="{y:.1f}" y2="{y:.1f}"/>'
                   f'<text x="{sc.left - 8}" y="{y + 4:.1f}" text-anchor="end">{v:g}</text>')
    for e in range(math.ceil(sc.lo), math.floor(sc.hi) + 1):
        if e % 2 == 0 or (sc.hi - sc.lo) < 14:
            x = sc.x(2 ** e)
            out.append(f'<line x1="{x:.1f}" x2="{x:.1f}" y1="{sc.top_px}" y2="{height - sc.bottom}"/>'
                       f'<text x="{x:.1f}" y="{height - sc.bottom + 16}" text-anchor="middle">'
                       f'{escape(size_label(2 ** e))}</text>')
    out.append('</g>')
    out.append(f'<text x="{(width + sc.left) / 2:.0f}" y="{height - 6}" text-anchor="middle">'
               f'message size (log scale)</text>')
    out.append(f'<text transform="translate(16 {height / 2:.0f}) rotate(-90)" text-anchor="middle">'
               f'bus bandwidth, GB/s</text>')
    if band:
        band.sort(key=lambda b: b.size_bytes)
        upper = " ".join(f"{sc.x(b.size_bytes):.1f},{sc.y(b.high_gbps):.1f}" for b in band)
        lower = " ".join(f"{sc.x(b.size_bytes):.1f},{sc.y(b.low_gbps):.1f}" for b in reversed(band))
        out.append(f'<polygon class="baseline-band" points="{upper} {lower}" fill="{COLOURS[0]}" '
                   f'fill-opacity="0.16" stroke="{COLOURS[0]}" stroke-opacity="0.35" stroke-dasharray="3 3">'
                   f'<title>site baseline: {escape(baseline.label if baseline else "")}</title></polygon>')
    for t in typical:
        x = sc.x(t.size_bytes)
        y1, y2 = sc.y(t.high_gbps), sc.y(t.low_gbps)
        out.append(f'<rect class="typical-range" x="{x - 7:.1f}" y="{y1:.1f}" width="14" '
                   f'height="{max(2.0, y2 - y1):.1f}" fill="#2da44e" fill-opacity="0.28" stroke="#1a7f37">'
                   f'<title>typical healthy all_reduce at {escape(size_label(t.size_bytes))}: '
                   f'{t.low_gbps:g}-{t.high_gbps:g} GB/s {escape(t.source)}</title></rect>')
    for key, value in cutoffs:
        name = "pass" if key.startswith("pass") else "warn"
        y = sc.y(value)
        colour = VERDICT_COLOURS[name]
        out.append(f'<g class="cutoff cutoff-{name}"><line x1="{sc.left}" x2="{width - sc.right}" '
                   f'y1="{y:.1f}" y2="{y:.1f}" stroke="{colour}" stroke-width="1.5" stroke-dasharray="7 4"/>'
                   f'<text x="{sc.left + 6}" y="{y - 5:.1f}" fill="{colour}" style="fill:{colour}">'
                   f'{name} &#8805; {value:g} GB/s</text></g>')
    for i, (coll, pts) in enumerate(series.items()):
        colour = COLOURS[i % len(COLOURS)]
        pts.sort()
        line = " ".join(f"{sc.x(s):.1f},{sc.y(v):.1f}" for s, v in pts)
        out.append(f'<g class="series" data-collective="{escape(coll)}" stroke="{colour}" fill="{colour}">'
                   f'<polyline points="{line}" fill="none" stroke-width="2.2"/>')
        for s, v in pts:
            out.append(f'<circle cx="{sc.x(s):.1f}" cy="{sc.y(v):.1f}" r="3.5">'
                       f'<title>{escape(coll)} {escape(size_label(s))}: {v:g} GB/s</title></circle>')
        out.append('</g>')
    out.append('</svg>')
    legend = ['<div class="legend">']
    for i, coll in enumerate(series):
        legend.append(f'<span><span class="key" style="background:{COLOURS[i % len(COLOURS)]}"></span>'
                      f'{escape(coll)}</span>')
    if band and baseline:
        legend.append(f'<span><span class="key" style="background:{COLOURS[0]};opacity:.3;height:10px"></span>'
                      f'site baseline, all_reduce ({escape(baseline.label)})</span>')
    if typical:
        legend.append('<span><span class="key" style="background:#2da44e;opacity:.5;height:10px"></span>'
                      'typical healthy all_reduce</span>')
    legend.append('</div>')
    return "\n".join(out + legend)


# ---- the page ---------------------------------------------------------------------

def _same_finding(f: Mapping[str, Any]) -> tuple[str, ...]:
    """A finding as the page shows it: the record-level copy of a collective's
    finding carries the collective's name as well, and is the same finding."""
    return tuple(str(f.get(k) or "") for k in ("severity", "code", "message", "evidence"))


def _findings(record: Mapping[str, Any]) -> str:
    items: dict[tuple[str, ...], Mapping[str, Any]] = {}
    for f in record.get("findings") or []:
        items.setdefault(_same_finding(f), f)
    for coll in record.get("collectives") or []:
        for f in coll.get("findings") or []:
            items.setdefault(_same_finding(f), f)
    if not items:
        return "<p>No findings.</p>"
    rows = []
    for sev, code, message, evidence in items:
        sev = sev or "note"
        rows.append(f'<tr><td class="sev-{escape(sev)}">{escape(sev)}</td><td>{escape(code)}'
                    f'</td><td>{escape(message)}</td><td>{escape(evidence)}</td></tr>')
    return ('<table class="findings"><tr><th>severity</th><th>code</th><th>message</th><th>evidence</th></tr>'
            + "".join(rows) + "</table>")


def _path(record: Mapping[str, Any]) -> str:
    """NCCL's own account of the path, and its findings with advice and evidence lines."""
    from ..nccl_debug import summary_rows
    acc = record.get("transport")
    if not isinstance(acc, Mapping):
        return ""
    rows = "".join(f"<tr><th>{escape(k)}</th><td>{escape(v)}</td></tr>" for k, v in summary_rows(acc))
    items = []
    for f in acc.get("findings") or []:
        sev = str(f.get("severity") or "note")
        evidence = "\n".join(str(e) for e in f.get("evidence") or [])
        items.append(f'<tr><td class="sev-{escape(sev)}">{escape(sev)}</td><td>{escape(str(f.get("code") or ""))}</td>'
                     f'<td>{escape(str(f.get("message") or ""))}<br><i>{escape(str(f.get("advice") or ""))}</i></td>'
                     f'<td><pre>{escape(evidence)}</pre></td></tr>')
    findings = ('<table class="findings"><tr><th>severity</th><th>code</th><th>finding and advice</th>'
                '<th>evidence</th></tr>' + "".join(items) + "</table>") if items else "<p>No path findings.</p>"
    return f'<h2>Path</h2><table class="path">{rows}</table>{findings}'


def _values_table(record: Mapping[str, Any]) -> str:
    points = busbw_points(record)
    if not points:
        return ""
    colls = list(dict.fromkeys(c for c, _, _ in points))
    sizes = sorted({s for _, s, _ in points})
    value = {(c, s): v for c, s, v in points}
    head = "".join(f'<th class="num">{escape(c)}</th>' for c in colls)
    rows = []
    for s in sizes:
        cells = "".join(f'<td class="num">{_fmt(value.get((c, s)))}</td>' for c in colls)
        rows.append(f'<tr><td class="num">{escape(size_label(s))}</td>{cells}</tr>')
    return (f'<h2>Bus bandwidth, GB/s</h2><table class="values"><tr><th class="num">size</th>{head}</tr>'
            + "".join(rows) + "</table>")


@dataclass(frozen=True)
class HeatCell:
    """One run of one host in the fleet's host x test table."""
    busbw_gbps: float
    group: str              # "alone" or "pairs": which of the fleet's medians it is judged against
    partner: str = ""       # the other host of a pair
    slowed_by: tuple[str, ...] = ()   # the suspects that explain a slow pair, when this host is not one


def _value(item: Mapping[str, Any]) -> Any:
    head = item.get("headline")
    return head.get("busbw_gbps") if isinstance(head, Mapping) else item.get("busbw_gbps")


def _heat_cells(record: Mapping[str, Any]) -> dict[str, dict[str, HeatCell]]:
    """host -> test -> cell: each host's runs alone (and alone again), and its pair runs with the partner."""
    cells: dict[str, dict[str, HeatCell]] = {}
    for item in fleet_hosts(record):
        if item.get("host") is None:
            continue
        row = cells.setdefault(str(item["host"]), {})
        runs = [r for r in item.get("runs") or [] if str(r.get("purpose") or "").startswith("alone")]
        if not runs and _value(item) is not None:
            runs = [{"purpose": "alone", "busbw_gbps": _value(item)}]
        for run in runs:
            value = _value(run)
            if value is not None:
                row[str(run.get("purpose") or "alone").replace("-", " ")] = HeatCell(float(value), "alone")
    for item in record.get("pair_results") or []:
        hosts = [str(h) for h in item.get("hosts") or item.get("pair") or []]
        value = _value(item)
        if value is None or len(hosts) != 2:
            continue
        purpose = str(item.get("purpose") or "pair")
        test = f"{purpose} r{item['round']}" if item.get("round") is not None else purpose
        explained = tuple(str(h) for h in item.get("explained_by") or [])
        for host, other in ((hosts[0], hosts[1]), (hosts[1], hosts[0])):
            row = cells.setdefault(host, {})
            name = test if test not in row else f"{test} ({other})"
            slowed_by = explained if explained and host not in explained else ()
            row[name] = HeatCell(float(value), "pairs", other, slowed_by)
    return cells


def _cell_colour(value: float, reference: Mapping[str, Any] | None) -> str:
    """White at or above the fleet's slow line for its kind of run, deepening to red at its fail line:
    a cell is judged against the fleet, never against the best of its column."""
    if not isinstance(reference, Mapping) or reference.get("median_gbps") is None:
        return "#ffffff"
    median = float(reference["median_gbps"])
    slow = float(reference.get("slow_below_gbps") or median * 0.9)
    fail = float(reference.get("fail_below_gbps") or median * 0.75)
    if value >= slow:
        return "#ffffff"
    depth = 1.0 if value <= fail or slow <= fail else (slow - value) / (slow - fail)
    g = int(round(235 - 175 * depth))
    return f"rgb(255,{g},{g})"


def heatmap(record: Mapping[str, Any]) -> str:
    cells = _heat_cells(record)
    if not cells:
        return ""
    suspects = {str(s.get("host")): s for s in record.get("suspects") or []}
    reference = record.get("fleet_reference") or {}
    tests = sorted(dict.fromkeys(t for row in cells.values() for t in row), key=lambda t: not t.startswith("alone"))
    head = "".join(f"<th>{escape(t)}</th>" for t in tests)
    rows = []
    for host in sorted(cells, key=lambda h: (h not in suspects, h)):
        tds = []
        for t in tests:
            cell = cells[host].get(t)
            if cell is None:
                tds.append("<td>-</td>")
                continue
            classes = ["suspect"] if host in suspects else []
            title = f"{cell.busbw_gbps:g} GB/s"
            if cell.partner:
                title += f" with {cell.partner}"
            if cell.slowed_by:
                # an innocent partner: the pair is slow because of the suspect on its other end
                classes.append("slowed")
                colour = "#eaeef2"
                title += f"; slow because of {', '.join(cell.slowed_by)}"
            else:
                colour = _cell_colour(cell.busbw_gbps, reference.get(cell.group))
            cls = f' class="{" ".join(classes)}"' if classes else ""
            partner = f'<br><span class="partner">with {escape(cell.partner)}</span>' if cell.partner else ""
            tds.append(f'<td{cls} style="background:{colour}" title="{escape(title)}">'
                       f'{cell.busbw_gbps:.0f}{partner}</td>')
        mark = ""
        if host in suspects:
            s = suspects[host]
            mark = (f' <span class="sev-fail" title="{escape(str(s.get("evidence") or ""))}">'
                    f'&#9888; suspect ({escape(str(s.get("kind") or "?"))})</span>')
        rows.append(f"<tr><th>{escape(host)}{mark}</th>{''.join(tds)}</tr>")
    listing = "".join(f"<li><b>{escape(h)}</b> ({escape(str(s.get('kind') or '?'))}): "
                      f"{escape(str(s.get('evidence') or ''))}</li>" for h, s in suspects.items())
    return (f'<h2>Hosts and tests</h2><table class="heat"><tr><th>host</th>{head}</tr>{"".join(rows)}</table>'
            f'<p class="meta">Cells: headline bus bandwidth, GB/s, and the partner of each pair; red below the '
            f"fleet's slow line for that kind of run (its hosts alone, or its pairs), deepest at its fail line; "
            f'grey: a pair that is slow because of the suspect on its other end.</p>'
            + (f"<ul>{listing}</ul>" if listing else ""))


def render(record: Mapping[str, Any], *, run_id: int | None = None, baseline: Baseline | None = None,
           typical: Sequence[TypicalRange] = ()) -> str:
    verdict = str(record.get("verdict") or "unknown")
    kind = str(record.get("kind") or "sweep")
    where = fold(names_of(record)) or str(record.get("host") or "?")
    title = f"quorvane {kind}: {record.get('gpu_type') or '?'} on {where}"
    headline = record.get("headline") or {}
    parts = [f'<h1>{escape(title)}</h1>',
             f'<div class="meta">{"run " + str(run_id) + " &middot; " if run_id is not None else ""}'
             f'{escape(str(record.get("started_at") or ""))} &middot; scope {escape(str(record.get("scope") or "?"))}'
             f' &middot; {escape(str(record.get("gpus_per_node") or "?"))} GPUs per host &middot; '
             f'quorvane {escape(str(record.get("tool_version") or "?"))}</div>']
    if record.get("emulated"):
        parts.append('<div class="emulated"><b>EMULATED</b>: the numbers come from quorvane\'s built-in '
                     'stand-in benchmark, not from GPUs. Nothing was measured.</div>')
    parts.append(f'<p class="headline">verdict <span class="badge" id="verdict" style="background:'
                 f'{VERDICT_COLOURS.get(verdict, "#6e7781")}">{escape(verdict.upper())}</span>')
    if headline.get("busbw_gbps") is not None:
        parts.append(f' &nbsp; headline <b>{_fmt(headline["busbw_gbps"])} GB/s</b> all_reduce bus bandwidth '
                     f'at {escape(size_label(int(headline.get("size_bytes") or 0)))}')
    parts.append("</p>")
    at_headline = [t for t in typical if t.size_bytes == headline.get("size_bytes")]
    for t in at_headline:
        count = f"{t.gpus}&times;" if t.gpus else ""
        parts.append(f'<p class="typical">typical healthy {count}{escape(str(record.get("gpu_type") or ""))} at '
                     f'{escape(size_label(t.size_bytes))}: {t.low_gbps:g}&ndash;{t.high_gbps:g} GB/s '
                     f'<span class="meta">({escape(t.source)})</span></p>')
    thr = record.get("threshold") or None
    if thr:
        parts.append(f'<p class="meta">cutoffs: pass &#8805; {thr.get("pass_min_gbps"):g} GB/s, warn &#8805; '
                     f'{thr.get("warn_min_gbps"):g} GB/s ({escape(str(thr.get("source") or "built-in"))})</p>')
    if record.get("verdict_note"):
        parts.append(f'<p class="meta">{escape(str(record["verdict_note"]))}</p>')
    if busbw_points(record) or not fleet_hosts(record):   # a fleet shows its hosts instead
        parts.append("<h2>Bus bandwidth against message size</h2>")
        parts.append(chart(record, baseline, typical))
    parts.append(heatmap(record))
    parts.append("<h2>Findings</h2>")
    parts.append(_findings(record))
    parts.append(_path(record))
    caveats = [c for c in record.get("caveats") or [] if isinstance(c, Mapping)]
    if caveats:
        parts.append("<h2>Caveats</h2><ul>" + "".join(
            f'<li><b>{escape(str(c.get("code") or ""))}</b>: {escape(str(c.get("message") or ""))}</li>'
            for c in caveats) + "</ul>")
    parts.append(_values_table(record))
    versions = record.get("versions") or {}
    if versions:
        parts.append('<p class="meta">' + " &middot; ".join(
            f"{escape(k)} {escape(str(v))}" for k, v in versions.items()) + "</p>")
    return ("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
            f"<meta name=\"viewport\" content=\"width=device-width\"><title>{escape(title)}</title>"
            f"<style>{CSS}</style></head><body>\n" + "\n".join(p for p in parts if p) + "\n</body></html>\n")

