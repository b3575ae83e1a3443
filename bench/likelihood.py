"""Throughput of the four reconciliation likelihood functions.

Generates its own random trees: a species tree in post-order with node times
(tips at the given height, root at 0 without a stem) and gene trees in local
post-order whose tips map to species tips: the species topology disturbed by a
few random subtree moves, duplications and losses, so that the scores stay
finite as for real families. Reports CPU time per tree
(time.process_time, median of several runs), the floating-point rate of the
dated step updates, and, at a larger scale, seconds per family and peak memory
of dated_family_loglik and undated_family_loglik. Each measurement runs in its
own child process so that its peak resident memory is its own.

    PYTHONPATH=<build dir> python3 bench/likelihood.py [--quick]
    PYTHONPATH=<build dir> python3 bench/likelihood.py --targets [RUNS]

--targets measures only the two per-family figures at scale (species tree of
200 tips, 100 gene trees of about 200 tips, rates 0.2, 0.2, 0.3, n_steps 5):
CPU milliseconds per family, the median of RUNS (default 5) calls, each call
in a fresh child process, against the targets of 60 ms (dated) and 8 ms
(undated). Run it against two builds on the same machine to compare them.
"""
import json
import math
import random
import resource
import statistics
import subprocess
import sys
import time

import korvath_core


# --------------------------------------------------------------------------
# Random trees


def random_species_tree(n_tips, height, rng):
    """Coalescent-like merging of n_tips lineages at sorted random times; the
    last merge (the root) is at time 0. Returns the flat arrays in post-order."""
    merge_times = sorted((rng.uniform(0.0, height) for _ in range(n_tips - 2)), reverse=True)
    merge_times.append(0.0)
    # Each lineage: (time, children or None)
    lineages = [(height, None) for _ in range(n_tips)]
    for t in merge_times:
        a = lineages.pop(rng.randrange(len(lineages)))
        b = lineages.pop(rng.randrange(len(lineages)))
        lineages.append((t, (a, b)))
    (root,) = lineages
    parent, left, right, is_leaf, times, parent_times = [], [], [], [], [], []

    def place(node, parent_time):
        # Iterative post-order: children first, then the node.
        stack = [(node, parent_time, False)]
        out_index = {}
        while stack:
            current, pt, expanded = stack.pop()
            t, children = current
            if children is not None and not expanded:
                stack.append((current, pt, True))
                stack.append((children[1], t, False))
                stack.append((children[0], t, False))
                continue
            i = len(times)
            out_index[id(current)] = i
            times.append(t)
            parent_times.append(pt)
            is_leaf.append(children is None)
            parent.append(-1)
            if children is None:
                left.append(-1)
                right.append(-1)
            else:
                l, r = out_index[id(children[0])], out_index[id(children[1])]
                left.append(l)
                right.append(r)
                parent[l] = i
                parent[r] = i
        return out_index[id(node)]

    root_index = place(root, 0.0)
    tips = [i for i, leaf in enumerate(is_leaf) if leaf]
    return {
        "sp_parent": parent, "sp_left": left, "sp_right": right, "sp_is_leaf": is_leaf,
        "sp_time": times, "sp_parent_time": parent_times, "sp_root": root_index,
    }, tips


