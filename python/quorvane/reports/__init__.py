"""Reports of a run record: a self-contained HTML page and a Prometheus textfile."""
from __future__ import annotations

import os
import tempfile


def atomic_write(path: str, text: str) -> None:
    """Write text to path through a hidden temporary file beside it, fsync'd and
    renamed over the target, so no reader ever sees half a file. Raises OSError;
    the target is untouched when anything fails."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(prefix=".quorvane-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
