"""Malformed species trees end simulate_log and simulate_trace with
PanicException naming the node and the broken requirement; trees that the
requirements allow still run."""
import math

import pytest

import korvath_core
from conftest import assert_panics
from gene_family_replay import rates

FUNCTIONS = [korvath_core.simulate_log, korvath_core.simulate_trace]
BUSY = rates(duplication=1.0, transfer=1.0, loss=0.5, origination=1.0, initial_size=3,
             distance_decay=0.5)

# Root 0; node 1 internal (date 0.5) with leaves 3 and 4; leaf 2.
GOOD = dict(n_nodes=5, parent=[-1, 0, 0, 1, 1], time=[0.0, 0.5, 1.0, 1.0, 1.0],
            extant_leaf=[False, False, True, True, True], root=0)


def tree(**changes):
    t = {k: (list(v) if isinstance(v, list) else v) for k, v in GOOD.items()}
    t.update(changes)
    return t


MALFORMED = {
    "short parent": (tree(parent=[-1, 0, 0, 1]), "parent has 4 entries"),
    "short time": (tree(time=[0.0, 0.5, 1.0, 1.0]), "time has 4 entries"),
    "short extant_leaf": (tree(extant_leaf=[False] * 4), "extant_leaf has 4 entries"),
    "parent out of range": (tree(parent=[-1, 0, 0, 1, 9]), "node 4 has parent 9"),
    "root out of range": (tree(root=5), "root 5"),
    "root with a parent": (tree(parent=[1, 0, 0, 1, 1]), "node 0 is the root but has parent 1"),
    "cycle": (tree(n_nodes=7, parent=[-1, 0, 0, 1, 1, 6, 5], time=[0, .5, 1, 1, 1, .7, .8],
                   extant_leaf=[False, False, True, True, True, False, False]),
              "comes before its parent"),
    "second root with children": (tree(parent=[-1, -1, 0, 1, 1]), "node 1 has no parent"),
    "child dated before parent": (tree(time=[0.0, 0.5, 1.0, 0.4, 1.0]),
                                  "node 3 comes before its parent 1"),
    "equal date smaller index": (tree(parent=[-1, 3, 3, 0, 0], time=[0.0, 0.5, 0.5, 0.5, 1.0],
                                      extant_leaf=[False, True, True, False, True]),
                                 "node 1 comes before its parent 3"),
    "one child": (tree(parent=[-1, 0, 0, 1, 2], extant_leaf=[False, False, False, True, True],
                       time=[0.0, 0.5, 0.6, 1.0, 1.0]), "has 1 children"),
    "three children": (tree(parent=[-1, 0, 0, 0, 1], time=[0.0, 0.5, 1.0, 1.0, 1.0]),
                       "node 0 has 3 children"),
    "childless root": (dict(n_nodes=1, parent=[-1], time=[0.0], extant_leaf=[False], root=0),
                       "node 0 has 0 children"),
    "extant leaf with children": (tree(extant_leaf=[False, True, True, True, True]),
                                  "node 1 is an extant leaf but has children"),
    "NaN date": (tree(time=[0.0, math.nan, 1.0, 1.0, 1.0]), "node 1 has a NaN date"),
    "NaN date on a lone node": (tree(n_nodes=6, parent=[-1, 0, 0, 1, 1, -1],
                                     time=[0.0, 0.5, 1.0, 1.0, 1.0, math.nan],
                                     extant_leaf=[False, False, True, True, True, False]),
                                "node 5 has a NaN date"),
    "empty tree": (dict(n_nodes=0, parent=[], time=[], extant_leaf=[], root=0), "root 0"),
}


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
@pytest.mark.parametrize("name", sorted(MALFORMED))
def test_malformed_tree_panics_with_a_clear_message(function, name):
    arrays, message = MALFORMED[name]
    exc = assert_panics(function, **arrays, **BUSY)
    assert message in str(exc)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__name__)
def test_allowed_variations_still_run(function):
    # -7 means no parent like -1; a lone parentless childless node whose date
    # lies outside the tree's span; longer arrays than n_nodes (entries past
    # n_nodes are never read); a zero-length branch; tied dates.
    variants = [
        tree(parent=[-7, 0, 0, 1, 1]),
        tree(n_nodes=6, parent=[-1, 0, 0, 1, 1, -1], time=[0.0, 0.5, 1.0, 1.0, 1.0, -3.0],
             extant_leaf=[False, False, True, True, True, False]),
        tree(parent=[-1, 0, 0, 1, 1, 99], time=[0.0, 0.5, 1.0, 1.0, 1.0, math.nan],
             extant_leaf=[False, False, True, True, True, True]),
        tree(time=[0.0, 0.0, 1.0, 1.0, 1.0]),
        tree(extant_leaf=[False, False, True, False, True]),
    ]
    for arrays in variants:
        function(**arrays, **BUSY)
    base = function(**tree(), **BUSY)
    assert function(**tree(parent=[-7, 0, 0, 1, 1]), **BUSY) == base


