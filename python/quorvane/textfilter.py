"""The one output filter for text that came from outside, shared by the command line and the reports."""
from __future__ import annotations

# Bidirectional overrides, isolates and marks: they reorder what a terminal or
# a browser shows, so a host named "\u202eevil" reads backwards.
BIDI = frozenset("\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069")


def shown(text: str) -> str:
    """The one output filter for text that came from outside (host names, NCCL
    versions, stderr lines, file names, override keys): control characters,
    bidirectional overrides and other unprintable characters are shown escaped
    (ESC as \\x1b, U+202E as \\u202e), so nothing a graded file holds can set a
    window title, clear the screen, reach the clipboard or reorder a line, in
    the terminal or in HTML."""
    text = str(text)
    if text.isprintable():   # every BIDI character is unprintable (format, Cf)
        return text
    return "".join(c if c.isprintable() and c not in BIDI
                   else c.encode("unicode_escape").decode("ascii") for c in text)
