"""Cost of sampling dated reconciliations: simulated batches, and single large families.

Two workloads, each printing CPU seconds (median of --runs), scenarios and events per second,
and the process's peak memory:

- batch: --families families simulated on a birth-death tree of --species species (seed 2026,
  rates 0.25, 0.2, 0.35), their extant gene trees reconciled in the dated model at the rates
  0.234, 0.209, 0.326 (the recovery study's fit), --samples scenarios each, one thread;
- tree: one random rooted gene tree of --leaves leaves over the tips of
  SpeciesTree.birth_death(--species, seed=7), 5 scenarios (rates 0.3, 0.2, 0.3); a family whose
  values do not fit the memory budget prints the budget's error instead.

The peak memory is the process's, so run one workload per process to read it:

    PYTHONPATH=build/rel:. python3 bench/reconcile.py batch [--species 40] [--families 100]
                                                            [--samples 100] [--runs 3]
    PYTHONPATH=build/rel:. python3 bench/reconcile.py tree --species 1000 --leaves 305
"""
from __future__ import annotations

import argparse
import random
import resource
import statistics
import time

import korvath


def peak_gb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20


def random_tree(tree: korvath.SpeciesTree, leaves: int, seed: int) -> str:
    rng = random.Random(seed)
    tips = list(tree.extant_leaves)
    parts = [f"{rng.choice(tips)}_{i}" for i in range(leaves)]
    while len(parts) > 1:
        a = parts.pop(rng.randrange(len(parts)))
        b = parts.pop(rng.randrange(len(parts)))
        parts.append(f"({a},{b})")
    return parts[0] + ";"


def timed(work, runs: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        start = time.process_time()
        result = work()
        times.append(time.process_time() - start)
    return statistics.median(times), result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("workload", choices=["batch", "tree"])
    parser.add_argument("--species", type=int, default=None,
                        help="species in the tree (40 for batch, 1000 for tree)")
    parser.add_argument("--families", type=int, default=100)
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--leaves", type=int, default=305)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    if args.workload == "batch":
        species = args.species or 40
        tree = korvath.SpeciesTree.birth_death(species, seed=2026)
        sim = korvath.simulate_families(tree, duplication=0.25, transfer=0.2, loss=0.35,
                                        families=args.families, seed=2026)
        genes = korvath.GeneTrees.from_simulation(sim)
        samples = args.samples
        rates = dict(duplication=0.234, transfer=0.209, loss=0.326)
    else:
        species = args.species or 1000
        tree = korvath.SpeciesTree.birth_death(species, seed=7)
        genes = korvath.GeneTrees.from_newick({"f": random_tree(tree, args.leaves, 4)}, tree,
                                              leaf_species=lambda s: s.rsplit("_", 1)[0])
        samples = 5
        rates = dict(duplication=0.3, transfer=0.2, loss=0.3)

    def work():
        return korvath.reconcile(tree, genes, **rates, model="dated", samples=samples, seed=1)

    try:
        seconds, found = timed(work, args.runs)
    except RuntimeError as exc:
        print(f"{args.workload}: {species} species, {len(genes)} families: {exc}")
        return
    scenarios = len(genes) * samples
    print(f"{args.workload}: {species} species, {len(genes)} families "
          f"({genes.n_nodes} gene-tree nodes), {samples} scenarios each")
    print(f"  {seconds:.2f} s CPU (median of {args.runs}), {scenarios / seconds:,.0f} scenarios/s, "
          f"{len(found.events) / seconds:,.0f} events/s, peak {peak_gb():.2f} GB")


if __name__ == "__main__":
    main()
