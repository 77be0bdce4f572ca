#!/usr/bin/env python3
"""The fleet planner at scale, on simulated clusters (a benchmark, not a test).

Each trial builds a cluster of --hosts hosts (default 1,024) with 0, 1, 4 or 16
faulty hosts of mixed kinds: "intra" (slow on its own) or "net" (a slow network
port: every pair it is in runs at its speed). A faulty host keeps a fraction
--fault-range of its bandwidth. Every measurement carries --noise relative
Gaussian noise (default 5%). The same clusters are checked three ways:

  planner    quorvane.analysis.FleetPlanner: every host alone, disjoint pairs,
             re-pairing with known-good hosts; names a host on two bad results
  all-pairs  every host alone once and every pair of hosts once (a round-robin
             schedule); names a host slow alone, or slow in most of its pairs
  two-pass   every host alone and in disjoint pairs, twice, with the pairs
             shifted by one the second time; names a host slow in both passes

and one table gives recall (planted hosts found), false accusations (healthy
hosts named), runs and rounds per trial. Targets for the planner: recall 100%,
no false accusation, at most 3 rounds for up to 16 faulty hosts and at most
1.5 x hosts + 4 x faulty runs.

    python3 bench/fleet_sim.py [--hosts 1024] [--trials 100] [--noise 0.05] [--seed 1]

numpy makes the all-pairs baseline (half a million pairs a trial) quick.
"""
from __future__ import annotations

import argparse
import random
import sys
import time
from dataclasses import dataclass, field

import quorvane.analysis as qa
import quorvane.collsweep as cs

ALONE_GBPS = 364.0  # an 8-GPU H100 host alone, all_reduce
PAIR_GBPS = 348.0   # two such hosts over the network
GPU_TYPE = "H100_SXM"


@dataclass
class Cluster:
    hosts: list[str]
    intra: dict[str, float]  # host -> fraction of its bandwidth alone
    net: dict[str, float]    # host -> fraction of its port's bandwidth

    @property
    def faulty(self) -> set[str]:
        return set(self.intra) | set(self.net)


def make_cluster(n: int, faulty: int, fault_range: tuple[float, float], rng: random.Random) -> Cluster:
    hosts = [f"gpu{i:04d}" for i in range(n)]
    chosen = rng.sample(hosts, faulty)
    intra, net = {}, {}
    for i, host in enumerate(chosen):
        (intra if i % 2 == 0 else net)[host] = rng.uniform(*fault_range)
    return Cluster(hosts, intra, net)


def noisy(value: float, noise: float, rng: random.Random) -> float:
    return max(0.0, value * (1.0 + rng.gauss(0.0, noise)))


@dataclass
class Outcome:
    named: set[str]
    runs: int
    rounds: int
    incomplete: bool = False


def run_planner(c: Cluster, noise: float, rng: random.Random) -> Outcome:
    planner = qa.FleetPlanner(c.hosts)
    thr = {"alone": cs.threshold_for(GPU_TYPE, "intra"), "pair": cs.threshold_for(GPU_TYPE, "multi")}
    while runs := planner.next_round():
        for run in runs:
            if len(run.hosts) == 1:
                value = noisy(ALONE_GBPS * c.intra.get(run.hosts[0], 1.0), noise, rng)
                grade = cs.classify(value, thr["alone"])
            else:
                value = noisy(PAIR_GBPS * min(c.net.get(h, 1.0) for h in run.hosts), noise, rng)
                grade = cs.classify(value, thr["pair"])
            planner.record(run.id, value, "", grade)
    return Outcome({s.host for s in planner.suspects()}, len(planner.runs), planner.rounds,
                   not planner.complete)


def run_all_pairs(c: Cluster, noise: float, rng: random.Random, np) -> Outcome:
    n = len(c.hosts)
    gen = np.random.default_rng(rng.getrandbits(64))
    alone = ALONE_GBPS * np.array([c.intra.get(h, 1.0) for h in c.hosts]) * (1 + gen.normal(0, noise, n))
    port = np.array([c.net.get(h, 1.0) for h in c.hosts])
    i, j = np.triu_indices(n, 1)
    pairs = PAIR_GBPS * np.minimum(port[i], port[j]) * (1 + gen.normal(0, noise, len(i)))
    alone_cut = qa.reference_of(alone.tolist()).cut
    pair_cut = qa.reference_of(pairs.tolist()).cut
    slow = pairs < pair_cut
    slow_count = np.bincount(i[slow], minlength=n) + np.bincount(j[slow], minlength=n)
    named = {c.hosts[k] for k in range(n) if alone[k] < alone_cut or slow_count[k] > (n - 1) / 2}
    return Outcome(named, n + len(i), 1 + (n - 1 if n % 2 == 0 else n))


