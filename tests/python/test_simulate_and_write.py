"""simulate_and_write: the output folder against the reference vectors, the
event log of simulate_log, a Newick reader, and the file-system failures."""
import collections
import decimal
import errno
import importlib.util
import math
import os
import pathlib
import random
import subprocess
import sys

import pytest

import korvath
import korvath_core
from conftest import assert_panics, load_vectors
from gene_family_replay import final_content

try:
    import dendropy
except ImportError:  # only the Newick-reading tests need it
    dendropy = None
needs_dendropy = pytest.mark.skipif(dendropy is None, reason="dendropy is not installed")

LETTERS = "ODTLS"
LABELS = [("origin",), ("parent", "left", "right"), ("parent", "donor_copy", "transfer_copy"),
          ("lost",), ("parent", "child", "child")]


def read_files(root):
    root = pathlib.Path(root)
    return {p.relative_to(root).as_posix(): p.read_text() for p in root.rglob("*") if p.is_file()}


def fmt(value, digits):
    """Independent formatting rule: exact decimal value of the double, rounded half to even."""
    if value == 0 or math.isinf(value) or math.isnan(value):
        return "0"
    m = math.floor(math.log10(abs(value)))
    decimals = min(max(digits - 1 - m, 0), 17)
    text = format(decimal.Decimal(value).quantize(decimal.Decimal(1).scaleb(-decimals),
                                                  rounding=decimal.ROUND_HALF_EVEN), "f")
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def random_tree(rng, n_leaves, total_age=1.0, extinct_share=0.25):
    """A random binary tree with dates; children always have larger indices."""
    parent, children = [-1], [[]]
    leaves = [0]
    while len(leaves) < n_leaves:
        v = leaves.pop(rng.randrange(len(leaves)))
        for _ in range(2):
            parent.append(v)
            children.append([])
            children[v].append(len(parent) - 1)
            leaves.append(len(parent) - 1)
    n = len(parent)
    time, extant = [0.0] * n, [False] * n
    for v in range(1, n):
        start = time[parent[v]]
        if children[v]:
            time[v] = start + (total_age - start) * rng.uniform(0.05, 0.6)
        elif rng.random() < extinct_share:
            time[v] = start + (total_age - start) * rng.random()
        else:
            time[v], extant[v] = total_age, True
    names = [("s%d" % v) if extant[v] else ("n%d" % v) for v in range(n)]
    return dict(n_nodes=n, parent=parent, time=time, extant_leaf=extant, root=0), names


def rates(rng):
    return dict(duplication=rng.choice([0.0, 0.5, 2.0]), transfer=rng.choice([0.0, 1.0, 3.0]),
                loss=rng.choice([0.0, 1.0, 2.5]), origination=rng.choice([0.0, 0.7]),
                initial_size=rng.randrange(0, 6), cap=rng.choice([-1, 0, 1, 3]),
                seed=rng.getrandbits(64), replacement=rng.choice([0.0, 0.5, 1.0]),
                distance_decay=rng.choice([-1.0, 0.0, 2.0]), allow_self=rng.random() < 0.5)


SMALLEST = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True],
                root=0, names=["R", "A", "B"], duplication=0.0, transfer=0.0, loss=0.0,
                origination=0.0, initial_size=1, cap=-1, seed=7, replacement=0.0,
                distance_decay=-1.0, allow_self=False, total_age=1.0)


def test_smallest_tree_worked_example(tmp_path):
    out = tmp_path / "missing" / "parents"
    assert korvath_core.simulate_and_write(**SMALLEST, outdir=str(out)) == (1, 2, 2)
    tree = "(A_1:1,B_2:1)0:0;\n"
    assert read_files(out) == {
        "gene_family_events/1_events.tsv": "time\tevent\tbranch\tdonor\trecipient\tnodes\n"
                                           "0\tO\tR\t\t\torigin=0\n"
                                           "0\tS\tR\t\t\tparent=0;child=1;child=2\n",
        "gene_trees/1_complete.nwk": tree,
        "gene_trees/1_extant.nwk": tree,
        "Transfers.tsv": "time\tfamily\tdonor_branch\trecipient_branch\tparent_id\t"
                         "donor_copy_id\ttransfer_id\n",
        "Gene_family_summary.tsv": "family\torigin_time\torigin_branch\tn_dup\tn_transfer\tn_loss\t"
                                   "n_speciation\textant_copies\tspecies_present\n"
                                   "1\t0\tR\t0\t0\t0\t1\t2\t2\n",
        "Profiles.tsv": "family\tA\tB\n1\t1\t1\n",
        "Presence.tsv": "family\tA\tB\n1\t1\t1\n",
    }


