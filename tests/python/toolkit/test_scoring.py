"""loglik and loglik_joint: the same bits as direct core calls, on any number of threads."""
import math
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pytest

import korvath
import korvath_core
from korvath import GeneTrees, SpeciesTree, loglik, loglik_joint
from korvath import scoring

RATES = dict(duplication=0.25, transfer=0.3, loss=0.45)


@pytest.fixture(scope="module")
def batch():
    # Extinct lineages kept: the likelihoods see the reconstructed tree, with a stem.
    tree = SpeciesTree.birth_death(9, 1.0, 0.4, seed=4, keep_extinct=True)
    assert not tree.extant.all() or tree.n_nodes > 17
    sim = korvath.simulate_families(tree, **RATES, families=70, seed=8)
    return tree, GeneTrees.from_simulation(sim), sim.n_families


def direct(tree, genes, model, origination, n_extinct=None, n_steps=7):
    """One call of the core on the whole batch, arrays made by hand from the two methods."""
    sp = tree.likelihood_arrays()
    gt = genes.arrays()
    args = dict(sp_left=sp.sp_left, sp_right=sp.sp_right, sp_is_leaf=sp.sp_is_leaf,
                sp_time=sp.sp_time, sp_parent_time=sp.sp_parent_time, sp_root=sp.sp_root,
                gt_offsets=gt.gt_offsets, gt_is_leaf=gt.gt_is_leaf, gt_left=gt.gt_left,
                gt_right=gt.gt_right, gt_species=gt.gt_species, dup=RATES["duplication"],
                transfer=RATES["transfer"], loss=RATES["loss"],
                origination=ORIGIN[origination])
    joint = n_extinct is not None
    if joint:
        args["n_extinct"] = n_extinct
    if model == "dated":
        f = korvath_core.dated_joint_loglik if joint else korvath_core.dated_family_loglik
        return f(sp_parent=sp.sp_parent, n_steps=n_steps, **args)
    f = korvath_core.undated_joint_loglik if joint else korvath_core.undated_family_loglik
    return f(transfers=1 if model == "reldated" else 0, **args)


ORIGIN = {"root": 0, "uniform": 1}


def bits(values):
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
@pytest.mark.parametrize("origination", ["root", "uniform"])
def test_toolkit_equals_direct_core_calls_bit_for_bit(batch, model, origination, monkeypatch):
    tree, genes, n_families = batch
    n_extinct = n_families - len(genes)
    steps = dict(n_steps=7) if model == "dated" else {}
    expected = direct(tree, genes, model, origination)
    expected_joint = direct(tree, genes, model, origination, n_extinct=n_extinct)
    # Small pieces, so that the batch is split many ways.
    monkeypatch.setattr(scoring, "_NODES_PER_CHUNK", 40)
    for threads in (1, 3):
        series = loglik(tree, genes, **RATES, model=model, origination=origination,
                        threads=threads, **steps)
        assert list(series.index) == genes.names and series.name == "loglik"
        assert bits(series.values) == bits(expected)
        joint = loglik_joint(tree, genes, **RATES, model=model, origination=origination,
                             n_extinct=n_extinct, threads=threads, **steps)
        assert bits([joint]) == bits([expected_joint])
    assert np.all(np.isfinite(expected)) and math.isfinite(expected_joint)


def test_default_steps_and_empty_batches(batch):
    tree, genes, _ = batch
    dated = loglik(tree, genes, **RATES, model="dated")
    assert bits(dated.values) == bits(direct(tree, genes, "dated", "root",
                                             n_steps=scoring.DEFAULT_N_STEPS))
    empty = GeneTrees.from_newick([], tree)
    assert len(loglik(tree, empty, **RATES)) == 0
    only_extinct = loglik_joint(tree, empty, **RATES, n_extinct=3)
    one = loglik_joint(tree, empty, **RATES, n_extinct=1)
    assert only_extinct == 3 * one and one < 0


@pytest.mark.parametrize("changes, error, message", [
    (dict(duplication=-0.5), ValueError, "duplication: a rate must be finite and >= 0"),
    (dict(loss=float("nan")), ValueError, "loss"),
    (dict(transfer=float("inf")), ValueError, "transfer"),
    (dict(transfer="0.1"), TypeError, "transfer"),
    (dict(model="timed"), ValueError, "model: must be one of"),
    (dict(origination=2), ValueError, "origination: must be one of"),
    (dict(model="dated", n_steps=0), ValueError, "n_steps: must be an integer >= 1"),
    (dict(model="undated", n_steps=5), ValueError, "n_steps: applies to the dated model"),
    (dict(threads=0), ValueError, "threads"),
    (dict(client=object()), TypeError, "client"),
    (dict(duplication=10**400), ValueError, "duplication: an integer of 401 digits"),
    # Time grids no machine holds: refused before the core allocates them.
    (dict(model="dated", duplication=1e300), ValueError,
     r"duplication, transfer, loss, n_steps: with a total rate of 1e\+300 .* Euler steps"),
    (dict(model="dated", n_steps=10**9), ValueError, "n_steps=1000000000, the dated model"),
])
def test_arguments_are_checked_before_the_core_runs(batch, changes, error, message):
    tree, genes, _ = batch
    kwargs = {**RATES, **changes}
    with pytest.raises(error, match=message):
        loglik(tree, genes, **kwargs)
    with pytest.raises(error, match=message):
        loglik_joint(tree, genes, **kwargs)


