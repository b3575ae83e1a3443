"""The korvath command, run end to end in a subprocess."""
import pathlib
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import korvath
from korvath import GeneTrees, SpeciesTree, loglik
from korvath.cli import EXAMPLE_TREE

RATES = ["--duplication", "0.3", "--transfer", "0.2", "--loss", "0.4"]


def korvath_cmd(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "korvath.cli", *map(str, args)],
                          capture_output=True, text=True, timeout=300, cwd=cwd)


@pytest.fixture(scope="module")
def simulated(tmp_path_factory):
    root = tmp_path_factory.mktemp("cli")
    out = korvath_cmd("simulate", "example", root / "run", *RATES, "--families", 30,
                      "--seed", 4, "--threads", 2)
    assert out.returncode == 0, out.stderr
    extant = sorted((root / "run" / "gene_trees").glob("*_extant.nwk"),
                    key=lambda p: int(p.name.split("_")[0]))
    trees = root / "trees.nwk"
    trees.write_text("".join(p.read_text() for p in extant))
    (root / "species.nwk").write_text(EXAMPLE_TREE + "\n")
    return root, out.stdout, len(extant)


def test_simulate_writes_the_folder_and_a_summary(simulated):
    root, stdout, n_extant = simulated
    assert "families: 30 (" in stdout and f"({n_extant} with extant copies)" in stdout
    assert (root / "run" / "Profiles.tsv").is_file()
    # The same run through the toolkit writes the same files.
    tree = SpeciesTree.from_newick(EXAMPLE_TREE)
    sim = korvath.simulate_families(tree, duplication=0.3, transfer=0.2, loss=0.4,
                                    families=30, seed=4)
    sim.write(root / "again")
    for name in ("Profiles.tsv", "Gene_family_summary.tsv", "Transfers.tsv"):
        assert (root / "again" / name).read_text() == (root / "run" / name).read_text()


def test_score_prints_the_toolkit_values(simulated):
    root, _, n_extant = simulated
    out = korvath_cmd("score", root / "species.nwk", root / "trees.nwk", *RATES,
                      "--model", "dated", "--n-steps", "8", "--threads", "2")
    assert out.returncode == 0, out.stderr
    assert out.stderr == ""  # no progress bar when stderr is not a terminal
    lines = out.stdout.splitlines()
    assert lines[0] == "family\tloglik" and len(lines) == n_extant + 1
    tree = SpeciesTree.from_newick(EXAMPLE_TREE)
    genes = GeneTrees.from_newick(root / "trees.nwk", tree)
    expected = loglik(tree, genes, duplication=0.3, transfer=0.2, loss=0.4, model="dated",
                      n_steps=8)
    got = {int(f): float(v) for f, v in (line.split("\t") for line in lines[1:])}
    assert got == expected.to_dict()
    to_file = korvath_cmd("score", "example", root / "trees.nwk", *RATES, "-o",
                          root / "scores.tsv")
    assert to_file.returncode == 0 and to_file.stdout == ""
    assert (root / "scores.tsv").read_text().startswith("family\tloglik\n1\t")


def test_score_reads_unrooted_trees_and_sample_folders(simulated, tmp_path):
    root, _, _ = simulated
    tree = SpeciesTree.from_newick(EXAMPLE_TREE)
    texts = (root / "trees.nwk").read_text().split()
    big = [t for t in texts if t.count(",") >= 2][:3]
    (tmp_path / "unrooted.nwk").write_text("\n".join(big) + "\n")
    out = korvath_cmd("score", "example", tmp_path / "unrooted.nwk", *RATES, "--unrooted")
    assert out.returncode == 0, out.stderr
    genes = GeneTrees.from_newick(big, tree, rooted=False)
    expected = loglik(tree, genes, duplication=0.3, transfer=0.2, loss=0.4)
    got = [float(line.split("\t")[1]) for line in out.stdout.splitlines()[1:]]
    assert got == expected.tolist()
    folder = tmp_path / "samples"
    folder.mkdir()
    (folder / "famA.nwk").write_text(big[0] + "\n" + big[0] + "\n")
    (folder / "famB.nwk").write_text(big[1] + "\n")
    out = korvath_cmd("score", "example", folder, *RATES, "--samples")
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert [line.split("\t")[0] for line in lines[1:]] == ["famA", "famB"]
    rooted = loglik(tree, GeneTrees.from_newick(big[:2], tree), duplication=0.3,
                    transfer=0.2, loss=0.4)
    for line, value in zip(lines[1:], rooted):
        assert abs(float(line.split("\t")[1]) - value) <= 1e-12
    out = korvath_cmd("score", "example", folder, *RATES, "--samples", "--model", "dated",
                      "--n-steps", "4")
    assert out.returncode == 0, out.stderr
    dated = loglik(tree, GeneTrees.from_newick(big[:2], tree), duplication=0.3, transfer=0.2,
                   loss=0.4, model="dated", n_steps=4)
    for line, value in zip(out.stdout.splitlines()[1:], dated):
        assert abs(float(line.split("\t")[1]) - value) <= 1e-12


