"""Simulate gene families along a small species tree and write the results to disk.

    python examples/simulate_families.py                  # writes ./korvath_example_output
    python examples/simulate_families.py my_folder --seed 7 --families 50

The species tree below is built in: 36 species sp1 ... sp36, of which one
(sp2_extinct) died out before the present, with dates running from the root
(0) to the present (1). Gene families start at the root and evolve by
duplication, horizontal transfer and loss; new families also originate along
the branches. korvath_core.simulate_and_write runs the simulation and writes:

    gene_family_events/<n>_events.tsv   every event of family n
    gene_trees/<n>_complete.nwk         family n's gene tree, lost copies included
    gene_trees/<n>_extant.nwk           the same tree reduced to the surviving copies
    Transfers.tsv                       every horizontal transfer
    Gene_family_summary.tsv             one line per family: origin and event counts
    Profiles.tsv, Presence.tsv          copies (and presence) per family and species
"""
import argparse
import csv
import pathlib
import sys

import korvath_core

SPECIES_TREE = (
    "((((((sp24:0.1211,sp25:0.1211):0.0604,((sp14:0.0563,((sp27:0.0174,sp8:0.0174):0.0145,"
    "(sp7:0.0267,sp9:0.0267):0.0052):0.0244):0.0684,((sp19:0.0598,sp1:0.0598):0.0262,"
    "sp34:0.0860):0.0387):0.0568):0.0977,(sp35:0.1427,(sp28:0.1091,((((sp22:0.0210,"
    "sp12:0.0210):0.0084,sp11:0.0294):0.0198,sp23:0.0492):0.0230,sp32:0.0722):0.0369):0.0336)"
    ":0.1365):0.0899,(sp2_extinct:0.1058,sp18:0.2646):0.1045):0.3504,((sp3:0.3132,"
    "sp5:0.3132):0.0802,(((sp10:0.1020,sp15:0.1020):0.0747,((sp4:0.0541,sp31:0.0541):0.0645,"
    "((sp20:0.0650,sp21:0.0650):0.0159,(sp16:0.0367,sp17:0.0367):0.0442):0.0377):0.0581)"
    ":0.1560,sp26:0.3327):0.0607):0.3261):0.2805,((sp6:0.5405,((sp13:0.1869,sp33:0.1869)"
    ":0.2270,(sp36:0.3448,sp30:0.3448):0.0691):0.1266):0.2016,sp29:0.7421):0.2579);"
)


def parse_newick(text):
    """Flat arrays of a Newick tree with branch lengths: parent, branch length and
    name per node. Nodes are numbered parent first, so every child has a larger
    index than its parent; unnamed internal nodes are called n<index>."""
    parent, length, names = [], [], []
    open_nodes = []  # internal nodes whose ")" has not been read yet
    pos = 0

    def read_until(stops):
        nonlocal pos
        start = pos
        while pos < len(text) and text[pos] not in stops:
            pos += 1
        return text[start:pos].strip()

    def new_node():
        parent.append(open_nodes[-1] if open_nodes else -1)
        length.append(0.0)
        names.append("")
        return len(parent) - 1

    def finish(node):
        # A label, then optionally ":" and the branch length.
        nonlocal pos
        names[node] = read_until(",():;") or "n%d" % node
        if pos < len(text) and text[pos] == ":":
            pos += 1
            length[node] = float(read_until(",();"))

    while pos < len(text) and text[pos] != ";":
        c = text[pos]
        if c == "(":
            pos += 1
            open_nodes.append(new_node())
        elif c == ",":
            pos += 1
        elif c == ")":
            pos += 1
            finish(open_nodes.pop())
        else:
            finish(new_node())
    return parent, length, names


def species_tree_arrays(text):
    parent, lengths, names = parse_newick(text)
    # Dates from the root (date 0) down; parents come before their children.
    date = [0.0] * len(parent)
    for v in range(len(parent)):
        date[v] = (date[parent[v]] if parent[v] >= 0 else 0.0) + lengths[v]
    has_children = [False] * len(parent)
    for p in parent:
        if p >= 0:
            has_children[p] = True
    present = max(date)
    extant = [not has_children[v] and abs(date[v] - present) < 1e-6 for v in range(len(parent))]
    for v in range(len(parent)):
        if extant[v]:
            date[v] = present  # sampled species end exactly at the present
    return dict(n_nodes=len(parent), parent=parent, time=date, extant_leaf=extant, root=0), names, present


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", default="korvath_example_output",
                        help="output folder (created if missing; default %(default)s)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--families", type=int, default=40, help="families founded at the root")
    args = parser.parse_args()

    tree, names, present = species_tree_arrays(SPECIES_TREE)
    families, events, leaves = korvath_core.simulate_and_write(
        **tree, names=names,
        duplication=0.6, transfer=0.8, loss=0.9, origination=0.4,
        initial_size=args.families, cap=-1, seed=args.seed,
        replacement=0.3, distance_decay=1.0, allow_self=False,
        total_age=present, outdir=args.outdir)

    outdir = pathlib.Path(args.outdir).resolve()
    with open(outdir / "Gene_family_summary.tsv", newline="") as handle:
        rows = list(csv.DictReader(handle, delimiter="\t"))
    copies = sum(int(row["extant_copies"]) for row in rows)
    surviving = sum(1 for row in rows if int(row["extant_copies"]) > 0)
    with open(outdir / "Transfers.tsv") as handle:
        transfers = sum(1 for _ in handle) - 1

    print(f"species tree: {tree['n_nodes']} nodes, {leaves} sampled species")
    print(f"gene families: {families} ({surviving} with surviving copies)")
    print(f"events logged: {events} ({transfers} transfers)")
    print(f"extant gene copies: {copies}")
    print(f"results written to {outdir}")
    print(f"  per-family event tables in {outdir / 'gene_family_events'}")
    print(f"  gene trees in {outdir / 'gene_trees'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