@pytest.mark.parametrize("case", load_vectors("simulate_and_write"), ids=lambda c: str(c["args"]["seed"]))
def test_reference_vectors(case, tmp_path):
    result = korvath_core.simulate_and_write(**case["args"], outdir=str(tmp_path))
    assert list(result) == case["result"]
    assert read_files(tmp_path) == case["files"]


def expected_event_rows(columns, names, rows):
    kind, branch, time, donor, recipient, family, gene, child1, child2 = columns
    lines = []
    for e in rows:
        labels = LABELS[kind[e]]
        nodes = "%s=%d" % (labels[0], gene[e])
        if len(labels) == 3:
            nodes += ";%s=%d;%s=%d" % (labels[1], child1[e], labels[2], child2[e])
        lines.append("\t".join([fmt(time[e], 10), LETTERS[kind[e]], names[branch[e]],
                                names[donor[e]] if donor[e] >= 0 else "",
                                names[recipient[e]] if recipient[e] >= 0 else "", nodes]))
    return lines


def tree_lengths_to_tips(tree):
    """(label, distance from the start of the root branch) for every leaf."""
    out = []
    for leaf in tree.leaf_node_iter():
        distance, node = 0.0, leaf
        while node is not None:
            distance += node.edge.length or 0.0
            node = node.parent_node
        out.append((leaf.taxon.label if leaf.taxon else leaf.label, distance))
    return out


@needs_dendropy
def test_random_runs_match_simulate_log(tmp_path):
    seed = random.randrange(2**32)
    print("random seed", seed)
    rng = random.Random(seed)
    for run in range(25):
        tree, names = random_tree(rng, rng.randrange(2, 20))
        params = rates(rng)
        outdir = tmp_path / str(run)
        result = korvath_core.simulate_and_write(**tree, names=names, **params, total_age=1.0,
                                                 outdir=str(outdir))
        columns, leaves = korvath_core.simulate_log(**tree, **params)
        kind, family = columns[0], columns[5]
        families = sorted(set(family))
        assert result == (len(families), len(kind), len(leaves)), (seed, run)
        files = read_files(outdir)

        # The events written are those of simulate_log, in log order.
        by_family = collections.defaultdict(list)
        for e in range(len(kind)):
            by_family[family[e]].append(e)
        header = "time\tevent\tbranch\tdonor\trecipient\tnodes\n"
        for f in families:
            assert files["gene_family_events/%d_events.tsv" % (f + 1)] == header + "".join(
                line + "\n" for line in expected_event_rows(columns, names, by_family[f])), (seed, run)
        transfers = [e for e in range(len(kind)) if kind[e] == 2]
        assert files["Transfers.tsv"].splitlines()[1:] == [
            "\t".join([fmt(columns[2][e], 10), str(family[e] + 1), names[columns[3][e]],
                       names[columns[4][e]], str(columns[6][e]), str(columns[7][e]),
                       str(columns[8][e])]) for e in transfers], (seed, run)

        # Copy counts per family and leaf, and the column order.
        counts = collections.Counter((node, fam) for node, copies in leaves for _, fam in copies)
        order = sorted((node for node, _ in leaves), key=lambda v: (int("".join(
            c for c in names[v] if c.isdigit()) or 0), names[v].encode()))
        profile_lines = files["Profiles.tsv"].splitlines()
        assert profile_lines[0].split("\t") == ["family"] + [names[v] for v in order]
        extant_families = sorted({fam for _, copies in leaves for _, fam in copies})
        assert profile_lines[1:] == ["\t".join([str(f + 1)] + [str(counts[(v, f)]) for v in order])
                                     for f in extant_families], (seed, run)

        # Gene trees: readable Newick; the extant tree holds exactly the family's extant copies.
        copies_of = collections.defaultdict(set)
        for node, copies in leaves:
            for gene, fam in copies:
                copies_of[fam].add("%s_%d" % (names[node], gene))
        for f in families:
            origins = [e for e in by_family[f] if kind[e] == 0]
            complete = files["gene_trees/%d_complete.nwk" % (f + 1)]
            parsed = dendropy.Tree.get(data=complete, schema="newick", preserve_underscores=True,
                                       suppress_internal_node_taxa=True, suppress_leaf_node_taxa=False)
            n_splits = sum(1 for e in by_family[f] if kind[e] in (1, 2, 4))
            assert len(parsed.leaf_nodes()) == n_splits + 1, (seed, run, f)
            extant_path = "gene_trees/%d_extant.nwk" % (f + 1)
            if not copies_of[f]:
                assert extant_path not in files
                continue
            extant = dendropy.Tree.get(data=files[extant_path], schema="newick",
                                       preserve_underscores=True)
            tips = tree_lengths_to_tips(extant)
            assert sorted(label for label, _ in tips) == sorted(copies_of[f]), (seed, run, f)
            origin_time = columns[2][origins[-1]]
            for label, distance in tips:
                # Six significant digits per branch: the root-to-tip sum is the age.
                assert distance == pytest.approx(1.0 - origin_time, abs=1e-5 * (len(tips) + 2))

        # A copy that dies out with an extinct species (a leaf labelled by its
        # gene id alone) reaches exactly to that species' date.
        content = final_content(tree, columns)
        dies_with = {str(g): v for v in range(tree["n_nodes"])
                     if not tree["extant_leaf"][v] and not any(p == v for p in tree["parent"])
                     for g in content[v]}
        for f in families:
            origin_time = columns[2][[e for e in by_family[f] if kind[e] == 0][-1]]
            complete = dendropy.Tree.get(data=files["gene_trees/%d_complete.nwk" % (f + 1)],
                                         schema="newick", preserve_underscores=True)
            tips = tree_lengths_to_tips(complete)
            for label, distance in tips:
                if label.isdigit():
                    species_date = tree["time"][dies_with[label]]
                    assert distance == pytest.approx(species_date - origin_time,
                                                     abs=1e-5 * (len(tips) + 2)), (seed, run, f)


