"""Accuracy, order invariance and speed of the undated and reldated likelihoods.

Builds a batch like a medium real data set: a 200-species birth-death tree and 100 simulated gene
families (rates 0.2, 0.2, 0.3) whose extant gene trees have 43 to about 1,200 nodes. Then, for
the undated and reldated models in both origination modes, it reports

- the largest and median distance (log units) of korvath_core's values from an independent
  converged solution of the same equations (tests/python/undated_reference.py);
- the largest change when the species tree's nodes are renumbered at random and every node's
  children are swapped;
- CPU milliseconds per family of undated_family_loglik (median of --runs calls).

    PYTHONPATH=<build dir>:. python3 bench/undated_convergence.py [--runs 5] [--no-reference]

Run it against two builds on the same machine to compare them.
"""
from __future__ import annotations

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

import korvath
import korvath_core

RATES = dict(dup=0.2, transfer=0.2, loss=0.3)


def make_batch(seed: int = 7) -> tuple[dict, dict]:
    """Species arrays and a 100-family gene-tree batch (numpy arrays, core keywords)."""
    tree = korvath.SpeciesTree.birth_death(200, seed=seed)
    tree = korvath.SpeciesTree.from_newick(tree.to_newick())
    sim = korvath.simulate_families(tree, duplication=0.2, transfer=0.2, loss=0.3,
                                    families=400, seed=seed)
    genes = korvath.GeneTrees.from_simulation(sim)
    sp = tree.likelihood_arrays()
    species = dict(sp_left=np.asarray(sp.sp_left), sp_right=np.asarray(sp.sp_right),
                   sp_is_leaf=np.asarray(sp.sp_is_leaf), sp_time=np.asarray(sp.sp_time),
                   sp_parent_time=np.asarray(sp.sp_parent_time), sp_root=int(sp.sp_root))
    arrays = genes.arrays()
    offsets = np.asarray(arrays.gt_offsets)
    sizes = np.diff(offsets)
    chosen = [k for k in range(len(sizes)) if 43 <= sizes[k] <= 1200][:100]
    parts = {key: [] for key in ("gt_is_leaf", "gt_left", "gt_right", "gt_species")}
    new_offsets = [0]
    for k in chosen:
        a, b = offsets[k], offsets[k + 1]
        for key in parts:
            parts[key].append(np.asarray(getattr(arrays, key))[a:b])
        new_offsets.append(new_offsets[-1] + b - a)
    batch = {key: np.concatenate(value) for key, value in parts.items()}
    batch["gt_offsets"] = np.asarray(new_offsets, dtype=np.uint64)
    return species, batch


def renumbered(species: dict, batch: dict, seed: int) -> tuple[dict, dict]:
    """The same species tree with its nodes renumbered at random and every node's children
    swapped; the gene tips follow their species."""
    rng = np.random.default_rng(seed)
    n = len(species["sp_left"])
    new_of = rng.permutation(n)
    old_at = np.argsort(new_of)
    leaf = species["sp_is_leaf"][old_at]
    left = np.where(leaf, -1, new_of[np.maximum(species["sp_right"], 0)][old_at])
    right = np.where(leaf, -1, new_of[np.maximum(species["sp_left"], 0)][old_at])
    out = dict(sp_left=left, sp_right=right, sp_is_leaf=leaf,
               sp_time=species["sp_time"][old_at],
               sp_parent_time=species["sp_parent_time"][old_at],
               sp_root=int(new_of[species["sp_root"]]))
    genes = dict(batch)
    tip = batch["gt_is_leaf"].astype(bool)
    genes["gt_species"] = np.where(tip, new_of[np.maximum(batch["gt_species"], 0)], -1)
    return out, genes


def family(species: dict, batch: dict, transfers: int, origination: int) -> np.ndarray:
    return np.asarray(korvath_core.undated_family_loglik(**species, **batch, **RATES,
                                                         transfers=transfers,
                                                         origination=origination))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--no-reference", action="store_true")
    args = parser.parse_args()
    species, batch = make_batch()
    sizes = np.diff(batch["gt_offsets"].astype(np.int64))
    print(f"batch: {len(sizes)} families of {sizes.min()}-{sizes.max()} nodes "
          f"on {len(species['sp_left'])} species branches")
    other = renumbered(species, batch, 11)
    reference = None
    if not args.no_reference:
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
        from undated_reference import UndatedReference
    for transfers, name in [(0, "undated"), (1, "reldated")]:
        if not args.no_reference:
            reference = UndatedReference(**species, **RATES, transfers=transfers)
            both = np.asarray(reference.family_logliks(**batch))
        for origination in (0, 1):
            values = family(species, batch, transfers, origination)
            line = f"{name:8s} origination {origination}: "
            if reference is not None:
                exact = both[:, origination]
                off = np.abs(values - exact)
                line += f"from converged max {off.max():.2e} median {np.median(off):.2e}; "
            swapped = family(*other, transfers, origination)
            line += f"renumbered max change {np.abs(values - swapped).max():.2e}"
            print(line)
        times = []
        for _ in range(args.runs):
            start = time.process_time()
            family(species, batch, transfers, 0)
            times.append(time.process_time() - start)
        print(f"{name:8s} {1000 * statistics.median(times) / len(sizes):.3f} ms CPU per family "
              f"(median of {args.runs})")


if __name__ == "__main__":
    main()
