"""simulate_nucleotide: reference vectors, the edge cases of whole-genome and
single-nucleotide stretches, properties over random trees checked on the
expanded nucleotides, error paths and an origination count against theory."""
import collections
import math
import random

import pytest

import korvath_core
from conftest import assert_panics, load_vectors

RUNAWAY = ("exceeded max_events; genome growing without bound \u2014 "
           "lower duplication/transfer or raise loss")
ZERO_RATES = dict(inversion=0.0, loss=0.0, duplication=0.0, transfer=0.0, transposition=0.0,
                  origination=0.0)


def call(tree, seed=1, **overrides):
    n_nodes, parent, time, extant_leaf, root = tree
    args = dict(ZERO_RATES, root_length=20, extension=0.5, initial_size=3, seed=seed,
                replacement=0.0, distance_decay=-1.0, allow_self=False)
    args.update(overrides)
    return korvath_core.simulate_nucleotide(n_nodes, parent, time, extant_leaf, root, **args)


def one_branch(height=1.0):
    return 2, [-1, 0], [0.0, height], [False, True], 0


def random_tree(rng, n_leaves):
    """Random dated tree: binary speciations, about a fifth of the leaves extinct,
    children numbered after their parents."""
    parent, time = [-1], [0.0]
    open_nodes = [0]
    while len(open_nodes) < n_leaves:
        v = open_nodes.pop(rng.randrange(len(open_nodes)))
        for _ in range(2):
            parent.append(v)
            time.append(time[v] + rng.uniform(0.05, 0.3))
            open_nodes.append(len(parent) - 1)
    present = max(time) + 0.1
    extant = [False] * len(parent)
    for v in open_nodes:
        if rng.random() < 0.2:
            time[v] = rng.uniform(time[parent[v]], present)
        else:
            time[v], extant[v] = present, True
    return len(parent), parent, time, extant, 0


def expand(genome):
    """The genome as one (element, position, strand) per nucleotide, in reading order."""
    out = []
    for element, start, end, strand in genome:
        positions = range(start, end) if strand == 1 else range(end - 1, start - 1, -1)
        out.extend((element, p, strand) for p in positions)
    return out


def founders(n, length):
    return [(e, p, 1) for e in range(n) for p in range(length)]


def reverse_complement(nucleotides):
    return [(e, p, -s) for e, p, s in reversed(nucleotides)]


def is_rotation(seq, of):
    return len(seq) == len(of) and (not of or any(seq == of[k:] + of[:k] for k in range(len(of))))


@pytest.mark.parametrize("case", load_vectors("simulate_nucleotide"), ids=lambda c: str(c["args"]["seed"]))
def test_reference_vectors(case):
    result = korvath_core.simulate_nucleotide(**case["args"])
    assert [[leaf, [list(s) for s in genome]] for leaf, genome in result] == case["result"]
    assert all(isinstance(s, tuple) and len(s) == 4 for _, g in result for s in g)


def test_all_rates_zero_keep_the_founders_on_every_leaf():
    tree = (5, [-1, 3, 3, 0, 0], [0.0, 1.0, 1.0, 0.5, 1.0], [False, True, True, False, True], 0)
    result = call(tree, initial_size=4, root_length=300)
    assert [leaf for leaf, _ in result] == [1, 2, 4]
    for _, genome in result:
        assert genome == [(i, 0, 300, 1) for i in range(4)]


def test_origination_into_an_empty_genome_brings_a_whole_element():
    for seed in range(20):
        genome = call(one_branch(), seed=seed, initial_size=0, origination=5.0,
                      root_length=50, extension=0.9)[0][1]
        if not genome:
            continue
        nucleotides = expand(genome)
        assert sorted(p for e, p, _ in nucleotides if e == 0) == list(range(50))
        for element in {e for e, _, _ in nucleotides} - {0}:
            positions = sorted(p for e, p, _ in nucleotides if e == element)
            assert positions == list(range(len(positions)))  # a fresh element from position 0
            assert len(positions) <= len(nucleotides)


