"""simulate_families, simulate_profiles and simulate_genomes against the core: the same run
gives the same numbers, the in-memory gene trees and tables equal the written files, and bad
arguments are refused before the core runs."""
import math
import pathlib

import numpy as np
import pandas as pd
import pytest

import korvath_core
from korvath import SpeciesTree, simulate_families, simulate_genomes, simulate_profiles
from toolkit_trees import random_options, random_tree

TREE = "(((A:0.3,B:0.3):0.4,(C:0.5,X:0.2):0.2):0.3,(D:0.6,(E:0.1,F:0.1):0.5):0.4);"
RATES = dict(duplication=0.7, transfer=0.9, loss=0.8, origination=0.5, families=6, seed=11,
             cap=None, replacement=0.3, distance_decay=1.5, allow_self=True)


def core_args(tree, options):
    sim = tree.simulator_arrays()
    return dict(n_nodes=sim.n_nodes, parent=list(sim.parent), time=list(sim.time),
                extant_leaf=[bool(x) for x in sim.extant_leaf], root=sim.root,
                duplication=options["duplication"], transfer=options["transfer"],
                loss=options["loss"], origination=options["origination"],
                initial_size=options["families"],
                cap=-1 if options["cap"] is None else options["cap"], seed=options["seed"],
                replacement=options["replacement"],
                distance_decay=-1.0 if options["distance_decay"] is None
                else options["distance_decay"], allow_self=options["allow_self"])


def test_events_are_the_core_log_column_by_column():
    tree = SpeciesTree.from_newick(TREE)
    sim = simulate_families(tree, **RATES)
    (kind, branch, time, donor, recipient, family, gene, child1, child2), leaves = \
        korvath_core.simulate_log(**core_args(tree, RATES))
    events = sim.events
    assert len(events) == len(kind) > 50
    assert events["event"].tolist() == ["ODTLS"[k] for k in kind]
    assert events["time"].tolist() == time
    names = tree.names
    assert events["branch"].tolist() == [names[b] for b in branch]
    assert events["donor"].tolist() == [names[d] if d >= 0 else np.nan for d in donor]
    assert events["recipient"].tolist() == [names[r] if r >= 0 else np.nan for r in recipient]
    assert events["family"].tolist() == [f + 1 for f in family]
    for column, values in (("gene", gene), ("child1", child1), ("child2", child2)):
        assert str(events[column].dtype) == "Int64"
        assert events[column].fillna(-1).tolist() == values
    assert events["event"].dtype == "category"
    copies = sim.extant_copies
    assert copies["gene"].tolist() == [g for _, cs in leaves for g, _ in cs]
    assert copies["family"].tolist() == [f + 1 for _, cs in leaves for _, f in cs]
    assert copies["species"].tolist() == [names[v] for v, cs in leaves for _ in cs]
    assert sim.n_families == kind.count(0)
    # The trace route keeps the same rows without speciations.
    trace = simulate_families(tree, **RATES, record="trace")
    t_columns, table = korvath_core.simulate_trace(**core_args(tree, RATES))
    assert trace.events["event"].tolist() == ["ODTLS"[k] for k in t_columns[0]]
    assert trace.events["time"].tolist() == [t for t, k in zip(time, kind) if k != 4]
    assert trace.events["child1"].fillna(-1).tolist() == t_columns[7]


def write_through_core(sim, outdir):
    """The run's folder as korvath_core.simulate_and_write writes it (running the run again)."""
    args = dict(sim._core_args)
    korvath_core.simulate_and_write(
        args.pop("n_nodes"), args.pop("parent"), args.pop("time"), args.pop("extant_leaf"),
        args.pop("root"), sim.tree.names, total_age=float(sim.tree.present), outdir=str(outdir),
        **args)


def folder_bytes(outdir):
    root = pathlib.Path(outdir)
    return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}