def random_gene_tree(sp, rng, moves=2, duplications=2, losses=2):
    """A gene tree close to the species tree, so that its likelihood stays
    finite: the species topology with each tip mapped to its species, then a
    few random subtree moves (transfers), duplicated subtrees and lost tips.
    Returned as arrays in local (depth-first) post-order."""
    children = {}
    species_of = {}
    next_id = [0]

    def new_node(kids=None, species=-1):
        i = next_id[0]
        next_id[0] += 1
        children[i] = kids
        species_of[i] = species
        return i

    def copy_species(node):
        stack, built = [(node, False)], {}
        while stack:
            x, done = stack.pop()
            if sp["sp_is_leaf"][x]:
                built[x] = new_node(None, x)
            elif done:
                built[x] = new_node([built[sp["sp_left"][x]], built[sp["sp_right"][x]]])
            else:
                stack += [(x, True), (sp["sp_right"][x], False), (sp["sp_left"][x], False)]
        return built[node]

    def copy_gene(node):
        stack, built = [(node, False)], {}
        while stack:
            x, done = stack.pop()
            if children[x] is None:
                built[x] = new_node(None, species_of[x])
            elif done:
                built[x] = new_node([built[c] for c in children[x]])
            else:
                stack += [(x, True)] + [(c, False) for c in reversed(children[x])]
        return built[node]

    root = copy_species(sp["sp_root"])
    parent = {}

    def relink():
        parent.clear()
        for x, kids in children.items():
            for c in kids or ():
                parent[c] = x

    def subtree(x):
        out, stack = set(), [x]
        while stack:
            y = stack.pop()
            out.add(y)
            stack += children[y] or []
        return out

    def detach(x):
        """Removes x with its parent, splicing x's sibling into the parent's place."""
        nonlocal root
        p = parent[x]
        sibling = [c for c in children[p] if c != x][0]
        if p == root:
            root = sibling
        else:
            g = parent[p]
            children[g] = [sibling if c == p else c for c in children[g]]
        del children[p]

    def attach_above(y, x):
        nonlocal root
        joint = new_node([y, x] if rng.random() < 0.5 else [x, y])
        if y == root:
            root = joint
        else:
            g = parent[y]
            children[g] = [joint if c == y else c for c in children[g]]

    for _ in range(moves):
        relink()
        x = rng.choice([v for v in children if v != root])
        if parent[x] == root and len(children) < 4:
            continue
        detach(x)
        relink()
        inside = subtree(x)
        y = rng.choice([v for v in children if v in subtree(root) and v not in inside])
        attach_above(y, x)
    for _ in range(duplications):
        relink()
        live = subtree(root)
        y = rng.choice([v for v in live if len(subtree(v)) <= 8])
        attach_above(y, copy_gene(y))
    for _ in range(losses):
        relink()
        live = subtree(root)
        tips = [v for v in live if children[v] is None]
        if len(tips) > 2:
            detach(rng.choice(tips))

    is_leaf, left, right, species = [], [], [], []
    index = {}
    stack = [(root, False)]
    while stack:
        x, done = stack.pop()
        if children[x] is not None and not done:
            stack += [(x, True), (children[x][1], False), (children[x][0], False)]
            continue
        index[x] = len(is_leaf)
        is_leaf.append(children[x] is None)
        left.append(-1 if children[x] is None else index[children[x][0]])
        right.append(-1 if children[x] is None else index[children[x][1]])
        species.append(species_of[x])
    return is_leaf, left, right, species


def random_batch(n_trees, sp, rng):
    batch = {"gt_offsets": [0], "gt_is_leaf": [], "gt_left": [], "gt_right": [], "gt_species": []}
    for _ in range(n_trees):
        is_leaf, left, right, species = random_gene_tree(sp, rng)
        batch["gt_is_leaf"] += is_leaf
        batch["gt_left"] += left
        batch["gt_right"] += right
        batch["gt_species"] += species
        batch["gt_offsets"].append(len(batch["gt_is_leaf"]))
    return batch


# --------------------------------------------------------------------------
# Work count of the dated scorer


def dated_entry_steps(sp, rates, n_steps):
    """Sum over slices of steps x alive branches, replaying the time grid."""
    times = sp["sp_time"]
    parent_times = sp["sp_parent_time"]
    grid = sorted({round_half_away(t * 1e12) / 1e12 for t in times} | {0.0})
    total_rate = (rates[0] + rates[1]) + rates[2]
    work = 0
    for g, h in zip(grid, grid[1:]):
        alive = sum(
            1 for pt, t in zip(parent_times, times)
            if pt <= g + 1e-9 and t >= h - 1e-9 and t - pt > 1e-9)
        steps = max(n_steps, math.ceil(total_rate * (h - g) * 4.0))
        work += steps * alive
    return work


def round_half_away(x):
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)


# Operations of one entry update as the step formula is written (the two
# means, the decay and transfer terms, the Euler update and the source term),
# plus one addition to the node's running sum; an internal node adds the
# duplication/transfer source from its two children and their two sums.
FLOPS_TIP_ENTRY = 17
FLOPS_INTERNAL_ENTRY = 28


# --------------------------------------------------------------------------
# Measurements (each in a child process)


def scenario(name):
    rng = random.Random(20240611)
    if name.startswith("small"):
        sp, _ = random_species_tree(100, 1.0, rng)
        batch = random_batch(200, sp, rng)
        rates, n_steps = (0.1, 0.1, 0.2), 5
    else:
        sp, _ = random_species_tree(200, 1.0, rng)
        batch = random_batch(100, sp, rng)
        rates, n_steps = (0.2, 0.2, 0.3), 5
    return sp, batch, rates, n_steps


