"""simulate_profiles: reference vectors, worked examples, the row layout,
the cap and replacement rules, trees with nodes of any arity, malformed input,
and the copy numbers of a birth-death process against theory."""
import math
import statistics
import struct

import pytest

import korvath_core
from conftest import assert_panics, from_json, load_vectors, to_json_shape
from gene_family_replay import processing_order, profile_rows, random_tree, rates, seeded


def profiles(tree, **overrides):
    return korvath_core.simulate_profiles(**tree, **rates(**overrides))


def two_leaf_tree(height=1.0):
    return dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, height, height],
                extant_leaf=[False, True, True], root=0)


@pytest.mark.parametrize("case", load_vectors("simulate_profiles"),
                         ids=lambda c: str(c["args"]["seed"]))
def test_reference_vectors(case):
    result = korvath_core.simulate_profiles(**case["args"])
    assert to_json_shape(result) == from_json(case["result"])


def test_two_leaf_tree_without_events():
    result = profiles(two_leaf_tree(), initial_size=2)
    assert result == (struct.pack("<2I", 1, 2), struct.pack("<4I", 0, 0, 1, 1),
                      struct.pack("<4Q", 0, 1, 0, 1), struct.pack("<4I", 1, 1, 1, 1))
    assert all(type(part) is bytes for part in result)


def test_without_rates_every_extant_leaf_holds_the_founders():
    rng, _ = seeded("profiles zero rates")
    for _ in range(10):
        tree = random_tree(rng, rng.randrange(2, 30))
        nodes, rows = profile_rows(profiles(tree, initial_size=4))
        assert nodes == [v for v in processing_order(tree) if tree["extant_leaf"][v]]
        assert rows == [(k, f, 1) for k in range(len(nodes)) for f in range(4)]


def test_no_founders_and_no_origination_leave_only_the_leaf_list():
    rng, _ = seeded("profiles empty")
    tree = random_tree(rng, 12)
    result = profiles(tree, initial_size=0, duplication=1.0, transfer=1.0, loss=1.0)
    assert result[1:] == (b"", b"", b"")
    assert profile_rows(result)[0] == [v for v in processing_order(tree) if tree["extant_leaf"][v]]


def check_layout(result):
    """Rows grouped by leaf ordinal, families ascending within a leaf, counts >= 1."""
    nodes, rows = profile_rows(result)
    assert len(result[1]) * 2 == len(result[2]) == len(result[3]) * 2
    assert rows == sorted(rows)
    assert len({(k, f) for k, f, _ in rows}) == len(rows)
    assert all(c >= 1 and 0 <= k < len(nodes) for k, _, c in rows)
    return nodes, rows


def test_rows_are_grouped_by_leaf_and_an_emptied_leaf_keeps_its_ordinal():
    rng, _ = seeded("profiles layout")
    emptied = 0
    for _ in range(30):
        tree = random_tree(rng, rng.randrange(3, 40))
        nodes, rows = check_layout(profiles(
            tree, duplication=rng.uniform(0, 1), transfer=rng.uniform(0, 1),
            loss=rng.uniform(1, 4), origination=rng.uniform(0, 1), initial_size=rng.randrange(4),
            seed=rng.randrange(2**64), distance_decay=rng.choice([-1.0, 0.0, 3.0]),
            allow_self=rng.random() < 0.5))
        present = {k for k, _, _ in rows}
        emptied += sum(1 for k in range(len(nodes)) if k not in present)
    assert emptied > 0  # some leaves lost everything, and their ordinals are skipped


@pytest.mark.parametrize("cap", [0, 1, 2])
def test_cap_bounds_the_copies_of_a_family(cap):
    rng, _ = seeded(f"profiles cap {cap}")
    for _ in range(10):
        tree = random_tree(rng, rng.randrange(2, 30))
        _, rows = check_layout(profiles(tree, duplication=3.0, transfer=2.0, loss=0.3,
                                        origination=1.0, initial_size=5, cap=cap,
                                        seed=rng.randrange(2**64)))
        # An origination always brings one copy, even under cap 0.
        assert all(c <= max(cap, 1) for _, _, c in rows)


def test_full_replacement_keeps_transferred_families_at_one_copy():
    rng, _ = seeded("profiles replacement")
    for _ in range(10):
        tree = random_tree(rng, rng.randrange(3, 30))
        args = dict(transfer=4.0, initial_size=6, seed=rng.randrange(2**64),
                    distance_decay=rng.choice([-1.0, 0.0]), allow_self=rng.random() < 0.5)
        _, rows = check_layout(profiles(tree, replacement=1.0, **args))
        assert all(c == 1 for _, _, c in rows)