def test_whole_genome_stretches_with_extension_one_or_more():
    start = founders(3, 20)
    for seed in range(15):
        for extension in (1.0, 3.0):
            inverted = expand(call(one_branch(), seed=seed, inversion=0.05,
                                   extension=extension)[0][1])
            assert is_rotation(inverted, start) or is_rotation(inverted, reverse_complement(start))
            lost = expand(call(one_branch(), seed=seed, loss=0.02, extension=extension)[0][1])
            assert lost in ([], start)
        doubled = call(one_branch(), seed=seed, duplication=0.005, extension=1.0)[0][1]
        length = sum(end - begin for _, begin, end, _ in doubled)
        assert length >= 60 and length % 60 == 0 and (length // 60) & (length // 60 - 1) == 0


def test_extension_zero_flips_single_nucleotides_in_place():
    genome = call(one_branch(), seed=4, inversion=1.0, extension=0.0)[0][1]
    nucleotides = expand(genome)
    assert [(e, p) for e, p, _ in nucleotides] == [(e, p) for e, p, _ in founders(3, 20)]
    assert any(s == -1 for _, _, s in nucleotides)
    assert all(end - begin >= 1 for _, begin, end, _ in genome)


def test_a_genome_of_length_one_is_never_transposed():
    result = call(one_branch(3.0), initial_size=1, root_length=1, transposition=100.0)
    assert result == [(1, [(0, 0, 1, 1)])]


def test_replacement_has_no_effect_and_equal_calls_agree():
    tree = random_tree(random.Random(7), 12)
    rates = dict(inversion=0.01, loss=0.01, duplication=0.01, transfer=0.01, transposition=0.01,
                 origination=1.0, distance_decay=0.5)
    base = call(tree, seed=99, replacement=0.0, **rates)
    assert call(tree, seed=99, replacement=1.0, **rates) == base
    assert call(tree, seed=99, replacement=0.0, **rates) == base
    assert call(tree, seed=100, replacement=0.0, **rates) != base


@pytest.mark.parametrize("seed", range(12))
def test_random_trees_keep_genomes_consistent(seed):
    rng = random.Random(seed)
    print("seed", seed)
    tree = random_tree(rng, rng.randint(2, 15))
    kinds = ["inversion", "loss", "duplication", "transfer", "transposition"]
    rates = {k: rng.choice([0.0, 0.005, 0.02]) for k in kinds}
    rates["origination"] = rng.choice([0.0, 2.0])
    options = dict(extension=rng.choice([0.0, 0.5, 0.9, 1.0]), root_length=rng.randint(1, 40),
                   initial_size=rng.randint(0, 4), distance_decay=rng.choice([-1.0, 0.0, 2.0]),
                   allow_self=rng.random() < 0.5)
    if options["extension"] >= 1.0:
        rates["duplication"] = rates["transfer"] = 0.0  # whole-genome copies grow explosively
    result = call(tree, seed=seed, **rates, **options)
    n_nodes, parent, time, extant, _ = tree
    assert [leaf for leaf, _ in result] == sorted((v for v in range(n_nodes) if extant[v]),
                                                  key=lambda v: (time[v], v))
    start = collections.Counter((e, p) for e, p, _ in founders(options["initial_size"],
                                                               options["root_length"]))
    for _, genome in result:
        for element, begin, end, strand in genome:
            assert end > begin >= 0 and strand in (1, -1)
        counts = collections.Counter((e, p) for e, p, _ in expand(genome))
        founded = collections.Counter({k: c for k, c in counts.items() if k in start})
        if rates["duplication"] == rates["transfer"] == 0:
            assert all(c == 1 for c in founded.values())  # nothing is ever copied
            if rates["loss"] == 0:
                assert founded == start  # only rearranged


def test_transfers_only_add_material_to_the_recipient():
    tree = (3, [-1, 0, 0], [0.0, 1.0, 1.0], [False, True, True], 0)
    for seed in range(10):
        result = call(tree, seed=seed, transfer=0.2, extension=0.8)
        start = set(founders(3, 20))
        grown = [len(expand(g)) for _, g in result]
        for _, genome in result:
            assert {(e, p, 1) for e, p, _ in expand(genome)} >= {(e, p, 1) for e, p, _ in start}
        if seed == 0:
            assert max(grown) > 60


def test_origination_count_is_poisson():
    rate, height, runs = 3.0, 2.0, 400
    counts = [len({e for e, _, _, _ in call(one_branch(height), seed=s, initial_size=0,
                                            origination=rate, root_length=10)[0][1]})
              for s in range(runs)]
    mean = sum(counts) / runs
    assert abs(mean - rate * height) < 5 * math.sqrt(rate * height / runs)


def test_lengths_outside_the_signed_range_stop_as_runaway_growth():
    with pytest.raises(RuntimeError) as caught:
        call(one_branch(), initial_size=4, root_length=2**62)
    assert str(caught.value) == RUNAWAY
    with pytest.raises(RuntimeError) as caught:  # more founding segments than memory allows
        call(one_branch(), initial_size=2**40, root_length=0)
    assert str(caught.value) == RUNAWAY
    with pytest.raises(RuntimeError) as caught:
        call(one_branch(), initial_size=1, root_length=2**62, duplication=1.0, extension=1.0)
    assert str(caught.value) == RUNAWAY


def test_negative_root_length_and_broken_trees_panic():
    assert_panics(call, one_branch(), root_length=-5)
    assert_panics(call, one_branch(), root_length=-5, initial_size=0)
    assert_panics(call, (2, [-1, 5], [0.0, 1.0], [False, True], 0))
    assert_panics(call, (2, [-1, 0], [0.0, 1.0], [False, True], 2))
    assert_panics(call, (2, [-1, 0], [0.0], [False, True], 0))
    assert_panics(call, (2, [-1, 0], [0.0, float("nan")], [False, True], 0))
    assert_panics(call, (3, [-1, 2, 0], [0.0, 0.5, 0.5], [False, True, False], 0))
    assert_panics(call, (3, [-1, 0, 1], [0.0, 0.5, 1.0], [False, True, True], 0))


def test_nodes_with_one_or_three_children_all_receive_the_genome():
    tree = (5, [-1, 0, 0, 0, 1], [0.0, 0.5, 1.0, 1.0, 1.0], [False, False, True, True, True], 0)
    result = call(tree, initial_size=2, root_length=7)
    assert [leaf for leaf, _ in result] == [2, 3, 4]
    assert all(g == [(0, 0, 7, 1), (1, 0, 7, 1)] for _, g in result)
