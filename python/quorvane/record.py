"""The record of one run of the command, and the verdict policy behind it.

A record wraps the library's report dict (kept unchanged, apart from NaN and
infinities turned into null) with what the command saw: each collective's
command, exit status, time, rows and findings as the field reader read them,
the headline and its message size, and the command's own verdict.

The verdict is the worse of the library's grade and the reader's findings:
evidence of corruption is `fail`; a requested collective that failed, timed
out or printed no complete table is `error` unless the verdict is already
`fail`; an all_reduce that crashed, timed out or stopped before its footer is
`error` whatever its partial rows show (they stay in the record); otherwise
the headline of the reader's rows is graded with the library's own `classify`
and `threshold_for`.  A row whose bus bandwidth is no measurement (not its own
algorithm bandwidth times the collective's factor, or above twice what the
GPU type's links allow) is an `error` finding and never the headline.  Where
the library read a table differently (a format variant), the reader's reading
is graded instead, and `verdict_note` says in one line why the verdicts differ.

Each reading crosses from C++ once for the record (`ReadResult.to_dict`); the
headline and the comparison with the library's rows are asked of the rows
where they are, in C++.
"""
from __future__ import annotations

import datetime as _dt
import json
import os
import signal
import socket
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from . import __version__
from . import analysis as qa
from . import collsweep as cs
from .causes import cause_of
from .record_data import (EXIT_FOR_VERDICT, RECORD_VERSION, VERDICTS,  # noqa: F401 (the record's data helpers, here too)
                          RecordError, busbw_points, document, finite, load_record_file,
                          nccl_version_text, strict_json)
from .runner import Outcome

_VERDICT_OF_SEVERITY = {"warn": "warn", "error": "error", "fail": "fail"}


def worse(a: str, b: str) -> str:
    return a if VERDICTS.index(a) >= VERDICTS.index(b) else b


def now_utc(at: float | None = None) -> str:
    """Now, or the moment `at` (seconds since the epoch), in UTC to the second."""
    moment = _dt.datetime.now(_dt.timezone.utc) if at is None else _dt.datetime.fromtimestamp(at, _dt.timezone.utc)
    return moment.replace(microsecond=0).isoformat()


SEVERITIES = ("note", "warn", "fail", "error")
Finding = dict[str, str]     # code, severity, message, evidence
Headline = tuple[float, int]  # bus bandwidth (GB/s), message size (bytes)


def finding(code: str, severity: str, message: str, evidence: str = "") -> Finding:
    """A finding of the command itself, in the shape of the analysis module's."""
    if severity not in SEVERITIES:
        raise ValueError(f"unknown severity {severity!r}")
    return {"code": code, "severity": severity, "message": message, "evidence": evidence}


@dataclass
class Measured:
    """One requested collective as the command saw it: the run (None when it
    did not run, or when a saved output is graded) and the reader's reading."""

    label: str
    outcome: Outcome | None = None
    reading: qa.ReadResult | None = None
    logs: dict[str, str] | None = None
    not_run: str | None = None          # why it did not run
    source: str | None = None           # grade: the file read
    extra_findings: list[Finding] = field(default_factory=list)
    _plain: dict[str, Any] | None = field(default=None, repr=False)

    def plain(self) -> dict[str, Any] | None:
        """The reading as plain values, converted once."""
        if self._plain is None and self.reading is not None:
            self._plain = self.reading.to_dict()
        return self._plain


def read_outcome(label: str, outcome: Outcome) -> qa.ReadResult:
    return qa.read_output(outcome.stdout, label)


def _first_line(text: str, limit: int = 200) -> str:
    for line in text.splitlines():
        if line.strip():
            return line.strip()[:limit]
    return ""


