"""The four reconciliation likelihood functions as a caller sees them: the
reference vectors, the worked examples, identities between the functions on
random trees, and malformed inputs that must end in PanicException."""
import functools
import math
import random

import pytest

import korvath_core as kc
from conftest import assert_panics, load_vectors

FUNCTIONS = ["dated_joint_loglik", "dated_family_loglik", "undated_joint_loglik",
             "undated_family_loglik"]


def same_float(got, expected):
    if isinstance(expected, str):
        expected = float(expected)
    if math.isinf(expected) or math.isnan(expected):
        return got == expected or (math.isnan(got) and math.isnan(expected))
    return abs(got - expected) <= 1e-12 * max(1.0, abs(expected))


@pytest.mark.parametrize("function", FUNCTIONS)
def test_reference_vectors(function):
    for i, case in enumerate(load_vectors(function)):
        call = functools.partial(getattr(kc, function), **case["args"])
        if "raises" in case:
            assert case["raises"] == "PanicException", case["raises"]
            assert_panics(call)
            continue
        got, expected = call(), case["result"]
        if isinstance(expected, list):
            assert isinstance(got, list), (i, got)
            assert len(got) == len(expected), (i, got, expected)
            assert all(same_float(g, e) for g, e in zip(got, expected)), (i, got, expected)
        else:
            assert isinstance(got, float), (i, got)
            assert same_float(got, expected), (i, got, expected)


# --------------------------------------------------------------------------
# The cherry of the worked examples: root 2 at 0 without a stem, tips at 1.

CHERRY = dict(sp_left=[-1, -1, 0], sp_right=[-1, -1, 1], sp_is_leaf=[True, True, False],
              sp_time=[1.0, 1.0, 0.0], sp_parent_time=[0.0, 0.0, 0.0], sp_root=2)
DATED_CHERRY = dict(CHERRY, sp_parent=[2, 2, -1])
ONE_TIP = dict(gt_offsets=[0, 1], gt_is_leaf=[True], gt_left=[-1], gt_right=[-1], gt_species=[0])
EMPTY = dict(gt_offsets=[], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])
LOSS_ONLY = dict(dup=0.0, transfer=0.0, loss=1.0)


def test_dated_worked_examples():
    family = kc.dated_family_loglik(**DATED_CHERRY, **ONE_TIP, **LOSS_ONLY, n_steps=1,
                                    origination=0)
    assert family == [math.log(0.68359375 * 0.31640625)]
    assert family[0] == pytest.approx(-1.5311197604, abs=1e-10)
    joint = kc.dated_joint_loglik(**DATED_CHERRY, **ONE_TIP, **LOSS_ONLY, n_steps=1,
                                  origination=0, n_extinct=1)
    assert joint == pytest.approx(-2.2919027015, abs=1e-10)
    # The extinct-family term alone: both daughters of the root die out.
    x = kc.dated_joint_loglik(**DATED_CHERRY, **EMPTY, **LOSS_ONLY, n_steps=1, origination=0,
                              n_extinct=1)
    assert x == math.log(0.68359375 ** 2) + 0.0


def test_undated_worked_examples():
    for transfers in (0, 1):
        args = dict(CHERRY, **ONE_TIP, **LOSS_ONLY, transfers=transfers)
        assert kc.undated_family_loglik(**args, origination=0) == [math.log(0.125)]
        assert kc.undated_family_loglik(**args, origination=1) == [math.log(0.625 / 3)]
        assert kc.undated_joint_loglik(**args, origination=0, n_extinct=1) == pytest.approx(
            -2.5494451709, abs=1e-10)


def test_dated_tip_without_species_scores_minus_infinity_but_undated_panics():
    no_species = dict(ONE_TIP, gt_species=[-1])
    assert kc.dated_family_loglik(**DATED_CHERRY, **no_species, dup=0.1, transfer=0.1, loss=0.1,
                                  n_steps=2, origination=1) == [-math.inf]
    assert_panics(kc.undated_family_loglik, **CHERRY, **no_species, dup=0.1, transfer=0.1,
                  loss=0.1, transfers=0, origination=1)


# --------------------------------------------------------------------------
# Random trees


