"""Simulate gene families along a small species tree and write the results to disk.

    python examples/simulate_families.py                  # writes ./korvath_example_output
    python examples/simulate_families.py my_folder --seed 7 --families 50

The species tree below is built in: 36 species sp1 ... sp36, of which one
(sp2_extinct) died out before the present, with dates running from the root
(0) to the present (1). Gene families start at the root and evolve by
duplication, horizontal transfer and loss; new families also originate along
the branches. The run goes through the korvath toolkit: SpeciesTree reads the
Newick text, simulate_families runs the simulation, and the result is looked
at in memory (event table, copy-number profiles, gene trees) and written out:

    gene_family_events/<n>_events.tsv   every event of family n
    gene_trees/<n>_complete.nwk         family n's gene tree, lost copies included
    gene_trees/<n>_extant.nwk           the same tree reduced to the surviving copies
    Transfers.tsv                       every horizontal transfer
    Gene_family_summary.tsv             one line per family: origin and event counts
    Profiles.tsv, Presence.tsv          copies (and presence) per family and species
"""
import argparse
import sys

import korvath

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", nargs="?", default="korvath_example_output",
                        help="output folder (created if missing; default %(default)s)")
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--families", type=int, default=40, help="families founded at the root")
    args = parser.parse_args()

    tree = korvath.SpeciesTree.from_newick(SPECIES_TREE)
    sim = korvath.simulate_families(
        tree, duplication=0.6, transfer=0.8, loss=0.9, origination=0.4,
        families=args.families, seed=args.seed, replacement=0.3, distance_decay=1.0)

    events = sim.events
    profiles = sim.profiles
    counts = events["event"].value_counts()
    print(f"species tree: {tree.n_nodes} nodes, {len(tree.extant_leaves)} sampled species, "
          f"{len(tree.leaves) - len(tree.extant_leaves)} extinct")
    print(f"gene families: {sim.n_families} ({len(profiles)} with surviving copies)")
    print(f"events: {len(events)} ({counts['D']} duplications, {counts['T']} transfers, "
          f"{counts['L']} losses, {counts['S']} speciation copies)")
    print(f"extant gene copies: {int(profiles.to_numpy().sum())}")
    trees = sim.gene_trees(extant=True)
    if trees:
        family, text = next(iter(trees.items()))
        print(f"gene tree of family {family} (extant copies): {text.strip()[:100]}...")

    outdir = sim.write(args.outdir).resolve()
    print(f"results written to {outdir}")
    print(f"  per-family event tables in {outdir / 'gene_family_events'}")
    print(f"  gene trees in {outdir / 'gene_trees'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
