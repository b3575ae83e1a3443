"""Gene families as clade graphs: unrooted trees and samples of trees.

A clade is a set of leaves of a family. A clade graph lists the family's clades in post-order
(every clade after the clades it splits into, the whole leaf set last), each tip clade on a
species and each other clade with one or more *splits* into two smaller clades, weighted. The
likelihood of a clade is linear in its weighted splits, so the core scores, in one pass, every
tree the observed clades can form, each weighted by the product of its split weights:

* a rooted tree: one split of weight 1 per internal node (it scores exactly as the tree);
* an unrooted tree: both sides of every edge are clades, each with its one split, and the
  whole leaf set splits along each of the ``2n - 3`` edges with weight ``1 / (2n - 3)``: the
  mean of the likelihoods of all rootings;
* a sample of trees (bootstrap or posterior): every observed clade with its observed splits,
  weighted by their conditional frequencies (the number of trees that split the clade so,
  over the number of trees that hold the clade). For unrooted samples the whole leaf set
  splits along every observed edge, weighted by the share of trees holding it over
  ``2n - 3``. One tree repeated scores as that tree.
"""
from __future__ import annotations

from typing import Any, NamedTuple, Sequence

import numpy as np

from korvath import _native

__all__ = ["CladeArrays", "family_clades", "concatenate"]


class CladeArrays(NamedTuple):
    """A batch of clade graphs as ``korvath_core.undated_clade_loglik`` takes it.

    Attributes
    ----------
    cl_offsets : numpy.ndarray of uint64
        ``n_families + 1`` boundaries: family ``k`` owns clades
        ``cl_offsets[k] .. cl_offsets[k+1]-1``, numbered locally in post-order, its whole
        leaf set last.
    cl_is_leaf : numpy.ndarray of bool
        True for the single-leaf clades.
    cl_species : numpy.ndarray of int64
        For a leaf clade its species (see :meth:`GeneTrees.clade_arrays`); -1 otherwise.
    cl_split_offsets : numpy.ndarray of uint64
        One more than the clades: clade ``i`` (global) owns splits
        ``cl_split_offsets[i] .. cl_split_offsets[i+1]-1``.
    split_left, split_right : numpy.ndarray of int64
        The two clades of each split, as local indices of the family.
    split_weight : numpy.ndarray of float64
        The weight of each split.
    """

    cl_offsets: np.ndarray
    cl_is_leaf: np.ndarray
    cl_species: np.ndarray
    cl_split_offsets: np.ndarray
    split_left: np.ndarray
    split_right: np.ndarray
    split_weight: np.ndarray


class FamilyClades(NamedTuple):
    """One family's clade graph, before its leaves are given species."""

    leaf_labels: list[str]         # per leaf clade, in clade order
    is_leaf: list[bool]
    split_counts: list[int]        # splits per clade
    split_left: list[int]
    split_right: list[int]
    split_weight: list[float]


def _children(parent: np.ndarray) -> list[list[int]]:
    children: list[list[int]] = [[] for _ in range(len(parent))]
    for v, p in enumerate(parent.tolist()):
        if p >= 0:
            children[p].append(v)
    return children