def check_against_written_files(sim, outdir):
    write_through_core(sim, outdir)
    trees = pathlib.Path(outdir, "gene_trees")
    complete, extant = sim.gene_trees(), sim.gene_trees(extant=True)
    on_disk = {p.name: p.read_bytes() for p in trees.iterdir()}
    expected = {f"{n}_complete.nwk": t.encode() for n, t in complete.items()}
    expected |= {f"{n}_extant.nwk": t.encode() for n, t in extant.items()}
    assert on_disk == expected
    profiles = pd.read_csv(pathlib.Path(outdir, "Profiles.tsv"), sep="\t", index_col=0)
    presence = pd.read_csv(pathlib.Path(outdir, "Presence.tsv"), sep="\t", index_col=0)
    for table, written in ((sim.profiles, profiles), (sim.presence, presence)):
        assert list(table.columns) == list(written.columns)
        assert list(table.index) == list(written.index)
        assert (table.to_numpy() == written.to_numpy()).all()
    return complete, extant


@pytest.mark.parametrize("seed", range(12))
def test_gene_trees_and_tables_equal_the_written_files(seed, tmp_path):
    tree = random_tree(seed)
    options = random_options(seed)
    sim = simulate_families(tree, **options)
    complete, extant = check_against_written_files(sim, tmp_path / "log")
    assert set(complete) == set(range(1, sim.n_families + 1))
    # The trace route recovers the same trees and tables.
    trace = simulate_families(tree, **options, record="trace")
    assert trace.gene_trees() == complete and trace.gene_trees(extant=True) == extant
    assert trace.profiles.equals(sim.profiles)
    # write() makes the core's folder from the run in memory, on both routes.
    expected = folder_bytes(tmp_path / "log")
    for route, run in (("from_log", sim), ("from_trace", trace)):
        assert run.write(tmp_path / route) == tmp_path / route
        assert folder_bytes(tmp_path / route) == expected


def test_families_without_survivors(tmp_path):
    tree = SpeciesTree.from_newick(TREE)
    sim = simulate_families(tree, duplication=0, transfer=0, loss=50.0, families=3, seed=1)
    assert sim.profiles.shape == (0, 6)
    assert list(sim.profiles.columns) == ["A", "B", "C", "D", "E", "F"]
    assert sim.gene_trees(extant=True) == {}
    assert all(t.count("LOSS_") >= 1 for t in sim.gene_trees().values())
    check_against_written_files(sim, tmp_path)
    empty = simulate_families(tree, duplication=1, transfer=1, loss=1, families=0, seed=1)
    assert len(empty.events) == 0 and empty.gene_trees() == {} and len(empty.profiles) == 0


def test_profiles_match_the_counts_engine_and_ignore_threads():
    tree = random_tree(3, n_leaves=12)
    options = dict(duplication=0.4, transfer=0.5, loss=0.6, origination=1.0, families=20,
                   seed=99, cap=3, replacement=0.5, distance_decay=None, allow_self=False)
    single = simulate_profiles(tree, **options)
    leaves, ordinal, family, count = (np.frombuffer(b, dtype=d) for b, d in zip(
        korvath_core.simulate_profiles(**core_args(tree, options)), ("<u4", "<u4", "<u8", "<u4")))
    assert int(single.to_numpy().sum()) == int(count.sum())
    names = tree.names
    for k, f, c in zip(ordinal, family, count):
        assert single.loc[int(f) + 1, names[leaves[k]]] == c
    split = [simulate_profiles(tree, **options, copies=4, threads=t) for t in (1, 3)]
    assert split[0].equals(split[1])
    assert sorted(split[0].columns) == sorted(single.columns)


def test_genomes_are_the_core_segments():
    tree = SpeciesTree.from_newick(TREE)
    options = dict(inversion=0.05, loss=0.02, duplication=0.03, transfer=0.04,
                   transposition=0.05, origination=0.5, root_length=40, extension=0.8,
                   families=3, seed=5, replacement=0.0, distance_decay=None, allow_self=False)
    genomes = simulate_genomes(tree, **options)
    sim = tree.simulator_arrays()
    samples = korvath_core.simulate_nucleotide(
        sim.n_nodes, list(sim.parent), list(sim.time), [bool(x) for x in sim.extant_leaf],
        sim.root, 0.05, 0.02, 0.03, 0.04, 0.05, 0.5, 40, 0.8, 3, 5, 0.0, -1.0, False)
    rows = [(tree.names[v], i, *seg) for v, segs in samples for i, seg in enumerate(segs)]
    got = genomes[["species", "position", "element", "start", "end", "strand"]]
    assert [tuple(r) for r in got.itertuples(index=False)] == rows
    for _, genome in genomes.groupby("species", observed=True):
        spans = (genome["end"] - genome["start"]).to_numpy()
        assert genome["offset"].tolist() == (np.cumsum(spans) - spans).tolist()