def test_every_child_of_a_node_receives_its_content():
    # The root has three children (1, 2, 3); node 2 has the single child 4;
    # node 3 has children 5, 6 and the extinct leaf 7.
    tree = dict(n_nodes=8, parent=[-1, 0, 0, 0, 2, 3, 3, 3],
                time=[0.0, 1.0, 0.3, 0.5, 1.0, 1.0, 1.0, 0.7],
                extant_leaf=[False, True, False, False, True, True, True, False], root=0)
    nodes, rows = profile_rows(profiles(tree, initial_size=2))
    assert nodes == [1, 4, 5, 6]
    assert rows == [(k, f, 1) for k in range(4) for f in range(2)]
    # With events, such trees run like any other.
    check_layout(profiles(tree, duplication=1.0, transfer=1.0, loss=1.0, origination=2.0,
                          initial_size=3, distance_decay=1.0))


def test_same_arguments_give_the_same_bytes():
    rng, _ = seeded("profiles determinism")
    tree = random_tree(rng, 40)
    args = dict(duplication=0.7, transfer=0.8, loss=0.9, origination=2.0, initial_size=10,
                seed=rng.randrange(2**64), replacement=0.3, distance_decay=0.5)
    first = profiles(tree, **args)
    assert profiles(tree, **args) == first
    # Counts alone can coincide for two seeds now and then; across several
    # seeds they must not all agree.
    others = [profiles(tree, **dict(args, seed=args["seed"] ^ k)) for k in (1, 2, 3, 4)]
    assert any(other != first for other in others)


@pytest.mark.parametrize("change", [
    dict(parent=[-1, 0, 9]),                    # a parent outside the tree
    dict(root=3),                               # the root outside the tree
    dict(n_nodes=4),                            # arrays shorter than n_nodes
    dict(time=[0.0, float("nan"), 1.0]),        # a NaN date
    dict(parent=[-1, 0, 1], time=[0.0, 0.5, 0.2],
         extant_leaf=[False, False, True]),     # a child dated before its parent
    dict(extant_leaf=[True, True, True]),       # an extant leaf with children
    dict(parent=[1, -1, 0], root=1),            # node 2 ends before it becomes active
])
def test_malformed_trees_raise_panic(change):
    tree = dict(two_leaf_tree(), **change)
    assert_panics(korvath_core.simulate_profiles, **tree,
                  **rates(duplication=1.0, transfer=1.0, loss=1.0, initial_size=2))


def test_more_founders_than_a_run_can_hold_raise_panic():
    assert_panics(korvath_core.simulate_profiles, **two_leaf_tree(), **rates(initial_size=2**40))


def leaf_totals(tree, n_leaves, **args):
    """Per extant leaf, the total number of copies."""
    totals = [0] * n_leaves
    for k, _, c in profile_rows(profiles(tree, **args))[1]:
        totals[k] += c
    return totals


@pytest.mark.parametrize("dup,loss", [(1.0, 0.5), (0.8, 0.8), (0.5, 1.5)])
def test_mean_copy_number_follows_the_birth_death_expectation(dup, loss):
    # With duplication and loss only, one founding copy grows to a mean of
    # exp((dup - loss) T) copies after time T, independently on each leaf.
    height = 1.3
    tree = two_leaf_tree(height)
    founders = 400
    samples = []
    for seed in range(25):
        for total in leaf_totals(tree, 2, duplication=dup, loss=loss, initial_size=founders,
                                 seed=seed):
            samples.append(total / founders)
    expected = math.exp((dup - loss) * height)
    mean = statistics.fmean(samples)
    se = statistics.stdev(samples) / math.sqrt(len(samples))
    assert abs(mean - expected) < 4 * se, (mean, expected, se)


def test_origination_gives_a_poisson_number_of_families_per_leaf():
    # Without other events, a leaf holds the families that arose on its path
    # from the root: Poisson with mean origination x path length (1 here).
    # Leaves 3 and 4 share the branch above them, so each leaf is checked on
    # its own, over independent runs.
    tree = dict(n_nodes=5, parent=[-1, 0, 0, 2, 2], time=[0.0, 1.0, 0.4, 1.0, 1.0],
                extant_leaf=[False, True, False, True, True], root=0)
    runs = 400
    per_leaf = [[0] * runs for _ in range(3)]
    for seed in range(runs):
        _, rows = profile_rows(profiles(tree, origination=2.5, initial_size=0, seed=seed))
        for k, _, c in rows:
            assert c == 1
            per_leaf[k][seed] += 1
    for counts in per_leaf:
        assert abs(statistics.fmean(counts) - 2.5) < 4 * math.sqrt(2.5 / runs)
        assert abs(statistics.variance(counts) - 2.5) < 0.8  # Poisson: variance = mean