def _run_findings(m: Measured) -> list[Finding]:
    found: list[Finding] = []
    if m.not_run is not None:
        found.append(finding("not-run", "error", m.not_run))
    o = m.outcome
    if o is None:
        return found
    program = os.path.basename(o.command[0]) if o.command else "?"
    evidence = _first_line(o.stderr)
    if o.interrupted:
        found.append(finding("interrupted", "error", "stopped by a signal to quorvane before it ended"))
    elif o.timed_out:
        found.append(finding("timeout", "error", f"no result: {o.reason}", evidence))
    elif not o.started:
        found.append(finding("not-found" if o.returncode == 127 else "cannot-execute", "error",
                             o.reason or f"{program} could not be started"))
    elif o.returncode < 0:
        try:
            name = signal.Signals(-o.returncode).name
        except ValueError:
            name = f"signal {-o.returncode}"
        found.append(finding("killed", "error", f"{program} was ended by {name}", evidence))
    elif o.returncode != 0:
        found.append(finding("exit-status", "error", f"{program} exited {o.returncode}", evidence))
    for stream, cut in o.cut_bytes.items():
        found.append(finding("output-cut", "note", f"{cut} bytes of its {stream} were not kept in memory"
                             + (" (the log has them all)" if o.logs else "")))
    if o.ended_after_exit:
        found.append(finding("left-running", "note",
                             f"{o.ended_after_exit} process(es) it started were still running when it exited; "
                             "ended"))
    if o.reason and o.started and not o.timed_out:
        found.append(finding("log", "warn", o.reason))
    return found


def collective_entry(m: Measured) -> dict[str, Any]:
    """The record's entry for one collective (the failure-cause work adds `cause`)."""
    r = m.reading
    plain = m.plain()
    findings = _run_findings(m) + (list(plain["findings"]) if plain is not None else [])
    findings += m.extra_findings
    ran_clean = m.not_run is None and (m.outcome is None or (m.outcome.started and m.outcome.returncode == 0
                                                               and not m.outcome.interrupted))
    if r is not None and not r.complete and not any(f["severity"] == "error" for f in findings):
        findings.append(finding("incomplete", "error", "no complete result table in the output"))
    # A whole table from a clean run, with no evidence against it.
    complete = bool(r is not None and r.complete and ran_clean
                    and not any(f["severity"] in ("fail", "error") for f in findings))
    o = m.outcome
    entry: dict[str, Any] = {
        "collective": m.label,
        "command": list(o.command) if o is not None else None,
        "exit_status": o.returncode if o is not None else None,
        "seconds": round(o.seconds, 3) if o is not None else None,
        "reason": (o.reason if o is not None else None) or m.not_run,
        "complete": complete,
        "rows": plain["rows"] if plain is not None else [],
        "findings": findings,
        "logs": m.logs,
        "cause": None,
    }
    if m.source is not None:
        entry["input"] = m.source
    entry["cause"] = cause_of(m, entry)
    return entry


LibraryRow = tuple[str, int, float, float, float, int]


def _library_rows(report: cs.NcclReport) -> dict[str, list[LibraryRow]]:
    by_label: dict[str, list[LibraryRow]] = {}
    for row in report.results:
        by_label.setdefault(row.collective, []).append(
            (row.collective, row.size_bytes, row.busbw_gbps, row.algbw_gbps, row.latency_us, row.wrong))
    return by_label


def misread_by_library(report: cs.NcclReport, measured: Sequence[Measured]) -> list[str]:
    """Collectives that ran cleanly but whose rows the library read otherwise
    than the field reader, each with the reader's notes (the format variant)."""
    library: dict[str, list[LibraryRow]] | None = None   # read from the report once a run needs it
    differ = []
    for m in measured:
        o, r, plain = m.outcome, m.reading, m.plain()
        if r is None or plain is None or o is None or not o.started or o.returncode != 0:
            continue
        if library is None:
            library = _library_rows(report)
        if r.library_rows() != library.get(m.label, []):
            notes = sorted({f["code"] for f in plain["findings"] if f["severity"] == "note"})
            differ.append(f"{m.label} ({', '.join(notes)})" if notes else m.label)
    return differ


