"""The native helper module refuses malformed input with an exception and never crashes:
wrong kinds, arrays of the wrong item size or length, and event logs or traces that do not hold
together. (The suite also runs against a sanitizer build of the module.)"""
import random

import numpy as np
import pytest

_korvath_native = pytest.importorskip("_korvath_native")

I = np.int64
F = np.float64


def log_arrays(rows=4):
    return dict(kind=np.zeros(rows, np.uint8), branch=np.zeros(rows, I), time=np.zeros(rows, F),
                recipient=np.full(rows, -1, I), family=np.zeros(rows, I),
                gene=np.arange(rows, dtype=I), child1=np.full(rows, -1, I))


CHERRY = (np.array([-1, 0, 0], I), np.array([0.0, 1.0, 1.0]), np.array([0, 1, 1], np.uint8), 0)


def gene_trees(log, leaf=(), gene=(), family=(), names=("r", "a", "b"), extant=False,
               species=CHERRY):
    return _korvath_native.gene_trees(
        log["kind"], log["branch"], log["time"], log["recipient"], log["family"], log["gene"],
        log["child1"], np.array(list(dict.fromkeys(leaf)), I), np.asarray(leaf, I), np.asarray(gene, I),
        np.asarray(family, I), list(names), 1.0, *species, extant)


def test_arguments_of_the_wrong_kind_or_shape():
    with pytest.raises(TypeError):
        _korvath_native.parse_newick(b"(A,B);")
    with pytest.raises(TypeError):
        _korvath_native.parse_newick()
    with pytest.raises(TypeError):
        _korvath_native.parse_newick_many(("(A,B);",))
    with pytest.raises(TypeError):
        _korvath_native.parse_newick_many(["(A,B);", 3])
    with pytest.raises(TypeError):  # int32 items where int64 are needed
        _korvath_native.format_newick(np.array([-1, 0], np.int32), ["a", "b"], np.zeros(2))
    with pytest.raises(TypeError):  # two-dimensional
        _korvath_native.format_newick(np.array([[-1, 0]], I), ["a", "b"], np.zeros(2))
    with pytest.raises(ValueError, match="one entry per node"):
        _korvath_native.format_newick(np.array([-1, 0], I), ["a"], np.zeros(2))
    with pytest.raises(ValueError, match="do not form one tree"):
        _korvath_native.format_newick(np.array([-1, 2, 1], I), ["a", "b", "c"], np.zeros(3))
    with pytest.raises(UnicodeEncodeError):
        _korvath_native.format_newick(np.array([-1], I), ["\ud800"], np.zeros(1))
    with pytest.raises(TypeError):
        _korvath_native.int64_from_list([1, 2.0], False)
    with pytest.raises(OverflowError):
        _korvath_native.int64_from_list([2**70], True)
    with pytest.raises(TypeError):
        _korvath_native.float64_from_list([1.0, 2], False)
    values = [-(2**63), -1, 0, 2**30, 2**30 - 1, -(2**30), 2**63 - 1] * 300
    kept = list(values)
    assert bytes(_korvath_native.int64_from_list(kept, False)) == np.array(values, I).tobytes()
    assert kept == values
    assert bytes(_korvath_native.int64_from_list(kept, True)) == np.array(values, I).tobytes()
    assert kept == []  # given up: every item freed
    broken = list(range(3000)) + ["x"]
    with pytest.raises(TypeError, match="item 3000"):
        _korvath_native.int64_from_list(broken, True)
    assert broken[:2048] == [None] * 2048 and broken[2048:] == list(range(2048, 3000)) + ["x"]
    floats = [0.5, -0.0, float("inf"), 1e-300] * 700
    assert bytes(_korvath_native.float64_from_list(list(floats), True)) == \
        np.array(floats, F).tobytes()


