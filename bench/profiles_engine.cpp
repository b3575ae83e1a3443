// Engine-only throughput of the counts-only profiles (no Python conversion).
//
//   profiles_engine [runs] [serial | tree file founders]
//
// Without a tree file it runs two workloads on birth-death trees of height 1
// (duplication 1, transfer 1, loss 1.2, origination 10): 1,000 leaves with
// 1,000 founding families, and a "large genome" of 100 leaves with 5,000.
// With a tree file (written by bench/profiles.py: a line "n_nodes root", then
// one line "parent time extant" per node) it runs the first workload's rates
// on that tree with the founder count given as the third argument, and prints
// the event count of seed 1 (so the Python bench can turn its call times into
// events per second).
//
// Prints events per second of simulate_counts (CPU time, median of runs), and
// the wall-time speed-up of simulate_profiles_parallel with 2 threads over 1.
#include "simulation/counts_engine.h"
#include "simulation/parallel_profiles.h"
#include "simulation/rng.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "bench_tree.h"

using namespace korvath;
using korvath::bench::birth_death_tree;

namespace {

bool read_tree(const char* path, SpeciesTreeArrays& tree) {
    std::ifstream in(path);
    if (!(in >> tree.n_nodes >> tree.root)) return false;
    tree.parent.resize(tree.n_nodes);
    tree.time.resize(tree.n_nodes);
    tree.extant_leaf.resize(tree.n_nodes);
    for (std::size_t v = 0; v < tree.n_nodes; ++v) {
        int extant = 0;
        if (!(in >> tree.parent[v] >> tree.time[v] >> extant)) return false;
        tree.extant_leaf[v] = extant != 0;
    }
    return true;
}

SimParams workload_rates(std::uint64_t founders) {
    SimParams params;
    params.duplication = 1.0;
    params.transfer = 1.0;
    params.loss = 1.2;
    params.origination = 10.0;
    params.initial_size = founders;
    params.cap = -1;
    return params;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void bench_serial(const char* name, const SpeciesTreeArrays& arrays, SimParams params, int runs) {
    const SpeciesTree tree{SpeciesTreeArrays(arrays)};
    std::vector<double> rates;
    std::uint64_t events = 0;
    std::size_t rows = 0;
    for (int r = 0; r < runs; ++r) {
        params.seed = 1 + static_cast<std::uint64_t>(r);
        const std::clock_t start = std::clock();
        const ProfileRows result = simulate_counts(tree, params);
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        events = result.events;
        rows = result.size();
        rates.push_back(static_cast<double>(result.events) / seconds);
    }
    std::printf("%-14s simulate_counts: %9llu events, %8zu rows (last run), %6.2f M events/s "
                "(CPU, median of %d)\n",
                name, static_cast<unsigned long long>(events), rows, median(rates) / 1e6, runs);
}

double parallel_wall_seconds(const SpeciesTreeArrays& arrays, const SimParams& params,
                             std::uint64_t n_copies, std::uint64_t n_threads, int runs) {
    std::vector<double> seconds;
    for (int r = 0; r < runs; ++r) {
        const auto start = std::chrono::steady_clock::now();
        const ProfileTable table = simulate_profiles_parallel(arrays, params, n_copies, n_threads);
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (table.extant_leaves.empty()) std::puts("(no extant leaves)");
    }
    return median(seconds);
}

void bench_parallel(const char* name, const SpeciesTreeArrays& arrays, SimParams params,
                    int runs) {
    params.seed = 1;
    const std::uint64_t n_copies = 16;
    const double one = parallel_wall_seconds(arrays, params, n_copies, 1, runs);
    const double two = parallel_wall_seconds(arrays, params, n_copies, 2, runs);
    std::printf("%-14s simulate_profiles_parallel (%llu copies): 1 thread %.3f s, 2 threads "
                "%.3f s, speed-up %.2f (wall, median of %d)\n",
                name, static_cast<unsigned long long>(n_copies), one, two, one / two, runs);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (argc > 3) {
        SpeciesTreeArrays tree;
        if (!read_tree(argv[2], tree)) {
            std::fprintf(stderr, "cannot read the tree file %s\n", argv[2]);
            return 1;
        }
        SimParams params = workload_rates(std::strtoull(argv[3], nullptr, 10));
        params.seed = 1;
        const SpeciesTree species{SpeciesTreeArrays(tree)};
        std::printf("events %llu\n",
                    static_cast<unsigned long long>(simulate_counts(species, params).events));
        bench_serial("tree file", tree, params, runs);
        return 0;
    }
    const SpeciesTreeArrays wide = birth_death_tree(1000, 1);
    const SpeciesTreeArrays narrow = birth_death_tree(100, 2);
    bench_serial("1000 leaves", wide, workload_rates(1000), runs);
    bench_serial("large genome", narrow, workload_rates(5000), runs);
    if (argc > 2 && std::string(argv[2]) == "serial") return 0;
    bench_parallel("1000 leaves", wide, workload_rates(1000), runs);
    bench_parallel("large genome", narrow, workload_rates(5000), runs);
}
