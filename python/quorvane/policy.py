"""The cutoffs in force: the strict reading of the threshold override variable,
where each cutoff comes from, checks of a GPU type against the known ones, and
the glue to the analysis module's lint of the cutoffs.

Nothing heavy is imported until a function needs it, so the command line can
read its arguments first."""
from __future__ import annotations

import math
import os

TYPE_CHECKING = False   # typing is not imported at run time: start-up stays light
if TYPE_CHECKING:
    from collections.abc import Mapping, Sequence
    from typing import Any

OVERRIDES_VAR = "QUORVANE_NCCL_THRESHOLD_OVERRIDES"
CUTOFF_KEYS = ("pass_min_gbps", "warn_min_gbps")
SCOPES = ("intra", "multi")
OVERRIDES_MAX_DEPTH = 3   # {"GPU:scope": {"pass_min_gbps": 1, "other": {...}}}


INPUT_CAP_BYTES = 64 << 20   # the one limit on every file the command reads


class InputTooLarge(ValueError):
    """A file holds more than the input limit."""


def read_bounded(path: str, cap: int = INPUT_CAP_BYTES) -> bytes:
    """The bytes of a file (or '-', standard input), read whole: InputTooLarge
    when it holds more than `cap` bytes, OSError when it cannot be read.  The
    size is checked while reading, so /dev/zero or a pipe that never ends is
    refused too, after reading at most `cap` bytes, in chunks (a stop signal is
    answered between them)."""
    import stat
    import sys

    if path == "-":
        return _read_chunks(sys.stdin.buffer, path, cap)
    with open(path, "rb") as f:
        info = os.fstat(f.fileno())
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(21, "is a directory")
        if stat.S_ISREG(info.st_mode):
            if info.st_size > cap:
                raise InputTooLarge(f"{path}: larger than {cap >> 20} MiB; refused")
            # A file is read whole at once; one byte more shows one that grew meanwhile.
            data = f.read(info.st_size + 1)
            if len(data) <= info.st_size:
                return data
            if len(data) > cap:
                raise InputTooLarge(f"{path}: larger than {cap >> 20} MiB; refused")
            return data + _read_chunks(f, path, cap - len(data))
        return _read_chunks(f, path, cap)


def _read_chunks(f: Any, path: str, cap: int) -> bytes:
    chunks, held = [], 0
    while True:
        chunk = f.read(min(1 << 20, cap + 1 - held))
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)
        held += len(chunk)
        if held > cap:
            name = "standard input" if path == "-" else path
            raise InputTooLarge(f"{name}: larger than {cap >> 20} MiB; refused")


class PolicyError(Exception):
    """The cutoffs asked for cannot be used: a usage error (exit status 64)."""


def _depth(value: Any) -> int:
    if isinstance(value, dict):
        return 1 + max(map(_depth, value.values()), default=0)
    if isinstance(value, list):
        return 1 + max(map(_depth, value), default=0)
    return 0


def _refuse_constant(name: str) -> Any:
    raise PolicyError(f"{OVERRIDES_VAR}: {name} is not a finite number")


def _cutoff(key: str, name: str, value: Any, origin: str = OVERRIDES_VAR) -> float:
    import json

    where = f"{origin}: {key!r} \"{name}\""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        shown = json.dumps(value, default=str) if origin == OVERRIDES_VAR else repr(value)
        raise PolicyError(f"{where} must be a {'JSON ' if origin == OVERRIDES_VAR else ''}number, "
                          f"not {shown[:60]}")
    try:
        number = float(value)
    except OverflowError:
        number = math.inf
    if not math.isfinite(number):
        raise PolicyError(f"{where} is not a finite number")
    return number


def read_overrides(environ: Mapping[str, str] | None = None) -> dict[str, tuple[float, float]]:
    """The cutoffs overridden for this run: those of the configuration file's
    [thresholds] table, each replaced by the variable's entry of the same key."""
    from .config import active

    configured = active().thresholds
    merged = dict(configured)
    merged.update(read_override_variable(environ))
    if configured and environ is None:
        # The library reads the variable itself when it grades, and so do the
        # children: both see what the file and the variable give together.
        import json
        os.environ[OVERRIDES_VAR] = json.dumps({k: dict(zip(CUTOFF_KEYS, v)) for k, v in merged.items()})
    return merged


def read_override_variable(environ: Mapping[str, str] | None = None) -> dict[str, tuple[float, float]]:
    """The override variable, checked strictly.

    The library quietly ignores text it cannot use; an operator who set the
    variable meant something by it, so here every flaw is a usage error: keys
    GPU_TYPE:intra or GPU_TYPE:multi, both cutoffs finite JSON numbers (not
    booleans, not strings), pass >= warn >= 0, nesting bounded.
    """
    env = os.environ if environ is None else environ
    raw = env.get(OVERRIDES_VAR, "").strip()
    if not raw:
        return {}
    import json
    try:
        doc = json.loads(raw, parse_constant=_refuse_constant)
    except RecursionError:
        raise PolicyError(f"{OVERRIDES_VAR} is nested too deeply") from None
    except ValueError as exc:
        raise PolicyError(f"{OVERRIDES_VAR} is not valid JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise PolicyError(f"{OVERRIDES_VAR} must be a JSON object keyed \"GPU_TYPE:scope\", "
                          f"not a JSON {type(doc).__name__}")
    if _depth(doc) > OVERRIDES_MAX_DEPTH:
        raise PolicyError(f"{OVERRIDES_VAR} is nested too deeply (at most {OVERRIDES_MAX_DEPTH} levels)")
    return check_overrides(doc, OVERRIDES_VAR)