def random_species(rng, n_tips):
    """Ultrametric tree in post-order: tips at 1, root at 0 with a stem."""
    left, right, is_leaf, time = [-1] * n_tips, [-1] * n_tips, [True] * n_tips, [1.0] * n_tips
    lineages = list(range(n_tips))
    while len(lineages) > 1:
        a = lineages.pop(rng.randrange(len(lineages)))
        b = lineages.pop(rng.randrange(len(lineages)))
        t = 0.0 if not lineages else min(time[a], time[b]) * rng.random()
        left.append(a)
        right.append(b)
        is_leaf.append(False)
        time.append(t)
        lineages.append(len(time) - 1)
    n = len(time)
    parent, parent_time = [-1] * n, [-0.2] * n
    for i in range(n):
        if not is_leaf[i]:
            for c in (left[i], right[i]):
                parent[c], parent_time[c] = i, time[i]
    return dict(sp_parent=parent, sp_left=left, sp_right=right, sp_is_leaf=is_leaf,
                sp_time=time, sp_parent_time=parent_time, sp_root=n - 1)


def random_batch(rng, species_tips, n_trees, max_tips):
    batch = dict(gt_offsets=[0], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])
    for _ in range(n_trees):
        base = len(batch["gt_is_leaf"])
        pending = []
        for _ in range(rng.randint(1, max_tips)):
            pending.append(len(batch["gt_is_leaf"]) - base)
            batch["gt_is_leaf"].append(True)
            batch["gt_left"].append(-1)
            batch["gt_right"].append(-1)
            batch["gt_species"].append(rng.choice(species_tips))
        while len(pending) > 1:
            a = pending.pop(rng.randrange(len(pending)))
            b = pending.pop(rng.randrange(len(pending)))
            pending.append(len(batch["gt_is_leaf"]) - base)
            batch["gt_is_leaf"].append(False)
            batch["gt_left"].append(a)
            batch["gt_right"].append(b)
            batch["gt_species"].append(-1)
        batch["gt_offsets"].append(len(batch["gt_is_leaf"]))
    return batch


def undated_species(sp):
    return {k: v for k, v in sp.items() if k != "sp_parent"}


@pytest.fixture(params=[11, 12, 13])
def random_case(request):
    seed = request.param
    print("seed", seed)
    rng = random.Random(seed)
    sp = random_species(rng, rng.randint(2, 9))
    tips = [i for i, leaf in enumerate(sp["sp_is_leaf"]) if leaf]
    batch = random_batch(rng, tips, rng.randint(1, 5), 8)
    rates = dict(dup=rng.uniform(0, 1), transfer=rng.uniform(0, 1), loss=rng.uniform(0.05, 1))
    return sp, batch, rates


def in_order_sum(values, start=0.0):
    return functools.reduce(lambda total, v: total + v, values, start)


def test_joint_equals_in_order_sum_of_family(random_case):
    sp, batch, rates = random_case
    for origination in (0, 1):
        family = kc.dated_family_loglik(**sp, **batch, **rates, n_steps=3,
                                        origination=origination)
        assert len(family) == len(batch["gt_offsets"]) - 1
        assert all(math.isfinite(v) and v < 0 for v in family)
        assert kc.dated_joint_loglik(**sp, **batch, **rates, n_steps=3, origination=origination,
                                     n_extinct=0) == in_order_sum(family)
        for transfers in (0, 1):
            args = dict(undated_species(sp), **batch, **rates, transfers=transfers,
                        origination=origination)
            family = kc.undated_family_loglik(**args)
            assert kc.undated_joint_loglik(**args, n_extinct=0) == in_order_sum(family)


def test_extinct_families_add_their_term(random_case):
    sp, batch, rates = random_case
    dated = dict(sp, **rates, n_steps=3, origination=0)
    one = kc.dated_joint_loglik(**dated, **EMPTY, n_extinct=1)
    assert one < 0
    assert kc.dated_joint_loglik(**dated, **EMPTY, n_extinct=2) == 2 * one
    family = kc.dated_family_loglik(**dated, **batch)
    assert kc.dated_joint_loglik(**dated, **batch, n_extinct=2) == in_order_sum(family, 2 * one)
    undated = dict(undated_species(sp), **rates, transfers=1, origination=1)
    one = kc.undated_joint_loglik(**undated, **EMPTY, n_extinct=1)
    assert kc.undated_joint_loglik(**undated, **EMPTY, n_extinct=2) == 2 * one
    # Without loss no family can die out.
    no_loss = dict(dated, loss=0.0)
    assert kc.dated_joint_loglik(**no_loss, **batch, n_extinct=1) == -math.inf


