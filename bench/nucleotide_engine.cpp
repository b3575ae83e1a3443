// Engine-only throughput of the genome-structure simulation (no Python
// conversion), with the exact event count: a birth-death species tree of 200
// extant leaves and height 1, 20 founding elements of 10,000 positions,
// extension 0.999, inversion r, loss r, duplication r/2, transfer r/2,
// transposition r (length stable on average). Prints events per second in
// CPU time (median of runs over seeds) and mean segments per leaf genome.
//
//   nucleotide_engine [rate r, default 5e-4] [runs, default 7]
#include "simulation/nucleotide_engine.h"
#include "simulation/rng.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "bench_tree.h"

using namespace korvath;
using korvath::bench::birth_death_tree;


int main(int argc, char** argv) {
    const double r = argc > 1 ? std::atof(argv[1]) : 5e-4;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 7;
    const SpeciesTreeArrays tree = birth_death_tree(200, 1);
    NucleotideParams params;
    params.inversion = r;
    params.loss = r;
    params.duplication = r / 2;
    params.transfer = r / 2;
    params.transposition = r;
    params.root_length = 10'000;
    params.extension = 0.999;
    params.initial_size = 20;
    params.options.distance_decay = -1.0;

    std::vector<double> rates;
    double segments = 0.0;
    std::size_t genomes = 0;
    std::uint64_t total_events = 0;
    for (int run = 0; run < runs; ++run) {
        params.seed = static_cast<std::uint64_t>(run) + 1;
        std::uint64_t events = 0;
        const std::clock_t start = std::clock();
        const std::vector<GenomeSample> samples = simulate_nucleotide(tree, params, &events);
        const double seconds = double(std::clock() - start) / CLOCKS_PER_SEC;
        rates.push_back(double(events) / seconds);
        total_events += events;
        for (const GenomeSample& sample : samples) segments += double(sample.segments.size());
        genomes += samples.size();
    }
    std::sort(rates.begin(), rates.end());
    std::printf("nucleotide engine: 200 leaves (%llu nodes), rate per nucleotide %.3g, %d runs\n",
                static_cast<unsigned long long>(tree.n_nodes), r * 4.0, runs);
    std::printf("  events per run             %12.0f\n", double(total_events) / runs);
    std::printf("  events/s (median)          %12.3f M\n", rates[rates.size() / 2] / 1e6);
    std::printf("  mean segments per genome   %12.1f\n", segments / double(genomes));
}
