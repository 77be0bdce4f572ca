"""Hostile inputs, timed: the work grows with the input, never faster.

Side by side, each at two sizes ten times apart, with the ratio of their times
(about 10 means linear; 100 would mean quadratic):

  attributes   quorvane.analysis.analyze_topology on one tag with N attributes
  topo draw    `quorvane topo FILE` (analysis and drawing) on N GPUs, against
               the analysis alone
  record read  `quorvane compare /dev/zero /dev/zero`: refused at the input limit

  PYTHONPATH=<site> python3 bench/bench_hostile.py
"""
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import quorvane.analysis as qa


def attributes_xml(n: int) -> str:
    attrs = " ".join(f'a{i}="{i}"' for i in range(n))
    return f'<system version="1"><cpu numaid="0" {attrs}/></system>'


def gpus_xml(n: int) -> str:
    gpus = "".join(f'<pci busid="0000:{i // 256:02x}:{i % 256:02x}.0" class="0x030200" link_speed="32.0 GT/s PCIe" '
                   f'link_width="16"><gpu dev="{i}" sm="90" rank="{i}" gdr="1"/></pci>' for i in range(n))
    return f'<system version="1"><cpu numaid="0">{gpus}</cpu></system>'


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def command(*args: str) -> float:
    return timed(lambda: subprocess.run([sys.executable, "-m", "quorvane", *args], capture_output=True,
                                        timeout=600))


def main() -> int:
    print(f"{'case':<30}{'small':>10}{'10x input':>12}{'ratio':>8}")
    small, large = (attributes_xml(n) for n in (10_000, 100_000))
    a, b = timed(lambda: qa.analyze_topology(small)), timed(lambda: qa.analyze_topology(large))
    print(f"{'attributes (10k / 100k)':<30}{a:>9.3f}s{b:>11.3f}s{b / a:>8.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        files = []
        for n in (5_000, 50_000):
            files.append(Path(tmp) / f"gpus{n}.xml")
            files[-1].write_text(gpus_xml(n))
        texts = [f.read_text() for f in files]
        a, b = (timed(lambda t=t: qa.analyze_topology(t).to_dict()) for t in texts)
        print(f"{'topo analysis (5k / 50k GPUs)':<30}{a:>9.3f}s{b:>11.3f}s{b / a:>8.1f}")
        a, b = (command("topo", str(f)) for f in files)
        print(f"{'topo command (5k / 50k GPUs)':<30}{a:>9.3f}s{b:>11.3f}s{b / a:>8.1f}")
    t = command("compare", "/dev/zero", "/dev/zero")
    print(f"{'compare /dev/zero':<30}{t:>9.3f}s  (refused at the 64 MiB input limit)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
