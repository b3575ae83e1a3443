"""Unrooted gene trees and samples of trees, scored through their clade graphs.

An unrooted tree must score as the log of the mean over its 2n - 3 rootings of the rooted
likelihoods, each rooting written out as its own rooted Newick tree; a sample must score as the
sum over the trees its clades can form weighted by the products of split frequencies; a rooted
tree given to the core as a clade graph must score bit for bit as the tree.
"""
import math
import random

import numpy as np
import pytest

import korvath
import korvath_core
from korvath import GeneTrees, SpeciesTree, clades, loglik
from korvath.newick import parse_newick_many

RATES = dict(duplication=0.3, transfer=0.25, loss=0.4)


@pytest.fixture(scope="module")
def tree():
    return SpeciesTree.birth_death(8, seed=3)


def random_unrooted(rng, labels):
    """Newick of a random unrooted binary tree with a trifurcating root, and its edges as an
    adjacency dict (nodes: leaf labels and internal numbers)."""
    nodes = list(labels)
    adjacency = {x: [] for x in nodes}
    next_id = 0
    while len(nodes) > 3:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        v = next_id
        next_id += 1
        adjacency[v] = [a, b]
        adjacency[a].append(v)
        adjacency[b].append(v)
        nodes.append(v)
    centre = "c"
    adjacency[centre] = list(nodes)
    for x in nodes:
        adjacency[x].append(centre)
    return newick_from(adjacency, centre, None) + ";", adjacency


def newick_from(adjacency, v, came_from):
    kids = [u for u in adjacency[v] if u != came_from]
    if not kids:
        return str(v)
    return "(" + ",".join(newick_from(adjacency, u, v) for u in kids) + ")"


def rootings(adjacency):
    """Every rooting of the tree: one rooted Newick per edge."""
    edges = {tuple(sorted((str(a), str(b)))): (a, b) for a in adjacency for b in adjacency[a]}
    return [f"({newick_from(adjacency, a, b)},{newick_from(adjacency, b, a)});"
            for a, b in edges.values()]


def log_mean_exp(values):
    top = max(values)
    return top + math.log(sum(math.exp(v - top) for v in values) / len(values))


def leaf_labels(tree, rng, n):
    extant = tree.extant_leaves
    return [f"{rng.choice(extant)}_{i}" for i in range(n)]


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
def test_unrooted_tree_scores_the_mean_over_its_rootings(tree, model):
    rng = random.Random(19)
    for n_leaves in (2, 3, 4, 9, 23):
        labels = leaf_labels(tree, rng, n_leaves)
        if n_leaves == 2:
            text, adjacency = f"({labels[0]},{labels[1]});", {labels[0]: [labels[1]],
                                                              labels[1]: [labels[0]]}
        else:
            text, adjacency = random_unrooted(rng, labels)
        rooted = GeneTrees.from_newick(rootings(adjacency), tree)
        assert len(rooted) == max(1, 2 * n_leaves - 3)
        for origination in ("root", "uniform"):
            each = loglik(tree, rooted, **RATES, model=model, origination=origination)
            unrooted = GeneTrees.from_newick([text], tree, rooted=False)
            value = loglik(tree, unrooted, **RATES, model=model, origination=origination)
            assert value.iloc[0] == pytest.approx(log_mean_exp(each.tolist()), abs=1e-9)
            # The same tree written with a two-child root is the same unrooted tree.
            two_child = GeneTrees.from_newick(rootings(adjacency)[:1], tree, rooted=False)
            again = loglik(tree, two_child, **RATES, model=model, origination=origination)
            assert again.iloc[0] == pytest.approx(value.iloc[0], abs=1e-12)


