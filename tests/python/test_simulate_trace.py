"""simulate_trace: reference vectors, worked examples, agreement with
simulate_log, and the copy-number table."""
import collections
import struct

import pytest

import korvath_core
from conftest import from_json, load_vectors, to_json_shape
from gene_family_replay import (processing_order, profile_rows, random_tree, rates, seeded,
                                two_leaf_tree)


@pytest.mark.parametrize("case", load_vectors("simulate_trace"),
                         ids=lambda c: str(c["args"]["seed"]))
def test_reference_vectors(case):
    result = korvath_core.simulate_trace(**case["args"])
    assert to_json_shape(result) == from_json(case["result"])


def test_two_leaf_tree_with_two_families():
    columns, profile = korvath_core.simulate_trace(**two_leaf_tree(), **rates(initial_size=2))
    assert columns == (bytes([0, 0]), [0, 0], [0.0, 0.0], [-1, -1], [-1, -1], [0, 1], [0, 1],
                       [-1, -1], [-1, -1])
    assert profile == (struct.pack("<2I", 1, 2), struct.pack("<4I", 0, 0, 1, 1),
                       struct.pack("<4Q", 0, 1, 0, 1), struct.pack("<4I", 1, 1, 1, 1))


def test_empty_run_lists_every_extant_leaf():
    rng, _ = seeded("empty trace")
    tree = random_tree(rng, 15)
    columns, profile = korvath_core.simulate_trace(**tree, **rates(initial_size=0))
    assert columns == (b"", [], [], [], [], [], [], [], [])
    nodes, rows = profile_rows(profile)
    assert nodes == [v for v in processing_order(tree) if tree["extant_leaf"][v]]
    assert rows == [] and profile[1:] == (b"", b"", b"")


def test_zero_rates_keep_ids_through_speciations():
    rng, _ = seeded("zero rates trace")
    tree = random_tree(rng, 9)
    columns, profile = korvath_core.simulate_trace(**tree, **rates(initial_size=3))
    assert columns[0] == bytes(3) and columns[6] == [0, 1, 2]
    nodes, rows = profile_rows(profile)
    assert rows == [(k, f, 1) for k in range(len(nodes)) for f in range(3)]


@pytest.mark.parametrize("decay", [-1.0, 0.0, 2.0])
def test_trace_matches_log_and_its_leaf_counts(decay):
    rng, _ = seeded(f"trace vs log {decay}")
    for _ in range(20):
        tree = random_tree(rng, rng.randrange(2, 40))
        args = rates(duplication=rng.uniform(0, 1.5), transfer=rng.uniform(0, 2),
                     loss=rng.uniform(0, 1.5), origination=rng.uniform(0, 2),
                     initial_size=rng.randrange(0, 8), cap=rng.choice([-1, -1, 0, 2]),
                     seed=rng.randrange(2**64), replacement=rng.choice([0.0, 0.4]),
                     distance_decay=decay, allow_self=rng.random() < 0.5)
        log_columns, leaves = korvath_core.simulate_log(**tree, **args)
        columns, profile = korvath_core.simulate_trace(**tree, **args)
        assert 4 not in columns[0]
        assert len({len(c) for c in columns}) == 1
        keep = [i for i in range(len(log_columns[0])) if log_columns[0][i] != 4]
        for c in range(6):  # kind, branch, time, donor, recipient, family
            assert list(columns[c]) == [log_columns[c][i] for i in keep]
        nodes, rows = profile_rows(profile)
        assert nodes == [v for v, _ in leaves]
        expected = []
        for k, (_, copies) in enumerate(leaves):
            counts = collections.Counter(f for _, f in copies)
            expected += [(k, f, counts[f]) for f in sorted(counts)]
        assert rows == expected
