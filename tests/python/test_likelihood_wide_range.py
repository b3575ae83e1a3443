"""Likelihoods of families far beyond the double range: the scorers keep each
gene node's probabilities in range with a power-of-two exponent, so a gene
tree of thousands of leaves scores what the same arithmetic gives with an
unbounded exponent. The dated scorer is checked against the same arithmetic
(likelihood_replay over mpmath at 53 bits), and every dated family that stays
in the double range scores exactly what plain doubles give. The undated
models are checked against their converged fixed point (undated_reference,
which rescales every vector).
"""
import functools
import math
import random

import pytest

import korvath_core as kc
from conftest import load_vectors
from likelihood_replay import Dated, Join, Tip, flatten, leaf_count, wide
from undated_reference import UndatedReference

RATES = (0.2, 0.2, 0.3)
# A dated gene node gains at most one level of its subtree per Euler step (and
# one per speciation), so a deeper tree than the steps allow has probability
# exactly 0; the large trees below are kept shallower than that.
N_STEPS = 4


def random_species_tree(n_tips, rng):
    """Tips at time 1, root at 0 without a stem, in post-order."""
    lineages = [(1.0, None) for _ in range(n_tips)]
    times = sorted((rng.uniform(0.05, 0.95) for _ in range(n_tips - 2)), reverse=True) + [0.0]
    for t in times:
        a = lineages.pop(rng.randrange(len(lineages)))
        b = lineages.pop(rng.randrange(len(lineages)))
        lineages.append((t, (a, b)))
    left, right, leaf, time, parent_time, parent = [], [], [], [], [], []

    def place(node, upper):
        t, kids = node
        if kids is None:
            l = r = -1
        else:
            l, r = place(kids[0], t), place(kids[1], t)
        i = len(time)
        left.append(l), right.append(r), leaf.append(kids is None)
        time.append(t), parent_time.append(upper), parent.append(-1)
        for c in (l, r):
            if c >= 0:
                parent[c] = i
        return i

    root = place(lineages[0], 0.0)
    sp = dict(sp_parent=parent, sp_left=left, sp_right=right, sp_is_leaf=leaf, sp_time=time,
              sp_parent_time=parent_time, sp_root=root)
    return sp, [i for i, is_tip in enumerate(leaf) if is_tip]


def random_gene_tree(species, n_leaves, rng):
    nodes = [Tip(rng.choice(species)) for _ in range(n_leaves)]
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(Join(a, b))
    return nodes[0]


def large_gene_tree(species, min_leaves, rng):
    """A gene tree of at least min_leaves leaves built from few distinct
    subtrees: small random trees, then levels that each join random pairs of
    the previous level's trees."""
    pool = [random_gene_tree(species, rng.randint(3, 5), rng) for _ in range(4)]
    while min(leaf_count(t) for t in pool) < min_leaves:
        pool = [Join(rng.choice(pool), rng.choice(pool)) for _ in range(3)]
    return pool[0]


def batch_of(roots):
    batch = dict(gt_offsets=[0], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])
    for root in roots:
        is_leaf, left, right, species = flatten(root)
        batch["gt_is_leaf"] += is_leaf
        batch["gt_left"] += left
        batch["gt_right"] += right
        batch["gt_species"] += species
        batch["gt_offsets"].append(len(batch["gt_is_leaf"]))
    return batch


def core_family(model, sp, roots, origination, rates=RATES):
    args = dict(batch_of(roots), dup=rates[0], transfer=rates[1], loss=rates[2],
                origination=origination)
    if model == "dated":
        return kc.dated_family_loglik(**sp, **args, n_steps=N_STEPS)
    undated_sp = {k: v for k, v in sp.items() if k != "sp_parent"}
    return kc.undated_family_loglik(**undated_sp, **args, transfers=model == "reldated")


def expected_values(model, sp, roots, origination):
    """The dated arithmetic with an unbounded exponent, or the undated models' fixed point."""
    if model == "dated":
        reference = Dated(sp, RATES, N_STEPS, wide())
        memo = {}
        return [reference.loglik(root, origination, memo) for root in roots]
    undated_sp = {k: v for k, v in sp.items() if k != "sp_parent"}
    reference = UndatedReference(**undated_sp, dup=RATES[0], transfer=RATES[1], loss=RATES[2],
                                 transfers=int(model == "reldated"))
    return reference.family_loglik(**batch_of(roots), origination=origination)


MODELS = ["dated", "undated", "reldated"]


def contradict_times(sp, rng):
    """Daughters of up to two internal branches start where their parent starts."""
    inner = [b for b in range(len(sp["sp_left"])) if not sp["sp_is_leaf"][b]]
    for b in rng.sample(inner, min(2, len(inner))):
        sp["sp_parent_time"][sp["sp_left"][b]] = sp["sp_parent_time"][b]