def amalgamated_reference(tree, sample, model):
    """Brute force: the sum over every rooted tree the sample's clades can form of its rooted
    likelihood times the product of its conditional split frequencies."""
    from collections import Counter

    def parse(text):
        # Nested tuples of leaf labels, for these small binary trees.
        stack = [[]]
        token = ""
        for ch in text.strip().rstrip(";"):
            if ch == "(":
                stack.append([])
            elif ch in ",)":
                if token:
                    stack[-1].append(token)
                    token = ""
                if ch == ")":
                    node = tuple(stack.pop())
                    stack[-1].append(node)
            else:
                token += ch
        return stack[0][0]

    def leaves(node):
        return frozenset([node]) if isinstance(node, str) else leaves(node[0]) | leaves(node[1])

    clade_count, split_count = Counter(), Counter()
    for text in sample:
        todo = [parse(text)]
        while todo:
            node = todo.pop()
            if isinstance(node, str):
                continue
            c = leaves(node)
            clade_count[c] += 1
            split_count[(c, frozenset([leaves(node[0]), leaves(node[1])]))] += 1
            todo.extend(node)

    def trees_of(c):
        if len(c) == 1:
            yield next(iter(c)), 1.0
            return
        for (clade, parts), count in split_count.items():
            if clade != c:
                continue
            a, b = sorted(parts, key=sorted)
            for ta, wa in trees_of(a):
                for tb, wb in trees_of(b):
                    yield (ta, tb), wa * wb * count / clade_count[c]

    def newick(node):
        return node if isinstance(node, str) else f"({newick(node[0])},{newick(node[1])})"

    full = leaves(parse(sample[0]))
    shapes = list(trees_of(full))
    genes = GeneTrees.from_newick([newick(t) + ";" for t, _ in shapes], tree)
    values = loglik(tree, genes, **RATES, model=model)
    return math.log(sum(w * math.exp(v) for (_, w), v in zip(shapes, values)))


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
def test_sample_scores_every_tree_its_clades_can_form(tree, model):
    rng = random.Random(7)
    labels = leaf_labels(tree, rng, 6)
    a, b, c, d, e, f = labels
    sample = [f"((({a},{b}),{c}),(({d},{e}),{f}));", f"((({a},{b}),{c}),({d},({e},{f})));",
              f"((({a},{b}),{c}),(({d},{e}),{f}));", f"(({a},({b},{c})),(({d},{e}),{f}));"]
    genes = GeneTrees.from_samples({"fam": sample}, tree)
    value = loglik(tree, genes, **RATES, model=model).loc["fam"]
    assert value == pytest.approx(amalgamated_reference(tree, sample, model), abs=1e-9)
    # One tree, repeated or not, scores as that tree: bit for bit.
    single = GeneTrees.from_newick([sample[1]], tree)
    expected = loglik(tree, single, **RATES, model=model).iloc[0]
    for repeat in (1, 3):
        again = GeneTrees.from_samples([[sample[1]] * repeat], tree)
        assert loglik(tree, again, **RATES, model=model).iloc[0] == pytest.approx(expected,
                                                                                  abs=1e-12)
    # Unrooted samples: one unrooted tree repeated scores as that unrooted tree.
    unrooted = GeneTrees.from_newick([sample[0]], tree, rooted=False)
    repeated = GeneTrees.from_samples([[sample[0], sample[0]]], tree, rooted=False)
    assert loglik(tree, repeated, **RATES, model=model).iloc[0] == pytest.approx(
        loglik(tree, unrooted, **RATES, model=model).iloc[0], abs=1e-12)
    # A single unrooted tree's graph is built from its edges, a sample's from clade counts:
    # the two agree on random trees with a trifurcating root too.
    for seed in range(3):
        text, _ = random_unrooted(random.Random(seed), leaf_labels(tree, rng, 9))
        one = GeneTrees.from_newick([text], tree, rooted=False)
        two = GeneTrees.from_samples([[text] * 2], tree, rooted=False)
        assert len(one.clade_arrays().cl_is_leaf) == len(two.clade_arrays().cl_is_leaf)
        assert loglik(tree, two, **RATES, model=model).iloc[0] == pytest.approx(
            loglik(tree, one, **RATES, model=model).iloc[0], abs=1e-12)