def test_run_without_events_and_repeatability(tmp_path):
    args = dict(SMALLEST, initial_size=0)
    assert korvath_core.simulate_and_write(**args, outdir=str(tmp_path)) == (0, 0, 2)
    files = read_files(tmp_path)
    assert files["Profiles.tsv"] == files["Presence.tsv"] == "family\tA\tB\n"
    assert sorted(files) == ["Gene_family_summary.tsv", "Presence.tsv", "Profiles.tsv", "Transfers.tsv"]

    tree, names = random_tree(random.Random(5), 12)
    params = dict(duplication=1.0, transfer=2.0, loss=1.0, origination=0.5, initial_size=4, cap=-1,
                  seed=99, replacement=0.5, distance_decay=1.0, allow_self=False)
    first, second = tmp_path / "a", tmp_path / "b"
    korvath_core.simulate_and_write(**tree, names=names, **params, total_age=1.0, outdir=str(first))
    korvath_core.simulate_and_write(**tree, names=names, **params, total_age=1.0, outdir=str(second))
    assert read_files(first) == read_files(second)


def test_deep_family_is_written(tmp_path):
    # Every transfer renames its copy and the arrival replaces the resident
    # (cap 1), so each transfer nests the lineage one level deeper.
    args = dict(SMALLEST, transfer=40000.0, cap=1, allow_self=True, seed=3)
    families, events, _ = korvath_core.simulate_and_write(**args, outdir=str(tmp_path))
    assert families == 1 and events > 50000
    complete = (tmp_path / "gene_trees" / "1_complete.nwk").read_text()
    depth = deepest = 0
    for c in complete:
        depth += (c == "(") - (c == ")")
        deepest = max(deepest, depth)
    assert depth == 0 and deepest > 10000
    extant = (tmp_path / "gene_trees" / "1_extant.nwk").read_text()
    assert extant.count("(") == 1 and extant.startswith("(") and extant.endswith(";\n")


