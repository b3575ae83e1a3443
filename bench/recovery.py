"""Recovery study: per-branch event counts inferred by sampled reconciliations against the
true counts of a simulation.

Families are simulated along a birth-death species tree with the dated simulator, the rates of
each model (undated, reldated, dated) are estimated from the extant gene trees by maximum likelihood,
and every family is reconciled with those rates. The truth is the simulated history pruned to
the lineages that left extant copies, which is all a gene tree can tell: a duplication,
transfer or speciation counts when at least one of its copies survives, and a copy that left
no extant descendant counts as one loss on the branch where it began. Those are exactly the
events a sampled scenario holds.

    PYTHONPATH=build/rel:. python3 bench/recovery.py [--species 40] [--families 400]
        [--figure docs/figures/recovery.png]

Prints, per event kind, the totals (true and inferred, summed over branches), the correlation
over branches, and the mean absolute error per branch.
"""
from __future__ import annotations

import argparse
import time

import numpy as np
import pandas as pd

import korvath


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--species", type=int, default=40)
    parser.add_argument("--families", type=int, default=400)
    parser.add_argument("--duplication", type=float, default=0.25)
    parser.add_argument("--transfer", type=float, default=0.2)
    parser.add_argument("--loss", type=float, default=0.35)
    parser.add_argument("--samples", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--models", default="undated,reldated,dated",
                        help="comma-separated models to fit and reconcile")
    parser.add_argument("--figure", default=None, help="write a scatter plot to this file")
    args = parser.parse_args()

    tree = korvath.SpeciesTree.birth_death(args.species, seed=args.seed)
    sim = korvath.simulate_families(tree, duplication=args.duplication, transfer=args.transfer,
                                    loss=args.loss, families=args.families, seed=args.seed)
    genes = korvath.GeneTrees.from_simulation(sim)
    n_extinct = sim.n_families - len(genes)
    truth = korvath.reconciliation.pruned_counts(sim, [int(f) for f in genes.names])
    print(f"species tree: {args.species} extant species, height {tree.height:.3g}; simulated "
          f"rates D {args.duplication} T {args.transfer} L {args.loss} per copy per unit time")
    print(f"families: {sim.n_families} simulated, {len(genes)} with extant copies, "
          f"{genes.n_nodes} gene-tree nodes")
    figures = []
    units = {"undated": "against speciation", "reldated": "against speciation",
             "dated": "per copy per unit time"}
    for model in args.models.split(","):
        start = time.perf_counter()
        fit = korvath.fit_rates(tree, genes, model=model, n_extinct=n_extinct,
                                threads=args.threads)
        rates = {k: float(v) for k, v in fit.rates.items()}
        fitted = time.perf_counter()
        rec = korvath.reconcile(tree, genes, **rates, model=model, samples=args.samples,
                                seed=args.seed, threads=args.threads)
        inferred = rec.branch_counts()
        done = time.perf_counter()
        print(f"\n{model}: fitted D {rates['duplication']:.3g} T {rates['transfer']:.3g} "
              f"L {rates['loss']:.3g} ({units[model]}); fit {fitted - start:.1f} s, "
              f"{args.samples} scenarios per family {done - fitted:.1f} s (wall, "
              f"{args.threads} threads)")
        print(f"{'event':>9} {'true':>8} {'inferred':>9} {'ratio':>6} {'corr':>6} "
              f"{'MAE/branch':>10}")
        t = truth.reindex(inferred.index)
        for kind in ("D", "T", "received", "L", "S"):
            a, b = t[kind].to_numpy(float), inferred[kind].to_numpy(float)
            corr = float(np.corrcoef(a, b)[0, 1]) if a.std() > 0 and b.std() > 0 else float("nan")
            print(f"{kind:>9} {a.sum():8.0f} {b.sum():9.1f} {b.sum() / max(a.sum(), 1):6.2f} "
                  f"{corr:6.3f} {np.mean(np.abs(a - b)):10.2f}")
        figures.append((model, t, inferred))
    if args.figure:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        fig, axes = plt.subplots(len(figures), 3, figsize=(11, 3.6 * len(figures)))
        for row, (model, t, inferred) in enumerate(figures):
            for col, kind in enumerate(("D", "T", "L")):
                ax = axes[row][col]
                a, b = t[kind].to_numpy(float), inferred[kind].to_numpy(float)
                ax.scatter(a, b, s=12)
                top = max(a.max(), b.max()) * 1.05 + 1
                ax.plot([0, top], [0, top], color="0.6", lw=1)
                ax.set_xlabel(f"true {kind} per branch")
                ax.set_ylabel(f"inferred {kind} ({model})")
        fig.tight_layout()
        fig.savefig(args.figure, dpi=110)
        print(f"\nwrote {args.figure}")


if __name__ == "__main__":
    main()
