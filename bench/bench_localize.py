"""The extra runs a fleet check spends to localise one suspect, and whether they localise.

For an intra suspect with G GPUs: the rounds of disjoint GPU pairs (every pair
once, G/2 pairs at once) against the naive design (every pair, one at a time);
for a net suspect with R rails: one round of R runs (one rank per host on GPU
i with the NIC nearest it) per suspect and known-good partner. Each design is
then tried on emulated-style results: one GPU (or rail) planted at 40..80% of
the others with 5% noise, 1,000 trials per row, and the share of trials that
name exactly the planted one is printed beside the runs and rounds.

  PYTHONPATH=<site> python3 bench/bench_localize.py
"""

import random

import quorvane.analysis as qa

TRIALS = 1000


def gpu_trials(gpus, factor, noise, rng):
    rounds = qa.gpu_pair_rounds(gpus)
    hits = 0
    for _ in range(TRIALS):
        slow = rng.randrange(gpus)
        results = [(a, b, 100.0 * (factor if slow in (a, b) else 1.0) * (1 + rng.gauss(0, noise)))
                   for r in rounds for a, b in r]
        found = qa.localize_gpu(results)
        hits += bool(found and found["index"] == slow)
    return hits / TRIALS


def rail_trials(rails, factor, noise, rng):
    hits = 0
    for _ in range(TRIALS):
        slow = rng.randrange(rails)
        values = [100.0 * (factor if i == slow else 1.0) * (1 + rng.gauss(0, noise)) for i in range(rails)]
        found = qa.localize_rail(values, [f"mlx5_{i}" for i in range(rails)])
        hits += bool(found and found["index"] == slow)
    return hits / TRIALS


def main():
    rng = random.Random(7)
    print(f"{'suspect':<26} {'runs':>5} {'rounds':>7} {'naive rounds':>13}  named right at 40/60/80% of the rest")
    for gpus in (4, 8):
        rounds = qa.gpu_pair_rounds(gpus)
        runs = sum(len(r) for r in rounds)
        rates = " / ".join(f"{gpu_trials(gpus, f, 0.05, rng):.1%}" for f in (0.4, 0.6, 0.8))
        print(f"{f'intra, {gpus} GPUs (pairs)':<26} {runs:>5} {len(rounds):>7} {runs:>13}  {rates}")
    for rails in (4, 8):
        rates = " / ".join(f"{rail_trials(rails, f, 0.05, rng):.1%}" for f in (0.4, 0.6, 0.8))
        print(f"{f'net, {rails} rails':<26} {rails:>5} {1:>7} {rails:>13}  {rates}")
    rounds = qa.gpu_pair_rounds(8)
    print(f"\n8 GPUs: {sum(len(r) for r in rounds)} pairs in {len(rounds)} rounds of "
          f"{max(len(r) for r in rounds)} disjoint pairs (target: all 28 in at most 7 rounds of 4); "
          f"rails: 1 round per suspect and partner")


if __name__ == "__main__":
    main()