def core_call(tree, model, n_steps):
    """The core's arguments for the species tree and RATES under `model`, and its scoring of
    trees and of clade graphs for that model."""
    sp = tree.likelihood_arrays()
    species = dict(sp_left=sp.sp_left, sp_right=sp.sp_right, sp_is_leaf=sp.sp_is_leaf,
                   sp_time=sp.sp_time, sp_parent_time=sp.sp_parent_time, sp_root=sp.sp_root)
    rates = dict(dup=RATES["duplication"], transfer=RATES["transfer"], loss=RATES["loss"])
    if model == "dated":
        species["sp_parent"] = sp.sp_parent
        rates["n_steps"] = n_steps
        return {**species, **rates}, korvath_core.dated_family_loglik, korvath_core.dated_clade_loglik
    rates["transfers"] = int(model == "reldated")
    return ({**species, **rates}, korvath_core.undated_family_loglik,
            korvath_core.undated_clade_loglik)


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
def test_rooted_tree_as_clade_graph_scores_bit_for_bit(model):
    tree = SpeciesTree.birth_death(12, seed=5)
    sim = korvath.simulate_families(tree, **RATES, families=30, seed=2)
    genes = GeneTrees.from_simulation(sim)
    common, by_tree, by_clades = core_call(tree, model, n_steps=6)
    for origination in (0, 1):
        tree_values = by_tree(**common, **genes.arrays()._asdict(), origination=origination)
        clade_values = by_clades(**common, **genes.clade_arrays()._asdict(),
                                 origination=origination)
        assert [v.hex() for v in clade_values] == [v.hex() for v in tree_values]


def relisted(arrays, rng, tips_first):
    """The same single-family clade graph with its clades listed in another order that keeps
    every clade after the two of each of its splits (all tips first, or a random such order),
    the whole leaf set still last."""
    is_leaf = np.asarray(arrays.cl_is_leaf)
    offsets = np.asarray(arrays.cl_split_offsets).astype(np.int64)
    left, right = np.asarray(arrays.split_left), np.asarray(arrays.split_right)
    size = len(is_leaf)
    inputs = [set(left[offsets[c]:offsets[c + 1]]) | set(right[offsets[c]:offsets[c + 1]])
              for c in range(size)]
    readers = [[] for _ in range(size)]
    for c in range(size):
        for i in inputs[c]:
            readers[i].append(c)
    missing = [len(x) for x in inputs]
    ready = [c for c in range(size - 1) if missing[c] == 0]
    order = []
    while ready:
        pick = ready.pop(0) if tips_first else ready.pop(rng.randrange(len(ready)))
        order.append(pick)
        for r in readers[pick]:
            missing[r] -= 1
            if missing[r] == 0 and r != size - 1:
                ready.append(r)
    order.append(size - 1)
    assert sorted(order) == list(range(size))
    new_index = np.empty(size, dtype=np.int64)
    new_index[order] = np.arange(size)
    counts = np.diff(offsets)[order]
    split_order = np.concatenate([np.arange(offsets[c], offsets[c + 1], dtype=np.int64) for c in order])
    return arrays._replace(
        cl_is_leaf=is_leaf[order], cl_species=np.asarray(arrays.cl_species)[order],
        cl_split_offsets=np.concatenate([[0], np.cumsum(counts)]).astype(np.uint64),
        split_left=new_index[left[split_order]], split_right=new_index[right[split_order]],
        split_weight=np.asarray(arrays.split_weight)[split_order])


