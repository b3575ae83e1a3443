"""Undated and reldated values stand at the converged fixed point of their equations, whatever
the order in which the species tree's nodes are numbered.

The reference (undated_reference.py) solves the same equations independently: Newton-polished
extinction and an exact linear solve per gene node. Families whose vectors are tiny (many
leaves, high loss) used to stop after a sweep or two, far from the fixed point, and renumbering
the species tree changed their values.
"""
import numpy as np
import pytest

import korvath_core as kc
from undated_reference import UndatedReference


def random_species(rng, n_tips, caterpillar=False, stem=0.0):
    """A species tree in post-order: tips at 1, the root at 0 (its branch from -stem)."""
    lineages = [("tip", None) for _ in range(n_tips)]
    merge_times = sorted(rng.uniform(0.02, 0.98, size=n_tips - 2), reverse=True) + [0.0]
    for t in merge_times:
        if caterpillar:
            a, b = lineages.pop(), lineages.pop()
        else:
            a = lineages.pop(rng.integers(len(lineages)))
            b = lineages.pop(rng.integers(len(lineages)))
        lineages.append((t, (a, b)))
    left, right, leaf, time, parent_time = [], [], [], [], []

    def place(node, parent_t):
        t, children = node
        if children is None:
            i = len(leaf)
            left.append(-1), right.append(-1), leaf.append(True)
            time.append(1.0), parent_time.append(parent_t)
            return i
        ia = place(children[0], t)
        ib = place(children[1], t)
        i = len(leaf)
        left.append(ia), right.append(ib), leaf.append(False)
        time.append(t), parent_time.append(parent_t)
        return i

    root = place(lineages[0], -stem)
    return dict(sp_left=left, sp_right=right, sp_is_leaf=leaf, sp_time=time,
                sp_parent_time=parent_time, sp_root=root)


def random_genes(rng, species, sizes):
    """A batch of random gene trees in local post-order, tips on random species tips."""
    tips = [i for i, is_leaf in enumerate(species["sp_is_leaf"]) if is_leaf]
    batch = dict(gt_offsets=[0], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])
    for size in sizes:
        nodes = []  # (is_leaf, left, right, species) in local post-order
        pool = []
        for _ in range(size):
            pool.append(len(nodes))
            nodes.append((True, -1, -1, int(rng.choice(tips))))
        while len(pool) > 1:
            a = pool.pop(rng.integers(len(pool)))
            b = pool.pop(rng.integers(len(pool)))
            pool.append(len(nodes))
            nodes.append((False, a, b, -1))
        for is_leaf, a, b, s in nodes:
            batch["gt_is_leaf"].append(is_leaf)
            batch["gt_left"].append(a)
            batch["gt_right"].append(b)
            batch["gt_species"].append(s)
        batch["gt_offsets"].append(len(batch["gt_is_leaf"]))
    return batch


def renumbered(species, batch, new_of):
    """The same trees with species node i renumbered new_of[i], each node's children swapped,
    and the gene tips following their species."""
    old_at = np.argsort(new_of)
    leaf = np.asarray(species["sp_is_leaf"])[old_at]
    left = np.where(leaf, -1, new_of[np.maximum(species["sp_right"], 0)][old_at])
    right = np.where(leaf, -1, new_of[np.maximum(species["sp_left"], 0)][old_at])
    out = dict(sp_left=left.tolist(), sp_right=right.tolist(), sp_is_leaf=leaf.tolist(),
               sp_time=np.asarray(species["sp_time"])[old_at].tolist(),
               sp_parent_time=np.asarray(species["sp_parent_time"])[old_at].tolist(),
               sp_root=int(new_of[species["sp_root"]]))
    genes = dict(batch)
    genes["gt_species"] = [int(new_of[s]) if s >= 0 else -1 for s in batch["gt_species"]]
    return out, genes


def core_values(species, batch, rates, transfers, origination):
    return kc.undated_family_loglik(**species, **batch, **rates, transfers=transfers,
                                    origination=origination)


RATE_SETS = [
    dict(dup=0.2, transfer=0.2, loss=0.3),
    dict(dup=0.066, transfer=0.073, loss=1.53),   # high loss: tiny vectors
    dict(dup=1.0, transfer=0.4, loss=0.2),        # more gain than loss
    dict(dup=0.3, transfer=0.0, loss=0.4),        # no transfers
    dict(dup=0.0, transfer=1.1, loss=0.54),
]