def test_outdir_that_is_a_file_raises_oserror(tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("keep")
    with pytest.raises(OSError) as info:
        korvath_core.simulate_and_write(**SMALLEST, outdir=str(blocker))
    assert info.value.args == ("%s (os error %d)" % (os.strerror(errno.ENOTDIR), errno.ENOTDIR),)
    assert [p.name for p in tmp_path.iterdir()] == ["file"]
    assert blocker.read_text() == "keep"


def test_failing_family_file_leaves_tables_unwritten(tmp_path):
    (tmp_path / "gene_family_events" / "1_events.tsv").mkdir(parents=True)
    with pytest.raises(OSError) as info:
        korvath_core.simulate_and_write(**SMALLEST, outdir=str(tmp_path))
    assert info.value.args == ("%s (os error %d)" % (os.strerror(errno.EISDIR), errno.EISDIR),)
    assert not (tmp_path / "Transfers.tsv").exists()


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores directory permissions")
def test_read_only_directory_raises_oserror(tmp_path):
    tmp_path.chmod(0o500)
    try:
        with pytest.raises(OSError) as info:
            korvath_core.simulate_and_write(**SMALLEST, outdir=str(tmp_path))
        assert info.value.args[0].endswith("(os error %d)" % errno.EACCES)
    finally:
        tmp_path.chmod(0o700)


def test_names_that_would_corrupt_the_files(tmp_path):
    out = tmp_path / "out"
    for bad_names, node, what in [(["R", "A\tx", "B"], 1, "a tab"),
                                  (["R\r", "A", "B"], 0, "a carriage return"),
                                  (["R", "A", "B\n"], 2, "a line feed"),
                                  (["R", "A", "B,C"], 2, "','"),
                                  (["R", "A:1", "B"], 1, "':'")]:
        with pytest.raises(ValueError) as info:
            korvath_core.simulate_and_write(**dict(SMALLEST, names=bad_names), outdir=str(out))
        assert "node %d" % node in str(info.value) and what in str(info.value)
    assert not out.exists()
    # A name only used for an internal branch may hold Newick punctuation.
    assert korvath_core.simulate_and_write(**dict(SMALLEST, names=["(R)", "A", "B"]),
                                           outdir=str(out)) == (1, 2, 2)


def test_nul_in_outdir_or_a_name_creates_nothing(tmp_path):
    # The file system would read the path only up to the NUL: "cut" would be
    # created although the caller named "cut\0tail/out".
    cut = tmp_path / "cut"
    with pytest.raises(ValueError, match="outdir contains a NUL"):
        korvath_core.simulate_and_write(**SMALLEST, outdir=str(cut) + "\0tail/out")
    out = tmp_path / "out"
    for names, node in [(["R", "A\0x", "B"], 1), (["\0", "A", "B"], 0), (["R", "A", "B", "C\0"], 3)]:
        with pytest.raises(ValueError, match="node %d contains a NUL" % node):
            korvath_core.simulate_and_write(**dict(SMALLEST, names=names), outdir=str(out))
    # Checked before the run: even a run that could never finish is not started.
    with pytest.raises(ValueError):
        korvath_core.simulate_and_write(**dict(SMALLEST, names=["R", "A\0", "B"],
                                               duplication=1e9, loss=0.0), outdir=str(out))
    assert sorted(p.name for p in tmp_path.iterdir()) == []


def test_copies_of_an_extinct_species_end_at_its_date(tmp_path):
    # Root R at 0; A extant at 1; X extinct at 0.4 and Y extinct at 0.75,
    # children of Z (0.25). No events: the one founding copy splits at R and
    # Z, and the copies in X and Y die out with them.
    args = dict(SMALLEST, n_nodes=5, parent=[-1, 0, 0, 2, 2], time=[0.0, 1.0, 0.25, 0.4, 0.75],
                extant_leaf=[False, True, False, False, False], names=["R", "A", "Z", "X", "Y"],
                total_age=1.0)
    assert korvath_core.simulate_and_write(**args, outdir=str(tmp_path)) == (1, 3, 1)
    trees = tmp_path / "gene_trees"
    # Labels stay as they were: a dying copy is written by its gene id alone.
    assert (trees / "1_complete.nwk").read_text() == "(A_1:1,(3:0.15,4:0.5)2:0.25)0:0;\n"
    assert (trees / "1_extant.nwk").read_text() == "A_1:1;\n"
    # A transferred copy that dies with its recipient: lengths still reach
    # the recipient's date, whichever branch the copy came from.
    args.update(transfer=3.0, seed=11)
    korvath_core.simulate_and_write(**args, outdir=str(tmp_path / "t"))
    columns, _ = korvath_core.simulate_log(**{k: args[k] for k in SIMULATE_LOG_ARGS})
    assert 2 in columns[0]
    content = final_content(args, columns)
    complete = (tmp_path / "t" / "gene_trees" / "1_complete.nwk").read_text()
    assert content[3] and content[4]
    for v in (3, 4):
        for gene in content[v]:
            start = {c: t for k, t, c1, c2 in zip(columns[0], columns[2], columns[7], columns[8])
                     if k in (1, 2, 4) for c in (c1, c2)}[gene]
            assert "%d:%s" % (gene, fmt(args["time"][v] - start, 6)) in complete


SIMULATE_LOG_ARGS = ["n_nodes", "parent", "time", "extant_leaf", "root", "duplication", "transfer",
                     "loss", "origination", "initial_size", "cap", "seed", "replacement",
                     "distance_decay", "allow_self"]


def test_missing_names_panic_without_output(tmp_path):
    assert_panics(korvath_core.simulate_and_write, **dict(SMALLEST, names=["R", "A"]),
                  outdir=str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


def test_engine_error_creates_nothing(tmp_path):
    bad_tree = dict(SMALLEST, parent=[-1, 0, 5])
    assert_panics(korvath_core.simulate_and_write, **bad_tree, outdir=str(tmp_path / "out"))
    assert not (tmp_path / "out").exists()


@needs_dendropy
def test_example_script(tmp_path, monkeypatch, capsys):
    path = pathlib.Path(__file__).resolve().parents[2] / "examples" / "simulate_families.py"
    spec = importlib.util.spec_from_file_location("simulate_families", path)
    example = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(example)

    # The toolkit reads its species tree as a real Newick reader does.
    species = korvath.SpeciesTree.from_newick(example.SPECIES_TREE)
    tree = species.simulator_arrays()
    names = species.names
    reference = dendropy.Tree.get(data=example.SPECIES_TREE, schema="newick", preserve_underscores=True)
    depth = {leaf.taxon.label: leaf.distance_from_root() for leaf in reference.leaf_node_iter()}
    leaves = [v for v in range(tree.n_nodes) if v not in tree.parent]
    assert sorted(names[v] for v in leaves) == sorted(depth)
    for v in leaves:
        assert tree.time[v] == pytest.approx(depth[names[v]], abs=1e-9)
        assert tree.extant_leaf[v] == (names[v] != "sp2_extinct")
    assert all(tree.parent[v] < v for v in range(1, tree.n_nodes))

    out = tmp_path / "example"
    monkeypatch.setattr(sys, "argv", ["simulate_families.py", str(out), "--families", "5"])
    assert example.main() == 0
    assert str(out.resolve()) in capsys.readouterr().out
    assert (out / "Profiles.tsv").read_text().splitlines()[0].split("\t")[:4] == ["family", "sp1", "sp3", "sp4"]


@pytest.mark.skipif(not os.path.isdir("/proc"), reason="needs /proc")
def test_outdir_that_cannot_be_created_fails_at_once():
    # /proc answers ENOENT for any new entry although it exists; the directory
    # creation used to climb up and down for ever. Run in a child so that a
    # regression fails on the timeout instead of hanging the suite.
    code = (
        "import korvath_core, sys\n"
        f"args = {SMALLEST!r}\n"
        "for outdir in ['/proc/forbidden', '/proc/forbidden/a/b']:\n"
        "    try:\n"
        "        korvath_core.simulate_and_write(**args, outdir=outdir)\n"
        "    except OSError as exc:\n"
        "        print(type(exc).__name__, exc.args[0])\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 2 and all(line.startswith("OSError ") for line in lines), lines
    assert all(line.endswith("(os error %d)" % errno.ENOENT) for line in lines), lines
