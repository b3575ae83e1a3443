"""korvath.reconcile: scenarios, their tables, RecPhyloXML and the plot.

The sampler itself is checked against exact probabilities in test_reconcile_sampling.py; here the
toolkit's side: the same likelihoods as scoring, results that do not depend on threads, tables
that agree with the events, and reconciled trees that hold exactly the gene tree's leaves.
"""
import math
import re
import xml.etree.ElementTree as ET

import numpy as np
import pandas as pd
import pytest

import korvath
from korvath import GeneTrees, SpeciesTree, loglik, reconcile
from korvath.reconciliation import pruned_counts

RATES = dict(duplication=0.3, transfer=0.25, loss=0.4)
NS = "{http://www.recg.org}"


@pytest.fixture(scope="module")
def tree():
    return SpeciesTree.birth_death(9, seed=5)


@pytest.fixture(scope="module")
def genes(tree):
    sim = korvath.simulate_families(tree, duplication=0.3, transfer=0.3, loss=0.4, families=40,
                                    seed=8)
    return GeneTrees.from_simulation(sim)


@pytest.fixture(scope="module")
def unrooted(tree):
    leaves = tree.extant_leaves
    texts = {"u1": f"({leaves[0]}_a,{leaves[1]}_b,({leaves[2]}_c,{leaves[0]}_d));",
             "u2": f"({leaves[3]}_a,({leaves[4]}_b,{leaves[5]}_c),({leaves[6]}_d,{leaves[3]}_e));"}
    return GeneTrees.from_newick(texts, tree, "_", rooted=False)


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
@pytest.mark.parametrize("origination", ["root", "uniform"])
def test_likelihoods_are_the_scores_and_threads_change_nothing(tree, genes, unrooted, model,
                                                                origination):
    steps = dict(n_steps=4) if model == "dated" else {}
    for batch in (genes, unrooted):
        one = reconcile(tree, batch, **RATES, model=model, origination=origination, samples=7,
                        seed=3, **steps)
        many = reconcile(tree, batch, **RATES, model=model, origination=origination,
                         samples=7, seed=3, threads=3, **steps)
        expected = loglik(tree, batch, **RATES, model=model, origination=origination, **steps)
        assert one.loglik.equals(expected)
        pd.testing.assert_frame_equal(one.events, many.events)
        assert set(one.events["sample"]) == set(range(7))
        assert list(one.events["family"].unique()) == list(batch.names)


def test_progress_reaches_every_family_whatever_the_threads(tree, genes):
    # Pieces that end before the main thread first waits were never reported with threads.
    for threads in (1, 2, 3):
        calls = []
        reconcile(tree, genes, **RATES, samples=3, seed=1, threads=threads,
                  progress=calls.append)
        assert calls and calls[-1] == len(genes) and calls == sorted(set(calls))


def test_tables_agree_with_the_events(tree, genes):
    rec = reconcile(tree, genes, **RATES, samples=20, seed=1)
    ev = rec.events
    counts = rec.branch_counts()
    for letter in "DTLSO":
        by_branch = ev[ev["event"] == letter].groupby("branch", observed=False).size()
        assert np.allclose(counts[letter], by_branch.reindex(counts.index).to_numpy() / 20)
    received = ev[ev["event"] == "T"].groupby("recipient", observed=False).size()
    assert np.allclose(counts["received"], received.reindex(counts.index).to_numpy() / 20)
    # One origination per scenario of every family, on the root branch.
    assert counts["O"].sum() == len(genes)
    assert counts["O"].idxmax() == counts.index[-1]
    per_family = rec.branch_counts(per_family=True)
    assert np.allclose(per_family.groupby(level="branch", sort=False).sum().loc[counts.index],
                       counts)
    pairs = rec.transfers()
    assert math.isclose(pairs["frequency"].sum(), counts["T"].sum())
    assert (pairs["donor"] != pairs["recipient"]).all()
    assert pairs["frequency"].is_monotonic_decreasing
    # Every speciation that splits a gene node sends its children to the two daughters.
    arrays = tree.likelihood_arrays()
    names = [tree.names[v] for v in arrays.node_of]
    assert set(ev["branch"].astype(str)) <= set(names)


