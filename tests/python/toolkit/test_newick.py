"""Newick reading and writing: the forms accepted, every rejected form, round trips, and the
native and pure-Python paths agreeing."""
import math
import re
import random

import numpy as np
import pytest

from korvath import newick
from korvath.newick import NewickError, format_newick, parse_newick, parse_newick_many


def arrays(tree):
    return tree.parent.tolist(), list(tree.labels), tree.lengths.tolist()


def same_lengths(a, b):
    return len(a) == len(b) and all((x == y) or (math.isnan(x) and math.isnan(y))
                                    for x, y in zip(a, b))


def test_preorder_arrays_quotes_comments_and_notation():
    text = """ ( (A:1, 'B c':2E0 ) x : 5e-1 ,[a comment]
               'it''s':1.5 ) root:0.25 ; """
    parent, labels, lengths = arrays(parse_newick(text))
    assert parent == [-1, 0, 1, 1, 0]
    assert labels == ["root", "x", "A", "B c", "it's"]
    assert lengths == [0.25, 0.5, 1.0, 2.0, 1.5]


def test_absent_labels_and_lengths_and_optional_semicolon():
    parent, labels, lengths = arrays(parse_newick("((,A),(B:1,C)D)"))
    assert parent == [-1, 0, 1, 1, 0, 4, 4]
    assert labels == ["", "", "", "A", "D", "B", "C"]
    assert np.isnan(lengths[0]) and np.isnan(lengths[2]) and lengths[5] == 1.0
    # Unary and polytomous nodes are the caller's business.
    assert arrays(parse_newick("((A),B,C);"))[0] == [-1, 0, 1, 0, 0]


@pytest.mark.parametrize("text, fragment", [
    ("", "no tree"),
    (";", "no tree before"),
    ("   [only a comment]  ", "no tree"),
    ("(A,B", "never closed"),
    ("(A,(B,C);", "is closed"),
    ("(A,B));", "unbalanced ')' at position 5"),
    ("A,B;", "outside any parentheses"),
    ("(A:x,B);", "'x' at position 3 is not a number"),
    ("(A:,B);", "missing branch length"),
    ("(A:1:2,B);", "second branch length"),
    ("(A:nan,B);", "not a number"),
    ("(A:1e999,B);", "not finite"),
    ("(A:1_0,B);", "not a number"),
    ("(A:inf,B);", "not a number"),
    ("(A,B);C", "text after the closing ';'"),
    ("(A,B);(C,D);", "text after the closing ';'"),
    ("(A,B)'x", "unterminated quoted label"),
    ("(A,B)[x", "unclosed comment"),
    ("(A,B)]", "outside a comment"),
    ("(A B,C);", "unexpected text 'B'"),
    ("(A,B)(C,D);", "unexpected '('"),
    ("(A,B)C(D);", "unexpected '('"),
    ("(A:1,B:2", "never closed"),
    ("(A,B):", "missing branch length"),
])
def test_rejected_forms_name_the_position(text, fragment):
    with pytest.raises(NewickError, match=None) as info:
        parse_newick(text)
    assert fragment in str(info.value)
    assert isinstance(info.value, ValueError)


def test_batch_offsets_local_parents_and_failing_index():
    batch = parse_newick_many(["(A,B);", "C;", "((D,E),F);"])
    assert len(batch) == 3
    assert batch.offsets.tolist() == [0, 3, 4, 9]
    assert batch.parent.tolist() == [-1, 0, 0, -1, -1, 0, 1, 1, 0]
    assert batch.tree(2).labels == ["", "", "D", "E", "F"]
    assert batch.tree(-1).parent.tolist() == [-1, 0, 1, 1, 0]
    with pytest.raises(IndexError):
        batch.tree(3)
    with pytest.raises(NewickError, match=r"^tree 1: "):
        parse_newick_many(["(A,B);", "(A,B"])
    with pytest.raises(TypeError):
        parse_newick_many("(A,B);")
    assert len(parse_newick_many([])) == 0


def test_read_newick_lines_skips_blank_lines(tmp_path):
    path = tmp_path / "trees.nwk"
    path.write_text("(A,B);\n\n   \n  (C,D);  \n")
    assert newick.read_newick_lines(path) == ["(A,B);", "(C,D);"]


