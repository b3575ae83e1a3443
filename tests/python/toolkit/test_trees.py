"""SpeciesTree: reading dated trees, the checks that name the faulty node, the two array
conventions of the core, exact round trips and birth-death trees."""
import math

import numpy as np
import pytest

from korvath import SpeciesTree

TEXT = "((A:1,B:1)AB:0.5,(C:1.5,D:0.7):0.25):0.1;"


def test_dates_extant_leaves_stem_and_generated_names():
    tree = SpeciesTree.from_newick(TEXT)
    assert tree.names == ["n0", "AB", "A", "B", "n4", "C", "D"]
    assert tree.parent.tolist() == [-1, 0, 1, 1, 0, 4, 4]
    assert tree.time.tolist() == [0.0, 0.5, 1.5, 1.5, 0.25, 1.75, 0.95]
    assert tree.extant_leaves == ["C"]  # the present is the latest leaf date, 1.75
    assert tree.leaves == ["A", "B", "C", "D"]
    assert tree.stem == 0.1 and tree.height == 1.75 and tree.present == 1.75
    assert tree.index("C") == 5
    with pytest.raises(ValueError, match="'Z'"):
        tree.index("Z")


def test_extant_tolerance_snaps_to_the_present_and_override_keeps_dates():
    text = "((A:0.3333333,B:0.3333334):0.6666667,C:1.0);"
    tree = SpeciesTree.from_newick(text)
    assert tree.extant.tolist() == [False, False, True, True, True]
    assert set(tree.time[tree.extant].tolist()) == {tree.present}
    strict = SpeciesTree.from_newick(text, tolerance=0.0)
    assert strict.extant_leaves == ["B"]  # 0.6666667 + 0.3333334 is the latest date
    chosen = SpeciesTree.from_newick(text, extant=["A", "C"])
    assert chosen.extant_leaves == ["A", "C"]
    assert chosen.time[2] == 0.6666667 + 0.3333333
    with pytest.raises(ValueError, match="no leaf is called 'Q'"):
        SpeciesTree.from_newick(text, extant=["Q"])


def test_reads_a_file_path(tmp_path):
    path = tmp_path / "species.nwk"
    path.write_text("(\n  A:1,\n  B:1\n);\n")
    for source in (path, str(path)):
        assert SpeciesTree.from_newick(source).leaves == ["A", "B"]
    with pytest.raises(ValueError, match="neither Newick text"):
        SpeciesTree.from_newick(str(tmp_path / "missing.nwk"))


@pytest.mark.parametrize("text, fragment", [
    ("((A:1):1,B:2);", "node 1 (ancestor of 'A') has one child"),
    ("((A:1,B:1,E:1)X:1,C:2);", "node 'X' (node 1) has 3 children"),
    ("((A:1,B)X:1,C:2);", "leaf 'B' (node 3) has no branch length"),
    ("((A:1,B:1)X,C:2);", "node 'X' (node 1) has no branch length"),
    ("((A:1,B:-1)X:1,C:2);", "leaf 'B' (node 3) has a negative branch length (-1.0)"),
    ("((A:1,B:1):1,C:2):-1;", "root has a negative branch length"),
    ("((A:1,:1)X:1,C:2);", "unnamed leaf (node 3, child of node 'X' (node 1)) has an empty label"),
    ("((A:1,B:1)X:1,A:2);", "'A' is used by leaf 'A' (node 2) and by leaf 'A' (node 4)"),
    ("((A:1,B:1)A:1,C:2);", "'A' is used by"),
    ("A:1;", "at least two leaves"),
    ("((A:1,B:1):1,C:2", "never closed"),
    ("((A:1e308,B:1e308):1e308,C:1);", "node 'A' has a date or a branch beyond the range"),
])
def test_rejected_trees_name_the_node(text, fragment):
    with pytest.raises(ValueError) as info:
        SpeciesTree.from_newick(text)
    assert fragment in str(info.value)


