"""Replaying an event trace against the species tree gives back the recording run's event log
exactly; the native and pure-Python paths agree; a trace that does not fit the tree is refused."""
import numpy as np
import pytest

import korvath
import korvath_core
from korvath import _native, simulate_families
from korvath.replay import (EventLog, copies_from_core, gene_trees_from_log, log_from_core,
                            replay_trace)
from toolkit_trees import random_options, random_tree
from test_simulation import core_args


def run_both(tree, options):
    args = core_args(tree, options)
    log_columns, leaves = korvath_core.simulate_log(**args)
    trace_columns, _ = korvath_core.simulate_trace(**args)
    return log_from_core(log_columns), copies_from_core(leaves), log_from_core(trace_columns)


def assert_same_log(a, b):
    for x, y in zip(a.columns(), b.columns()):
        assert x.dtype.kind == y.dtype.kind and np.array_equal(x, y)


@pytest.fixture(params=["native", "python"])
def path(request, monkeypatch):
    if request.param == "native" and not _native.available:
        pytest.skip("native helper not built")
    if request.param == "python":
        monkeypatch.setattr(_native, "available", False)
    return request.param


@pytest.mark.parametrize("seed", range(40))
def test_replay_reproduces_the_recording_run(seed, path):
    tree = random_tree(seed)
    log, copies, trace = run_both(tree, random_options(seed))
    replayed, replayed_copies = replay_trace(tree, trace)
    assert_same_log(replayed, log)
    for x, y in zip((replayed_copies.leaves, replayed_copies.leaf, replayed_copies.gene,
                     replayed_copies.family),
                    (copies.leaves, copies.leaf, copies.gene, copies.family)):
        assert np.array_equal(x, y)


@pytest.mark.parametrize("seed", range(15))
def test_native_and_python_gene_trees_agree(seed, monkeypatch):
    if not _native.available:
        pytest.skip("native helper not built")
    tree = random_tree(100 + seed)
    log, copies, _ = run_both(tree, random_options(100 + seed))
    native = [gene_trees_from_log(tree, log, copies, extant=e) for e in (False, True)]
    monkeypatch.setattr(_native, "available", False)
    assert native == [gene_trees_from_log(tree, log, copies, extant=e) for e in (False, True)]


def test_gene_trees_of_a_run_on_another_tree_are_refused(path):
    # A log and copies recorded on a larger tree name species nodes the smaller one lacks: a
    # ValueError saying so, on both paths, not an IndexError from deep inside.
    tree = random_tree(101)
    log, copies, _ = run_both(tree, random_options(101))
    with pytest.raises(ValueError, match="does not have; was it recorded on another tree"):
        gene_trees_from_log(korvath.SpeciesTree.from_newick("(A:1,B:1);"), log, copies)


def tampered(trace, **changes):
    columns = {name: getattr(trace, name).copy() for name in
               ("kind", "branch", "time", "donor", "recipient", "family", "gene", "child1",
                "child2")}
    for name, (row, value) in changes.items():
        columns[name][row] = value
    return EventLog(**columns)


def test_a_trace_that_does_not_fit_the_tree_is_refused(path):
    tree = random_tree(7, n_leaves=10)
    options = dict(duplication=1.0, transfer=1.0, loss=0.5, origination=0.0, families=4,
                   seed=3, cap=None, replacement=0.0, distance_decay=None, allow_self=False)
    _, _, trace = run_both(tree, options)
    later = int(np.flatnonzero(trace.kind == 1)[0])
    cases = [
        (dict(gene=(later, 10**9)), "not on branch"),
        (dict(branch=(later, tree.n_nodes + 5)), "not alive"),
        (dict(branch=(later, -3)), "not alive"),
        (dict(kind=(later, 9)), "unknown event code"),
    ]
    transfer_rows = np.flatnonzero(trace.kind == 2)
    if len(transfer_rows):
        cases.append((dict(recipient=(int(transfer_rows[0]), 10**6)), "not alive"))
    for changes, message in cases:
        with pytest.raises(ValueError, match=message):
            replay_trace(tree, tampered(trace, **changes))
    with pytest.raises(ValueError, match="speciation rows"):
        replay_trace(tree, tampered(trace, kind=(later, 4)))


def test_trace_route_of_a_large_run_matches(path):
    tree = random_tree(21, n_leaves=40)
    options = dict(duplication=0.8, transfer=1.2, loss=1.0, origination=2.0, families=30,
                   seed=5, cap=4, replacement=0.4, distance_decay=0.5, allow_self=True)
    log_run = simulate_families(tree, **options)
    trace_run = simulate_families(tree, **options, record="trace")
    assert log_run.gene_trees(extant=True) == trace_run.gene_trees(extant=True)


@pytest.mark.parametrize("seed", range(6))
def test_copies_dying_with_an_extinct_species_end_at_its_date(seed, path, tmp_path):
    # B and D die out before the present: their copies' branches must stop at their dates,
    # exactly as in the files the writer makes, on both paths.
    tree = korvath.SpeciesTree.from_newick("((A:1,(B:0.3,C:1):0.0):0.5,(D:0.2,E:1.5):0);")
    sim = simulate_families(tree, duplication=0.5, transfer=0.5, loss=0.1, families=3,
                            seed=seed)
    sim.write(tmp_path)
    for extant, suffix in ((False, "complete"), (True, "extant")):
        for family, text in sim.gene_trees(extant=extant).items():
            written = (tmp_path / "gene_trees" / f"{family}_{suffix}.nwk").read_text()
            assert text == written
