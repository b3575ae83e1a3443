"""Random species trees and rate settings shared by the toolkit's simulation tests."""
import random

from korvath import SpeciesTree


def random_tree(seed, n_leaves=None, extinct_share=0.25):
    """A random binary species tree with extinct leaves, zero-length branches now and then and
    shuffled node numbers (so that node order and date order differ)."""
    rng = random.Random(seed)
    n_leaves = n_leaves or rng.randint(2, 14)
    parent, time, open_nodes, leaves = [-1], [0.0], [0], []
    while open_nodes:
        v = open_nodes.pop(rng.randrange(len(open_nodes)))
        if len(leaves) + len(open_nodes) + 1 >= n_leaves or (v != 0 and rng.random() < 0.15):
            leaves.append(v)
            continue
        for _ in range(2):
            parent.append(v)
            step = 0.0 if rng.random() < 0.05 else rng.uniform(0.01, 0.4) * (1.0 - time[v])
            time.append(time[v] + step)
            open_nodes.append(len(parent) - 1)
    n = len(parent)
    extant = [False] * n
    for v in leaves:
        if rng.random() >= extinct_share or v == leaves[0]:
            extant[v] = True
            time[v] = 1.0
    # Shuffle the numbering, keeping every node after its parent when their dates are equal.
    order = [0] + sorted(range(1, n), key=lambda v: (rng.random(), v))
    order.sort(key=lambda v: time[v]) if rng.random() < 0.5 else None
    position = {old: new for new, old in enumerate(order)}
    for v in range(1, n):  # equal dates: the child must be numbered after its parent
        if time[v] == time[parent[v]] and position[v] < position[parent[v]]:
            order = sorted(range(n), key=lambda u: (time[u], u))
            position = {old: new for new, old in enumerate(order)}
            break
    new_parent = [0] * n
    new_time = [0.0] * n
    new_extant = [False] * n
    for old in range(n):
        new = position[old]
        new_parent[new] = -1 if parent[old] < 0 else position[parent[old]]
        new_time[new] = time[old]
        new_extant[new] = extant[old]
    names = [f"sp{i}" for i in range(n)]
    return SpeciesTree.from_arrays(new_parent, new_time, new_extant, names)


def random_options(seed):
    """Rates and every option of the gene-family simulators, drawn at random."""
    rng = random.Random(seed * 7919 + 1)
    return dict(
        duplication=rng.choice([0.0, rng.uniform(0, 2)]),
        transfer=rng.choice([0.0, rng.uniform(0, 3)]),
        loss=rng.uniform(0, 2),
        origination=rng.choice([0.0, rng.uniform(0, 2)]),
        families=rng.randint(0, 6),
        seed=rng.randrange(2**64),
        cap=rng.choice([None, 0, 1, 2, 5]),
        replacement=rng.choice([0.0, 1.0, rng.random()]),
        distance_decay=rng.choice([None, 0.0, rng.uniform(0, 4)]),
        allow_self=rng.random() < 0.5,
    )