def test_round_trip_is_exact():
    tree = SpeciesTree.from_newick("(('Homo sapiens':0.1,B:1e-7)[c]:0.3333333333333333,"
                                   "C:0.43333343333333336)R:0.5;")
    text = tree.to_newick()
    again = SpeciesTree.from_newick(text)
    assert again.to_newick() == text
    assert again.names == tree.names and again.parent.tolist() == tree.parent.tolist()
    assert again.time.tobytes() == tree.time.tobytes()
    assert again.extant.tolist() == tree.extant.tolist() and again.stem == 0.5
    # A random tree survives a round trip through text with every date intact.
    bd = SpeciesTree.birth_death(3000, 1.0, 0.4, seed=9, keep_extinct=True)
    back = SpeciesTree.from_newick(bd.to_newick(), extant=bd.extant_leaves)
    assert back.time.tobytes() == bd.time.tobytes()
    assert back.names == bd.names and back.extant.tolist() == bd.extant.tolist()


def test_from_arrays_keeps_numbering_and_feeds_the_simulators_unchanged():
    parent = [2, 2, -1, 2 - 2, 0]  # node 2 is the root
    parent = [2, 0, -1, 0, 2]
    time = [0.5, 1.0, 0.0, 1.0, 1.0]
    extant = [False, True, False, True, True]
    tree = SpeciesTree.from_arrays(parent, time, extant, ["x", "a", "r", "b", "c"], stem=0.2)
    sim = tree.simulator_arrays()
    assert sim.n_nodes == 5 and sim.root == 2
    assert sim.parent.tolist() == parent and sim.time.tolist() == time
    assert sim.extant_leaf.tolist() == extant
    assert SpeciesTree.from_arrays(parent, time, extant).names[0] == "n0"
    back = SpeciesTree.from_newick(tree.to_newick())
    assert sorted(back.names) == sorted(tree.names)
    assert back.time[back.index("x")] == 0.5 and back.stem == 0.2


@pytest.mark.parametrize("parent, time, extant, names, fragment", [
    ([-1, 0], [0, 1], [False, True], None, "at least three nodes"),
    ([-1, 0, 0], [0, 1], [False, True, True], None, "same length"),
    ([-1, 0, 5], [0, 1, 1], [False, True, True], None, "outside -1..2"),
    ([-1, -1, 0], [0, 1, 1], [False, True, True], None, "found 2"),
    ([-1, 2, 1, 0, 0], [0, 1, 1, 1, 1], [False] * 5, None, "not below the root"),
    ([-1, 0, 0, 0], [0, 1, 1, 1], [False, True, True, True], None, "3 children"),
    ([-1, 0, 1, 1, 0], [0, 0.5, 1, 1, 1], [False, False, True, True, True], ["r", "x", "a", "b", "r"],
     "names both node 0 and node 4"),
    ([-1, 0, 0], [0, 1, float("nan")], [False, True, True], None, "not finite"),
    ([-1, 0, 0], [0, 1, -1], [False, True, True], None, "before its parent"),
    ([-1, 0, 0], [-1e308, 1e308, 1e308], [False, True, True], None,
     "node 'n1' has a date or a branch beyond the range of a double"),
    ([-1, 2**70, 0], [0, 1, 1], [False, True, True], None, "parent: value too large"),
    ([1, -1, 1, 0, 0], [0, 0, 1, 1, 1], [False] * 5, None, "smaller index than its parent"),
    ([-1, 0, 0], [0, 1, 1], [True, True, True], None, "internal node and cannot be extant"),
    ([-1, 0, 0], [0, 1, 1], [False, True, True], ["r", "a\tb", "c"], "tab or line break"),
    ([-1, 0, 0], [0, 1, 1], [False, True, True], ["r", "", "c"], "empty name"),
])
def test_from_arrays_rejects_with_a_reason(parent, time, extant, names, fragment):
    with pytest.raises(ValueError) as info:
        SpeciesTree.from_arrays(parent, time, extant, names)
    assert fragment in str(info.value)