def test_nexus_files_give_their_trees_with_leaves_translated(tmp_path):
    # As a Bayesian sampler writes them: a comment before the blocks, another block first,
    # a translate table with a quoted label, tree names holding '=' and comments, and
    # keywords in any case. Internal labels and lengths are kept as written.
    path = tmp_path / "family.t"
    path.write_text(
        "#NEXUS\n[ID: 9; a comment ; with semicolons]\nbegin taxa;\n dimensions ntax=3;\n"
        "  taxlabels 1 2 3;\nend;\nBegin Trees;\n  Translate\n    1 Homo_sapiens_1,\n"
        "    2 'Pan tro''s_2',\n    3 C_3\n  ;\n"
        "  tree gen.1 = [&U] (1:0.1,(2:0.2,3:0.3)0.9:0.05);\n"
        "  TREE 'rep=2' [&lnP=-1.5] = [&R] ((1,3)x,2);\n"
        "  utree three = (3,(1,2));\nEND;\nbegin trees; tree last = (1,(2,3));\nend;\n")
    trees = newick.read_newick_lines(path)
    assert trees == ["[&U] (Homo_sapiens_1:0.1,('Pan tro''s_2':0.2,C_3:0.3)0.9:0.05);",
                     "[&R] ((Homo_sapiens_1,C_3)x,'Pan tro''s_2');",
                     "(C_3,(Homo_sapiens_1,'Pan tro''s_2'));",
                     "(1,(2,3));"]  # a new block has no table of its own
    assert newick.parse_newick(trees[0]).labels[3] == "Pan tro's_2"
    # As a Windows editor may save it: a byte-order mark, CRLF line ends.
    (tmp_path / "plain.t").write_bytes(b"\xef\xbb\xbf  #nexus\r\nbegin trees;\r\ntree a=(A,\r\n"
                                       b"(B,C));\r\nend;\r\n")
    assert newick.read_newick_lines(tmp_path / "plain.t") == ["(A,\n(B,C));"]
    assert parse_newick("(A,\n(B,C));").labels == ["", "A", "", "B", "C"]
    (tmp_path / "plain.nwk").write_bytes(b"\xef\xbb\xbf(A,B);\r\n(B,C);\r\n")
    assert newick.read_newick_lines(tmp_path / "plain.nwk") == ["(A,B);", "(B,C);"]


def test_nexus_round_trip_of_random_trees_with_awkward_labels(tmp_path):
    # Leaves written as translate keys (numbers, or quoted words) read back as the labels,
    # quoted or not, next to comments and lengths; internal labels are never translated.
    rng = random.Random(5)
    trees, statements, table = [], [], {}
    for t in range(30):
        parent, labels, lengths = random_tree(rng, rng.randint(1, 12))
        is_leaf = [True] * len(parent)
        for v in parent[1:]:
            is_leaf[v] = False
        if table and not is_leaf[0]:
            labels[0] = next(iter(table.values())).strip("'")  # a key, as an internal label
        keyed = list(labels)
        for v, label in enumerate(labels):
            if is_leaf[v] and label:
                key = table.setdefault(label, rng.choice([str(len(table) + 1),
                                                          f"'k {len(table)}'"]))
                keyed[v] = key.strip("'") if key.startswith("'") else key
        text = format_newick(parent, keyed, lengths)
        statements.append(f"  tree t{t} [&W 1] = [&U] {text}")
        trees.append((parent, labels, lengths))
    body = ("#NEXUS\nBEGIN TREES;\n  TRANSLATE\n" +
            ",\n".join(f"    {key} {newick.quote_label(label)}" for label, key in table.items())
            + ";\n" + "\n".join(statements) + "\nEND;\n")
    path = tmp_path / "random.nex"
    path.write_text(body)
    read = newick.read_newick_lines(path)
    assert len(read) == len(trees)
    for text, (parent, labels, lengths) in zip(read, trees):
        tree = parse_newick(text)
        assert list(tree.parent) == parent and list(tree.labels) == labels
        assert [x.hex() for x in tree.lengths] == [float(x).hex() for x in lengths]


def test_compressed_files_read_as_their_text_and_damaged_ones_name_the_file(tmp_path):
    import bz2
    import gzip
    import lzma

    plain = "(A,(B,C));\n\n(C,(A,B));\n"
    nexus = "#NEXUS\nbegin trees; translate 1 A, 2 B, 3 C; tree a = (1,(2,3)); end;\n"
    for module in (gzip, bz2, lzma):
        for text, expected in ((plain, ["(A,(B,C));", "(C,(A,B));"]), (nexus, ["(A,(B,C));"])):
            path = tmp_path / "trees.nwk"  # known by its bytes, not its name
            path.write_bytes(module.compress(text.encode()))
            assert newick.read_newick_lines(path) == expected
    damaged = [gzip.compress(plain.encode() * 50)[:30], b"\xfd7zXZ\x00not xz", b"BZh not bz2",
               b"\xff\xfe(A,B);"]
    for data in damaged:
        path = tmp_path / "damaged"
        path.write_bytes(data)
        with pytest.raises(ValueError, match="^" + re.escape(f"{path}: cannot be read as text")):
            newick.read_newick_lines(path)