@pytest.mark.parametrize("rates", RATE_SETS, ids=lambda r: "-".join(map(str, r.values())))
def test_values_match_the_converged_fixed_point(rates):
    rng = np.random.default_rng(18)
    for trial in range(3):
        species = random_species(rng, int(rng.integers(3, 40)), caterpillar=trial == 1,
                                 stem=0.3 if trial == 2 else 0.0)
        batch = random_genes(rng, species, [1, 2, 7, int(rng.integers(20, 250))])
        for transfers in (0, 1):
            reference = UndatedReference(**species, **rates, transfers=transfers)
            exact = np.asarray(reference.family_logliks(**batch))
            for origination in (0, 1):
                got = np.asarray(core_values(species, batch, rates, transfers, origination))
                np.testing.assert_allclose(got, exact[:, origination], rtol=0, atol=1e-9,
                                           err_msg=f"trial {trial} transfers {transfers} "
                                                   f"origination {origination}")


def test_a_family_of_ten_thousand_leaves():
    rng = np.random.default_rng(10000)
    species = random_species(rng, 25, stem=0.2)
    batch = random_genes(rng, species, [10000])
    rates = dict(dup=0.2, transfer=0.2, loss=0.3)
    for transfers in (0, 1):
        exact = UndatedReference(**species, **rates, transfers=transfers).family_logliks(**batch)
        for origination in (0, 1):
            (got,) = core_values(species, batch, rates, transfers, origination)
            assert got < -1e4  # far below the range of a double without rescaling
            assert abs(got - exact[0][origination]) <= 1e-9, (transfers, origination)


def test_renumbering_the_species_tree_changes_no_value():
    rng = np.random.default_rng(2)
    species = random_species(rng, 120)
    batch = random_genes(rng, species, [int(s) for s in rng.integers(30, 400, size=6)])
    rates = dict(dup=0.2, transfer=0.2, loss=0.3)
    n = len(species["sp_left"])
    # At random, and parents before children: the order that used to converge slowest.
    others = [renumbered(species, batch, rng.permutation(n)) for _ in range(3)]
    others.append(renumbered(species, batch, np.arange(n)[::-1]))
    for transfers in (0, 1):
        for origination in (0, 1):
            base = np.asarray(core_values(species, batch, rates, transfers, origination))
            for other_species, other_batch in others:
                moved = np.asarray(core_values(other_species, other_batch, rates, transfers,
                                               origination))
                np.testing.assert_allclose(moved, base, rtol=0, atol=1e-9)


def test_reldated_with_node_times_tied_within_the_tolerance():
    # The root's two daughters split 1e-12 apart: their daughters' branches overlap, but the
    # two daughter branches themselves only by less than the tolerance. The time intervals
    # alone would not see that; the values still match the reference.
    rng = np.random.default_rng(5)
    while True:
        species = random_species(rng, 12)
        root = species["sp_root"]
        a, b = species["sp_left"][root], species["sp_right"][root]
        if not species["sp_is_leaf"][a] and not species["sp_is_leaf"][b]:
            break
    species["sp_time"][a] = 0.01
    species["sp_time"][b] = 0.01 + 1e-12
    for node in (a, b):
        for child in (species["sp_left"][node], species["sp_right"][node]):
            species["sp_parent_time"][child] = species["sp_time"][node]
    batch = random_genes(rng, species, [5, 60])
    rates = dict(dup=0.3, transfer=0.5, loss=0.4)
    exact = np.asarray(UndatedReference(**species, **rates, transfers=1).family_logliks(**batch))
    for origination in (0, 1):
        got = core_values(species, batch, rates, 1, origination)
        np.testing.assert_allclose(got, exact[:, origination], rtol=0, atol=1e-9)


def test_links_that_are_no_tree_and_rates_past_any_fixed_point_end_quickly():
    # Daughter links in a cycle, and negative rates the core accepts: no tree order and no
    # direct solution exist, the sweeps are bounded, and the call returns floats.
    cycle = dict(sp_left=[1, 2, 0, -1], sp_right=[3, 3, 3, -1], sp_is_leaf=[False, False, False, True],
                 sp_time=[0.2, 0.5, 0.7, 1.0], sp_parent_time=[0.0, 0.2, 0.5, 0.0], sp_root=0)
    batch = dict(gt_offsets=[0, 3], gt_is_leaf=[True, True, False], gt_left=[-1, -1, 0],
                 gt_right=[-1, -1, 1], gt_species=[3, 3, -1])
    for rates in [dict(dup=0.2, transfer=0.2, loss=0.3), dict(dup=5.0, transfer=0.5, loss=-0.5)]:
        for transfers in (0, 1):
            for origination in (0, 1):
                (value,) = core_values(cycle, batch, rates, transfers, origination)
                assert isinstance(value, float)
    species = random_species(np.random.default_rng(1), 8)
    for transfers in (0, 1):
        values = core_values(species, batch | dict(gt_species=[0, 0, -1]),
                             dict(dup=5.0, transfer=0.5, loss=-0.5), transfers, 0)
        assert len(values) == 1 and isinstance(values[0], float)
