"""GeneTrees: reading rooted gene trees, mapping leaves to species, and the core's arrays."""
import os
import random
import re

import numpy as np
import pytest

import korvath
import korvath_core
from korvath import GeneTrees, SpeciesTree

TREE = SpeciesTree.from_newick("((A:1,B:1)ab:1,(C_x:1.5,D:1.5)cd:0.5);")


def brute_force_arrays(tree, texts, species_of):
    """The core's arrays built the slow, obvious way: recursive post-order, left child first."""
    arrays = korvath.parse_newick_many(texts)
    position_of = tree.likelihood_arrays().position_of
    offsets, is_leaf, left, right, species = [0], [], [], [], []
    for k in range(len(arrays)):
        t = arrays.tree(k)
        children = {v: [] for v in range(len(t.parent))}
        for v, p in enumerate(t.parent.tolist()):
            if p >= 0:
                children[p].append(v)
        local = {}

        def visit(v):
            kids = [visit(c) for c in children[v]]
            local[v] = len(local)
            is_leaf.append(not kids)
            left.append(kids[0] if kids else -1)
            right.append(kids[1] if kids else -1)
            species.append(-1 if kids else int(position_of[tree.index(species_of(t.labels[v]))]))
            return local[v]

        visit(0)
        offsets.append(len(is_leaf))
    return offsets, is_leaf, left, right, species


def score(tree, offsets, is_leaf, left, right, species):
    """Undated per-family scores: equal for every valid post-order of the same trees."""
    sp = tree.likelihood_arrays()
    return korvath_core.undated_family_loglik(
        sp.sp_left, sp.sp_right, sp.sp_is_leaf, sp.sp_time, sp.sp_parent_time, sp.sp_root,
        offsets, is_leaf, left, right, species, 0.3, 0.2, 0.4, 0, 0)


def random_gene_tree(rng, leaves, n):
    nodes = [f"{rng.choice(leaves)}_{i}" for i in range(n)]
    while len(nodes) > 1:
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(f"({a},{b}){'g' if rng.random() < 0.3 else ''}:0.1")
    return nodes[0] + ";"


def test_arrays_are_a_valid_post_order_scoring_like_the_obvious_construction():
    rng = random.Random(3)
    texts = [random_gene_tree(rng, ["A", "B", "C_x", "D"], rng.randint(1, 30)) for _ in range(40)]
    genes = GeneTrees.from_newick(texts, TREE)
    a = genes.arrays()
    assert genes.names == list(range(1, 41))
    assert a.gt_offsets.dtype == np.uint64 and a.gt_offsets[0] == 0
    for k in range(len(genes)):
        lo, hi = int(a.gt_offsets[k]), int(a.gt_offsets[k + 1])
        size = hi - lo
        internal = ~a.gt_is_leaf[lo:hi]
        kids = np.concatenate([a.gt_left[lo:hi][internal], a.gt_right[lo:hi][internal]])
        # Children before parents, every node but the root a child exactly once.
        for v in np.flatnonzero(internal):
            assert a.gt_left[lo + v] < v and a.gt_right[lo + v] < v
        assert sorted(kids.tolist()) == list(range(size - 1))
        assert np.all((a.gt_species[lo:hi] >= 0) == a.gt_is_leaf[lo:hi])
    # Same trees, same leaf species: the core scores both constructions identically.
    expected = brute_force_arrays(TREE, texts, lambda label: label.rpartition("_")[0])
    assert score(TREE, *a) == score(TREE, *expected)
    # The species of a leaf is the part before the last separator ("C_x_12" is in "C_x").
    species = genes.leaf_species()
    assert set(species) <= {"A", "B", "C_x", "D"} and "C_x" in set(species)


def test_sources_and_species_rules_agree(tmp_path):
    texts = ["((A_1,B_2),C_x_3);", "D_7;"]
    path = tmp_path / "trees.nwk"
    path.write_text("\n" + texts[0] + "\n\n" + texts[1] + "\n")
    by_list = GeneTrees.from_newick(texts, TREE)
    by_file = GeneTrees.from_newick(path, TREE)
    by_dict = GeneTrees.from_newick({"fam1": texts[0], "fam2": texts[1]}, TREE)
    pattern = GeneTrees.from_newick(["((a|A,b|B),c|C_x);", "d|D;"], TREE,
                                    re.compile(r"\|(\w+)$"))
    table = {"p": "A", "q": "B", "r": "C_x", "s": "D"}
    mapped = GeneTrees.from_newick(["((p,q),r);", "s;"], TREE, table)
    called = GeneTrees.from_newick(["((p,q),r);", "s;"], TREE, table.__getitem__)
    assert by_file.names == [1, 2] and by_dict.names == ["fam1", "fam2"]
    for other in (by_file, by_dict, pattern, mapped, called):
        for x, y in zip(other.arrays(), by_list.arrays()):
            assert np.array_equal(x, y)


