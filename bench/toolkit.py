"""Speed of the korvath toolkit's own work, beside the core calls it wraps.

Prints, as medians of --runs runs, in CPU time of the calling thread (every figure is
single-threaded):

* events table: the CPU time of ``FamilySimulation.events`` for a log of about 10^7 rows (a
  1,000-leaf birth-death tree from bench/trees.py, 2,000 founding families, duplication 1,
  transfer 1, loss 1.2, origination 10), and the same as a share of the ``simulate_log`` call
  that made the log (the target is at most half);
* gene trees: ``FamilySimulation.gene_trees()`` on a log of about 3 million rows (1,000
  founding families), in gene-tree nodes (genes) per second;
* trace replay: ``korvath.replay.replay_trace`` on the ``simulate_trace`` columns of the same
  run, in trace rows per second;
* Newick: ``SpeciesTree.to_newick``, ``korvath.newick.parse_newick`` and
  ``SpeciesTree.from_newick`` (parsing plus every check of a species tree) on a 200,000-leaf
  birth-death tree, in nodes per second.

The gene-tree, replay and Newick figures are printed for the native helper module and for the
pure-Python path beside it (the baseline; ``--no-python`` skips it, it is slow).

    PYTHONPATH=<build dir> python3 bench/toolkit.py [--runs 5] [--rows 1e7] [--no-python]
"""
from __future__ import annotations

import argparse
import gc
import pathlib
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from trees import birth_death_tree  # noqa: E402

import numpy as np  # noqa: E402

from korvath import SpeciesTree, _native, simulate_families  # noqa: E402
from korvath.newick import parse_newick  # noqa: E402
from korvath.replay import replay_trace  # noqa: E402

RATES = dict(duplication=1.0, transfer=1.0, loss=1.2, origination=10.0)


def species_tree() -> SpeciesTree:
    n_nodes, parent, time_, extant_leaf, root, names = birth_death_tree(1000, seed=1)
    return SpeciesTree.from_arrays(parent, time_, extant_leaf, names)


def cpu(fn):
    gc.collect()
    start = time.process_time()
    result = fn()
    return time.process_time() - start, result


def median(values):
    return statistics.median(values)


def bench_events(tree, runs, rows):
    families = max(1, int(round(2000 * rows / 1e7)))
    core, table, shares, sizes = [], [], [], []
    for run in range(runs):
        core_time, sim = cpu(lambda: simulate_families(tree, families=families, seed=100 + run,
                                                       **RATES))
        events_time, frame = cpu(lambda: sim.events)
        sizes.append(len(frame))
        core.append(core_time)
        table.append(events_time)
        shares.append(events_time / core_time)
        del sim, frame
    print(f"events table ({median(sizes):,.0f} rows, {families} families): "
          f"simulate_log {median(core):.2f} s, .events {median(table):.2f} s, "
          f"share {median(shares):.2f} of the core call (target <= 0.5)")


def with_native(flag, fn):
    saved = _native.available
    _native.available = flag and saved
    try:
        return fn()
    finally:
        _native.available = saved


def bench_gene_trees(tree, runs, python):
    sim = simulate_families(tree, families=1000, seed=7, **RATES)
    log, copies = sim._full_log()
    kinds = np.bincount(log.kind, minlength=5)
    genes = int(kinds[0] + 2 * (kinds[1] + kinds[2] + kinds[4]))
    paths = [("native", True)] + ([("python", False)] if python else [])
    for label, flag in paths:
        if flag and not _native.available:
            print("gene trees: native helper not available")
            continue
        times = [with_native(flag, lambda: cpu(sim.gene_trees)[0])
                 for _ in range(runs if flag else 1)]
        print(f"gene trees [{label}] ({len(log):,} rows, {genes:,} genes): "
              f"{median(times):.2f} s, {genes / median(times) / 1e6:.2f} M genes/s (target >= 1)")

    trace = simulate_families(tree, families=1000, seed=7, record="trace", **RATES).log
    for label, flag in paths:
        if flag and not _native.available:
            continue
        times = [with_native(flag, lambda: cpu(lambda: replay_trace(tree, trace))[0])
                 for _ in range(runs if flag else 1)]
        print(f"trace replay [{label}] ({len(trace):,} trace rows): {median(times):.2f} s, "
              f"{len(trace) / median(times) / 1e6:.2f} M events/s (target >= 1)")


def bench_newick(runs, python):
    big = SpeciesTree.birth_death(200_000, seed=2)
    n = big.n_nodes
    paths = [("native", True)] + ([("python", False)] if python else [])
    for label, flag in paths:
        if flag and not _native.available:
            continue
        write = [with_native(flag, lambda: cpu(big.to_newick)[0]) for _ in range(runs)]
        text = big.to_newick()
        read = [with_native(flag, lambda: cpu(lambda: parse_newick(text))[0])
                for _ in range(runs)]
        tree = [with_native(flag, lambda: cpu(lambda: SpeciesTree.from_newick(text))[0])
                for _ in range(runs)]
        print(f"Newick [{label}] ({n:,} nodes, {len(text) / 1e6:.1f} MB): "
              f"write (SpeciesTree.to_newick) {n / median(write) / 1e6:.2f} M nodes/s, "
              f"read (parse_newick) {n / median(read) / 1e6:.2f} M nodes/s, "
              f"SpeciesTree.from_newick {n / median(tree) / 1e6:.2f} M nodes/s (target >= 1)")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--rows", type=float, default=1e7,
                        help="approximate rows of the events-table log (default 1e7)")
    parser.add_argument("--no-python", action="store_true",
                        help="skip the pure-Python baseline of the gene trees, replay, Newick")
    args = parser.parse_args()
    print(f"native helper module: {'yes' if _native.available else 'no'}")
    tree = species_tree()
    bench_newick(args.runs, not args.no_python)
    bench_gene_trees(tree, args.runs, not args.no_python)
    bench_events(tree, args.runs, args.rows)
    return 0


if __name__ == "__main__":
    sys.exit(main())
