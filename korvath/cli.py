"""The ``korvath`` command: simulate gene families, score gene trees, estimate rates.

    korvath simulate SPECIES_TREE OUTDIR --duplication 0.2 --transfer 0.1 --loss 0.3 \\
        --families 100 --seed 1
    korvath score SPECIES_TREE GENE_TREES --model dated --duplication 0.2 --transfer 0.1 \\
        --loss 0.3 [-o scores.tsv]
    korvath fit SPECIES_TREE GENE_TREES --model dated [--n-extinct K] [--intervals]
    korvath reconcile SPECIES_TREE GENE_TREES OUTDIR --duplication 0.2 --transfer 0.1 \\
        --loss 0.3 [--scenarios 100] [--seed 0]

SPECIES_TREE is a file holding one Newick tree (branch lengths give dates), or ``example`` for
a small built-in tree. GENE_TREES is a file with one Newick gene tree per line, whose
leaves are named ``<species><separator><anything>`` (``--separator``, default ``_``). The
trees are rooted unless ``--unrooted`` is given; with ``--samples`` GENE_TREES is a folder
holding one file per family, each a sample of trees (bootstrap or posterior): one Newick tree
per line, or a NEXUS trees file; ``--burnin`` leaves out each sample's first trees.

Bad input gives a one-line message on stderr and exit status 2; Ctrl-C gives status 130. A
progress bar is shown on stderr for work longer than about a second, only when stderr is a
terminal.
"""
from __future__ import annotations

import argparse
import os
import sys
import time
import warnings
from typing import Any, Sequence, TextIO

EXAMPLE_TREE = (
    "(((sp1:0.35,sp2:0.35):0.4,(sp3:0.55,(sp4:0.3,sp5:0.3):0.25):0.2):0.25,"
    "((sp6:0.6,sp7:0.6):0.15,(sp8:0.45,sp9:0.45):0.3):0.25);"
)


class UsageError(Exception):
    """Bad input on the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> None:  # type: ignore[override]
        raise UsageError(message)


class Progress:
    """A one-line progress bar on stderr, shown only on a terminal and after about a second."""

    def __init__(self, what: str, total: int | None, stream: TextIO | None = None,
                 delay: float = 1.0) -> None:
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = bool(getattr(self.stream, "isatty", lambda: False)())
        self.what = what
        self.total = total
        self.start = time.monotonic()
        self.delay = delay
        self.shown = False

    def __call__(self, done: int) -> None:
        if not self.enabled or time.monotonic() - self.start < self.delay:
            return
        if self.total:
            width = 30
            filled = width * min(done, self.total) // self.total
            line = (f"\r{self.what} [{'#' * filled}{'.' * (width - filled)}] "
                    f"{done}/{self.total}")
        else:
            line = f"\r{self.what}: {done}"
        self.stream.write(line)
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r\033[K")
            self.stream.flush()


def _species_tree(source: str) -> Any:
    from korvath import SpeciesTree

    if source == "example":
        return SpeciesTree.from_newick(EXAMPLE_TREE)
    if os.path.isdir(source):
        raise UsageError(f"species tree: {source} is a folder, not a Newick file")
    if not os.path.isfile(source):
        raise UsageError(f"species tree file not found: {source}")
    try:
        return SpeciesTree.from_newick(os.fspath(source))
    except ValueError as exc:
        raise ValueError(f"species tree {source}: {exc}") from None


def _burnin(text: str) -> int | float:
    """--burnin: an integer is a number of trees, anything else a share below 1."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number of trees or a share below 1, "
                                         f"got {text!r}") from None


def _gene_trees(path: str, tree: Any, separator: str, unrooted: bool = False,
                samples: bool = False, burnin: int | float = 0) -> Any:
    from korvath import GeneTrees

    if samples:
        if not os.path.isdir(path):
            raise UsageError(f"sample folder not found: {path}")
        return GeneTrees.from_samples(path, tree, separator, rooted=not unrooted,
                                      burnin=burnin)
    if burnin:
        raise UsageError("--burnin is for samples of trees: add --samples")
    if os.path.isdir(path):
        raise UsageError(f"gene trees: {path} is a folder, not a file (a folder of samples "
                         "goes with --samples)")
    if not os.path.isfile(path):
        raise UsageError(f"gene tree file not found: {path}")
    return GeneTrees.from_newick(path, tree, separator, rooted=not unrooted)


def _rate_args(parser: argparse.ArgumentParser, required: bool) -> None:
    for name in ("duplication", "transfer", "loss"):
        parser.add_argument(f"--{name}", type=float, required=required, metavar="RATE",
                            help=f"{name} rate (>= 0); per copy per unit time for the dated "
                                 "model and the simulator, against a speciation rate of 1 for "
                                 "the undated models")