@pytest.mark.parametrize("model", ["undated", "dated"])
def test_every_split_names_its_own_clades_two_children(tree, genes, unrooted, model):
    # Tips on one species branch share one history in the dated sampler (a duplication in
    # a species leaves such cherries), yet each split must still name the two clades the gene
    # node splits into, and a tip ends only its own lineage.
    steps = dict(n_steps=4) if model == "dated" else {}
    for batch in (genes, unrooted):
        rec = reconcile(tree, batch, **RATES, model=model, samples=30, seed=4, **steps)
        arrays = batch.clade_arrays()
        offsets = arrays.cl_offsets.astype(np.int64)
        splits = arrays.cl_split_offsets.astype(np.int64)
        ev = rec.events
        split_events = ev[ev["left"] >= 0]
        assert len(split_events) > 0
        for k, name in enumerate(batch.names):
            first = offsets[k]
            children = {
                c: {frozenset((int(arrays.split_left[i]), int(arrays.split_right[i])))
                    for i in range(splits[first + c], splits[first + c + 1])}
                for c in range(offsets[k + 1] - first)}
            family = split_events[split_events["family"] == name]
            for node, left, right in zip(family["gene_node"], family["left"], family["right"]):
                assert frozenset((int(left), int(right))) in children[int(node)]
                assert left != right


@pytest.mark.parametrize("model", ["reldated", "dated"])
def test_recphyloxml_holds_each_gene_tree_with_its_losses(tree, genes, unrooted, tmp_path, model):
    for batch in (genes, unrooted):
        rec = reconcile(tree, batch, **RATES, model=model, samples=3, seed=2)
        path = tmp_path / "rec.xml"
        text = rec.to_recphyloxml(path, sample=2)
        assert path.read_text() == text
        root = ET.fromstring(text)
        species = {e.text for e in root.find(NS + "spTree").iter(NS + "name")}
        assert len(species) == len(tree.likelihood_arrays().node_of)
        gene_trees = root.findall(NS + "recGeneTree")
        assert len(gene_trees) == len(batch)
        labels = batch.leaf_labels()
        for family, gt in zip(batch.names, gene_trees):
            top = gt.find(NS + "phylogeny")
            assert top.find(NS + "name").text == str(family)
            leaves, lost = [], 0
            losses = (rec.events["family"] == family) & (rec.events["sample"] == 2) & (
                rec.events["event"] == "L")
            for clade in top.iter(NS + "clade"):
                children = clade.findall(NS + "clade")
                events = list(clade.find(NS + "eventsRec"))
                assert len(children) in (0, 2)
                for e in events:
                    where = e.get("speciesLocation") or e.get("destinationSpecies")
                    assert where in species
                last = events[-1].tag[len(NS):]
                if not children:
                    assert last in ("leaf", "loss")
                    if last == "leaf":
                        leaves.append(clade.find(NS + "name").text)
                    else:
                        lost += 1
                else:
                    assert last in ("speciation", "duplication", "branchingOut")
            assert sorted(leaves) == sorted(labels.loc[family].tolist())
            assert lost == int(losses.sum())


def test_bad_arguments_and_impossible_families(tree, genes):
    with pytest.raises(ValueError, match="model"):
        reconcile(tree, genes, **RATES, model="timed")
    with pytest.raises(ValueError, match="n_steps"):
        reconcile(tree, genes, **RATES, n_steps=5)
    with pytest.raises(ValueError, match="samples"):
        reconcile(tree, genes, **RATES, samples=0)
    with pytest.raises(TypeError, match="samples"):
        reconcile(tree, genes, **RATES, samples=2.0)
    with pytest.raises(ValueError, match="seed"):
        reconcile(tree, genes, **RATES, seed=-1)
    with pytest.raises(ValueError, match="loss"):
        reconcile(tree, genes, duplication=0.1, transfer=0.1, loss=-1.0)
    with pytest.raises(TypeError, match="gene_trees"):
        reconcile(tree, "((a,b),c);", **RATES)
    with pytest.raises(TypeError, match="progress"):
        reconcile(tree, genes, **RATES, progress=3)
    rec = reconcile(tree, genes, **RATES, samples=2)
    with pytest.raises(ValueError, match="sample"):
        rec.to_recphyloxml(sample=2)
    with pytest.raises(ValueError, match="event"):
        rec.plot(event="X")
    # Without duplications and transfers a tree whose clade crosses the species tree has
    # likelihood 0: it gets no scenarios and no reconciled tree, the others do.
    leaves = tree.extant_leaves
    odd = GeneTrees.from_newick({"fits": f"({leaves[0]}_1,{leaves[1]}_2);",
                                 "never": f"(({leaves[0]}_1,{leaves[1]}_2),{leaves[0]}_3);"},
                                tree, "_")
    rec = reconcile(tree, odd, duplication=0.0, transfer=0.0, loss=0.5, samples=4,
                    origination="uniform")
    assert rec.loglik["never"] == -math.inf and rec.loglik["fits"] > -math.inf
    assert set(rec.events["family"]) == {"fits"}
    assert len(ET.fromstring(rec.to_recphyloxml()).findall(NS + "recGeneTree")) == 1