def run_two_pass(c: Cluster, noise: float, rng: random.Random) -> Outcome:
    n = len(c.hosts)
    slow_alone: list[set[str]] = []
    slow_paired: list[set[str]] = []
    for shift in (0, 1):
        alone = {h: noisy(ALONE_GBPS * c.intra.get(h, 1.0), noise, rng) for h in c.hosts}
        cut = qa.reference_of(list(alone.values())).cut
        slow_alone.append({h for h, v in alone.items() if v < cut})
        order = c.hosts[shift:] + c.hosts[:shift]
        pairs = [(order[k], order[k + 1]) for k in range(0, n - 1, 2)]
        values = [noisy(PAIR_GBPS * min(c.net.get(h, 1.0) for h in p), noise, rng) for p in pairs]
        cut = qa.reference_of(values).cut
        slow_paired.append({h for p, v in zip(pairs, values) if v < cut for h in p})
    named = (slow_alone[0] & slow_alone[1]) | ((slow_paired[0] & slow_paired[1]) - slow_alone[0])
    return Outcome(named, 2 * (n + n // 2), 4)


@dataclass
class Tally:
    found: int = 0
    planted: int = 0
    missed_trials: int = 0
    false: int = 0
    false_trials: int = 0
    incomplete: int = 0
    runs: list[int] = field(default_factory=list)
    rounds: list[int] = field(default_factory=list)
    seconds: float = 0.0

    def add(self, c: Cluster, o: Outcome) -> None:
        planted = c.faulty
        self.planted += len(planted)
        self.found += len(planted & o.named)
        self.missed_trials += bool(planted - o.named)
        wrong = len(o.named - planted)
        self.false += wrong
        self.false_trials += bool(wrong)
        self.incomplete += o.incomplete
        self.runs.append(o.runs)
        self.rounds.append(o.rounds)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hosts", type=int, default=1024)
    ap.add_argument("--trials", type=int, default=100)
    ap.add_argument("--faulty", default="0,1,4,16", help="faulty host counts, comma-separated")
    ap.add_argument("--noise", type=float, default=0.05)
    ap.add_argument("--fault-range", default="0.3,0.6", help="bandwidth fraction a faulty host keeps: lo,hi")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--no-all-pairs", action="store_true", help="skip the all-pairs baseline (slow without numpy)")
    args = ap.parse_args(argv)
    lo, hi = (float(x) for x in args.fault_range.split(","))
    counts = [int(x) for x in args.faulty.split(",")]
    try:
        import numpy as np
    except ImportError:
        np = None
        if not args.no_all_pairs:
            print("numpy is not installed: the all-pairs baseline is skipped", file=sys.stderr)
    schemes = ["planner", "two-pass"] + ([] if args.no_all_pairs or np is None else ["all-pairs"])

    print(f"{args.hosts} hosts, {args.trials} trials per row, noise {args.noise:.0%} (Gaussian), "
          f"a faulty host keeps {lo:.0%}..{hi:.0%} of its bandwidth; kinds alternate intra/net")
    head = (f"{'faulty':>6}  {'scheme':<9}  {'recall':>7}  {'missed in':>9}  {'false':>5}  {'false in':>8}  "
            f"{'runs mean':>10}  {'runs max':>9}  {'runs/bound':>10}  {'rounds':>6}  {'max':>3}  {'s/trial':>7}")
    print(head)
    print("-" * len(head))
    ok = True
    for faulty in counts:
        tallies = {s: Tally() for s in schemes}
        rng = random.Random(args.seed * 1_000_003 + faulty)
        for _ in range(args.trials):
            cluster = make_cluster(args.hosts, faulty, (lo, hi), rng)
            for scheme in schemes:
                t0 = time.perf_counter()
                if scheme == "planner":
                    outcome = run_planner(cluster, args.noise, rng)
                elif scheme == "two-pass":
                    outcome = run_two_pass(cluster, args.noise, rng)
                else:
                    outcome = run_all_pairs(cluster, args.noise, rng, np)
                tallies[scheme].seconds += time.perf_counter() - t0
                tallies[scheme].add(cluster, outcome)
        bound = 1.5 * args.hosts + 4 * faulty
        for scheme, t in tallies.items():
            recall = t.found / t.planted if t.planted else 1.0
            print(f"{faulty:>6}  {scheme:<9}  {recall:>7.1%}  {t.missed_trials:>6} tr  {t.false:>5}  "
                  f"{t.false_trials:>5} tr  {sum(t.runs) / len(t.runs):>10.1f}  {max(t.runs):>9}  "
                  f"{max(t.runs) / bound:>10.2f}  {sum(t.rounds) / len(t.rounds):>6.2f}  {max(t.rounds):>3}  "
                  f"{t.seconds / args.trials:>7.3f}")
            if scheme == "planner":
                met = (t.found == t.planted and t.false == 0 and t.incomplete == 0 and max(t.runs) <= bound
                       and (faulty > 16 or max(t.rounds) <= 3))
                ok &= met
    print()
    print("planner targets (recall 100%, no false accusation, <= 3 rounds, <= 1.5 x hosts + 4 x faulty runs):",
          "met" if ok else "NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