def _model_args(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", choices=("undated", "reldated", "dated"), default="undated",
                        help="likelihood model (default: undated)")
    parser.add_argument("--n-steps", type=int, default=None, metavar="N",
                        help="dated model: least number of Euler steps per time interval "
                             "(default 20)")
    parser.add_argument("--origination", choices=("root", "uniform"), default="root",
                        help="families start at the root, or on a uniformly chosen branch "
                             "(default: root)")
    parser.add_argument("--separator", default="_", metavar="TEXT",
                        help="a gene leaf's species is its label before the last occurrence "
                             "of TEXT (default: _)")
    parser.add_argument("--threads", type=int, default=1, metavar="N",
                        help="threads to score on (default 1); results do not depend on it")
    parser.add_argument("--unrooted", action="store_true",
                        help="read the gene trees as unrooted and score them over every "
                             "rooting")
    parser.add_argument("--samples", action="store_true",
                        help="GENE_TREES is a folder with one file per family, each a sample "
                             "of trees (one per line, or NEXUS), scored through their clade "
                             "frequencies")
    parser.add_argument("--burnin", type=_burnin, default=0, metavar="N",
                        help="with --samples, leave out each sample's first N trees (an "
                             "integer), or that share of them (a number below 1: 0.25)")


def _tree_args(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("species_tree", metavar="SPECIES_TREE", help="Newick file, or 'example'")
    parser.add_argument("gene_trees", metavar="GENE_TREES",
                        help="file with one Newick gene tree per line (rooted unless "
                             "--unrooted), or with --samples a folder of sample files")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="korvath", description="Simulate gene families along a dated "
                     "species tree, score gene trees against it and estimate the duplication, "
                     "transfer and loss rates.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    sim = commands.add_parser("simulate", help="simulate gene families and write them to a "
                              "folder", description="Simulate gene families founded at the "
                              "root of SPECIES_TREE and write event tables, summary tables and "
                              "gene trees to OUTDIR.")
    sim.add_argument("species_tree", metavar="SPECIES_TREE",
                     help="Newick file of the dated species tree, or 'example' for a built-in "
                          "9-species tree")
    sim.add_argument("outdir", metavar="OUTDIR", help="folder to write (created if missing)")
    _rate_args(sim, required=True)
    sim.add_argument("--origination", type=float, default=0.0, metavar="RATE",
                     help="rate per branch per unit time at which new families appear "
                          "(default 0)")
    sim.add_argument("--families", type=int, required=True, metavar="N",
                     help="families founded at the root")
    sim.add_argument("--seed", type=int, required=True, help="seed of the run (0 .. 2^64-1)")
    sim.add_argument("--threads", type=int, default=None, metavar="N",
                     help="worker threads writing the per-family files (default: one per "
                          "core); the files do not depend on it")

    score = commands.add_parser("score", help="log-likelihood of every gene tree",
                                description="Print a TSV of family and log-likelihood, one line "
                                "per gene tree of GENE_TREES (families numbered from 1 in file "
                                "order).")
    _tree_args(score)
    _rate_args(score, required=True)
    _model_args(score)
    score.add_argument("-o", "--output", metavar="FILE", help="write the TSV to FILE instead "
                       "of stdout")

    fit = commands.add_parser("fit", help="maximum-likelihood rates", description="Estimate "
                              "the duplication, transfer and loss rates of GENE_TREES by "
                              "maximum likelihood and print them with the log-likelihood.")
    _tree_args(fit)
    _model_args(fit)
    fit.add_argument("--n-extinct", type=int, default=0, metavar="K",
                     help="families that left no gene, started like the others (default 0)")
    fit.add_argument("--fix", action="append", default=[], metavar="RATE=VALUE",
                     help="hold a rate at a value, e.g. --fix transfer=0 (repeatable)")
    fit.add_argument("--intervals", action="store_true",
                     help="also print 95%% profile-likelihood confidence intervals")

    rec = commands.add_parser("reconcile", help="sample reconciled scenarios of every family",
                              description="Sample scenarios of duplication, transfer and loss "
                              "for every gene tree of GENE_TREES "
                              "and write to OUTDIR: events.tsv (every event of every scenario), "
                              "branch_counts.tsv (expected events per species branch), "
                              "transfers.tsv (expected transfers per donor and recipient), "
                              "loglik.tsv and reconciliations.xml (RecPhyloXML, the first "
                              "scenario of every family).")
    _tree_args(rec)
    rec.add_argument("outdir", metavar="OUTDIR", help="folder to write (created if missing)")
    _rate_args(rec, required=True)
    _model_args(rec)
    rec.add_argument("--scenarios", type=int, default=100, metavar="N",
                     help="scenarios per family (default 100)")
    rec.add_argument("--seed", type=int, default=0, help="seed (default 0); the scenarios do "
                     "not depend on --threads")
    return parser


