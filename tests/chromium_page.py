"""Headless Chromium for the report tests, and the README's screenshot of the
report (`python tests/chromium_page.py docs/report.png`)."""
from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
# The browser is not ours to sanitize: under bench/asan.sh it runs without the preload.
_NOT_FOR_CHROMIUM = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
# What the page looks like to the browser once drawn: the series, whether each
# has a size on screen, the other layers, and how many resources it fetched.
PROBE = """<script>
const q = s => [...document.querySelectorAll(s)];
const drawn = e => { const b = e.getBBox(); return b.width > 0 && b.height > 0; };
document.body.setAttribute("data-probe", JSON.stringify({
  series: q("svg g.series").map(g => g.dataset.collective),
  drawn: q("svg g.series polyline").map(drawn),
  band: q("svg .baseline-band").filter(drawn).length,
  typical: q("svg .typical-range").filter(drawn).length,
  cutoffs: q("svg .cutoff").length,
  suspects: q("td.suspect").length,
  verdict: (document.getElementById("verdict") || {}).textContent,
  resources: performance.getEntriesByType("resource").length}));
</script>"""


def _chromium(*args: str, timeout: float = 60) -> str:
    assert CHROMIUM, "chromium is not installed"
    with tempfile.TemporaryDirectory(prefix="quorvane-chromium-") as profile:
        done = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                               "--disable-extensions", "--disable-dev-shm-usage", "--hide-scrollbars",
                               f"--user-data-dir={profile}", *args],
                              capture_output=True, text=True, timeout=timeout,
                              env={k: v for k, v in os.environ.items() if k not in _NOT_FOR_CHROMIUM})
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


def probe(page: str, folder: Path) -> dict[str, Any]:
    """Open the page with the probe added; what Chromium drew."""
    target = folder / "probed.html"
    target.write_text(page.replace("</body>", PROBE + "</body>"), encoding="utf-8")
    dom = _chromium("--dump-dom", target.as_uri())
    found = re.search(r'data-probe="([^"]*)"', dom)
    assert found, dom[:2000]
    result: dict[str, Any] = json.loads(html.unescape(found.group(1)))
    return result


def screenshot(page: Path, png: Path, width: int = 1000, height: int = 1250) -> None:
    _chromium(f"--window-size={width},{height}", f"--screenshot={png}", page.as_uri())


def main(target: str) -> None:
    """Five emulated sweeps recorded in a fresh history, the last one slower, as the
    report shows it beside the four before."""
    with tempfile.TemporaryDirectory() as folder:
        env = {**os.environ, "QUORVANE_DB": str(Path(folder, "history.sqlite3"))}
        for peak in (300, 310, 304, 296, 280):
            subprocess.run([sys.executable, "-m", "quorvane", "sweep", "--emulate", "--gpus", "8", "--gpu-type",
                            "H100_SXM"], env={**env, "NCCL_STANDIN_BUSBW_GBPS": str(peak)},
                           capture_output=True, timeout=120)
        page = Path(folder, "report.html")
        subprocess.run([sys.executable, "-m", "quorvane", "report", "--html", str(page)], env=env, check=True,
                       timeout=60)
        screenshot(page, Path(target))


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "docs/report.png")