def test_zero_length_branch_carries_no_event():
    columns, _ = korvath_core.simulate_log(**tree(time=[0.0, 0.0, 1.0, 1.0, 1.0]), **BUSY)
    kind, branch = columns[0], columns[1]
    assert all(branch[i] != 1 or kind[i] == 4 for i in range(len(kind)))


def test_extinct_leaf_drops_its_copies_silently():
    extinct = tree(time=[0.0, 0.5, 0.8, 1.0, 1.0], extant_leaf=[False, False, False, True, True])
    columns, leaves = korvath_core.simulate_log(**extinct, **rates(initial_size=2))
    assert [v for v, _ in leaves] == [3, 4]
    assert all(b != 2 for b, k in zip(columns[1], columns[0]) if k == 4)


# Dates that would keep a run's clock from reaching a node (NaN or infinite,
# the root's included), or a child of the root dated before it (its sisters
# would be simulated over a span that begins before their parent exists).
# Each must end every simulator before its first event, so the calls below
# come back at once even with rates that would otherwise run away.
BAD_DATES = {
    "NaN root": ([math.nan, 0.5, 1.0, 1.0, 1.0], "node 0 has a NaN date"),
    "infinite root": ([-math.inf, 0.5, 1.0, 1.0, 1.0], "node 0 has an infinite date (-inf)"),
    "child of the root at -inf": ([0.0, -math.inf, 1.0, 1.0, 1.0], "node 1 has an infinite date"),
    "leaf at +inf": ([0.0, 0.5, math.inf, 1.0, 1.0], "node 2 has an infinite date (+inf)"),
    "child of the root before it": ([0.0, 0.5, -10.0, 1.0, 1.0],
                                     "node 2 comes before its parent 0 (the root)"),
    "root after its child": ([0.6, 0.5, 1.0, 1.0, 1.0], "node 1 comes before its parent 0"),
}
RUNAWAY_RATES = rates(duplication=5.0, transfer=1.0, loss=0.0, origination=50.0, initial_size=3)


def simulators():
    """Each simulator as a function of the five tree arguments."""
    def nucleotide(**t):
        return korvath_core.simulate_nucleotide(
            **t, inversion=0.5, loss=0.0, duplication=1.0, transfer=0.5, transposition=0.5,
            origination=50.0, root_length=100, extension=0.9, initial_size=2, seed=1,
            replacement=0.0, distance_decay=-1.0, allow_self=False)

    def parallel(**t):
        return korvath_core.simulate_profiles_parallel(**t, **RUNAWAY_RATES, n_copies=2,
                                                       n_threads=1)

    return {
        "simulate_log": lambda **t: korvath_core.simulate_log(**t, **RUNAWAY_RATES),
        "simulate_trace": lambda **t: korvath_core.simulate_trace(**t, **RUNAWAY_RATES),
        "simulate_profiles": lambda **t: korvath_core.simulate_profiles(**t, **RUNAWAY_RATES),
        "simulate_profiles_parallel": parallel,
        "simulate_nucleotide": nucleotide,
    }


@pytest.mark.parametrize("name", sorted(BAD_DATES))
@pytest.mark.parametrize("simulator", sorted(simulators()))
def test_bad_dates_end_every_simulator_before_any_event(simulator, name):
    time, message = BAD_DATES[name]
    exc = assert_panics(simulators()[simulator], **tree(time=time))
    assert message in str(exc)


@pytest.mark.parametrize("name", sorted(BAD_DATES))
def test_bad_dates_end_simulate_and_write_before_anything_is_created(name, tmp_path):
    time, message = BAD_DATES[name]
    outdir = tmp_path / "out"
    exc = assert_panics(korvath_core.simulate_and_write, **tree(time=time),
                        names=["r", "a", "b", "c", "d"], **RUNAWAY_RATES, total_age=1.0,
                        outdir=str(outdir))
    assert message in str(exc)
    assert not outdir.exists()


def test_root_and_its_children_may_share_a_date_and_any_finite_origin():
    # A zero-length branch below the root, and a tree dated far from 0.
    for time in ([0.0, 0.0, 1.0, 1.0, 1.0], [-1e6, -1e6 + 0.5, -1e6 + 1.0, -1e6 + 1.0, -1e6 + 1.0]):
        columns, leaves = korvath_core.simulate_log(**tree(time=time), **BUSY)
        assert [v for v, _ in leaves] == [2, 3, 4]