def test_mode_aliases_and_transfer_free_models(random_case):
    sp, batch, rates = random_case
    dated = dict(sp, **batch, **rates, n_steps=2)
    assert kc.dated_family_loglik(**dated, origination=2) == kc.dated_family_loglik(
        **dated, origination=0)
    undated = dict(undated_species(sp), **batch, **rates)
    assert kc.undated_family_loglik(**undated, transfers=2, origination=5) == \
        kc.undated_family_loglik(**undated, transfers=0, origination=0)
    no_transfer = dict(undated, transfer=0.0, origination=1)
    assert kc.undated_family_loglik(**no_transfer, transfers=0) == kc.undated_family_loglik(
        **no_transfer, transfers=1)


def test_more_steps_converge(random_case):
    """The Euler scheme converges: refining the steps changes the score less and less."""
    sp, batch, rates = random_case
    scores = [kc.dated_family_loglik(**sp, **batch, **rates, n_steps=n, origination=0)
              for n in (20, 40, 80)]
    for coarse, mid, fine in zip(*scores):
        assert abs(fine - mid) < 0.75 * abs(mid - coarse) + 1e-9


def test_empty_batches():
    for offsets in ([], [0]):
        batch = dict(EMPTY, gt_offsets=offsets)
        assert kc.dated_family_loglik(**DATED_CHERRY, **batch, **LOSS_ONLY, n_steps=1,
                                      origination=0) == []
        assert kc.undated_joint_loglik(**CHERRY, **batch, **LOSS_ONLY, transfers=0,
                                       origination=0, n_extinct=0) == 0.0


# --------------------------------------------------------------------------
# Malformed input: PanicException, never a crash

def dated(**changes):
    args = dict(DATED_CHERRY, **ONE_TIP, dup=0.1, transfer=0.1, loss=0.1, n_steps=2,
                origination=0, n_extinct=1)
    args.update(changes)
    return functools.partial(kc.dated_joint_loglik, **args)


def undated(**changes):
    args = dict(CHERRY, **ONE_TIP, dup=0.1, transfer=0.1, loss=0.1, transfers=1,
                origination=0, n_extinct=1)
    args.update(changes)
    return functools.partial(kc.undated_joint_loglik, **args)


CHERRY_GENES = dict(gt_is_leaf=[True, True, False], gt_left=[-1, -1, 0], gt_right=[-1, -1, 1],
                    gt_species=[0, 1, -1])

MALFORMED = {
    "decreasing offsets": dict(gt_offsets=[0, 3, 2], **CHERRY_GENES),
    "offsets past the arrays": dict(gt_offsets=[0, 4], **CHERRY_GENES),
    "empty tree": dict(gt_offsets=[0, 3, 3], **CHERRY_GENES),
    "child pointing forward": dict(gt_offsets=[0, 3], gt_is_leaf=[False, True, True],
                                   gt_left=[1, -1, -1], gt_right=[2, -1, -1],
                                   gt_species=[-1, 0, 1]),
    "child outside the tree": dict(gt_offsets=[0, 3], **dict(CHERRY_GENES, gt_right=[-1, -1, 3])),
    "negative child": dict(gt_offsets=[0, 3], **dict(CHERRY_GENES, gt_left=[-1, -1, -5])),
    "species child out of range": dict(sp_left=[-1, -1, 3]),
    "short species arrays": dict(sp_is_leaf=[True, True]),
    "root out of range": dict(sp_root=7),
    "NaN time": dict(sp_time=[1.0, math.nan, 0.0]),
}


@pytest.mark.parametrize("case", sorted(MALFORMED))
def test_malformed_input_panics(case):
    change = MALFORMED[case]
    if case != "NaN time":
        assert_panics(undated(**change))
    if case != "species child out of range":
        assert_panics(dated(**change))
    else:
        # The dated model reads children only where a branch ends on the grid.
        assert_panics(dated(**change, sp_time=[1.0, 1.0, 0.5], sp_parent_time=[0.5, 0.5, 0.0]))