@pytest.mark.parametrize("model", ["undated", "reldated", "dated"])
def test_any_listing_order_of_the_clades_scores_the_same_bits(model):
    """The scorers choose their own integration order (and reuse memory along it): however a
    family's clades are listed, as long as every clade follows its splits, each clade's
    arithmetic and so every bit of the score is the same. Rooted trees, unrooted trees and
    samples; all tips listed first (which must not hold every tip's values at once), or random
    orders."""
    rng = random.Random(7)
    tree = SpeciesTree.birth_death(10, seed=4)
    sim = korvath.simulate_families(tree, **RATES, families=12, seed=9)
    texts = [t for t in sim.gene_trees(extant=True).values() if t.count(",") >= 3][:4]
    families = [GeneTrees.from_newick([t], tree) for t in texts]
    families += [GeneTrees.from_newick([t], tree, rooted=False) for t in texts]
    labels = leaf_labels(tree, rng, 9)
    sample = [random_unrooted(rng, labels)[0] for _ in range(4)]
    families.append(GeneTrees.from_samples([sample], tree, rooted=False))
    common, _, score = core_call(tree, model, n_steps=5)
    # A larger unrooted tree with many leaves a species: its rootings' terms, listed in the
    # order of the clades, must not be summed in that order.
    few = SpeciesTree.birth_death(6, seed=4)
    big = korvath.simulate_families(few, duplication=0.8, transfer=0.3, loss=0.3, families=30,
                                    seed=9)
    big_text = next(t for t in big.gene_trees(extant=True).values() if t.count(",") == 38)
    checks = [(common, score, genes) for genes in families]
    few_common, _, few_score = core_call(few, model, n_steps=5)
    checks.append((few_common, few_score, GeneTrees.from_newick([big_text], few, rooted=False)))
    for common, score, genes in checks:
        arrays = genes.clade_arrays()
        for origination in (0, 1):
            expected = score(**common, **arrays._asdict(), origination=origination)
            for k in range(4):
                other = relisted(arrays, rng, tips_first=k == 0)
                got = score(**common, **other._asdict(), origination=origination)
                assert [v.hex() for v in got] == [v.hex() for v in expected], (k, origination)


def test_burnin_and_nexus_samples_score_as_the_trees_kept(tree, tmp_path):
    import re

    rng = random.Random(11)
    labels = leaf_labels(tree, rng, 6)
    numbered = [random_unrooted(rng, [str(i + 1) for i in range(6)])[0] for _ in range(8)]
    sample = [re.sub(r"\d+", lambda m: labels[int(m.group()) - 1], t) for t in numbered]
    kept = GeneTrees.from_samples({"f": sample[2:]}, tree, rooted=False)
    path = tmp_path / "f.t"
    path.write_text("#NEXUS\nbegin trees;\n translate " + ", ".join(
        f"{i + 1} {label}" for i, label in enumerate(labels)) + ";\n" + "".join(
        f" tree gen.{k} = [&U] {t}\n" for k, t in enumerate(numbered)) + "end;\n")
    expected = loglik(tree, kept, **RATES)
    for burnin in (2, 0.25, 0.3):  # 0.3 of 8 trees rounds down to 2
        for source in ({"f": sample}, {"f": path}):
            got = loglik(tree, GeneTrees.from_samples(source, tree, rooted=False,
                                                      burnin=burnin), **RATES)
            assert got.tolist() == expected.tolist()
    hundred = GeneTrees.from_samples({"f": sample * 12 + sample[:4]}, tree, rooted=False,
                                   burnin=0.29)
    assert hundred._sample_sizes == [100 - 29]
    for bad, error in [(-1, ValueError), (1.0, ValueError), (8, ValueError), ("2", TypeError),
                       (True, TypeError), (float("nan"), ValueError)]:
        with pytest.raises(error, match="burnin"):
            GeneTrees.from_samples({"f": sample}, tree, burnin=bad)


def test_a_folder_of_sample_files_reads_as_the_dict_of_its_files(tree, tmp_path):
    import gzip

    rng = random.Random(4)
    labels = leaf_labels(tree, rng, 5)
    first = [random_unrooted(rng, labels)[0] for _ in range(3)]
    second = [random_unrooted(rng, labels)[0] for _ in range(2)]
    folder = tmp_path / "samples"
    folder.mkdir()
    (folder / "b.nwk").write_text("\n".join(first) + "\n")
    with gzip.open(folder / "a.t.gz", "wt") as handle:
        handle.write("#NEXUS\nbegin trees;\n" + "".join(f"tree t = {t}\n" for t in second)
                     + "end;\n")
    (folder / ".hidden").write_text("not a tree")
    got = GeneTrees.from_samples(folder, tree, rooted=False)
    assert got.names == ["a", "b"]
    expected = GeneTrees.from_samples({"a": second, "b": first}, tree, rooted=False)
    assert loglik(tree, got, **RATES).tolist() == loglik(tree, expected, **RATES).tolist()
    (folder / "b.txt").write_text(first[0] + "\n")
    with pytest.raises(ValueError, match="'b.nwk' and 'b.txt' .* would both be family 'b'"):
        GeneTrees.from_samples(str(folder), tree)
    for source, error, message in [(tmp_path / "none", ValueError, "no such folder"),
                                   (folder / "b.txt", ValueError, "is a file"),
                                   (first[0], TypeError, "list of samples")]:
        with pytest.raises(error, match=message):
            GeneTrees.from_samples(source, tree)
    empty = tmp_path / "empty"
    empty.mkdir()
    with pytest.raises(ValueError, match="holds no sample file"):
        GeneTrees.from_samples(empty, tree)