def check_overrides(doc: Mapping[str, Any], origin: str) -> dict[str, tuple[float, float]]:
    """Cutoffs keyed GPU_TYPE:scope, each with both cutoffs, pass >= warn >= 0;
    every flaw a usage error naming `origin` (the variable or the file)."""
    result: dict[str, tuple[float, float]] = {}
    for key, value in doc.items():
        gpu, sep, scope = key.rpartition(":")
        if not sep or not gpu.strip() or scope not in SCOPES:
            raise PolicyError(f"{origin}: key {key!r} is not GPU_TYPE:intra or GPU_TYPE:multi "
                              f"(e.g. \"H100_SXM:intra\")")
        if not isinstance(value, dict):
            raise PolicyError(f"{origin}: the value of {key!r} must be an object with "
                              f"\"pass_min_gbps\" and \"warn_min_gbps\"")
        for name in CUTOFF_KEYS:
            if name not in value:
                raise PolicyError(f"{origin}: {key!r} lacks \"{name}\"")
        pass_min, warn_min = (_cutoff(key, name, value[name], origin) for name in CUTOFF_KEYS)
        if warn_min < 0:
            raise PolicyError(f"{origin}: {key!r} \"warn_min_gbps\" is below 0")
        if pass_min < warn_min:
            raise PolicyError(f"{origin}: {key!r} \"pass_min_gbps\" {pass_min:g} is below "
                              f"\"warn_min_gbps\" {warn_min:g}")
        result[key] = (pass_min, warn_min)
    return result


def threshold_source(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str:
    return "override" if f"{gpu_type}:{scope}" in overrides else "built-in"


def known_gpu_types(overrides: Mapping[str, object]) -> list[str]:
    """GPU types with cutoffs in some scope, built in or overridden."""
    from . import collsweep as cs

    return list(dict.fromkeys([*cs._INTRA_NODE_THRESHOLDS, *cs._MULTI_NODE_THRESHOLDS,
                               *(k.rpartition(":")[0] for k in overrides)]))


def check_gpu_type(gpu_type: str, scope: str, overrides: Mapping[str, object]) -> str | None:
    """Refuse a GPU type that matches a known one only when case is ignored;
    return a warning when no cutoffs are known for it in `scope`."""
    from . import collsweep as cs

    if not gpu_type.strip() or not gpu_type.isprintable():
        raise PolicyError(f"--gpu-type {gpu_type!r} is not a GPU type name")
    known = known_gpu_types(overrides)
    if gpu_type not in known:
        near = [k for k in known if k.casefold() == gpu_type.casefold()]
        if near:
            raise PolicyError(f"unknown GPU type {gpu_type!r}; did you mean {near[0]!r}?")
        return (f"unknown GPU type {gpu_type!r} (known: {', '.join(known)}): the verdict will be unknown; "
                f"cutoffs can be given in {OVERRIDES_VAR}")
    if cs.threshold_for(gpu_type, scope) is None:
        return f"no cutoffs for {gpu_type!r} in scope {scope!r}: the verdict will be unknown"
    return None


def effective_thresholds(overrides: Mapping[str, tuple[float, float]]) -> list[dict[str, Any]]:
    """Every (GPU type, scope) that has or could have cutoffs, with what is in force."""
    from . import collsweep as cs

    builtin = {"intra": cs._INTRA_NODE_THRESHOLDS, "multi": cs._MULTI_NODE_THRESHOLDS}
    pairs: dict[tuple[str, str], None] = {}
    for gpu in known_gpu_types(overrides):
        for scope in SCOPES:
            pairs[(gpu, scope)] = None
        for key in overrides:
            g, _, scope = key.rpartition(":")
            if g == gpu:
                pairs[(gpu, scope)] = None
    entries = []
    for gpu, scope in pairs:
        thr = cs.threshold_for(gpu, scope)
        table_entry = builtin.get(scope, {}).get(gpu)
        entries.append({
            "gpu_type": gpu, "scope": scope,
            "pass_min_gbps": None if thr is None else thr.pass_min_gbps,
            "warn_min_gbps": None if thr is None else thr.warn_min_gbps,
            "source": (threshold_source(gpu, scope, overrides) if thr is not None else None),
            "built_in": None if not table_entry else {k: table_entry[k] for k in CUTOFF_KEYS},
        })
    return entries


def largest_measured_size(plan: str | None = None) -> int:
    """The largest message size a sweep plan measures (not the largest it asks
    for); the default plan's without a name."""
    from .plans import DEFAULT_PLAN, largest_measured

    return largest_measured(plan or DEFAULT_PLAN)


def lint(entries: Sequence[dict[str, Any]], size_bytes: int) -> list[Any]:
    """The lint's results for the entries that have cutoffs."""
    from . import analysis as qa

    rows = [(e["gpu_type"], e["scope"], float(e["pass_min_gbps"]), float(e["warn_min_gbps"]), e["source"])
            for e in entries if e["pass_min_gbps"] is not None]
    return list(qa.lint_cutoffs(rows, size_bytes))


def suggested_overrides(entries: Sequence[dict[str, Any]], overrides: Mapping[str, tuple[float, float]],
                        size_bytes: int) -> dict[str, dict[str, float]]:
    """The override variable's value that keeps the overrides in force and gives
    every cutoff the lint finds a problem with one a healthy host can earn."""
    from . import analysis as qa

    rows = [(e["gpu_type"], e["scope"], float(e["pass_min_gbps"]), float(e["warn_min_gbps"]), e["source"])
            for e in entries if e["pass_min_gbps"] is not None]
    out = {key: {"pass_min_gbps": p, "warn_min_gbps": w} for key, (p, w) in overrides.items()}
    for s in qa.suggest_cutoffs(rows, size_bytes):
        out[f"{s.gpu_type}:{s.scope}"] = {"pass_min_gbps": s.pass_min_gbps, "warn_min_gbps": s.warn_min_gbps}
    return out
