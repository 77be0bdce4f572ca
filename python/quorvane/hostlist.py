"""Host lists as people write them: Slurm's and ClusterShell's compressed form.

`fold` is the one way every surface shows a list of hosts (terminal, history,
compare, HTML titles): `node[001-128],login1`. `expand` reads such a list
into names, each once (host names compare case-insensitively, as DNS does),
refusing a list longer than a limit before ClusterShell expands it, since the
expansion of `node[1-9999999]` takes minutes and gigabytes.
"""
from __future__ import annotations

import re
from collections.abc import Iterable, Mapping
from typing import Any

DEFAULT_MAX_HOSTS = 65536
_RANGE = re.compile(r"\s*(\d+)\s*(?:-\s*(\d+)\s*)?(?:/\s*(\d+)\s*)?")


class HostListError(ValueError):
    """A host list that cannot be read, or names too many hosts: one line."""


_NUMBERED = re.compile(r"([A-Za-z_.:-]*[A-Za-z_.:-])([0-9]+)")


def _fold_numbered(names: list[str]) -> str | None:
    """The common list, folded in one pass: one prefix and numbers of one width
    (`gpu0001` .. `gpu1024`), as ClusterShell folds it; None for any other."""
    first = _NUMBERED.fullmatch(names[0])
    if first is None:
        return None
    prefix, width = first.group(1), len(first.group(2))
    size = len(prefix) + width
    numbers = set()
    for name in names:
        digits = name[len(prefix):]
        if len(name) != size or not name.startswith(prefix) or not (digits.isascii() and digits.isdigit()):
            return None
        numbers.add(int(digits))
    return bracketed(prefix, numbers, width)


def bracketed(prefix: str, numbers: Iterable[int], width: int, suffix: str = "") -> str:
    """Names that differ in one run of digits, as people write them: `gpu[01-16,20]`
    (one name stays plain); the numbers zero-padded to `width`."""
    ordered = sorted(set(numbers))
    if len(ordered) == 1:
        return f"{prefix}{ordered[0]:0{width}d}{suffix}"
    ranges, start = [], ordered[0]
    for prev, cur in zip(ordered, ordered[1:] + [None]):
        if cur is None or cur != prev + 1:
            ranges.append(f"{start:0{width}d}" if start == prev else f"{start:0{width}d}-{prev:0{width}d}")
            start = cur
    return f"{prefix}[{','.join(ranges)}]{suffix}"


def fold(hosts: Iterable[object]) -> str:
    """The hosts as one compressed list, in ClusterShell's order: `gpu[01-16,20]`.
    Names that are not ordinary host names are shown as they are, after the rest."""
    names = [str(h) for h in hosts]
    if not names:
        return ""
    quick = _fold_numbered(names)   # ClusterShell takes ~40 ms for 1,024 names
    if quick is not None:
        return quick
    from ClusterShell.NodeSet import NodeSet, NodeSetException  # type: ignore[import-untyped]

    plain = [h for h in names if h and not any(c in h for c in "[],!&^ ")]
    odd = [h for h in names if h not in plain]
    try:
        folded = str(NodeSet.fromlist(plain)) if plain else ""
    except (NodeSetException, ValueError):
        folded = ",".join(plain)
    return ",".join(filter(None, [folded, *dict.fromkeys(odd)]))


def upper_count(text: str) -> int:
    """How many names `text` can name at most, from its brackets alone and
    without expanding them (operators `!`, `&`, `^` are counted as unions)."""
    total = 0
    for element in re.split(r"[,!&^](?![^\[]*\])", text):
        count = 1
        for group in re.findall(r"\[([^\]]*)\]", element):
            size = 0
            for part in group.split(","):
                m = _RANGE.fullmatch(part)
                if m is None:
                    return total + count  # malformed: let the parser say what is wrong
                lo, hi, step = int(m[1]), int(m[2] or m[1]), int(m[3] or 1)
                size += max(0, hi - lo) // max(step, 1) + 1
            count *= max(size, 1)
        total += count
    return total


def expand(text: str, limit: int = DEFAULT_MAX_HOSTS) -> list[str]:
    """The names of a host list ("gpu[01-16],gpu20"), in order, each once."""
    from ClusterShell.NodeSet import NodeSet, NodeSetException

    text = text.strip()
    if not text:
        raise HostListError("the host list is empty")
    most = upper_count(text)
    if most > limit:
        raise HostListError(f"{text[:80]!r} names up to {most:,} hosts, more than the limit of {limit:,} "
                            "(raise it with --max-hosts)")
    try:
        names = list(NodeSet(text, autostep=None))
    except (NodeSetException, ValueError) as exc:
        raise HostListError(f"cannot read the host list {text!r}: {exc}") from None
    seen: dict[str, str] = {}
    for name in names:
        first = seen.setdefault(name.lower(), name)
        if first != name:
            raise HostListError(f"{first!r} and {name!r} are the same host (host names compare "
                                "case-insensitively): list it once")
    return list(seen.values())


def names_of(record: object) -> list[str]:
    """The host names of a record: its `hosts` are names, or (a fleet's) one object per host."""
    hosts = record.get("hosts") if isinstance(record, Mapping) else None
    return [str(h.get("host")) if isinstance(h, Mapping) else str(h) for h in hosts or []]


def fleet_hosts(record: object) -> list[Mapping[str, Any]]:
    """A fleet record's per-host objects: its `hosts` (or `host_results`, as older records call them)."""
    if not isinstance(record, Mapping):
        return []
    items = [h for h in record.get("hosts") or [] if isinstance(h, Mapping)]
    return items or [h for h in record.get("host_results") or [] if isinstance(h, Mapping)]
