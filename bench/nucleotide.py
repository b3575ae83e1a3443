"""Genome-structure simulation throughput (simulate_nucleotide).

A 200-leaf birth-death tree of height 1; the root genome holds 20 founding
elements of 10,000 positions. Inversion, loss, duplication, transfer and
transposition rates are set so that the genome length stays stable on average
(loss = duplication + transfer, every stretch with the same length law) and
extension 0.999 (stretches of about 1,000 positions). The per-nucleotide rate
is chosen so that leaf genomes end with about a thousand segments.

Prints, in CPU time of the process (median of several seeds):
  - the whole call, events per second: the event count is the expected one,
    (sum of branch lengths) x (rate per nucleotide) x (genome length), since
    the module does not report it;
  - the same figure net of building the Python result, measured by a call with
    no events whose result has the same number of segments and ints of similar size;
  - mean segments and mean length per leaf genome.
bench/nucleotide_engine.cpp measures the engine alone with the exact count.
"""
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import korvath_core as kc  # noqa: E402
from trees import birth_death_tree  # noqa: E402

LEAVES = 200
ELEMENTS = 20
ELEMENT_LENGTH = 10_000
EXTENSION = 0.999
RATE = float(sys.argv[1]) if len(sys.argv) > 1 else 5e-4
SEEDS = range(1, 8)


def rates(r):
    return dict(inversion=r, loss=r, duplication=r / 2, transfer=r / 2, transposition=r)


def run(tree, seed, event_rates, initial_size, root_length):
    n_nodes, parent, time_, extant_leaf, root, _ = tree
    start = time.process_time()
    result = kc.simulate_nucleotide(
        n_nodes, parent, time_, extant_leaf, root, origination=0.0, root_length=root_length,
        extension=EXTENSION, initial_size=initial_size, seed=seed, replacement=0.0,
        distance_decay=-1.0, allow_self=False, **event_rates)
    return time.process_time() - start, result


def main():
    tree = birth_death_tree(LEAVES, seed=1)
    n_nodes, parent, time_, _, _, _ = tree
    branch_total = sum(time_[v] - time_[parent[v]] for v in range(n_nodes) if parent[v] >= 0)
    event_rates = rates(RATE)
    genome_length = ELEMENTS * ELEMENT_LENGTH
    expected_events = branch_total * sum(event_rates.values()) * genome_length

    seconds, segments, lengths = [], [], []
    for seed in SEEDS:
        elapsed, result = run(tree, seed, event_rates, ELEMENTS, ELEMENT_LENGTH)
        seconds.append(elapsed)
        for _, genome in result:
            segments.append(len(genome))
            lengths.append(sum(end - start for _, start, end, _ in genome))
    mean_segments = statistics.mean(segments)

    # The same result size without events: tree walk plus building the Python
    # lists, with ints of the same sizes (the interpreter caches small ones).
    baseline = statistics.median(
        run(tree, seed, rates(0.0), round(mean_segments), ELEMENT_LENGTH)[0] for seed in SEEDS)
    call = statistics.median(seconds)

    print(f"simulate_nucleotide: {LEAVES} leaves ({n_nodes} nodes, branch length "
          f"{branch_total:.1f}), {ELEMENTS} x {ELEMENT_LENGTH:,} positions, extension "
          f"{EXTENSION}, rate per nucleotide {sum(event_rates.values()):.2g}")
    print(f"  expected events per call   {expected_events:12,.0f}")
    print(f"  CPU time per call          {call * 1e3:12.1f} ms (median of {len(SEEDS)} seeds)")
    print(f"  events/s, whole call       {expected_events / call / 1e6:12.3f} M")
    if call > baseline:
        print(f"  events/s, net of result    {expected_events / (call - baseline) / 1e6:12.3f} M"
              f"   (result building {baseline * 1e3:.1f} ms)")
    print(f"  mean segments per genome   {mean_segments:12.1f}")
    print(f"  mean length per genome     {statistics.mean(lengths):12,.0f}")


if __name__ == "__main__":
    main()
