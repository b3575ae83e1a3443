// Engine-only throughput of the gene-family engine (no Python conversion):
// a birth-death species tree of 1,000 extant leaves and height 1, 1,000
// founding families, duplication 1, transfer 1, loss 1.2, origination 10.
// Prints events per second (CPU time) for both recording modes, median of runs.
//
//   simulate_engine [runs] [leaves] [configuration 0..3]
#include "simulation/log_engine.h"
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
    const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    const std::size_t leaves = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const SpeciesTreeArrays tree = birth_death_tree(leaves, 1);
    SimParams params;
    params.duplication = 1.0;
    params.transfer = 1.0;
    params.loss = 1.2;
    params.origination = 10.0;
    params.initial_size = 1000;
    params.cap = -1;
    const int only = argc > 3 ? std::atoi(argv[3]) : -1;  // run one configuration (0..3)
    int configuration = -1;
    for (const bool record : {false, true}) {
        for (const std::int64_t cap : {std::int64_t{-1}, std::int64_t{10}}) {
            if (++configuration != only && only >= 0) continue;
            params.cap = cap;
            std::vector<double> rates;
            std::uint64_t events = 0, rows = 0;
            for (int r = 0; r < runs; ++r) {
                params.seed = 1000 + static_cast<std::uint64_t>(r);
                const std::clock_t start = std::clock();
                LogEngineResult result = run_log_engine(tree, params, {.record_speciation = record});
                const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
                events = result.events;
                rows = result.log.size();
                rates.push_back(static_cast<double>(result.events) / seconds);
            }
            std::sort(rates.begin(), rates.end());
            std::printf("%-16s cap %3lld: %10llu events, %10llu rows, %6.2f M events/s (median of %d)\n",
                        record ? "simulate_log" : "simulate_trace", static_cast<long long>(cap),
                        static_cast<unsigned long long>(events), static_cast<unsigned long long>(rows),
                        rates[rates.size() / 2] / 1e6, runs);
        }
    }
}
