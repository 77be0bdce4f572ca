"""The progress of a sweep on stderr, fed by the runner: each collective as it
starts, its elapsed time, then how it ended.  Where colour is wanted (a
terminal) rich's live display; elsewhere one plain line as each starts and one
as it ends, written without rich, so that the first benchmark starts before the
terminal library is loaded (it loads while the benchmark runs)."""
from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, TextIO

from .term import colour_wanted, console_for, shown

if TYPE_CHECKING:
    from ..runner import Outcome


class SweepProgress:
    def __init__(self, stream: TextIO, labels: Sequence[str]) -> None:
        self.stream = stream
        self.labels = list(labels)
        self.live = colour_wanted(stream) and os.environ.get("TERM", "").lower() != "unknown"
        self._lock = threading.Lock()
        self._tasks: dict[int, Any] = {}
        self._progress: Any = None
        if self.live:   # rich's progress display is imported only where it is shown
            from rich import progress

            self._progress = progress.Progress(
                progress.SpinnerColumn(finished_text=" "), progress.TextColumn("{task.description}"),
                progress.TimeElapsedColumn(), progress.TextColumn("{task.fields[state]}"),
                console=console_for(stream), transient=False)

    def __enter__(self) -> SweepProgress:
        if self._progress is not None:
            self._progress.start()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._progress is not None:
            self._progress.stop()

    def say(self, line: str) -> None:
        """A line of its own, above the live display where there is one."""
        if self._progress is not None:
            self._progress.console.print(line)
        else:
            self._write(line)

    def _write(self, line: str) -> None:
        self.stream.write(line + "\n")
        self.stream.flush()

    def _prefix(self, label: str) -> str:
        total = len(self.labels)
        at = f"{self.labels.index(label) + 1}" if label in self.labels else "?"
        return f"[{at}/{total}] {label}"

    def started(self, label: str, timeout: float) -> None:
        prefix = self._prefix(label)
        with self._lock:
            if self._progress is not None:
                self._tasks[threading.get_ident()] = self._progress.add_task(
                    prefix, total=None, state=f"running (time-out {timeout:g}s)")
            else:
                self._write(f"{prefix}: running (time-out {timeout:g}s)")

    def finished(self, label: str, outcome: Outcome, rows: int, complete: bool, corrupt: bool = False) -> None:
        # (text, rich style) pieces: styled on the live display, plain elsewhere
        if outcome.returncode == 0 and outcome.started:
            pieces = [("wrong results", "bold red") if corrupt else ("ok", "green") if complete
                      else ("incomplete", "magenta"), (f", {rows} row{'s' if rows != 1 else ''}", "")]
        else:
            reason = ("timed out" if outcome.timed_out else "interrupted" if outcome.interrupted
                      else outcome.reason if not outcome.started else f"exit {outcome.returncode}")
            pieces = [("failed", "red"), (f" ({shown(reason or '')})", "")]
            first = next((ln.strip() for ln in outcome.stderr.splitlines() if ln.strip()), "")
            if first and outcome.started:
                pieces.append((f": {shown(first)[:120]}", ""))
        with self._lock:
            task = self._tasks.pop(threading.get_ident(), None)
            if self._progress is not None and task is not None:
                from rich.text import Text

                self._progress.update(task, state=Text.assemble(*pieces), total=1, completed=1)
                self._progress.stop_task(task)
            else:
                self._write(f"{self._prefix(label)}: {''.join(text for text, _ in pieces)}"
                            f" in {outcome.seconds:.1f}s")