def test_trees_the_models_cannot_use_are_rejected(batch):
    tree, genes, _ = batch
    with pytest.raises(TypeError, match="gene_trees: expected GeneTrees, got NoneType"):
        loglik(tree, None, **RATES)
    # Branches so long that the rates' steps overflow any machine.
    vast = SpeciesTree.from_newick("((a:1,b:1):1e300,c:1e300);")
    vast_genes = GeneTrees.from_newick(["((a_1,b_1),c_1);"], vast)
    with pytest.warns(UserWarning, match="length 1e-9 or less"), \
            pytest.raises(ValueError, match="height 1e\\+300"):
        loglik(vast, vast_genes, **RATES, model="dated")
    # A branch too short for the dated model (one resolving a polytomy, say) makes the
    # families reaching the split above it score -inf: said, naming it.
    short = SpeciesTree.from_newick("(a:1.000000001,(b:1,c:1)bc:1e-9);")
    short_genes = GeneTrees.from_newick(["((b_1,c_1),a_1);"], short)
    with pytest.warns(UserWarning, match=r"1 branch of length 1e-9 or less \('bc'\)"):
        assert loglik(short, short_genes, **RATES, model="dated")[1] == -math.inf
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert math.isfinite(loglik(short, short_genes, **RATES)[1])
    with pytest.raises(ValueError, match="n_extinct"):
        loglik_joint(tree, genes, **RATES, n_extinct=-1)
    flat = SpeciesTree.from_arrays([-1, 0, 0], [0.0, 0.0, 0.0], [False, True, True],
                                   ["r", "a", "b"])
    flat_genes = GeneTrees.from_newick(["(a_1,b_2);"], flat)
    assert math.isfinite(loglik(flat, flat_genes, **RATES)[1])  # the undated model is fine
    with pytest.raises(ValueError, match="dated species tree"):
        loglik(flat, flat_genes, **RATES, model="dated")
    # One extant species: a dated family cannot start at a root split.
    lone = SpeciesTree.from_newick("((a:1,x:0.5):1,y:1);", extant=["a"])
    lone_genes = GeneTrees.from_newick(["a_1;"], lone)
    with pytest.raises(ValueError, match="two extant species"):
        loglik(lone, lone_genes, **RATES, model="dated")
    assert math.isfinite(loglik(lone, lone_genes, **RATES, model="dated",
                                origination="uniform")[1])
    other = SpeciesTree.birth_death(9, seed=99)
    with pytest.raises(ValueError, match="different species tree"):
        loglik(other, genes, **RATES)


INTERRUPT_SCRIPT = textwrap.dedent("""
    import os, signal, sys, threading
    import korvath
    from korvath import scoring
    # Started from a shell without job control, a process begins with Ctrl-C ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    tree = korvath.SpeciesTree.birth_death(12, seed=1)
    sim = korvath.simulate_families(tree, duplication=0.3, transfer=0.3, loss=0.3,
                                    families=300, seed=2)
    genes = korvath.GeneTrees.from_simulation(sim)
    scoring._NODES_PER_CHUNK = 1  # one family per piece
    calls = []
    real = scoring._score_chunk
    def counting(*args):
        calls.append(1)
        if len(calls) == 2:  # Ctrl-C while the batch is being scored
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
        return real(*args)
    scoring._score_chunk = counting
    try:
        korvath.loglik(tree, genes, duplication=0.3, transfer=0.3, loss=0.3,
                       model="dated", n_steps=300, threads=int(sys.argv[1]))
        print("finished")
    except KeyboardInterrupt:
        print("interrupted", len(calls), len(genes), threading.active_count())
""")


@pytest.mark.parametrize("threads", [1, 2])
def test_ctrl_c_stops_a_long_call_with_keyboard_interrupt(threads):
    out = subprocess.run([sys.executable, "-c", INTERRUPT_SCRIPT, str(threads)],
                         capture_output=True, text=True, timeout=300,
                         env={**os.environ, "PYTHONFAULTHANDLER": "1"})
    assert out.returncode == 0, out.stderr
    word, calls, families, alive = out.stdout.split()
    assert word == "interrupted"
    # The batch stopped early (a piece takes a few milliseconds, the batch seconds) and no
    # scoring thread is left behind.
    assert int(calls) < int(families) // 4 and int(families) > 100
    assert int(alive) == 1
