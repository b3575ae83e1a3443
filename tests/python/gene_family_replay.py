"""Helpers for the gene-family tests: random species trees and an independent
replay of an event log against the species tree."""
import collections
import random

LETTERS = "ODTLS"


def two_leaf_tree():
    return dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0],
                extant_leaf=[False, True, True], root=0)


def rates(**overrides):
    base = dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=1,
                cap=-1, seed=1, replacement=0.0, distance_decay=-1.0, allow_self=False)
    base.update(overrides)
    return base


def random_tree(rng, n_leaves, extinct_share=0.2, shuffle=True):
    """A binary tree grown by splitting random lineages, with strictly increasing
    dates from the root (date 0) down; extant leaves at date 1, some leaves
    extinct before. Node indices are shuffled unless shuffle is False."""
    parent = [-1]
    time = [0.0]
    open_nodes = [0]
    leaves = []
    while open_nodes:
        v = open_nodes.pop(rng.randrange(len(open_nodes)))
        if len(leaves) + len(open_nodes) + 1 >= n_leaves or (v != 0 and rng.random() < 0.15):
            leaves.append(v)
            continue
        for _ in range(2):
            parent.append(v)
            time.append(time[v] + rng.uniform(0.01, 0.3) * (1.0 - time[v]))
            open_nodes.append(len(parent) - 1)
    n = len(parent)
    extant = [False] * n
    for v in leaves:
        if rng.random() >= extinct_share:  # otherwise an extinct leaf keeps its own date
            extant[v] = True
            time[v] = 1.0
    order = list(range(n))
    if shuffle:
        rest = order[1:]
        rng.shuffle(rest)
        order = [0] + rest
    new_index = {old: new for new, old in enumerate(order)}
    new_parent = [0] * n
    new_time = [0.0] * n
    new_extant = [False] * n
    for old in range(n):
        new = new_index[old]
        new_parent[new] = -1 if parent[old] < 0 else new_index[parent[old]]
        new_time[new] = time[old]
        new_extant[new] = extant[old]
    return dict(n_nodes=n, parent=new_parent, time=new_time, extant_leaf=new_extant, root=0)


def children_of(tree):
    children = collections.defaultdict(list)
    for v in range(tree["n_nodes"]):
        if tree["parent"][v] >= 0:
            children[tree["parent"][v]].append(v)
    return children


def processing_order(tree):
    nodes = [v for v in range(tree["n_nodes"]) if tree["parent"][v] >= 0]
    return sorted(nodes, key=lambda v: (tree["time"][v], v))


def is_active(tree, branch, t):
    """Whether a branch is alive at time t (from its parent's date to its own)."""
    p = tree["parent"][branch]
    return p >= 0 and tree["time"][p] <= t <= tree["time"][branch]


def replay_log(tree, columns):
    """Replays a recording-mode log and returns {extant leaf: sorted copies}.
    Asserts that every row consumes a copy present on its branch."""
    content = final_content(tree, columns)
    return {v: sorted(content[v].items()) for v in range(tree["n_nodes"]) if tree["extant_leaf"][v]}


def final_content(tree, columns):
    """Replays a recording-mode log and returns {branch: {gene: family}}, the
    copies each branch holds when it ends (for an extinct leaf: the copies
    that die out with it). Asserts that every row consumes a copy present on
    its branch."""
    kind, branch, time, donor, recipient, family, gene, child1, child2 = columns
    children = children_of(tree)
    content = collections.defaultdict(dict)  # branch -> {gene: family}
    for i in range(len(kind)):
        k, b, f, g = kind[i], branch[i], family[i], gene[i]
        here = content[b]
        if k == 0:
            assert g not in here
            here[g] = f
            continue
        assert here.get(g) == f, f"row {i} ({LETTERS[k]}) consumes gene {g} absent from {b}"
        del here[g]
        if k == 1:
            here[child1[i]] = f
            here[child2[i]] = f
        elif k == 2:
            here[child1[i]] = f
            content[recipient[i]][child2[i]] = f
        elif k == 4:
            left, right = children[b][:2]
            content[left][child1[i]] = f
            content[right][child2[i]] = f
    return content


def profile_rows(profile):
    """Unpacks a copy-number table into (extant nodes, [(ordinal, family, count)])."""
    import struct
    nodes = list(struct.unpack(f"<{len(profile[0]) // 4}I", profile[0]))
    n = len(profile[1]) // 4
    ordinals = struct.unpack(f"<{n}I", profile[1])
    families = struct.unpack(f"<{n}Q", profile[2])
    counts = struct.unpack(f"<{n}I", profile[3])
    return nodes, list(zip(ordinals, families, counts))


def seeded(name):
    """A random.Random whose seed is printed, so a failing case can be rerun."""
    seed = random.randrange(2**32)
    print(f"{name}: seed {seed}")
    return random.Random(seed), seed
