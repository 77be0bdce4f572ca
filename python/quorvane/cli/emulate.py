"""The emulator behind --emulate: the stand-in benchmark shipped in the package,
reached only through scripts in a private temporary folder."""
from __future__ import annotations

import os
import re
import shlex
import sys
import tempfile
from collections.abc import Iterator, Mapping
from contextlib import contextmanager

from .common import RunError, UsageError

# The emulator: the stand-in benchmark shipped beside this file.  It is only ever
# reached through launcher scripts in a private temporary directory, never
# through PATH, so no real nccl-tests program can be shadowed by it.
EMULATED = "emulated"
EMULATOR_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "_standin.py")
EMULATED_EXECUTABLES = ("all_reduce_perf", "all_gather_perf", "reduce_scatter_perf", "broadcast_perf")
# The stand-in's own settings, and the GPU type whose published curve it follows.
_EMULATOR_SETTING = re.compile(r"NCCL_STANDIN_[A-Za-z0-9_]+|QUORVANE_EMULATE_GPU_TYPE")
FAULTS_VAR = "QUORVANE_EMULATE_FAULTS"


def check_emulation(environ: Mapping[str, str] | None = None) -> None:
    """A malformed QUORVANE_EMULATE_FAULTS is one usage error before anything runs,
    not a failure of every emulated run."""
    from .. import _standin
    env = os.environ if environ is None else environ
    try:
        _standin.parse_faults(env.get(FAULTS_VAR, ""))
    except _standin.UsageError as exc:
        raise UsageError(str(exc)) from None


# ---- the emulator -----------------------------------------------------------------

def _launcher_script(executable: str, interpreter: str, emulator: str,
                     environ: Mapping[str, str]) -> str:
    collective = executable[: -len("_perf")]
    lines = [
        "#!/bin/sh",
        f"# quorvane --emulate: stands in for {executable}. No GPU is used and nothing",
        "# is measured: the numbers come from a latency + bandwidth model.",
    ]
    # Ranks started over ssh do not inherit the caller's environment; carry the
    # emulator's settings along as defaults (a setting on the remote side wins).
    for name in sorted(environ):
        if _EMULATOR_SETTING.fullmatch(name) and name != "NCCL_STANDIN_COLLECTIVE":
            lines.append(f'if [ -z "${{{name}+set}}" ]; then {name}={shlex.quote(environ[name])}; '
                         f"export {name}; fi")
    lines += [
        f"NCCL_STANDIN_COLLECTIVE={collective}",
        "export NCCL_STANDIN_COLLECTIVE",
        f'exec {shlex.quote(interpreter)} {shlex.quote(emulator)} "$@"',
        "",
    ]
    return "\n".join(lines)


@contextmanager
def emulated_binaries(environ: Mapping[str, str] | None = None) -> Iterator[str]:
    """A private directory holding all_reduce_perf & co. that run the emulator with
    this interpreter (so a virtual environment's Python is used); removed afterwards."""
    if not sys.executable:
        raise RunError("--emulate needs the path of the Python interpreter, which is unknown here")
    if not os.path.isfile(EMULATOR_FILE):
        raise RunError(f"the emulator is missing from the installation: {EMULATOR_FILE}")
    env = os.environ if environ is None else environ
    root = tempfile.mkdtemp(prefix="quorvane-emulator-")
    try:
        for executable in EMULATED_EXECUTABLES:
            path = os.path.join(root, executable)
            with open(path, "w", encoding="utf-8") as f:
                f.write(_launcher_script(executable, sys.executable, EMULATOR_FILE, env))
            os.chmod(path, 0o755)
        yield root
    finally:
        import shutil

        shutil.rmtree(root, ignore_errors=True)