@pytest.mark.parametrize("source, message", [
    (["(A_1,B_2,C_x_3);"], r"family 1: the root has 3 children.*unrooted"),
    (["((A_1),B_2);"], r"family 1: the node above leaves 'A_1' has one child"),
    (["(A_1,((B_1,D_2,A_3),B_4));"], r"family 1: the node above leaves 'B_1', 'D_2', 'A_3' has 3"),
    ({"f9": "(A_1,(B_2)x);"}, r"family 'f9': node 'x' has one child"),
    (["(A_1,E_2);"], r"family 1: leaf 'E_2': species 'E' is not in the species tree"),
    (["(A_1,ab_2);"], r"leaf 'ab_2': species 'ab' is an internal node"),
    (["(A_1,B);"], r"family 1: leaf 'B': leaf_species gives no species"),
    (["(A_1,B_2);", "(A_1,B_2"], r"family 2: .*never closed"),
])
def test_bad_trees_name_the_family_and_the_node(source, message):
    with pytest.raises(ValueError, match=message):
        GeneTrees.from_newick(source, TREE)


def test_argument_checks():
    with pytest.raises(TypeError, match="species_tree"):
        GeneTrees.from_newick(["A_1;"], "((A,B));")
    with pytest.raises(TypeError, match="list of strings"):
        GeneTrees.from_newick("(A_1,B_2);", TREE)
    with pytest.raises(ValueError, match="no such file"):
        GeneTrees.from_newick("/nonexistent/trees.nwk", TREE)


def test_paths_that_are_not_files_say_what_they_are(tmp_path):
    with pytest.raises(ValueError, match="a folder, not a file"):
        GeneTrees.from_newick(str(tmp_path), TREE)
    with pytest.raises(ValueError, match=r"source\['x'\]: a folder, not a file"):
        GeneTrees.from_samples({"x": tmp_path}, TREE)
    if os.path.exists("/dev/null"):
        with pytest.raises(ValueError, match="not a regular file"):
            GeneTrees.from_newick("/dev/null", TREE)
    binary = tmp_path / "species.nwk"
    binary.write_bytes(b"\xff\xfe(A:1,B:1);")
    for source in (binary, str(binary)):
        with pytest.raises(ValueError, match="species.nwk' cannot be read as UTF-8 text"):
            SpeciesTree.from_newick(source)
    with pytest.raises(ValueError, match="is a folder, not a Newick file"):
        SpeciesTree.from_newick(str(tmp_path))
    with pytest.raises(ValueError, match="no such file"):
        SpeciesTree.from_newick(tmp_path / "missing.nwk")
    with pytest.raises(ValueError, match="one group"):
        GeneTrees.from_newick(["A_1;"], TREE, re.compile(r"(A)(_)"))
    with pytest.raises(TypeError, match="leaf_species"):
        GeneTrees.from_newick(["A_1;"], TREE, 3)
    with pytest.raises(TypeError):
        GeneTrees()


def test_extinct_species_are_rejected_and_simulations_give_their_extant_trees():
    tree = SpeciesTree.from_newick("((A:1,X:0.4):1,(B:1.5,C:1.5):0.5);")
    with pytest.raises(ValueError, match="'X' is an extinct leaf"):
        GeneTrees.from_newick(["(A_1,X_2);"], tree)
    sim = korvath.simulate_families(tree, duplication=0.4, transfer=0.3, loss=0.5,
                                    families=60, seed=11)
    genes = GeneTrees.from_simulation(sim)
    extant = sim.gene_trees(extant=True)
    assert genes.names == list(extant)
    assert 0 < len(genes) < sim.n_families  # some families left no copy
    direct = GeneTrees.from_newick(extant, tree)
    for x, y in zip(genes.arrays(), direct.arrays()):
        assert np.array_equal(x, y)
    with pytest.raises(TypeError, match="FamilySimulation"):
        GeneTrees.from_simulation(extant)