def headline_of(readings: Iterable[qa.ReadResult | None]) -> Headline | None:
    """The best plausible all_reduce bus bandwidth of the readings, the first
    one on a tie, with its size; each reading answers for its own rows."""
    best: Headline | None = None
    for reading in readings:
        found = reading.headline() if reading is not None else None
        if found is not None and (best is None or found[0] > best[0]):
            best = (float(found[0]), int(found[1]))
    return best


def _unfinished_all_reduce(entries: Sequence[Mapping[str, Any]]) -> str | None:
    """Why an all_reduce did not give a whole result (it crashed, timed out,
    stopped before its footer, or printed a row that is no measurement), or None."""
    for entry in entries:
        if entry["collective"] != "all_reduce":
            continue
        for f in entry["findings"]:
            if f["severity"] == "error":
                return f["message"] if f["message"].startswith("all_reduce:") else f"all_reduce: {f['message']}"
    return None


def judge(entries: Sequence[Mapping[str, Any]], readings: Sequence[qa.ReadResult | None], threshold: cs.Threshold | None,
          library_status: str | None, misread: Sequence[str] = ()) -> tuple[str, str | None, Headline | None]:
    """The command's verdict, the one line on why it differs from the library's
    grade (or None), and the headline (busbw, size) or None."""
    headline = headline_of(readings)
    verdict = cs.classify(headline[0] if headline else None, threshold)
    why = None
    for entry in entries:
        for f in entry["findings"]:
            implied = _VERDICT_OF_SEVERITY.get(f["severity"])
            if implied is not None and worse(verdict, implied) != verdict:
                verdict = implied
                label = entry["collective"]
                why = f["message"] if f["message"].startswith(f"{label}:") else f"{label}: {f['message']}"
    if library_status in VERDICTS and not misread and worse(verdict, library_status) != verdict:
        verdict = library_status
    # Partial rows of an all_reduce grade nothing, however good or bad they look.
    unfinished = _unfinished_all_reduce(entries)
    if unfinished is not None:
        verdict, why = "error", unfinished
    note = None
    if library_status is not None and library_status != verdict:
        parts = []
        if misread:
            parts.append(f"it read {', '.join(misread)} otherwise than the field reader, whose rows are graded")
        if unfinished is not None:
            parts.append(f"{unfinished} (its partial rows grade nothing)")
        elif why and VERDICTS.index(verdict) > VERDICTS.index(library_status):
            parts.append(why)
        if not parts:
            parts.append("graded on the field reader's rows")
        note = f"the library graded {library_status.upper()}: " + "; ".join(parts)
    return verdict, note, headline