# A tree whose internal node names the same child twice leaves another node
# orphaned; so does a tree with a node nobody names. Both used to score as if
# they were trees.
BAD_SHAPES = {
    "same child twice": (dict(gt_offsets=[0, 3], gt_is_leaf=[True, True, False],
                              gt_left=[-1, -1, 0], gt_right=[-1, -1, 0], gt_species=[0, 1, -1]),
                         "gene node 2 names node 0 as both of its children"),
    "child of two nodes": (dict(gt_offsets=[0, 5], gt_is_leaf=[True, True, False, True, False],
                                gt_left=[-1, -1, 0, -1, 0], gt_right=[-1, -1, 1, -1, 3],
                                gt_species=[0, 1, -1, 0, -1]),
                           "gene node 0 is a child of both node 2 and node 4"),
    "orphan": (dict(gt_offsets=[0, 4], gt_is_leaf=[True, True, True, False],
                    gt_left=[-1, -1, -1, 1], gt_right=[-1, -1, -1, 2], gt_species=[0, 0, 1, -1]),
               "gene node 0 is the child of no node but is not the root"),
    "orphan in a later tree": (dict(gt_offsets=[0, 1, 3], gt_is_leaf=[True, True, True],
                                    gt_left=[-1, -1, -1], gt_right=[-1, -1, -1],
                                    gt_species=[0, 0, 1]),
                               "gene node 0 is the child of no node but is not the root"),
}


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("shape", sorted(BAD_SHAPES))
def test_gene_node_with_two_parents_or_none_is_a_fault(function, shape):
    genes, message = BAD_SHAPES[shape]
    species = DATED_CHERRY if function.startswith("dated") else CHERRY
    options = dict(n_steps=2) if function.startswith("dated") else dict(transfers=0)
    if function.endswith("joint_loglik"):
        options["n_extinct"] = 1
    exc = assert_panics(getattr(kc, function), **species, **genes, dup=0.1, transfer=0.1,
                        loss=0.1, origination=1, **options)
    assert message in str(exc)


def test_undated_species_out_of_range_panics():
    assert_panics(undated(gt_species=[3]))
    assert_panics(undated(gt_species=[-1]))


def test_absurd_step_counts_panic():
    assert_panics(dated(n_steps=2**64 - 1))
    assert_panics(dated(n_steps=2**40))
    assert_panics(dated(dup=1e300))
    assert_panics(dated(loss=math.inf))
    family = functools.partial(kc.dated_family_loglik, **DATED_CHERRY, **ONE_TIP, dup=0.1,
                               transfer=0.1, loss=0.1, origination=0)
    assert_panics(family, n_steps=2**62)


def test_fault_in_a_later_tree_discards_earlier_values():
    genes = dict(gt_offsets=[0, 1, 2, 5], gt_is_leaf=[True, True, False, True, True],
                 gt_left=[-1, -1, 3, -1, -1], gt_right=[-1, -1, 4, -1, -1],
                 gt_species=[0, 1, -1, 0, 1])
    assert_panics(kc.dated_family_loglik, **DATED_CHERRY, **genes, dup=0.1, transfer=0.1,
                  loss=0.1, n_steps=2, origination=1)
    assert_panics(kc.undated_family_loglik, **CHERRY, **genes, dup=0.1, transfer=0.1, loss=0.1,
                  transfers=0, origination=1)


def test_corrupted_inputs_never_crash():
    """Random corruptions of valid inputs either score or raise PanicException."""
    seed = 2024
    print("seed", seed)
    rng = random.Random(seed)
    outcomes = {"ok": 0, "panic": 0}
    for _ in range(300):
        sp = random_species(rng, rng.randint(2, 6))
        tips = [i for i, leaf in enumerate(sp["sp_is_leaf"]) if leaf]
        args = dict(sp, **random_batch(rng, tips, 3, 5), dup=0.3, transfer=0.2, loss=0.4)
        for _ in range(rng.randint(1, 3)):
            key = rng.choice([k for k, v in args.items() if isinstance(v, list) and v])
            values = list(args[key])
            spot = rng.randrange(len(values))
            if key == "gt_offsets":
                values[spot] = rng.randint(0, 40)
            elif key == "sp_is_leaf" or key == "gt_is_leaf":
                values[spot] = not values[spot]
            elif key in ("sp_time", "sp_parent_time"):
                values[spot] = rng.choice([math.nan, math.inf, -math.inf, -1.0, 2.0, 1e-13])
            else:
                values[spot] = rng.randint(-3, 25)
            if rng.random() < 0.2:
                values = values[:rng.randrange(len(values) + 1)]
            args[key] = values
        for function, extra in [
                (kc.dated_joint_loglik, dict(n_steps=2, origination=rng.choice([0, 1]),
                                             n_extinct=1)),
                (kc.undated_family_loglik, dict(transfers=rng.choice([0, 1]),
                                                origination=rng.choice([0, 1])))]:
            call_args = dict(args, **extra)
            if function is kc.undated_family_loglik:
                call_args.pop("sp_parent")
            try:
                function(**call_args)
                outcomes["ok"] += 1
            except BaseException as exc:  # noqa: B902 - PanicException is a BaseException
                assert type(exc).__qualname__ == "PanicException", exc
                outcomes["panic"] += 1
    assert outcomes["ok"] > 0 and outcomes["panic"] > 0, outcomes