@pytest.mark.parametrize("model", MODELS)
def test_families_of_thousands_of_leaves_match_the_unbounded_exponent(model):
    rng = random.Random(len(model))
    sp, tips = random_species_tree(6, rng)
    # From a family just beyond the double range to one of several thousand leaves.
    roots = [large_gene_tree(tips, size, rng) for size in (300, 1500, 5000)]
    for origination in (0, 1):
        got = core_family(model, sp, roots, origination)
        expected = expected_values(model, sp, roots, origination)
        for root, g, e in zip(roots, got, expected):
            assert math.isfinite(e), (leaf_count(root), e)
            # L below the smallest subnormal double: no plain-double run can hold it.
            assert e < -745.0, (leaf_count(root), e)
            assert abs(g - e) <= 1e-12 * abs(e), (model, origination, leaf_count(root), g, e)


def test_dated_families_at_very_high_rates_match_the_unbounded_exponent():
    # Hundreds of expected events per lineage and slice: within one slice a
    # gene node's probabilities fall from the top of the double range past its
    # bottom, a pair's children's product falls far below the pair's own
    # values, and a node's early tops lie far above its later values. Each
    # gave -inf or a wrong finite value before.
    rng = random.Random(2)
    beyond = 0
    for case in range(7):
        sp, tips = random_species_tree(rng.randint(3, 6), rng)
        if case >= 4:
            # Node by node, where a daughter's top is read long after it was
            # written: it keeps the scale it was written in.
            contradict_times(sp, rng)
        rates = tuple(rng.choice([0.0, rng.uniform(600.0, 1500.0)]) for _ in range(2)) + (
            rng.uniform(1.0, 1500.0),)
        roots = [random_gene_tree(tips, rng.randint(1, 4), rng) for _ in range(2)]
        n_steps = rng.choice([1, 20])
        reference = Dated(sp, rates, n_steps, wide())
        memo = {}
        args = dict(batch_of(roots), dup=rates[0], transfer=rates[1], loss=rates[2])
        for origination in (0, 1):
            got = kc.dated_family_loglik(**sp, **args, n_steps=n_steps, origination=origination)
            for root, g in zip(roots, got):
                e = reference.loglik(root, origination, memo)
                beyond += e < -745.0
                if math.isinf(e):
                    assert g == e, (case, origination, rates)
                else:
                    assert abs(g - e) <= 1e-12 * abs(e), (case, origination, rates, g, e)
    assert beyond >= 4


def test_ordinary_dated_families_score_exactly_as_plain_doubles():
    model = "dated"
    rng = random.Random(100)
    for case in range(6):
        sp, tips = random_species_tree(rng.randint(2, 9), rng)
        rates = tuple(rng.choice([0.0, rng.uniform(0.01, 0.6)]) for _ in range(3))
        roots = [random_gene_tree(tips, rng.randint(1, 40), rng) for _ in range(4)]
        plain = Dated(sp, rates, N_STEPS, float)
        memo = {}
        for origination in (0, 1):
            got = core_family(model, sp, roots, origination, rates)
            expected = [plain.loglik(root, origination, memo) for root in roots]
            assert got == expected, (model, case, origination, rates)


def test_dated_species_times_that_contradict_the_shape_score_as_plain_doubles():
    # A daughter branch that starts before its parent branch ends is alive in
    # the slice where the parent ends; its top is then read after its whole
    # integration, as node-by-node order gives.
    rng = random.Random(11)
    for case in range(4):
        sp, tips = random_species_tree(rng.randint(3, 7), rng)
        contradict_times(sp, rng)
        roots = [random_gene_tree(tips, rng.randint(2, 30), rng) for _ in range(3)]
        plain = Dated(sp, RATES, N_STEPS, float)
        memo = {}
        for origination in (0, 1):
            got = core_family("dated", sp, roots, origination)
            assert got == [plain.loglik(root, origination, memo) for root in roots], case


@pytest.mark.parametrize("function", ["dated_joint_loglik", "dated_family_loglik"])
def test_dated_reference_vectors_match_bit_for_bit(function):
    for i, case in enumerate(load_vectors(function)):
        if "raises" in case:
            continue
        got = getattr(kc, function)(**case["args"])
        expected = case["result"]
        got, expected = (got, expected) if isinstance(got, list) else ([got], [expected])
        expected = [float(e) for e in expected]
        assert [g.hex() for g in got] == [e.hex() for e in expected], (i, got, expected)


def test_an_exact_zero_still_scores_minus_infinity_in_a_large_family():
    rng = random.Random(7)
    sp, tips = random_species_tree(5, rng)
    root = large_gene_tree(tips, 2000, rng)
    # One tip on an internal species branch: probability exactly 0 in the dated model.
    bad = Join(root, Tip(sp["sp_root"]))
    good_value, bad_value = core_family("dated", sp, [root, bad], 0)
    assert math.isfinite(good_value) and good_value < -745.0
    assert bad_value == -math.inf