def call_of(function, sp, batch, rates, n_steps, transfers):
    common = dict(batch, dup=rates[0], transfer=rates[1], loss=rates[2], origination=0)
    if function.startswith("dated"):
        args = dict(sp, **common, n_steps=n_steps)
    else:
        undated_sp = {k: v for k, v in sp.items() if k != "sp_parent"}
        args = dict(undated_sp, **common, transfers=transfers)
    if function.endswith("joint_loglik"):
        args["n_extinct"] = 0
    fn = getattr(korvath_core, function)
    return lambda: fn(**args)


def worker(spec):
    function, scale, transfers, runs = spec
    sp, batch, rates, n_steps = scenario(scale)
    run = call_of(function, sp, batch, rates, n_steps, transfers)
    seconds = []
    for _ in range(runs):
        start = time.process_time()
        result = run()
        seconds.append(time.process_time() - start)
    n_trees = len(batch["gt_offsets"]) - 1
    out = {
        "seconds": statistics.median(seconds),
        "trees": n_trees,
        "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0,
        "finite": sum(1 for v in (result if isinstance(result, list) else [result])
                      if math.isfinite(v)),
    }
    if function.startswith("dated"):
        entry_steps = dated_entry_steps(sp, rates, n_steps)
        tips = sum(batch["gt_is_leaf"])
        internals = len(batch["gt_is_leaf"]) - tips
        out["flops"] = entry_steps * (tips * FLOPS_TIP_ENTRY + internals * FLOPS_INTERNAL_ENTRY)
    return out


def measure(function, scale, transfers, runs):
    spec = json.dumps([function, scale, transfers, runs])
    done = subprocess.run([sys.executable, __file__, "--worker", spec], check=True,
                          capture_output=True, text=True)
    return json.loads(done.stdout)


def main():
    quick = "--quick" in sys.argv
    runs_dated, runs_undated = (1, 3) if quick else (3, 5)
    print("batch of 200 gene trees x 100 tips, species tree of 100 tips, "
          "n_steps 5, rates (0.1, 0.1, 0.2); CPU time, median of runs")
    targets = {"dated": 20.0, "undated": 100.0, "reldated": 10.0}
    for function, transfers, label, runs in [
        ("dated_joint_loglik", 0, "dated", runs_dated),
        ("dated_family_loglik", 0, "dated", runs_dated),
        ("undated_joint_loglik", 0, "undated", runs_undated),
        ("undated_family_loglik", 0, "undated", runs_undated),
        ("undated_joint_loglik", 1, "reldated", runs_dated),
        ("undated_family_loglik", 1, "reldated", runs_dated),
    ]:
        r = measure(function, "small", transfers, runs)
        rate = r["trees"] / r["seconds"]
        line = (f"  {function:24s} {label:9s} {rate:9.1f} trees/s "
                f"(target >= {targets[label]:.0f}), peak {r['peak_mib']:.0f} MiB")
        if "flops" in r:
            line += f", step updates {r['flops'] / r['seconds'] / 1e9:.2f} GFLOP/s"
        print(line, flush=True)

    print("scale: species tree of 200 tips (height 1), 100 gene trees of ~200 tips, "
          "rates (0.2, 0.2, 0.3)")
    for function, runs in [("dated_family_loglik", 1 if quick else 3),
                           ("undated_family_loglik", runs_undated)]:
        r = measure(function, "large", 0, runs)
        print(f"  {function:24s} {r['seconds']:8.3f} s per call, "
              f"{r['seconds'] / r['trees']:.4f} s per family (gene tree), "
              f"peak {r['peak_mib']:.0f} MiB", flush=True)


def targets(runs):
    print("scale: species tree of 200 tips (height 1), 100 gene trees of ~200 tips, "
          f"rates (0.2, 0.2, 0.3), n_steps 5; CPU ms per family, median of {runs} calls")
    for function, target in [("dated_family_loglik", 60.0), ("undated_family_loglik", 8.0)]:
        per_family = []
        for _ in range(runs):
            r = measure(function, "large", 0, 1)
            per_family.append(1000.0 * r["seconds"] / r["trees"])
        print(f"  {function:24s} {statistics.median(per_family):8.2f} ms per family "
              f"(target <= {target:.0f} ms; runs {', '.join(f'{x:.2f}' for x in per_family)})",
              flush=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--worker":
        print(json.dumps(worker(json.loads(sys.argv[2]))))
    elif len(sys.argv) >= 2 and sys.argv[1] == "--targets":
        targets(int(sys.argv[2]) if len(sys.argv) >= 3 else 5)
    else:
        main()