BAD = [
    ("duplication", math.nan, ValueError, "duplication: a rate must be finite and >= 0"),
    ("loss", -1.0, ValueError, "loss: a rate must be finite and >= 0, got -1.0"),
    ("transfer", math.inf, ValueError, "transfer: a rate must be finite"),
    ("origination", "1", TypeError, "origination: expected a real number"),
    ("duplication", True, TypeError, "duplication: expected a real number"),
    ("replacement", 2.0, ValueError, "replacement: must lie in [0, 1], got 2.0"),
    ("replacement", -0.1, ValueError, "replacement: must lie in [0, 1]"),
    ("families", 1.5, TypeError, "families: expected an int"),
    ("families", -1, ValueError, "families: must be an integer >= 0"),
    ("seed", -1, ValueError, "seed: must be an integer >= 0"),
    ("seed", 2**64, ValueError, "seed: must be at most"),
    ("cap", -1, ValueError, "cap: must be an integer >= 0"),
    ("cap", 2.0, TypeError, "cap: expected an int"),
    ("distance_decay", -0.5, ValueError, "distance_decay: must be None (uniform recipients)"),
    ("distance_decay", math.nan, ValueError, "distance_decay"),
    ("allow_self", 1, TypeError, "allow_self: expected True or False"),
    ("record", "events", ValueError, "record: must be one of 'log', 'trace'"),
]


@pytest.mark.parametrize("name, value, kind, message", BAD)
def test_bad_arguments_are_refused_before_the_core_runs(name, value, kind, message, monkeypatch):
    tree = SpeciesTree.from_newick(TREE)

    def must_not_run(*args, **kwargs):
        raise AssertionError("the core was called")

    for function in ("simulate_log", "simulate_trace", "simulate_profiles",
                     "simulate_profiles_parallel"):
        monkeypatch.setattr(korvath_core, function, must_not_run)
    with pytest.raises(kind) as info:
        simulate_families(tree, **(RATES | {name: value}))
    assert message in str(info.value)
    if name != "record":
        with pytest.raises(kind) as info:
            simulate_profiles(tree, **(RATES | {name: value}))
        assert message in str(info.value)


def test_other_arguments_checked():
    tree = SpeciesTree.from_newick(TREE)
    with pytest.raises(TypeError, match="tree: expected a korvath.SpeciesTree"):
        simulate_families("((A:1,B:1));", **RATES)
    with pytest.raises(ValueError, match="copies: must be an integer >= 1"):
        simulate_profiles(tree, **RATES, copies=0)
    with pytest.raises(ValueError, match="threads: must be an integer >= 1"):
        simulate_profiles(tree, **RATES, threads=0)
    genome = dict(inversion=0.1, loss=0.1, duplication=0.1, transfer=0.1, transposition=0.1,
                  origination=0.1, root_length=10, extension=0.5, families=1, seed=1)
    for name, value, message in [("extension", 1.5, "extension: must lie in [0, 1]"),
                                 ("root_length", 0, "root_length: must be an integer >= 1"),
                                 ("transposition", -2.0, "transposition: a rate must be")]:
        with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
            simulate_genomes(tree, **(genome | {name: value}))
    sim = simulate_families(tree, **RATES)
    with pytest.raises(TypeError, match="extant: expected True or False"):
        sim.gene_trees(extant="yes")


def test_names_that_would_break_gene_trees_are_refused():
    tree = SpeciesTree.from_newick("(('a,b':1,B:1):1,C:2);")
    sim = simulate_families(tree, duplication=0.1, transfer=0.1, loss=0.1, families=2, seed=1)
    assert len(sim.profiles.columns) == 3
    with pytest.raises(ValueError, match="would break the Newick gene trees"):
        sim.gene_trees()


def test_more_founders_than_a_counts_run_holds_are_refused_naming_families():
    tree = SpeciesTree.birth_death(8, seed=1)
    still = dict(duplication=0, transfer=0, loss=0, seed=1)
    with pytest.raises(ValueError, match="families: 4294967296 founding families are more"):
        simulate_profiles(tree, families=2**32, **still)
    with pytest.raises(ValueError, match=r"over 2 copies \(4294967296 a copy\)"):
        simulate_profiles(tree, families=2**33, copies=2, **still)