def _tree_clades(parent: np.ndarray, labels: list[str], bit: dict[str, int], rooted: bool,
                 where: str) -> tuple[list[tuple[int, int, int]], list[tuple[int, int]], int]:
    """The directed clades of one tree with their splits, as (clade, part, other part) masks,
    and the root splits with the number of edges they share the root among (1 when rooted)."""
    children = _children(parent)
    n = len(parent)
    # Every node's leaf mask, children before parents (the parser's order is pre-order).
    mask = [0] * n
    _check_binary(children, labels, rooted, where)
    for v in range(n - 1, -1, -1):
        kids = children[v]
        if not kids:
            mask[v] = bit[labels[v]]
        else:
            m = 0
            for c in kids:
                m |= mask[c]
            mask[v] = m
    full = mask[0]
    if rooted:
        splits = [(mask[v], mask[children[v][0]], mask[children[v][1]])
                  for v in range(n) if children[v]]
        root = [(mask[children[0][0]], mask[children[0][1]])] if children[0] else []
        return splits, root, 1
    # Unrooted: every edge has two sides. The parser's root is no node of an unrooted tree
    # when it has two children: its two edges are one.
    edges: list[tuple[int, int]] = []  # (side, its node) for every edge below a node
    splits: list[tuple[int, int, int]] = []
    for v in range(1, n):
        if parent[v] == 0 and len(children[0]) == 2 and v == children[0][1]:
            continue  # the second half of the root's edge
        edges.append((mask[v], v))
    if len(edges) == 0:
        return [], [], 1
    for side, v in edges:
        kids = children[v]
        if kids:  # the side below v splits into v's children
            splits.append((side, mask[kids[0]], mask[kids[1]]))
        other = full ^ side
        p = int(parent[v])
        if p == 0 and len(children[0]) == 2:
            # Across the removed root: the other side is the root's other child's subtree.
            sibling = children[0][0] if children[0][1] == v else children[0][1]
            sub = children[sibling]
            if sub:
                splits.append((other, mask[sub[0]], mask[sub[1]]))
        else:
            rest = [mask[c] for c in children[p] if c != v]
            if p != 0:
                rest.append(full ^ mask[p])
            if len(rest) == 2:
                splits.append((other, rest[0], rest[1]))
    root = [(side, full ^ side) for side, _ in edges]
    return splits, root, len(edges)


def _check_binary(children: list[list[int]], labels: list[str], rooted: bool, where: str) -> None:
    """ValueError for a node that is neither a leaf nor binary (an unrooted tree's root may
    have three children)."""
    for v, kids in enumerate(children):
        k = len(kids)
        if k == 0 or k == 2 or (not rooted and v == 0 and k == 3):
            continue
        kind = "one child" if k == 1 else f"{k} children"
        hint = (" (an unrooted tree? read it with rooted=False)"
                if rooted and v == 0 and k == 3 else "")
        what = "the root" if v == 0 else f"a node above {labels[_first_leaf(children, v)]!r}"
        raise ValueError(f"{where}: {what} has {kind}; every internal node needs two{hint}")


def _unrooted_tree(parent: np.ndarray, labels: list[str], where: str) -> FamilyClades:
    """The clade graph of one unrooted tree, straight from its edges: for every edge the two
    sides, each split once; then the whole leaf set, split along every edge with equal weight.

    The side below a node (``down``) splits into its children's sides; the side above it
    (``up``) into the side above its parent and its sibling's side below, or, next to the
    parser's root, into the other root children's sides. Sides below come in post-order and
    sides above in pre-order, so every clade follows the clades it splits into. (A parser root
    with two children is no node of the unrooted tree: its two edges are one, whose sides are
    the two children's sides below.)
    """
    children = _children(parent)
    _check_binary(children, labels, False, where)
    n = len(parent)
    leaf_labels: list[str] = []
    down = [-1] * n
    for v in range(n):
        if not children[v]:
            down[v] = len(leaf_labels)
            leaf_labels.append(labels[v])
    n_leaves = len(leaf_labels)
    out = FamilyClades(leaf_labels, [True] * n_leaves, [0] * n_leaves, [], [], [])
    if n_leaves < 2:
        return out

    def add(a: int, b: int) -> int:
        out.is_leaf.append(False)
        out.split_counts.append(1)
        out.split_left.append(a)
        out.split_right.append(b)
        out.split_weight.append(1.0)
        return len(out.is_leaf) - 1

    root_kids = children[0]
    merged = len(root_kids) == 2
    for v in range(n - 1, 0, -1):  # reversed pre-order: children first
        if children[v]:
            down[v] = add(down[children[v][0]], down[children[v][1]])
    up = [-1] * n
    for v in range(1, n):  # pre-order: parents first
        p = int(parent[v])
        if p == 0:
            others = [c for c in root_kids if c != v]
            up[v] = down[others[0]] if merged else add(down[others[0]], down[others[1]])
        else:
            sibling = children[p][1] if children[p][0] == v else children[p][0]
            up[v] = add(up[p], down[sibling])
    edges = [v for v in range(1, n) if not (merged and v == root_kids[1])]
    out.is_leaf.append(False)
    out.split_counts.append(len(edges))
    for v in edges:
        out.split_left.append(down[v])
        out.split_right.append(up[v])
        out.split_weight.append(1.0 / len(edges))
    return out


