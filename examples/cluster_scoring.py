"""Score a folder of gene-tree files on a dask cluster.

    python examples/cluster_scoring.py SPECIES_TREE GENE_TREE_FOLDER [--scheduler ADDRESS]
        [--model dated] [--duplication 0.2 --transfer 0.1 --loss 0.3] [--fit] [-o scores.tsv]

Every ``*.nwk`` file of the folder holds one rooted gene tree (or several, one per line); its
families are named after the file (``name`` or ``name:<line>``). Leaves are named
``<species>_<anything>``. Without ``--scheduler`` a local cluster of two worker processes is
started, so the script runs anywhere; give the address of a running scheduler
(``tcp://host:8786``) to use a real cluster. The species tree is sent to every worker once and
the families go out in batches; the scores are the same, bit for bit, as on one machine.

With ``--fit`` the script also estimates the three rates by maximum likelihood on the cluster.

Try it on simulated data:

    korvath simulate example sim --duplication 0.3 --transfer 0.2 --loss 0.4 \\
        --families 200 --seed 1
    python examples/cluster_scoring.py example sim/gene_trees --fit

(the default ``--pattern`` reads the ``*_extant.nwk`` files: the gene trees of the surviving
copies).
"""
import argparse
import pathlib
import sys

import korvath
from korvath.cli import EXAMPLE_TREE


def read_folder(folder: pathlib.Path, pattern: str) -> dict[str, str]:
    """Family name to Newick text, in file-name order."""
    trees = {}
    for path in sorted(folder.glob(pattern)):
        lines = korvath.read_newick_lines(path)
        for k, text in enumerate(lines, start=1):
            trees[path.stem if len(lines) == 1 else f"{path.stem}:{k}"] = text
    return trees


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("species_tree", help="Newick file, or 'example' for the built-in tree")
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("--pattern", default="*_extant.nwk",
                        help="file names to read (default: *_extant.nwk)")
    parser.add_argument("--scheduler", help="address of a running dask scheduler")
    parser.add_argument("--model", default="dated", choices=korvath.scoring.MODELS)
    parser.add_argument("--duplication", type=float, default=0.2)
    parser.add_argument("--transfer", type=float, default=0.1)
    parser.add_argument("--loss", type=float, default=0.3)
    parser.add_argument("--fit", action="store_true", help="also estimate the rates")
    parser.add_argument("-o", "--output", help="TSV of family and log-likelihood")
    args = parser.parse_args()

    from dask.distributed import Client, LocalCluster  # the optional 'distributed' extra

    source = EXAMPLE_TREE if args.species_tree == "example" else args.species_tree
    tree = korvath.SpeciesTree.from_newick(source)
    genes = korvath.GeneTrees.from_newick(read_folder(args.folder, args.pattern), tree)
    print(f"{len(genes)} gene trees, {genes.n_nodes} nodes", file=sys.stderr)

    cluster = None if args.scheduler else LocalCluster(n_workers=2, threads_per_worker=1,
                                                       dashboard_address=":0")
    with Client(args.scheduler or cluster) as client:
        scores = korvath.loglik(tree, genes, duplication=args.duplication,
                                transfer=args.transfer, loss=args.loss, model=args.model,
                                client=client)
        if args.output:
            scores.to_csv(args.output, sep="\t", header=True)
        else:
            print(scores.to_string())
        if args.fit:
            print(korvath.fit_rates(tree, genes, model=args.model, client=client))
    if cluster is not None:
        cluster.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