def test_a_family_too_large_for_its_histories_gets_advice_that_fits_it(tree, genes, unrooted):
    from korvath.reconciliation import _history_advice

    core = ("exceeded the memory budget of 2.9 GB (one eighth of the memory the process may "
            "use); the gene histories of a family too large to hold \u2014 lower n_steps or "
            "score the family's trees apart")
    leaves = tree.extant_leaves
    sample = GeneTrees.from_samples(
        {"one": [f"({leaves[0]}_a,({leaves[1]}_b,{leaves[2]}_c));"],
         "two": [f"({leaves[0]}_a,({leaves[1]}_b,{leaves[2]}_c));",
                 f"(({leaves[0]}_a,{leaves[1]}_b),{leaves[2]}_c);"]}, tree)
    advice = {ways: _history_advice(core, batch, k)
              for ways, batch, k in [("rooted", genes, 0), ("unrooted", unrooted, 1),
                                     ("one tree", sample, 0), ("sample", sample, 1)]}
    head = "exceeded the memory budget of 2.9 GB (one eighth of the memory the process may use)"
    assert all(text.startswith(head + "; the family's gene histories are too large to hold")
               for text in advice.values())
    assert advice["rooted"].endswith("\u2014 lower n_steps or use an undated model")
    assert advice["unrooted"] == advice["one tree"]
    assert "reconcile a rooting of the tree" in advice["unrooted"]
    assert "the sample's trees one at a time" in advice["sample"]
    other = "exceeded max_events; sampled scenarios too large to hold"
    assert _history_advice(other, sample, 1) == other


def test_plot_colours_every_branch(tree, genes):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    rec = reconcile(tree, genes, **RATES, samples=5)
    ax = rec.plot("L")
    lines = [c for c in ax.collections if c.get_array() is not None]
    assert len(lines) == 1
    assert np.allclose(lines[0].get_array(), rec.branch_counts()["L"].to_numpy())
    import matplotlib.pyplot as plt
    plt.close(ax.figure)


def test_dated_scenarios_match_simulated_histories_of_the_same_gene_tree():
    """The dated simulator is the dated model run forwards: among simulated families whose
    extant gene tree is ((A,B),C), the events of the pruned histories must average what the
    sampled scenarios of that gene tree average, branch by branch (within 5 standard errors of
    the difference, plus 0.01 for the Euler steps)."""
    tree = SpeciesTree.from_newick("((A:1,B:1):1,C:2);")
    rates = dict(duplication=0.15, transfer=0.2, loss=0.2)
    sim = korvath.simulate_families(tree, **rates, families=60000, seed=21)
    wanted = {"((A,B),C);", "((B,A),C);", "(C,(A,B));", "(C,(B,A));"}
    accepted = []
    for family, text in sim.gene_trees(extant=True).items():
        shape = re.sub(r"\)[^,();]*", ")", re.sub(r":[^,();]*", "", text.strip()))
        if re.sub(r"([ABC])_\d+", r"\1", shape) in wanted:
            accepted.append(int(family))
    assert len(accepted) > 5000
    truth = pruned_counts(sim, accepted, per_family=True)
    genes = GeneTrees.from_newick(["((A_1,B_1),C_1);"], tree, "_")
    n_samples = 20000
    rec = reconcile(tree, genes, **rates, model="dated", n_steps=200, samples=n_samples,
                    seed=4)
    ev = rec.events
    columns = ["D", "T", "received", "L", "S"]
    branches = rec.branch_counts().index
    per_sample = {}
    for kind in columns:
        rows = ev[ev["event"] == ("T" if kind == "received" else kind)]
        where = rows["recipient" if kind == "received" else "branch"].astype(str)
        table = pd.crosstab(rows["sample"], where).reindex(index=range(n_samples),
                                                           columns=branches, fill_value=0)
        per_sample[kind] = table
    for kind in columns:
        sim_counts = truth[kind].unstack("branch")[branches]
        mean_sim, se_sim = sim_counts.mean(), sim_counts.std() / math.sqrt(len(sim_counts))
        mean_rec = per_sample[kind].mean()
        se_rec = per_sample[kind].std() / math.sqrt(n_samples)
        gap = (mean_rec - mean_sim).abs()
        bound = 5 * np.sqrt(se_sim ** 2 + se_rec ** 2) + 0.01
        assert (gap <= bound).all(), (kind, pd.DataFrame({"sim": mean_sim, "rec": mean_rec,
                                                          "bound": bound}))
    assert per_sample["L"].to_numpy().mean() > 0.05  # the check sees losses