def test_bad_samples_name_family_and_tree(tree):
    a, b, c = (f"{s}_1" for s in tree.extant_leaves[:3])
    cases = [
        ({"f": [f"(({a},{b}),{c});", f"(({a},{b}),x_9);"]}, "family 'f', tree 2: "),
        ({"f": [f"(({a},{b}),{c});", f"(({a},{a}),{c});"]}, "family 'f', tree 2: leaf label"),
        ({"f": [f"(({a},{b}),nowhere_1);"]}, "family 'f': leaf 'nowhere_1'"),
        ({"f": [f"(({a},{b}),nowhere_1);", f"(({a},nowhere_1),{b});"]},
         "family 'f', tree 1: leaf 'nowhere_1'"),
        ({"f": [f"(({a},{b}),{c});", "((("]}, "family 'f', tree 2: "),
        ({"f": []}, "family 'f': the sample holds no tree"),
    ]
    for source, start in cases:
        with pytest.raises(ValueError) as info:
            GeneTrees.from_samples(source, tree)
        assert str(info.value).startswith(start), str(info.value)
    with pytest.raises(ValueError, match="rooted=False"):
        GeneTrees.from_newick([f"({a},{b},{c});"], tree)
    with pytest.raises(TypeError, match="rooted"):
        GeneTrees.from_newick([f"(({a},{b}),{c});"], tree, rooted="no")
    unrooted = GeneTrees.from_newick([f"({a},{b},{c});"], tree, rooted=False)
    with pytest.raises(ValueError, match="clade_arrays"):
        unrooted.arrays()


def test_dated_unrooted_scores_on_species_times_that_contradict_the_shape():
    # Such trees are integrated node by node with whole histories; sums of splits must follow.
    import sys
    import pathlib
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
    from test_likelihood_wide_range import contradict_times, random_species_tree
    from korvath.clades import concatenate, family_clades
    from korvath.newick import parse_newick_many

    rng = random.Random(31)
    for case in range(3):
        sp, tips = random_species_tree(rng.randint(3, 6), rng)
        contradict_times(sp, rng)
        labels = [f"s{rng.choice(tips)}_{i}" for i in range(rng.randint(3, 9))]
        text, adjacency = random_unrooted(rng, labels)
        batch = parse_newick_many([text])
        family = family_clades([(batch.parent, batch.labels)], False, 1)
        species = [int(label[1:].split("_")[0]) for label in family.leaf_labels]
        clades = concatenate([family], [species])._asdict()
        common = dict(sp, dup=0.3, transfer=0.25, loss=0.4, n_steps=3, origination=1)
        (value,) = korvath_core.dated_clade_loglik(**common, **clades)
        rooted = [parse_newick_many([t]) for t in rootings(adjacency)]
        each = []
        for r in rooted:
            f = family_clades([(r.parent, r.labels)], True, 1)
            arrays = concatenate([f], [[int(x[1:].split("_")[0]) for x in f.leaf_labels]])
            each += korvath_core.dated_clade_loglik(**common, **arrays._asdict())
        assert value == pytest.approx(log_mean_exp(each), abs=1e-9), case


