"""Topology findings against the library's inventory parser, on the same text.

Times, side by side in one run (samples alternate, medians shown):

  inventory   quorvane.collsweep.parse_nccl_topo_xml: the GPU/NIC inventory
  findings    quorvane.analysis.analyze_topology: the same document read once
              more strictly, the inventory, the affinity and every finding
  + dict      the findings plus the report turned into its JSON-ready dict,
              as `quorvane topo --json` writes it

on the 72-GPU/72-NIC synthetic dump of bench/run.py (four levels of PCIe
switches) and on the real dumps in ../shared/corpus/topo (when present), and
prints each time with its ratio to the inventory. Target: findings within 2x
the inventory on the synthetic dump. Run it with the modules importable:

  PYTHONPATH=<site> python3 bench/bench_topo.py [--reps N]
"""

import argparse
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quorvane.analysis as qa  # noqa: E402
import quorvane.collsweep as cs  # noqa: E402
from run import CORPUS, medians, synthetic_topology  # noqa: E402

TARGET = 2.0


def inputs():
    yield "synthetic 72 GPUs / 72 NICs", synthetic_topology()
    folder = CORPUS / "topo"
    for path in sorted(folder.glob("*.xml")) if folder.is_dir() else []:
        text = path.read_text(encoding="utf-8")
        if "<gpu" in text and "<system" in text:
            yield path.name, text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=301)
    args = parser.parse_args()

    print(f"{'input':<52} {'inventory us':>12} {'findings us':>12} {'ratio':>6} {'+ dict us':>10} {'ratio':>6}")
    verdict = None
    for name, text in inputs():
        report = qa.analyze_topology(text)
        assert report.kind == "dump" and report.gpu_count == len(cs.parse_nccl_topo_xml(text)["gpus"]), name
        inventory, findings, with_dict = medians(
            [lambda t=text: cs.parse_nccl_topo_xml(t), lambda t=text: qa.analyze_topology(t),
             lambda t=text: qa.analyze_topology(t).to_dict()], args.reps)
        print(f"{name:<52} {inventory * 1e6:>12.1f} {findings * 1e6:>12.1f} {findings / inventory:>6.2f}"
              f" {with_dict * 1e6:>10.1f} {with_dict / inventory:>6.2f}")
        if verdict is None:
            verdict = findings / inventory
    print(f"\nfindings / inventory on the synthetic dump: {verdict:.2f} (target <= {TARGET:.1f}): "
          f"{'met' if verdict <= TARGET else 'NOT met'}")


if __name__ == "__main__":
    main()
