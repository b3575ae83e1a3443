"""Cost of scoring unrooted trees and samples of trees (clade graphs) against rooted trees.

Simulates 100 families on a 200-species tree (rates 0.2, 0.2, 0.3) and reads their extant gene
trees three ways: rooted, unrooted (every rooting, in one pass), and as a sample of 20 trees
per family whose root is moved at random (the clades of all 20 amalgamated). Prints CPU
seconds (median of --runs) of one core call on each batch, for the undated, reldated and
dated (--n-steps, by default the toolkit's 20) models, the ratio of each to the rooted batch
(the median of each run's ratio, the batches of a run timed one after the other), and the
CPU time of building the batches. With --by-size, one model (--model, dated unless set) family
by family instead: each family's unrooted tree against its rooted tree (each scored alone, the
median of --runs ratios), summarised by the number of leaves. With --largest rooted (or unrooted), only the
largest family's dated rooted (or unrooted) tree, scored --runs times: its CPU seconds, and a
run short enough for a profiler or an instruction counter, whose counts do not drift with a
shared machine's load as its times do. Both runs spend the same on simulating and reading the
batch; the core's own counts are its functions' lines in callgrind_annotate, named when the
module comes from a build tree (PYTHONPATH=build/rel:.) rather than the installed, stripped one:

    PYTHONPATH=build/rel:. valgrind --tool=callgrind --trace-children=yes \
        python3 bench/clades.py --largest unrooted --runs 1

    python3 bench/clades.py [--runs 5] [--n-steps 20] [--families 100]
                            [--by-size [--model {dated,undated,reldated}]]
                            [--largest {rooted,unrooted}]
"""
from __future__ import annotations

import argparse
import random
import statistics
import time

import korvath
import korvath_core
from korvath import GeneTrees


def cpu_time(work) -> float:
    start = time.process_time()
    work()
    return time.process_time() - start


def reroot(text: str, rng: random.Random) -> str:
    """The same unrooted tree with its root on a random edge (through the toolkit's reader)."""
    from korvath.newick import parse_newick_many

    batch = parse_newick_many([text])
    parent = [int(p) for p in batch.parent]
    labels = batch.labels
    n = len(parent)
    adjacency = {v: [] for v in range(n)}
    for v in range(1, n):
        adjacency[v].append(parent[v])
        adjacency[parent[v]].append(v)
    if len(adjacency[0]) == 2:  # a two-child root is no node of the unrooted tree
        a, b = adjacency[0]
        adjacency[a] = [b if u == 0 else u for u in adjacency[a]]
        adjacency[b] = [a if u == 0 else u for u in adjacency[b]]
        del adjacency[0]
    edges = [(a, b) for a in adjacency for b in adjacency[a] if a < b]
    a, b = rng.choice(edges)

    def write(v, came_from):
        stack = [(v, came_from, False)]
        out = {}
        while stack:
            node, parent_node, done = stack.pop()
            kids = [u for u in adjacency[node] if u != parent_node]
            if not kids:
                out[node] = labels[node]
            elif done:
                out[node] = "(" + ",".join(out.pop(u) for u in kids) + ")"
            else:
                stack.append((node, parent_node, True))
                stack.extend((u, node, False) for u in kids)
        return out[v]

    return f"({write(a, b)},{write(b, a)});"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--n-steps", type=int, default=20)
    parser.add_argument("--families", type=int, default=100)
    parser.add_argument("--by-size", action="store_true",
                        help="each family's unrooted/rooted ratio by leaves, in --model")
    parser.add_argument("--model", choices=["dated", "undated", "reldated"],
                        help="the model of --by-size (dated unless set)")
    parser.add_argument("--largest", choices=["rooted", "unrooted"],
                        help="dated model only, the largest family's tree alone, --runs times")
    args = parser.parse_args()
    if args.runs < 1 or args.families < 1 or args.n_steps < 1:
        parser.error("--runs, --families and --n-steps must be at least 1")
    if args.model is not None and not args.by_size:
        parser.error("--model goes with --by-size (the batches are timed in every model)")
    args.model = args.model or "dated"
    tree = korvath.SpeciesTree.birth_death(200, seed=7)
    sim = korvath.simulate_families(tree, duplication=0.2, transfer=0.2, loss=0.3,
                                    families=150, seed=7)
    texts = [t for t in sim.gene_trees(extant=True).values() if t.count(",") >= 2][:args.families]
    rng = random.Random(3)
    if args.largest:
        largest(tree, texts, args)
        return
    if args.by_size:
        by_size(tree, texts, args)
        return
    samples = [[reroot(t, rng) for _ in range(20)] for t in texts]

    start = time.process_time()
    rooted = GeneTrees.from_newick(texts, tree)
    built_rooted = time.process_time() - start
    start = time.process_time()
    unrooted = GeneTrees.from_newick(texts, tree, rooted=False)
    built_unrooted = time.process_time() - start
    start = time.process_time()
    sampled = GeneTrees.from_samples(samples, tree, rooted=True)
    built_samples = time.process_time() - start
    print(f"{len(texts)} families, {rooted.n_nodes} rooted nodes; build CPU s: rooted "
          f"{built_rooted:.3f}, unrooted {built_unrooted:.3f}, 20-tree samples {built_samples:.3f}")

    species = species_arrays(tree)
    rates = dict(dup=0.2, transfer=0.2, loss=0.3, origination=0)
    for model in ["undated", "reldated", "dated"]:
        if model == "dated":
            by_tree, by_clades = korvath_core.dated_family_loglik, korvath_core.dated_clade_loglik
            extra = species_arrays(tree, args.n_steps)
        else:
            by_tree, by_clades = (korvath_core.undated_family_loglik,
                                  korvath_core.undated_clade_loglik)
            extra = dict(species, transfers=int(model == "reldated"))

        # The arrays are made once, outside the timing: only the core call is measured.
        rooted_arrays = rooted.arrays()._asdict()

        def score_rooted():
            by_tree(**extra, **rooted_arrays, **rates)

        def score_clades(arrays):
            return lambda: by_clades(**extra, **arrays, **rates)

        # Each run times the three batches one after the other, so a ratio is
        # taken between batches run seconds apart: a shared machine's speed
        # drifts by more than the ratios' differences over a whole run.
        others = [("unrooted", score_clades(unrooted.clade_arrays()._asdict())),
                  ("samples", score_clades(sampled.clade_arrays()._asdict()))]
        times: dict[str, list[float]] = {"rooted": [], **{name: [] for name, _ in others}}
        ratios: dict[str, list[float]] = {name: [] for name, _ in others}
        for _ in range(args.runs):
            base = cpu_time(score_rooted)
            times["rooted"].append(base)
            for name, work in others:
                cost = cpu_time(work)
                times[name].append(cost)
                ratios[name].append(cost / base)
        line = f"{model:8s} rooted {statistics.median(times['rooted']):.3f} s"
        for name, _ in others:
            line += (f"; {name} {statistics.median(times[name]):.3f} s "
                     f"({statistics.median(ratios[name]):.2f}x)")
        print(line + f" (CPU, medians of {args.runs} runs; each ratio the median of the "
              "runs' own)")


