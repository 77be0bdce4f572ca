"""The one console and colour policy of the command line.

`colour_wanted` alone decides whether a stream gets colour and other styling:
only a terminal, never with NO_COLOR set to anything non-empty, never with
TERM=dumb.  Hand-written styling (`Style`) and every rich console (`console_for`)
follow that one decision; rich is told it outright, so that its own detection
(which keeps bold and dim under NO_COLOR) never comes into play.  rich is
imported only when a console is made.
"""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, TextIO

if TYPE_CHECKING:
    from rich.console import Console

PLAIN_WIDTH = 160   # the least width of tables in files and pipes, where nothing wraps


def is_terminal(stream: TextIO) -> bool:
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty and isatty())
    except (OSError, ValueError):
        return False


def colour_wanted(stream: TextIO) -> bool:
    """Colour only on a terminal, never when NO_COLOR is set (to anything
    non-empty), never when TERM is dumb."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("TERM") == "dumb":
        return False
    return is_terminal(stream)


def _columns(least: int) -> int:
    """$COLUMNS where it says a number at least `least`, else `least`."""
    columns = os.environ.get("COLUMNS", "")
    return max(least, int(columns) if columns.isdigit() else 0)


def console_for(stream: TextIO, *, plain_width: int | None = None) -> Console:
    """A rich console on `stream` that styles, moves the cursor and redraws only
    where `colour_wanted` says so; elsewhere plain text, never wrapped, at least
    `plain_width` columns wide (default: $COLUMNS, at least 160)."""
    from rich.console import Console

    colour = colour_wanted(stream)
    width = None if is_terminal(stream) else plain_width or _columns(PLAIN_WIDTH)
    return Console(file=stream, force_terminal=colour, no_color=not colour,
                   color_system="auto" if colour else None, width=width,
                   highlight=False, markup=False, emoji=False, soft_wrap=True)


from ..textfilter import BIDI, shown  # noqa: F401  (the one output filter, shared with the reports)


class Style:
    """ANSI styling by hand, for commands that print plain lines: plain text
    unless colour is wanted on the stream."""

    CODES = {"bold": "1", "dim": "2", "red": "31", "green": "32", "yellow": "33",
             "magenta": "35", "cyan": "36", "grey": "90"}
    STATUS = {"pass": ("bold", "green"), "warn": ("bold", "yellow"), "fail": ("bold", "red"),
              "unknown": ("bold", "grey"), "error": ("bold", "magenta")}

    def __init__(self, colour: bool) -> None:
        self.colour = colour

    def __call__(self, text: str, *names: str) -> str:
        if not self.colour or not names or not text:
            return text
        codes = ";".join(self.CODES[n] for n in names)
        return f"\x1b[{codes}m{text}\x1b[0m"

    def status(self, status: str) -> str:
        return self(status.upper(), *self.STATUS.get(status, ("bold",)))

    @classmethod
    def for_stream(cls, stream: TextIO) -> Style:
        return cls(colour_wanted(stream))


class Lines:
    """Lines of text on a stream, styled by hand (`Style`) where colour is
    wanted: what a record's tables, findings and verdict are drawn on, with no
    terminal library to load. A piece of a line is text, or (text, style) with
    the style's names separated by spaces ("bold cyan"). Long lines are never
    wrapped. `width` and `height` are the terminal's (COLUMNS and LINES win,
    80x25 where it does not say); elsewhere at least PLAIN_WIDTH wide
    (COLUMNS where wider) and no height."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.style = Style.for_stream(stream)
        self.is_terminal = is_terminal(stream)
        self.height: int | None = None
        if self.is_terminal:
            try:
                size = os.get_terminal_size(stream.fileno())
                self.width, self.height = size.columns, size.lines
            except (OSError, ValueError, AttributeError):
                self.width, self.height = 80, 25
            columns, lines = os.environ.get("COLUMNS", ""), os.environ.get("LINES", "")
            self.width = int(columns) if columns.isdigit() and int(columns) else self.width
            self.height = int(lines) if lines.isdigit() else self.height
        else:
            self.width = _columns(PLAIN_WIDTH)
        self.fancy = (getattr(stream, "encoding", None) or "").lower().replace("-", "").startswith("utf")

    def print(self, *pieces: str | tuple[str, str]) -> None:
        """One line of the pieces (none: an empty line)."""
        self.stream.write("".join(p if isinstance(p, str) else self.style(p[0], *p[1].split())
                                  for p in pieces) + "\n")