def test_gene_trees_refuse_inconsistent_logs():
    log = log_arrays()
    short = dict(log, time=np.zeros(3, F))
    with pytest.raises(ValueError, match="differ in length"):
        gene_trees(short)
    with pytest.raises(ValueError, match="outside the species tree"):
        gene_trees(dict(log, branch=np.array([0, 0, -5, 0], I)))
    with pytest.raises(ValueError, match="names has length 3"):  # a branch without a name
        gene_trees(dict(log, branch=np.array([0, 0, 7, 0], I)))
    with pytest.raises(ValueError, match="unknown event kind"):
        gene_trees(dict(log, kind=np.array([0, 9, 0, 0], np.uint8)))
    with pytest.raises(ValueError, match="negative"):
        gene_trees(dict(log, gene=np.array([0, -1, 2, 3], I)))
    parent, dates, extant, _ = CHERRY
    for species in ((parent, dates, extant, 5), (parent, np.array([0.0, np.nan, 1.0]), extant, 0),
                    (np.array([-1, 0, 7], I), dates, extant, 0), (parent, dates[:2], extant, 0)):
        with pytest.raises(ValueError):  # a species tree that does not hold together
            gene_trees(log, species=species)
    # A duplication that names its own parent as child: the tree would loop forever.
    looping = dict(kind=np.array([0, 1, 1], np.uint8), branch=np.zeros(3, I),
                   time=np.array([0.0, 0.1, 0.2]), recipient=np.full(3, -1, I),
                   family=np.zeros(3, I), gene=np.array([0, 0, 1], I),
                   child1=np.array([-1, 1, 0], I))
    with pytest.raises(ValueError, match="inconsistent"):
        gene_trees(looping)
    with pytest.raises(ValueError, match="break the Newick gene trees"):
        gene_trees(log, leaf=[1], gene=[0], family=[0], names=("r", "a,x", "b"))


def test_random_logs_never_crash():
    rng = random.Random(4)
    for _ in range(300):
        rows = rng.randint(0, 12)
        log = dict(kind=np.array([rng.randrange(6) for _ in range(rows)], np.uint8),
                   branch=np.array([rng.randrange(-1, 4) for _ in range(rows)], I),
                   time=np.array([rng.random() for _ in range(rows)], F),
                   recipient=np.array([rng.randrange(-2, 4) for _ in range(rows)], I),
                   family=np.array([rng.randrange(-1, 3) for _ in range(rows)], I),
                   gene=np.array([rng.randrange(-1, 8) for _ in range(rows)], I),
                   child1=np.array([rng.randrange(-2, 8) for _ in range(rows)], I))
        copies = [rng.randrange(-1, 4) for _ in range(rng.randint(0, 3))]
        try:
            gene_trees(log, leaf=copies, gene=[rng.randrange(8) for _ in copies],
                       family=[rng.randrange(3) for _ in copies], extant=rng.random() < 0.5)
        except ValueError:
            pass
        tree = (np.array([-1, 0, 0, 1, 1], I), np.array([0.0, 0.3, 1.0, 1.0, 1.0]),
                np.array([False, False, True, True, True]), 0)
        try:
            _korvath_native.replay_trace(*tree, log["kind"], log["branch"], log["time"],
                                         log["recipient"], log["family"], log["gene"],
                                         log["child1"])
        except ValueError:
            pass


def test_replay_refuses_trees_it_cannot_walk():
    log = log_arrays(0)
    trace = (log["kind"], log["branch"], log["time"], log["recipient"], log["family"],
             log["gene"], log["child1"])
    good = (np.array([-1, 0, 0], I), np.array([0.0, 1.0, 1.0]), np.array([False, True, True]))
    with pytest.raises(ValueError, match="root is outside"):
        _korvath_native.replay_trace(*good, 3, *trace)
    with pytest.raises(ValueError, match="differ in length"):
        _korvath_native.replay_trace(good[0], good[1][:2], good[2], 0, *trace)
    with pytest.raises(ValueError, match="parent outside"):
        _korvath_native.replay_trace(np.array([-1, 0, 9], I), *good[1:], 0, *trace)
    with pytest.raises(ValueError, match="not a number"):
        _korvath_native.replay_trace(good[0], np.array([0.0, np.nan, 1.0]), good[2], 0, *trace)
    with pytest.raises(ValueError, match="two children"):
        _korvath_native.replay_trace(np.array([-1, 0], I), np.array([0.0, 1.0]),
                                     np.array([False, True]), 0, *trace)
    with pytest.raises(ValueError, match="ends without having started"):
        _korvath_native.replay_trace(np.array([-1, 0, 0, 5, 5, -1], I), np.zeros(6) + 1,
                                     np.array([False, True, True, True, True, False]), 0,
                                     *trace)