def species_arrays(tree, n_steps: int | None = None) -> dict:
    """The species tree's arguments of the core's scoring calls; with n_steps, the dated model's."""
    sp = tree.likelihood_arrays()
    arrays = dict(sp_left=sp.sp_left, sp_right=sp.sp_right, sp_is_leaf=sp.sp_is_leaf,
                  sp_time=sp.sp_time, sp_parent_time=sp.sp_parent_time, sp_root=sp.sp_root)
    if n_steps is not None:
        arrays.update(sp_parent=sp.sp_parent, n_steps=n_steps)
    return arrays


def largest(tree, texts, args) -> None:
    """The largest family's dated rooted or unrooted tree alone, scored --runs times."""
    species = species_arrays(tree, args.n_steps)
    rates = dict(dup=0.2, transfer=0.2, loss=0.3, origination=0)
    text = max(texts, key=lambda t: t.count(","))
    if args.largest == "rooted":
        arrays = GeneTrees.from_newick([text], tree).arrays()._asdict()
        score = korvath_core.dated_family_loglik
    else:
        arrays = GeneTrees.from_newick([text], tree, rooted=False).clade_arrays()._asdict()
        score = korvath_core.dated_clade_loglik
    times = []
    value = None
    for _ in range(args.runs):
        start = time.process_time()
        value = score(**species, **arrays, **rates)[0]
        times.append(time.process_time() - start)
    print(f"largest family, {text.count(',') + 1} leaves, {args.largest}: loglik {value!r}; "
          f"CPU {statistics.median(times):.3f} s (median of {args.runs} runs)")


def by_size(tree, texts, args) -> None:
    """Each family's unrooted/rooted CPU-time ratio in --model, scored alone, by number of leaves."""
    rates = dict(dup=0.2, transfer=0.2, loss=0.3, origination=0)
    if args.model == "dated":
        species = species_arrays(tree, args.n_steps)
        by_tree, by_clades = korvath_core.dated_family_loglik, korvath_core.dated_clade_loglik
    else:
        species = dict(species_arrays(tree), transfers=int(args.model == "reldated"))
        by_tree, by_clades = korvath_core.undated_family_loglik, korvath_core.undated_clade_loglik
    rows = []
    for text in texts:
        rooted = GeneTrees.from_newick([text], tree).arrays()._asdict()
        unrooted = GeneTrees.from_newick([text], tree, rooted=False).clade_arrays()._asdict()
        ratios = []
        for _ in range(args.runs):
            base = cpu_time(lambda: by_tree(**species, **rooted, **rates))
            cost = cpu_time(lambda: by_clades(**species, **unrooted, **rates))
            ratios.append(cost / base)
        rows.append((text.count(",") + 1, statistics.median(ratios)))
    bins = [(0, 100), (101, 300), (301, 600), (601, None)]
    print(f"{args.model} unrooted/rooted by leaves ({len(rows)} families, each the median of "
          f"{args.runs} runs' ratios; CPU time of the core call)")
    for low, high in bins:
        picked = [r for n, r in rows if n >= low and (high is None or n <= high)]
        if not picked:
            continue
        label = f"{low}-{high}" if high is not None else f"above {low - 1}"
        print(f"  {label:>10s} leaves: {len(picked):3d} families, median "
              f"{statistics.median(picked):.2f}x (range {min(picked):.2f}-{max(picked):.2f})")
    largest = max(rows)
    print(f"  largest family, {largest[0]} leaves: {largest[1]:.2f}x")


if __name__ == "__main__":
    main()