def test_sample_folders_take_nexus_files_and_a_burnin(tmp_path):
    tree = SpeciesTree.from_newick(EXAMPLE_TREE)
    trees = ["((sp1_1,sp2_1),(sp3_1,sp4_1),sp6_1);", "((sp1_1,sp3_1),(sp2_1,sp4_1),sp6_1);",
             "(sp1_1,(sp2_1,(sp3_1,sp4_1)),sp6_1);"]
    folder = tmp_path / "samples"
    folder.mkdir()
    (folder / "fam.run1.t").write_text(
        "#NEXUS\n[written by a sampler]\nbegin trees;\n" +
        "".join(f"tree gen.{k} = [&U] {t}\n" for k, t in enumerate(trees)) + "end;\n")
    out = korvath_cmd("score", "example", folder, *RATES, "--samples", "--unrooted",
                      "--burnin", "1")
    assert out.returncode == 0, out.stderr
    kept = GeneTrees.from_samples([trees[1:]], tree, rooted=False)
    expected = loglik(tree, kept, duplication=0.3, transfer=0.2, loss=0.4)
    assert out.stdout.splitlines()[1].split("\t") == ["fam.run1", repr(float(expected.iloc[0]))]
    for args, message in [(("--burnin", "3"), "leaves none"), (("--burnin", "x"), "--burnin")]:
        out = korvath_cmd("score", "example", folder, *RATES, "--samples", "--unrooted", *args)
        assert out.returncode == 2 and message in out.stderr, out.stderr
    out = korvath_cmd("score", "example", folder / "fam.run1.t", *RATES, "--burnin", "1")
    assert out.returncode == 2 and "add --samples" in out.stderr


def test_fit_prints_rates_and_log_likelihood(simulated):
    root, _, _ = simulated
    out = korvath_cmd("fit", "example", root / "trees.nwk", "--model", "undated",
                      "--fix", "transfer=0.2", "--threads", "2")
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("log-likelihood -")
    assert "transfer     0.2  (fixed)" in out.stdout
    assert "duplication" in out.stdout and "loss" in out.stdout


def test_reconcile_writes_tables_and_trees(simulated, tmp_path):
    root, _, n_extant = simulated
    out = korvath_cmd("reconcile", root / "species.nwk", root / "trees.nwk", tmp_path / "rec",
                      *RATES, "--model", "reldated", "--scenarios", "12", "--seed", "5",
                      "--threads", "2")
    assert out.returncode == 0, out.stderr
    assert f"families: {n_extant}, scenarios per family: 12" in out.stdout
    folder = tmp_path / "rec"
    tree = SpeciesTree.from_newick(EXAMPLE_TREE)
    genes = GeneTrees.from_newick(root / "trees.nwk", tree)
    rec = korvath.reconcile(tree, genes, duplication=0.3, transfer=0.2, loss=0.4,
                            model="reldated", samples=12, seed=5)
    events = pd.read_csv(folder / "events.tsv", sep="\t")
    assert len(events) == len(rec.events)
    assert (events["event"] == rec.events["event"].astype(str)).all()
    assert (events["branch"] == rec.events["branch"].astype(str)).all()
    counts = pd.read_csv(folder / "branch_counts.tsv", sep="\t", index_col="branch")
    assert np.allclose(counts.to_numpy(), rec.branch_counts().to_numpy())
    pairs = pd.read_csv(folder / "transfers.tsv", sep="\t")
    assert list(pairs.columns) == ["donor", "recipient", "frequency"]
    scores = pd.read_csv(folder / "loglik.tsv", sep="\t")
    assert np.array_equal(scores["loglik"].to_numpy(), rec.loglik.to_numpy())
    assert (folder / "reconciliations.xml").read_text() == rec.to_recphyloxml()