@pytest.mark.parametrize("body, message", [
    ("begin data; dimensions ntax=2; end;", "no tree"),
    ("begin trees; tree a = ('A,B);", "quote opened on line 2"),
    ("begin trees; tree a = (A,B)[oops;", "comment opened on line 2"),
    ("begin trees; translate 1 A, 2; tree a = (1,2); end;", "TRANSLATE entry '2'"),
    ("begin trees; translate 1 A, 2 B, 1 C; tree a = (1,2); end;",
     "TRANSLATE gives key '1' two labels, 'A' and 'C'"),
    ("begin trees; tree a (1,2); end;", "without '='"),
])
def test_bad_nexus_files_name_the_file(tmp_path, body, message):
    path = tmp_path / "bad.nex"
    path.write_text("#NEXUS\n" + body)
    with pytest.raises(ValueError, match=re.escape(message)) as info:
        newick.read_newick_lines(path)
    assert str(info.value).startswith(str(path))


def random_tree(rng, n_leaves):
    parent, labels, lengths = [-1], [""], [math.nan]
    open_nodes = [0]
    # Random topology with arbitrary arity, special labels and awkward lengths.
    while len(parent) < 2 * n_leaves:
        p = rng.choice(open_nodes)
        parent.append(p)
        labels.append(rng.choice(["", "A", "b c", "it's", "x_y", "(z)", "q:1", f"L{len(parent)}"]))
        lengths.append(rng.choice([math.nan, 0.0, 1e-300, 5e-324, 0.1, 1 / 3, 1e22, -2.5,
                                   rng.random() * 10 ** rng.randint(-8, 8)]))
        open_nodes.append(len(parent) - 1)
    # Renumber in pre-order (children in index order) as parsing numbers them.
    children = [[] for _ in parent]
    for v in range(1, len(parent)):
        children[parent[v]].append(v)
    order, stack = [], [0]
    while stack:
        v = stack.pop()
        order.append(v)
        stack.extend(reversed(children[v]))
    new = {old: i for i, old in enumerate(order)}
    return ([-1 if parent[v] < 0 else new[parent[v]] for v in order],
            [labels[v] for v in order], [lengths[v] for v in order])


def test_write_then_read_gives_the_same_arrays_and_doubles():
    rng = random.Random(12)
    for _ in range(200):
        parent, labels, lengths = random_tree(rng, rng.randint(1, 30))
        text = format_newick(parent, labels, lengths)
        back = arrays(parse_newick(text))
        assert back[0] == parent and back[1] == labels, text
        assert same_lengths(back[2], lengths), text
        assert format_newick(*back) == text


def test_format_rejects_what_is_not_one_tree():
    with pytest.raises(ValueError, match="exactly one root"):
        format_newick([-1, -1], ["a", "b"], [1.0, 1.0])
    with pytest.raises(ValueError, match="one tree"):
        format_newick([-1, 2, 1], ["a", "b", "c"], [1.0, 1.0, 1.0])
    with pytest.raises(ValueError):
        format_newick([-1, 5], ["a", "b"], [1.0, 1.0])
    with pytest.raises(ValueError, match="one entry per node"):
        format_newick([-1, 0], ["a"], [1.0, 1.0])


@pytest.mark.skipif(not newick._native.available, reason="native helper not built")
def test_native_and_python_paths_agree():
    rng = random.Random(5)
    for _ in range(200):
        parent, labels, lengths = random_tree(rng, rng.randint(1, 25))
        text = format_newick(parent, labels, lengths)
        assert newick._format_python(np.asarray(parent), labels, np.asarray(lengths)) == text
        native = parse_newick(text)
        reference = newick._parse_python(text)
        assert native.parent.tolist() == reference[0] and native.labels == reference[1]
        assert same_lengths(native.lengths.tolist(), reference[2])
    # Messages of the rejected forms are the same on both paths.
    for text in ["(A,B", "(A:x,B);", "(A,B);C", "(A,B)'x", "(A B,C);", ";", "(A:1e999,B);"]:
        with pytest.raises(NewickError) as native_error:
            parse_newick(text)
        with pytest.raises(NewickError) as python_error:
            newick._parse_python(text)
        assert str(native_error.value) == str(python_error.value)


@pytest.mark.skipif(not newick._native.available, reason="native helper not built")
def test_native_lengths_are_written_as_python_writes_them():
    rng = np.random.default_rng(3)
    bits = rng.integers(0, 2**63, size=4000, dtype=np.int64).view(np.float64)
    values = np.concatenate([bits[np.isfinite(bits)], [0.0, -0.0, 1.0, 0.1, 1e16, 1e-4, 1e-5,
                                                        123456789.0, 5e-324, 1.7976931348623157e308,
                                                        9999999999999998.0, 0.30000000000000004]])
    values = np.concatenate([values, -values])
    n = len(values)
    parent = np.full(n + 1, 0, dtype=np.int64)
    parent[0] = -1
    lengths = np.concatenate([[np.nan], values])
    labels = [""] + [f"x{i}" for i in range(n)]
    text = format_newick(parent, labels, lengths)
    assert text == newick._format_python(parent, labels, lengths)
    assert parse_newick(text).lengths[1:].tobytes() == values.tobytes()