def test_sample_clades_refuses_trees_that_do_not_hold_together():
    cherry = dict(offsets=[0, 3], parent=[-1, 0, 0], leaf=[-1, 0, 1])

    def call(offsets, parent, leaf, n_leaves=2, rooted=True):
        return _korvath_native.sample_clades(np.asarray(offsets, I), np.asarray(parent, I),
                                             np.asarray(leaf, I), n_leaves, rooted)

    counts, left, right, weight = call(**cherry)
    assert np.frombuffer(counts, I).tolist() == [0, 0, 1]
    assert np.frombuffer(weight, F).tolist() == [1.0]
    cases = [
        (dict(cherry, parent=[-1, 0, 2]), "pre-order"),
        (dict(cherry, parent=[0, 0, 0]), "root"),
        (dict(cherry, leaf=[-1, 0, 2]), "outside"),
        (dict(cherry, leaf=[-1, 1, 1]), "twice"),
        (dict(cherry, leaf=[-1, 0, -5]), "outside"),
        (dict(cherry, offsets=[0, 2]), "offsets"),
        (dict(cherry, offsets=[0, 3, 1]), "offsets"),
        (dict(cherry, offsets=[0]), "offsets"),
        (dict(offsets=[0, 2], parent=[-1, 0], leaf=[-1, 0]), "binary"),
        (dict(offsets=[0, 4], parent=[-1, 0, 0, 0], leaf=[-1, 0, 1, 1]), "twice"),
        (dict(offsets=[0, 5], parent=[-1, 0, 0, 0, 0], leaf=[-1, 0, 1, 2, 3]), "three"),
        (dict(offsets=[0, 3, 4], parent=[-1, 0, 0, -1], leaf=[-1, 0, 1, 0]), "lacks"),
    ]
    for arguments, message in cases:
        with pytest.raises(ValueError, match=message):
            call(**arguments)
    with pytest.raises(ValueError, match="binary"):  # rooted trees have no three-child root
        call([0, 4], [-1, 0, 0, 0], [-1, 0, 1, 2], 3)
    for n_leaves in (0, -1, 10**6):
        with pytest.raises(ValueError):
            call(**cherry, n_leaves=n_leaves)
    with pytest.raises(TypeError):
        _korvath_native.sample_clades(np.array([0, 3], np.int32), np.asarray([-1, 0, 0], I),
                                      np.asarray([-1, 0, 1], I), 2, True)
    with pytest.raises(TypeError):
        _korvath_native.sample_clades(np.array([0, 3], I), [-1, 0, 0], [-1, 0, 1], 2, True)


def random_tree_arrays(rng, n_leaves, rooted):
    """(parent, leaf) of a random binary tree over leaves 0 .. n_leaves-1, in pre-order."""
    nodes = [str(i) for i in range(n_leaves)]
    while len(nodes) > (1 if rooted or n_leaves < 3 else 3):
        a = nodes.pop(rng.randrange(len(nodes)))
        b = nodes.pop(rng.randrange(len(nodes)))
        nodes.append(f"({a},{b})")
    text = nodes[0] if len(nodes) == 1 else "(" + ",".join(nodes) + ")"
    parent, labels, _ = _korvath_native.parse_newick(text + ";")
    parent = np.frombuffer(parent, I).tolist()
    return parent, [int(x) if x else -1 for x in labels]


def test_sample_clades_on_random_arrays_answers_or_refuses():
    # Random trees, half of them malformed afterwards: a ValueError or a graph whose splits
    # name earlier clades, never a crash (the suite also runs this under the sanitizers).
    rng = random.Random(5)
    answered = 0
    for _ in range(2000):
        rooted = rng.random() < 0.5
        n_leaves = rng.randint(1, 7)
        parent, leaf, sizes = [], [], []
        for _ in range(rng.randint(1, 3)):
            p, l = random_tree_arrays(rng, n_leaves, rooted)
            parent += p
            leaf += l
            sizes.append(len(p))
        offsets = [0] + np.cumsum(sizes).tolist()
        if rng.random() < 0.5:
            target = rng.choice([parent, leaf, offsets])
            target[rng.randrange(len(target))] = rng.randint(-2, len(parent) + 1)
        try:
            counts, left, right, weight = _korvath_native.sample_clades(
                np.asarray(offsets, I), np.asarray(parent, I), np.asarray(leaf, I),
                n_leaves + rng.choice([0, 0, 0, -1, 1]), rooted)
        except ValueError:
            continue
        answered += 1
        counts = np.frombuffer(counts, I)
        begin = np.concatenate([[0], np.cumsum(counts)])
        left, right = np.frombuffer(left, I), np.frombuffer(right, I)
        weight = np.frombuffer(weight, F)
        assert begin[-1] == len(left) == len(right) == len(weight)
        assert ((weight > 0) & (weight <= 1)).all()
        for c in range(len(counts)):
            assert (left[begin[c]:begin[c + 1]] < c).all()
            assert (right[begin[c]:begin[c + 1]] < c).all()
    assert answered > 500