def threshold_entry(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> dict[str, Any] | None:
    thr = cs.threshold_for(gpu_type, scope)
    if thr is None:
        return None
    return {"pass_min_gbps": thr.pass_min_gbps, "warn_min_gbps": thr.warn_min_gbps,
            "source": "override" if f"{gpu_type}:{scope}" in overrides else "built-in"}


def typical_entry(gpu_type: str, scope: str, ranks: int, headline: Headline | None) -> dict[str, Any] | None:
    """What healthy hosts of this GPU type publish at the headline's message
    size, where the analysis module's table has a value for that GPU count."""
    if headline is None or not gpu_type:
        return None
    found = qa.typical_busbw(gpu_type, scope, headline[1])
    if found is None or (found.gpus and ranks and found.gpus != ranks):
        return None
    return {"low_gbps": found.low_gbps, "high_gbps": found.high_gbps, "size_bytes": found.size_bytes,
            "gpus": found.gpus, "source": found.source}


def build_record(kind: str, *, started_at: str, wall_s: float, hosts: Sequence[str], gpu_type: str, scope: str,
                 num_nodes: int, gpus_per_node: int, emulated: bool, measured: Sequence[Measured],
                 overrides: Mapping[str, object], report: cs.NcclReport | None = None,
                 extra: Mapping[str, Any] | None = None) -> dict[str, Any]:
    """The whole record.  `report` is the library's report (None when the run
    was stopped before the library returned one)."""
    for m in measured:
        if m.reading is not None and gpu_type:
            # Rows above what the links allow are marked before any headline is taken.
            m.extra_findings.extend(m.reading.check_link_budget(gpu_type, scope))
    entries = [collective_entry(m) for m in measured]
    readings = [m.reading for m in measured]
    library_status = None if report is None else str(report.status)
    misread = misread_by_library(report, measured) if report is not None else []
    verdict, note, headline = judge(entries, readings, cs.threshold_for(gpu_type, scope), library_status, misread)
    versions: dict[str, str] = {}
    for m in measured:
        plain = m.plain()
        if plain is not None:
            for k, v in plain["versions"].items():
                versions.setdefault(k, v)
    record: dict[str, Any] = {
        "record_version": RECORD_VERSION,
        "kind": kind,
        "tool_version": __version__,
        "started_at": started_at,
        "wall_s": round(wall_s, 3),
        "host": socket.gethostname(),
        "hosts": list(hosts),
        "gpu_type": gpu_type, "scope": scope, "num_nodes": num_nodes, "gpus_per_node": gpus_per_node,
        "emulated": emulated,
        "verdict": verdict,
        "exit_status": EXIT_FOR_VERDICT[verdict],
        "library_status": library_status,
        "verdict_note": note,
        "headline": None if headline is None else {"busbw_gbps": headline[0], "size_bytes": headline[1]},
        "threshold": threshold_entry(gpu_type, scope, overrides),
        "typical": typical_entry(gpu_type, scope, num_nodes * gpus_per_node, headline),
        "findings": [{**f, "collective": e["collective"]} for e in entries for f in e["findings"]],
        "collectives": entries,
        "versions": versions,
        "caveats": [],
        "report": None if report is None else report.to_dict(),
    }
    record.update(extra or {})
    return record


def hosts_of(readings: Iterable[qa.ReadResult]) -> list[str]:
    """Hosts named in the outputs' `# Rank` lines, in order of appearance."""
    hosts: dict[str, None] = {}
    for r in readings:
        for rank in r.ranks:
            if rank.host:
                hosts[rank.host] = None
    return list(hosts)


def cutoff_caveats(gpu_type: str, scope: str, overrides: Mapping[str, tuple[float, float]],
                   size_bytes: int) -> list[dict[str, str]]:
    """`cutoff-unreachable`: a cutoff in force that no healthy host of the type
    reaches by `size_bytes` (above the link budget, or above every healthy value
    published up to that size), with the override that a healthy host can earn."""
    thr = cs.threshold_for(gpu_type, scope) if gpu_type else None
    if thr is None or size_bytes <= 0:
        return []
    source = "override" if f"{gpu_type}:{scope}" in overrides else "built-in"
    row = [(gpu_type, scope, float(thr.pass_min_gbps), float(thr.warn_min_gbps), source)]
    beyond = [r for r in qa.lint_cutoffs(row, size_bytes) if r.beyond_healthy]
    if not beyond:
        return []
    suggested = {f"{s.gpu_type}:{s.scope}": {"pass_min_gbps": s.pass_min_gbps, "warn_min_gbps": s.warn_min_gbps}
                 for s in qa.suggest_cutoffs(row, size_bytes)}
    keep = {k: {"pass_min_gbps": p, "warn_min_gbps": w} for k, (p, w) in overrides.items()}
    text = json.dumps({**keep, **suggested})
    what = "; ".join(r.finding.message for r in beyond)
    return [{"code": "cutoff-unreachable",
             "message": f"{what}; to grade against cutoffs a healthy host can earn, set "
                        f"QUORVANE_NCCL_THRESHOLD_OVERRIDES='{text}' (quorvane thresholds --lint --emit-overrides)"}]


def store(record: Mapping[str, Any], path: Any) -> int:
    """Keep the record in the history at `path`; the run's id.  Raises
    HistoryError when the history refuses it."""
    from .history import History

    with History(path) as history:
        return history.add(record)
