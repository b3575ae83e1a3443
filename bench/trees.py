"""Dated birth-death species trees for benchmarks.

    from trees import birth_death_tree
    n_nodes, parent, time, extant_leaf, root, names = birth_death_tree(1000, seed=1)

The tree is grown forward from the root (date 0) with per-lineage birth and
death rates until it holds `n_leaves` living lineages, then the dates are
scaled so that the present (where the living lineages are sampled) is at
`height`. Extinct lineages stay in the tree as leaves dated at their death.
Nodes are numbered in the order they are created, so every child has a larger
index than its parent; the root is node 0 and has exactly two children, and
every internal node has exactly two children.
"""

import random


def birth_death_tree(n_leaves, seed=0, birth=1.0, death=0.5, height=1.0):
    if n_leaves < 2:
        raise ValueError("n_leaves must be at least 2")
    rng = random.Random(seed)
    while True:
        grown = _grow(n_leaves, rng, birth, death)
        if grown is not None:
            break
    parent, end, living, present = grown
    n_nodes = len(parent)
    scale = height / present
    time = [0.0] * n_nodes
    extant_leaf = [False] * n_nodes
    for v in range(n_nodes):
        time[v] = (present if v in living else end[v]) * scale
    for v in living:
        extant_leaf[v] = True
        time[v] = height
    names = [("s%d" % v) if extant_leaf[v] else ("n%d" % v) for v in range(n_nodes)]
    return n_nodes, parent, time, extant_leaf, 0, names


def _grow(n_leaves, rng, birth, death):
    parent = [-1, 0, 0]
    end = [0.0, None, None]
    living = [1, 2]
    t = 0.0
    while True:
        k = len(living)
        wait = rng.expovariate((birth + death) * k)
        if k == n_leaves:
            present = t + wait / 2.0
            return parent, end, set(living), present
        t += wait
        slot = rng.randrange(k)
        v = living[slot]
        living[slot] = living[-1]
        living.pop()
        end[v] = t
        if rng.random() < birth / (birth + death):
            for _ in range(2):
                parent.append(v)
                end.append(None)
                living.append(len(parent) - 1)
        elif not living:
            return None
