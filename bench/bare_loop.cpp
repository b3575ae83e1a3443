// The floor under the engine benchmarks: a loop that makes only the draws
// and rate-tree updates of a simulate_trace run (cap -1, no replacement,
// uniform recipients) on the workload of simulate_engine, keeping one copy
// count per branch instead of copy lists and writing no log. Its event count
// equals the engine's for the same seed, which checks that it replays the
// same run. Prints events per second (CPU time, median of runs), so engine
// figures can be read as a share of what this machine can do at most.
//
//   bare_loop [runs] [leaves] [founders]
#include "simulation/active_branches.h"
#include "simulation/dated_tree.h"
#include "simulation/rate_tree.h"
#include "simulation/rng.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "bench_tree.h"

using namespace korvath;

namespace {

struct Rates {
    double duplication = 1.0, transfer = 1.0, loss = 1.2, origination = 10.0;
};

std::uint64_t bare_run(const SpeciesTree& tree, const Rates& rates, std::uint64_t founders,
                       std::uint64_t seed) {
    const std::size_t n_nodes = tree.n_nodes();
    const double copy_rate = (rates.duplication + rates.transfer) + rates.loss;
    const double dup_transfer = rates.duplication + rates.transfer;
    std::vector<std::uint64_t> count(n_nodes, 0);
    ActiveBranches active(n_nodes);
    RateTree tree_rates(n_nodes);
    Rng rng = Rng::from_seed(seed);
    auto set_rate = [&](std::uint32_t b) {
        tree_rates.set(b, copy_rate * static_cast<double>(count[b]) + rates.origination);
    };
    auto speciate = [&](std::uint32_t v) {
        for (const std::uint32_t child : tree.children(v)) {
            count[child] = count[v];
            active.append(child);
            set_rate(child);
        }
    };
    std::uint64_t events = 0;
    double t = tree.time()[tree.root()];
    count[tree.root()] = founders;
    speciate(tree.root());
    for (const std::uint32_t v : tree.processing_order()) {
        const double end = tree.time()[v];
        for (;;) {
            const double total = tree_rates.total();
            if (total <= 0.0) break;
            t += rng.waiting_time(total);
            if (t >= end) break;
            ++events;
            const std::uint32_t b = static_cast<std::uint32_t>(tree_rates.pick(rng.pick_target(total)));
            const double c = static_cast<double>(count[b]);
            const double x = rng.scaled_uniform(rates.origination + (rates.loss + dup_transfer) * c);
            if (rates.duplication * c > x) {
                rng.index_below(count[b]);
                ++count[b];
                set_rate(b);
            } else if (dup_transfer * c > x) {
                if (active.size() < 2) continue;
                const std::uint32_t r =
                    active[rng.index_below_skipping(active.size(), active.position(b))];
                rng.index_below(count[b]);
                ++count[r];
                set_rate(r);
            } else if (copy_rate * c > x) {
                rng.index_below(count[b]);
                --count[b];
                set_rate(b);
            } else {
                ++count[b];
                set_rate(b);
            }
        }
        t = end;
        tree_rates.set(v, 0.0);
        active.remove(v);
        if (!tree.is_extant_leaf(v) && !tree.children(v).empty()) speciate(v);
    }
    return events;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 9;
    const std::size_t leaves = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1000;
    const std::uint64_t founders = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1000;
    const SpeciesTree tree(bench::birth_death_tree(leaves, 1));
    std::vector<double> rates;
    std::uint64_t events = 0;
    for (int r = 0; r < runs; ++r) {
        const std::clock_t start = std::clock();
        events = bare_run(tree, Rates{}, founders, 1000 + static_cast<std::uint64_t>(r));
        const double seconds = static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC;
        rates.push_back(static_cast<double>(events) / seconds);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("bare loop (draws and rate updates only): %10llu events, %6.2f M events/s "
                "(median of %d)\n",
                static_cast<unsigned long long>(events), rates[rates.size() / 2] / 1e6, runs);
}