@pytest.mark.parametrize("seed", range(6))
def test_unrooted_scores_on_random_trees_and_rates(seed):
    """Random species trees, gene trees and rates, from gentle to extreme (where the values of
    large gene trees and the root's derivatives leave the double range and are carried in
    scale): every model's unrooted score is the log-mean of its rootings' scores."""
    rng = random.Random(seed)
    tree = SpeciesTree.birth_death(rng.randrange(4, 30), seed=seed)
    size = rng.choice([5, 12, 40])
    labels = leaf_labels(tree, rng, size)
    text, adjacency = random_unrooted(rng, labels)
    rooted = GeneTrees.from_newick(rootings(adjacency), tree)
    unrooted = GeneTrees.from_newick([text], tree, rooted=False)
    scale = rng.choice([0.05, 1.0, 25.0])
    rates = dict(duplication=scale * rng.random(), transfer=scale * rng.random(),
                 loss=scale * rng.random())
    for model in ("undated", "reldated", "dated"):
        steps = dict(n_steps=rng.choice([1, 4, 12])) if model == "dated" else {}
        for origination in ("root", "uniform"):
            each = loglik(tree, rooted, **rates, model=model, origination=origination, **steps)
            value = loglik(tree, unrooted, **rates, model=model, origination=origination,
                           **steps).iloc[0]
            expected = log_mean_exp(each.tolist())
            assert value == pytest.approx(expected, rel=1e-11, abs=1e-9), (model, origination)


def test_uniform_origin_keeps_early_tops_when_later_values_are_far_smaller():
    """With extreme rates a gene node's values shrink so far towards the root that bringing
    them back to range would push its early branch tops beyond the double range; the mean over
    branch tops (origination 'uniform') must still be finite, at most 0, and agree with the
    unrooted score, whose root is formed through the root's derivatives instead."""
    rng = random.Random(1)
    tree = SpeciesTree.birth_death(12, seed=1)
    text, adjacency = random_unrooted(rng, leaf_labels(tree, rng, 30))
    rates = dict(duplication=120.0, transfer=80.0, loss=400.0)
    rooted = GeneTrees.from_newick(rootings(adjacency), tree)
    each = loglik(tree, rooted, **rates, model="dated", origination="uniform", n_steps=2)
    assert all(math.isfinite(v) and v <= 0.0 for v in each), each.tolist()
    unrooted = GeneTrees.from_newick([text], tree, rooted=False)
    value = loglik(tree, unrooted, **rates, model="dated", origination="uniform",
                   n_steps=2).iloc[0]
    assert value == pytest.approx(log_mean_exp(each.tolist()), rel=1e-11)


def random_rooted(rng, labels):
    nodes = list(labels)
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(f"({a},{b})")
    return nodes[0] + ";"


@pytest.mark.skipif(not clades._native.available, reason="native helper not built")
@pytest.mark.parametrize("rooted", [True, False])
def test_native_amalgamation_builds_the_python_graph_to_the_bit(rooted, monkeypatch):
    # Sizes around the 64-leaf word boundary; samples mixing a few topologies (so clades have
    # several splits and fractional weights), repeated trees, and for unrooted samples both
    # trifurcating and two-child roots.
    rng = random.Random(11 + rooted)
    for n in [1, 2, 3, 4, 9, 63, 64, 65, 130]:
        labels = [f"g{i}" for i in range(n)]
        for _ in range(3):
            if rooted or n < 3:
                base = [random_rooted(rng, labels) for _ in range(rng.randint(1, 3))]
            else:
                base = [random_unrooted(rng, labels)[0] for _ in range(2)]
                base.append(random_rooted(rng, labels))
            texts = [rng.choice(base) for _ in range(rng.choice([2, 5, 9]))]
            batch = parse_newick_many(texts)
            offsets = [int(x) for x in batch.offsets]
            trees = [(np.asarray(batch.parent[a:b], np.int64), batch.labels[a:b])
                     for a, b in zip(offsets, offsets[1:])]
            native = clades.family_clades(trees, rooted, "f")
            with monkeypatch.context() as m:
                m.setattr(clades._native, "available", False)
                python = clades.family_clades(trees, rooted, "f")
            assert native == python, (n, texts)
    # Refusals come from the same checks either way.
    trees = [(np.array([-1, 0, 0], np.int64), ["", "a", "b"]),
             (np.array([-1, 0, 0, 2, 2, 2], np.int64), ["", "a", "", "b", "c", "d"])]
    with pytest.raises(ValueError, match="family 'f', tree 2: a node above 'b' has 3 children"):
        clades.family_clades(trees, rooted, "f")
