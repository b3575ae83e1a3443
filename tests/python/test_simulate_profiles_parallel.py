"""simulate_profiles_parallel: reference vectors, the split into copies,
independence from the thread count, agreement in distribution with the serial
engine, and the errors of the pool and of a runaway copy."""
import math
import os
import statistics
import struct

import pytest

import korvath_core
from conftest import assert_panics, from_json, load_vectors, outcome, to_json_shape
from gene_family_replay import processing_order, profile_rows, random_tree, rates, seeded

MASK = 2**64 - 1
RUNAWAY = "exceeded max_events; families likely growing without bound \u2014 set max_family_size"


def splitmix64_first(seed):
    z = (seed + 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def parallel(tree, n_copies, n_threads, **overrides):
    return korvath_core.simulate_profiles_parallel(**tree, **rates(**overrides),
                                                   n_copies=n_copies, n_threads=n_threads)


def two_leaf_tree():
    return dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0],
                extant_leaf=[False, True, True], root=0)


@pytest.mark.parametrize("case", load_vectors("simulate_profiles_parallel"),
                         ids=lambda c: str(c["args"]["seed"]))
def test_reference_vectors(case):
    result = korvath_core.simulate_profiles_parallel(**case["args"])
    assert to_json_shape(result) == from_json(case["result"])


def test_founders_spread_over_four_copies_in_four_blocks():
    nodes, rows = profile_rows(parallel(two_leaf_tree(), 4, 2, initial_size=10))
    assert nodes == [1, 2]
    blocks = [[0, 1, 2], [3, 4, 5], [6, 7], [8, 9]]
    assert rows == [(k, f, 1) for block in blocks for k in (0, 1) for f in block]


def test_fewer_founders_than_copies_leave_the_last_copies_empty():
    _, rows = profile_rows(parallel(two_leaf_tree(), 5, 3, initial_size=2))
    assert rows == [(0, 0, 1), (1, 0, 1), (0, 1, 1), (1, 1, 1)]


def test_one_copy_is_a_serial_run_with_the_first_splitmix_output_as_seed():
    rng, _ = seeded("parallel single copy")
    differs = []
    for _ in range(5):
        tree = random_tree(rng, rng.randrange(3, 40))
        args = rates(duplication=0.6, transfer=0.9, loss=1.0, origination=1.5, initial_size=7,
                     seed=rng.randrange(2**64), distance_decay=rng.choice([-1.0, 1.0]))
        single = korvath_core.simulate_profiles_parallel(**tree, **args, n_copies=1, n_threads=1)
        serial = korvath_core.simulate_profiles(**tree, **dict(args, seed=splitmix64_first(args["seed"])))
        assert single == serial
        # A small tree with short branches may see no event under either seed,
        # so the seeds must tell the runs apart somewhere, not on every tree.
        differs.append(single != korvath_core.simulate_profiles(**tree, **args))
        # 0 copies and 0 threads behave as 1.
        assert korvath_core.simulate_profiles_parallel(**tree, **args, n_copies=0, n_threads=0) == single
    assert any(differs)


def test_result_does_not_depend_on_the_thread_count():
    rng, _ = seeded("parallel thread count")
    for _ in range(4):
        tree = random_tree(rng, rng.randrange(10, 60))
        args = dict(duplication=0.8, transfer=1.0, loss=1.0, origination=3.0, initial_size=25,
                    seed=rng.randrange(2**64), replacement=0.5, cap=rng.choice([-1, 3]),
                    distance_decay=rng.choice([-1.0, 0.0, 2.0]), allow_self=rng.random() < 0.5)
        results = {n: parallel(tree, 6, n, **args) for n in (1, 2, 3, 8)}
        assert len(set(results.values())) == 1
        nodes, rows = profile_rows(results[1])
        assert nodes == [v for v in processing_order(tree) if tree["extant_leaf"][v]]


def run_summary(result):
    """Mean over the extant leaves of the total copies and of the number of families."""
    nodes, rows = profile_rows(result)
    totals = [0] * len(nodes)
    families = [0] * len(nodes)
    for k, _, c in rows:
        totals[k] += c
        families[k] += 1
    return statistics.fmean(totals), statistics.fmean(families)


def test_copies_have_the_distribution_of_one_full_run():
    # Leaves of one run share history, so each run gives one sample (its
    # leaf means); runs with different seeds are independent.
    rng, _ = seeded("parallel vs serial")
    tree = random_tree(rng, 12, extinct_share=0.0)
    args = dict(duplication=0.6, transfer=0.5, loss=0.9, origination=4.0, initial_size=30)
    serial = [run_summary(korvath_core.simulate_profiles(**tree, **rates(seed=seed, **args)))
              for seed in range(80)]
    split = [run_summary(parallel(tree, 4, 2, seed=seed, **args)) for seed in range(80)]
    for i in range(2):
        a = [s[i] for s in serial]
        b = [s[i] for s in split]
        se = math.sqrt(statistics.variance(a) / len(a) + statistics.variance(b) / len(b))
        assert abs(statistics.fmean(a) - statistics.fmean(b)) < 4 * se


def test_malformed_tree_raises_panic():
    tree = dict(two_leaf_tree(), parent=[-1, 0, 7])
    assert_panics(korvath_core.simulate_profiles_parallel, **tree, **rates(initial_size=2),
                  n_copies=2, n_threads=2)


def test_a_pool_that_cannot_be_built_raises_runtime_error():
    kind, name, message, _ = outcome(parallel, two_leaf_tree(), 2, 2**62, initial_size=2)
    assert kind == "raised" and name == "RuntimeError"
    assert message.startswith("rayon pool: ")


@pytest.mark.skipif(not os.environ.get("KORVATH_SLOW_TESTS"),
                    reason="passing 2,000,000,000 events takes minutes; set KORVATH_SLOW_TESTS=1")
@pytest.mark.parametrize("parallel_run", [False, True])
def test_supercritical_run_raises_the_event_limit_error(parallel_run):
    args = rates(duplication=1.0, initial_size=1)
    tree = dict(n_nodes=2, parent=[-1, 0], time=[0.0, 1000.0], extant_leaf=[False, True], root=0)
    call = (lambda: korvath_core.simulate_profiles_parallel(**tree, **args, n_copies=2,
                                                            n_threads=2)) if parallel_run \
        else (lambda: korvath_core.simulate_profiles(**tree, **args))
    with pytest.raises(RuntimeError) as info:
        call()
    assert str(info.value) == RUNAWAY