def _leaf_labels(parent: np.ndarray, labels: list[str]) -> list[str]:
    n_children = np.bincount(parent[parent >= 0], minlength=len(parent))
    return [labels[v] for v in np.flatnonzero(n_children == 0).tolist()]


def _first_leaf(children: list[list[int]], v: int) -> int:
    while children[v]:
        v = children[v][0]
    return v


def _tree_leaves(parent: np.ndarray, labels: list[str], rooted: bool,
                 where: str) -> tuple[np.ndarray, list[str]]:
    """The nodes without children and their labels, after the check that every other node
    is binary (ValueError naming the node, as :func:`_check_binary`)."""
    n_children = np.bincount(parent[parent >= 0], minlength=len(parent))
    bad = (n_children != 0) & (n_children != 2)
    if not rooted and len(bad) and n_children[0] == 3:
        bad[0] = False
    if bad.any():
        _check_binary(_children(parent), labels, rooted, where)
    leaves = np.flatnonzero(n_children == 0)
    return leaves, [labels[v] for v in leaves.tolist()]


def family_clades(trees: Sequence[tuple[np.ndarray, list[str]]], rooted: bool,
                  family: Any) -> FamilyClades:
    """The clade graph of one family from its trees (parent arrays in pre-order and labels).

    Raises ValueError naming the family and the tree for a tree that is not binary, a leaf
    label used twice, or trees whose leaf sets differ. A sample is amalgamated by the native
    helper module when it is built, else in Python (the same graph, to the bit).
    """
    many = len(trees) > 1
    first_parent, first_labels = trees[0]
    leaves = _leaf_labels(first_parent, first_labels)
    bit: dict[str, int] = {}
    for label in leaves:
        if label in bit:
            raise ValueError(f"family {family!r}{', tree 1' if many else ''}: leaf label "
                             f"{label!r} appears twice")
        bit[label] = 1 << len(bit)
    if not many and not rooted:
        return _unrooted_tree(first_parent, first_labels, f"family {family!r}")
    position = {label: i for i, label in enumerate(leaves)}
    leaf_of: list[np.ndarray] = []
    for t, (parent, labels) in enumerate(trees):
        where = f"family {family!r}" + (f", tree {t + 1}" if many else "")
        nodes, tree_leaves = _tree_leaves(parent, labels, rooted, where)
        if len(tree_leaves) != len(set(tree_leaves)):
            seen: set[str] = set()
            twice = next(x for x in tree_leaves if x in seen or seen.add(x))  # type: ignore[func-returns-value]
            raise ValueError(f"{where}: leaf label {twice!r} appears twice")
        if len(tree_leaves) != len(leaves) or any(x not in position for x in tree_leaves):
            extra = sorted(set(tree_leaves) - set(leaves))
            gone = sorted(set(leaves) - set(tree_leaves))
            detail = (f"leaf {extra[0]!r} is not in tree 1" if extra
                      else f"leaf {gone[0]!r} of tree 1 is missing")
            raise ValueError(f"{where}: the trees of a sample must have the same leaves; "
                             f"{detail}")
        leaf = np.full(len(parent), -1, dtype=np.int64)
        leaf[nodes] = [position[x] for x in tree_leaves]
        leaf_of.append(leaf)
    if _native.available:
        offsets = np.zeros(len(trees) + 1, dtype=np.int64)
        offsets[1:] = np.cumsum([len(p) for p, _ in trees])
        parents = np.concatenate([np.asarray(p, dtype=np.int64) for p, _ in trees])
        counts, left, right, weight = _native.sample_clades(
            offsets, parents, np.concatenate(leaf_of), len(leaves), rooted)
        split_counts = np.frombuffer(counts, dtype=np.int64).tolist()
        is_leaf = [True] * len(leaves) + [False] * (len(split_counts) - len(leaves))
        return FamilyClades(list(leaves), is_leaf, split_counts,
                            np.frombuffer(left, dtype=np.int64).tolist(),
                            np.frombuffer(right, dtype=np.int64).tolist(),
                            np.frombuffer(weight, dtype=np.float64).tolist())
    return _amalgamate(trees, leaves, bit, rooted, family)


