"""Run simulation replicates over many seeds on a dask cluster, then fit each replicate.

    python examples/cluster_replicates.py [--replicates 8] [--families 200]
        [--scheduler ADDRESS] [--fit]

Each replicate simulates ``--families`` gene families on the built-in species tree with its own
seed (1, 2, ...), on a worker of the cluster; the worker returns the families' copy-number
profiles summed over species, and, with ``--fit``, the rates estimated from the replicate's
extant gene trees with the dated model. Replicates are independent, so they spread over the
workers; each result depends only on its seed. Without ``--scheduler`` a local cluster of two
worker processes is started.
"""
import argparse
import sys

import korvath
from korvath.cli import EXAMPLE_TREE

TRUTH = dict(duplication=0.3, transfer=0.2, loss=0.4)


def replicate(seed: int, families: int, fit: bool) -> dict:
    """One replicate: simulate, summarise and optionally fit (runs on a worker)."""
    tree = korvath.SpeciesTree.from_newick(EXAMPLE_TREE)
    sim = korvath.simulate_families(tree, **TRUTH, families=families, seed=seed)
    genes = korvath.GeneTrees.from_simulation(sim)
    row = dict(seed=seed, families=sim.n_families, surviving=len(genes),
               mean_copies=float(sim.profiles.sum(axis=1).mean()))
    if fit:
        result = korvath.fit_rates(tree, genes, model="dated",
                                   n_extinct=sim.n_families - len(genes))
        row.update({f"fit_{name}": value for name, value in result.rates.items()})
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--replicates", type=int, default=8)
    parser.add_argument("--families", type=int, default=200)
    parser.add_argument("--scheduler", help="address of a running dask scheduler")
    parser.add_argument("--fit", action="store_true")
    args = parser.parse_args()

    import pandas as pd
    from dask.distributed import Client, LocalCluster  # the optional 'distributed' extra

    cluster = None if args.scheduler else LocalCluster(n_workers=2, threads_per_worker=1,
                                                       dashboard_address=":0")
    with Client(args.scheduler or cluster) as client:
        seeds = list(range(1, args.replicates + 1))
        futures = client.map(replicate, seeds, families=args.families, fit=args.fit,
                             pure=False)
        table = pd.DataFrame(client.gather(futures)).set_index("seed")
    if cluster is not None:
        cluster.close()
    print(table.to_string())
    if args.fit:
        print("\nmean of the fitted rates (truth: " +
              ", ".join(f"{k} {v}" for k, v in TRUTH.items()) + ")")
        print(table.filter(like="fit_").mean().to_string())
    return 0


if __name__ == "__main__":
    sys.exit(main())