def _simulate(args: argparse.Namespace, out: TextIO) -> None:
    if args.threads is not None:
        if args.threads < 1:
            raise UsageError("--threads: must be at least 1")
        # The core's shared worker pool takes its size from this on first use.
        os.environ["RAYON_NUM_THREADS"] = str(args.threads)
    import korvath

    tree = _species_tree(args.species_tree)
    sim = korvath.simulate_families(tree, duplication=args.duplication,
                                    transfer=args.transfer, loss=args.loss,
                                    origination=args.origination, families=args.families,
                                    seed=args.seed)
    path = sim.write(args.outdir)
    survivors = len(sim.gene_trees(extant=True))
    out.write(f"wrote {path}\n"
              f"species tree: {len(tree.extant_leaves)} extant species, height "
              f"{tree.height:g}\n"
              f"families: {sim.n_families} ({survivors} with extant copies)\n"
              f"events: {sim.n_events}\n")


def _scorer(args: argparse.Namespace) -> tuple[Any, Any, Any]:
    from korvath import scoring

    tree = _species_tree(args.species_tree)
    genes = _gene_trees(args.gene_trees, tree, args.separator, args.unrooted, args.samples,
                        args.burnin)
    _, settings = scoring._check_settings(tree, args.model, args.n_steps, args.origination)
    threads = scoring._check_threads(args.threads)
    return tree, genes, (settings, threads)


def _score(args: argparse.Namespace, out: TextIO) -> None:
    from korvath import scoring

    tree, genes, (settings, threads) = _scorer(args)
    rates = scoring._check_rates(args.duplication, args.transfer, args.loss)
    scoring._check_dated_grid(tree, settings, rates)
    progress = Progress("scoring", len(genes))
    try:
        with scoring._Scorer(tree, genes, settings, threads, None) as scorer:
            values = scorer.family_values(rates, progress)
    finally:
        progress.close()
    lines = ["family\tloglik\n"]
    lines += [f"{name}\t{value!r}\n" for name, value in zip(genes.names, values.tolist())]
    if args.output:
        with open(args.output, "w", encoding="utf-8") as handle:
            handle.writelines(lines)
    else:
        out.writelines(lines)


def _fit(args: argparse.Namespace, out: TextIO) -> None:
    from korvath import fit_rates

    tree, genes, (_, threads) = _scorer(args)
    fixed: dict[str, float] = {}
    for item in args.fix:
        name, sep, value = item.partition("=")
        if not sep:
            raise UsageError(f"--fix: expected RATE=VALUE, got {item!r}")
        try:
            fixed[name.strip()] = float(value)
        except ValueError:
            raise UsageError(f"--fix: {value!r} is not a number") from None
    progress = Progress("evaluations", None)
    try:
        fit = fit_rates(tree, genes, model=args.model, n_steps=args.n_steps,
                        origination=args.origination, n_extinct=args.n_extinct,
                        fixed=fixed or None, threads=threads, intervals=args.intervals,
                        _progress=progress)
    finally:
        progress.close()
    out.write(str(fit) + "\n")
    if not fit.converged:
        out.write(f"note: {fit.message}\n")


def _reconcile(args: argparse.Namespace, out: TextIO) -> None:
    import korvath

    if args.scenarios < 1:
        raise UsageError("--scenarios: must be at least 1")
    tree, genes, (_, threads) = _scorer(args)
    progress = Progress("reconciling", len(genes))
    try:
        rec = korvath.reconcile(tree, genes, duplication=args.duplication,
                                transfer=args.transfer, loss=args.loss, model=args.model,
                                n_steps=args.n_steps, origination=args.origination, samples=args.scenarios,
                                seed=args.seed, threads=threads, progress=progress)
    finally:
        progress.close()
    os.makedirs(args.outdir, exist_ok=True)
    rec.events.to_csv(os.path.join(args.outdir, "events.tsv"), sep="\t", index=False)
    rec.branch_counts().to_csv(os.path.join(args.outdir, "branch_counts.tsv"), sep="\t")
    rec.transfers().to_csv(os.path.join(args.outdir, "transfers.tsv"), sep="\t", index=False)
    rec.loglik.to_csv(os.path.join(args.outdir, "loglik.tsv"), sep="\t")
    rec.to_recphyloxml(os.path.join(args.outdir, "reconciliations.xml"))
    impossible = int((rec.loglik == float("-inf")).sum())
    out.write(f"wrote {args.outdir}\n"
              f"families: {len(genes)}, scenarios per family: {args.scenarios}\n"
              f"events: {len(rec.events)}\n")
    if impossible:
        out.write(f"note: {impossible} families have likelihood 0 under these rates and no "
                  "scenarios\n")


def _show_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    text = " ".join(str(message).split())
    (file or sys.stderr).write(f"korvath: warning: {text}\n")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status (0, 2 for bad input, 130 on Ctrl-C)."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
        with warnings.catch_warnings():
            # A warning is one line, as an error is, not a source line of the toolkit.
            warnings.showwarning = _show_warning
            {"simulate": _simulate, "score": _score, "fit": _fit,
             "reconcile": _reconcile}[args.command](args, sys.stdout)
    except KeyboardInterrupt:
        sys.stderr.write("korvath: interrupted\n")
        return 130
    except (UsageError, ValueError, TypeError, OSError, RuntimeError) as exc:
        message = " ".join(str(exc).split()) or type(exc).__name__
        sys.stderr.write(f"korvath: error: {message}\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