def _amalgamate(trees: Sequence[tuple[np.ndarray, list[str]]], leaves: list[str],
                bit: dict[str, int], rooted: bool, family: Any) -> FamilyClades:
    """The clade graph of a checked sample, clades as leaf masks (leaf i as bit i)."""
    many = len(trees) > 1
    clade_trees: dict[int, int] = {}
    split_trees: dict[tuple[int, int, int], int] = {}
    root_weight: dict[tuple[int, int], float] = {}
    root_edges = 1
    for t, (parent, labels) in enumerate(trees):
        where = f"family {family!r}" + (f", tree {t + 1}" if many else "")
        splits, root, n_edges = _tree_clades(parent, labels, bit, rooted, where)
        seen_clades = set()
        for clade, a, b in splits:
            key = (clade, min(a, b), max(a, b))
            split_trees[key] = split_trees.get(key, 0) + 1
            seen_clades.add(clade)
        for clade in seen_clades:
            clade_trees[clade] = clade_trees.get(clade, 0) + 1
        for a, b in root:
            key2 = (min(a, b), max(a, b))
            root_weight[key2] = root_weight.get(key2, 0) + 1
        root_edges = n_edges
    n_trees = len(trees)
    full = (1 << len(bit)) - 1
    # Clades by size (then mask): every clade after the smaller ones it splits into.
    inner = sorted({c for c in clade_trees if c != full}, key=lambda m: (m.bit_count(), m))
    order = [bit[label] for label in leaves] + [c for c in inner if c.bit_count() > 1]
    index = {m: i for i, m in enumerate(order)}
    by_clade: dict[int, list[tuple[int, int, int]]] = {}
    for clade, a, b in split_trees:
        if clade != full:
            by_clade.setdefault(clade, []).append((clade, a, b))
    out = FamilyClades(list(leaves), [True] * len(leaves), [0] * len(leaves), [], [], [])
    for clade in order[len(leaves):]:
        keys = sorted(by_clade[clade])
        out.is_leaf.append(False)
        out.split_counts.append(len(keys))
        for key in keys:
            out.split_left.append(index[key[1]])
            out.split_right.append(index[key[2]])
            out.split_weight.append(split_trees[key] / clade_trees[clade])
    if len(leaves) > 1:
        index[full] = len(order)
        keys2 = sorted(root_weight)
        out.is_leaf.append(False)
        out.split_counts.append(len(keys2))
        for key2 in keys2:
            out.split_left.append(index[key2[0]])
            out.split_right.append(index[key2[1]])
            # Rooted: the share of trees with this root split; unrooted: the share of trees
            # holding this edge, over the edges a root may sit on.
            denominator = n_trees if rooted else n_trees * root_edges
            out.split_weight.append(root_weight[key2] / denominator)
    return out


def concatenate(families: list[FamilyClades], leaf_species: list[np.ndarray]) -> CladeArrays:
    """One batch from per-family clade graphs; ``leaf_species[k]`` gives family k's leaf
    clades their species."""
    sizes = [len(f.is_leaf) for f in families]
    offsets = np.zeros(len(families) + 1, dtype=np.uint64)
    offsets[1:] = np.cumsum(sizes, dtype=np.uint64)
    is_leaf = np.fromiter((x for f in families for x in f.is_leaf), dtype=bool,
                          count=int(offsets[-1]))
    species = np.full(int(offsets[-1]), -1, dtype=np.int64)
    for k, f in enumerate(families):
        a = int(offsets[k])
        species[a:a + len(f.leaf_labels)] = leaf_species[k]
    counts = np.fromiter((x for f in families for x in f.split_counts), dtype=np.int64,
                         count=int(offsets[-1]))
    split_offsets = np.zeros(len(counts) + 1, dtype=np.uint64)
    split_offsets[1:] = np.cumsum(counts, dtype=np.uint64)

    def flat(field: str, dtype: Any) -> np.ndarray:
        return np.asarray([x for f in families for x in getattr(f, field)], dtype=dtype)

    arrays = CladeArrays(offsets, is_leaf, species, split_offsets, flat("split_left", np.int64),
                         flat("split_right", np.int64), flat("split_weight", np.float64))
    for array in arrays:
        array.setflags(write=False)
    return arrays