@pytest.mark.parametrize("args, message", [
    (["score", "example", "missing.nwk", *RATES], "gene tree file not found"),
    (["score", "nothere.nwk", "trees.nwk", *RATES], "species tree file not found"),
    (["score", "adir", "trees.nwk", *RATES], "species tree: adir is a folder"),
    (["score", "empty.nwk", "trees.nwk", *RATES], "species tree empty.nwk: "),
    (["score", "binary.nwk", "trees.nwk", *RATES], "'binary.nwk' cannot be read as UTF-8"),
    (["score", "example", "adir", *RATES], "gene trees: adir is a folder"),
    (["score", "example", "trees.nwk", "--model", "dated", "--duplication", "1e300",
      "--transfer", "0", "--loss", "0"], "Euler steps"),
    (["fit", "example", "trees.nwk", "--model", "dated", "--fix", "duplication=1e300"],
     "fixed, n_steps: "),
    (["simulate", "example", "trees.nwk", *RATES, "--families", "2", "--seed", "1"],
     "'trees.nwk' is a file"),
    (["score", "example", "trees.nwk", "--duplication", "-1", "--transfer", "0",
      "--loss", "0"], "duplication: a rate must be finite and >= 0"),
    (["score", "example", "trees.nwk", *RATES, "--model", "timed"], "invalid choice"),
    (["score", "example", "bad.nwk", *RATES], "family 2: the root has 3 children"),
    (["score", "example", "trees.nwk"], "required"),
    (["fit", "example", "trees.nwk", "--fix", "transfer"], "--fix: expected RATE=VALUE"),
    (["simulate", "example", "out", *RATES, "--families", "-3", "--seed", "1"], "families"),
    (["frobnicate"], "invalid choice"),
    (["reconcile", "example", "trees.nwk", "out", *RATES, "--n-steps", "4"],
     "n_steps: applies to the dated model only"),
    (["reconcile", "example", "trees.nwk", "out", *RATES, "--scenarios", "0"], "--scenarios"),
])
def test_bad_input_is_one_line_and_status_2(simulated, args, message):
    root, _, _ = simulated
    (root / "bad.nwk").write_text("(sp1_1,sp2_2);\n(sp1_1,sp2_2,sp3_3);\n")
    (root / "adir").mkdir(exist_ok=True)
    (root / "empty.nwk").write_text("")
    (root / "binary.nwk").write_bytes(b"\xff\xfe(a,b);")
    out = korvath_cmd(*args, cwd=root)
    assert out.returncode == 2
    assert out.stdout == ""
    assert out.stderr.count("\n") == 1 and out.stderr.startswith("korvath: error: ")
    assert message in out.stderr and "Traceback" not in out.stderr


def test_help_documents_every_option():
    for command, options in [("simulate", ["--duplication", "--families", "--seed",
                                           "--origination", "--threads"]),
                             ("score", ["--model", "--n-steps", "--origination",
                                        "--separator", "--threads", "--output"]),
                             ("fit", ["--n-extinct", "--fix", "--intervals", "--threads"]),
                             ("reconcile", ["--scenarios", "--seed", "--model", "--unrooted",
                                            "--samples", "--threads"])]:
        out = korvath_cmd(command, "--help")
        assert out.returncode == 0
        for option in options:
            assert option in out.stdout, (command, option)


def test_warnings_are_one_line_beside_the_results(tmp_path):
    (tmp_path / "short.nwk").write_text("(a:1.0000000005,(b:1,c:1)bc:0.5e-9):0;\n")
    (tmp_path / "genes.nwk").write_text("((b_1,c_1),a_1);\n")
    out = korvath_cmd("score", "short.nwk", "genes.nwk", "--model", "dated", *RATES,
                      cwd=tmp_path)
    assert out.returncode == 0 and out.stdout == "family\tloglik\n1\t-inf\n"
    assert out.stderr.startswith("korvath: warning: species_tree: 1 branch of length 1e-9")
    assert out.stderr.count("\n") == 1 and "UserWarning" not in out.stderr