def test_from_arrays_wrong_kinds_are_type_errors():
    with pytest.raises(TypeError, match="extant"):
        SpeciesTree.from_arrays([-1, 0, 0], [0, 1, 1], [0, 1, 1])
    with pytest.raises(TypeError, match="parent"):
        SpeciesTree.from_arrays([-1, 0.5, 0], [0, 1, 1], [False, True, True])


def check_likelihood_arrays(tree):
    la = tree.likelihood_arrays()
    m = len(la.node_of)
    assert la.sp_root == m - 1 and la.sp_parent[la.sp_root] == -1
    for k in range(m):
        if la.sp_is_leaf[k]:
            assert la.sp_left[k] == la.sp_right[k] == -1
            assert tree.extant[la.node_of[k]]
        else:
            for c in (la.sp_left[k], la.sp_right[k]):
                assert 0 <= c < k and la.sp_parent[c] == k  # children first
                assert la.sp_parent_time[c] == la.sp_time[k]
        assert la.sp_time[k] == tree.time[la.node_of[k]]
        assert la.position_of[la.node_of[k]] == k
        assert la.sp_parent_time[k] <= la.sp_time[k]
    assert sorted(tree.names[v] for v in la.node_of[la.sp_is_leaf]) == sorted(tree.extant_leaves)
    assert (la.position_of >= 0).sum() == m
    return la


def test_likelihood_arrays_prune_extinct_lineages_and_keep_the_stem():
    tree = SpeciesTree.from_newick(TEXT)
    la = check_likelihood_arrays(SpeciesTree.from_newick(TEXT, extant=["A", "B", "C"]))
    assert la.sp_parent_time[la.sp_root] == -0.1  # the stem above the root at date 0
    la = check_likelihood_arrays(tree)  # only C is extant: a single tip
    assert la.node_of.tolist() == [5] and la.sp_parent_time.tolist() == [-0.1]
    for seed in range(5):
        check_likelihood_arrays(SpeciesTree.birth_death(30, 1.0, 0.6, seed=seed,
                                                        keep_extinct=True))


def test_birth_death_is_seeded_and_has_exactly_n_extant_leaves():
    a = SpeciesTree.birth_death(25, 2.0, 1.0, seed=4, keep_extinct=True)
    b = SpeciesTree.birth_death(25, 2.0, 1.0, seed=4, keep_extinct=True)
    assert a.to_newick() == b.to_newick()
    assert len(a.extant_leaves) == 25 and len(a.leaves) > 25
    pruned = SpeciesTree.birth_death(25, 2.0, 1.0, seed=4)
    assert len(pruned.leaves) == 25 == len(pruned.extant_leaves)
    assert pruned.time[pruned.root] == 0.0
    for bad, kind in [(dict(n_extant=1), ValueError), (dict(n_extant=2.0), TypeError),
                      (dict(n_extant=5, death=1.0), ValueError),
                      (dict(n_extant=5, birth=float("nan")), ValueError)]:
        args = dict(seed=1) | bad
        with pytest.raises(kind):
            SpeciesTree.birth_death(**args)


def test_pure_birth_root_age_has_the_expected_mean():
    # For pure birth at rate 1 conditioned on n extant leaves the root age is a sum of
    # independent exponentials of rates 2..n: mean sum(1/k), variance sum(1/k^2).
    n, trees = 8, 3000
    ages = np.array([SpeciesTree.birth_death(n, seed=s).height for s in range(trees)])
    mean = sum(1 / k for k in range(2, n + 1))
    sd = math.sqrt(sum(1 / k**2 for k in range(2, n + 1)) / trees)
    assert abs(ages.mean() - mean) < 4 * sd, (ages.mean(), mean)


def test_numbers_beyond_a_float_name_their_parameter():
    with pytest.raises(ValueError, match="birth: an integer of 401 digits"):
        SpeciesTree.birth_death(5, 10**400, 0, seed=1)
    with pytest.raises(ValueError, match="tolerance: an integer of 401 digits"):
        SpeciesTree.from_newick("(A:1,B:1);", tolerance=10**400)
