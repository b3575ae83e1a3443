// Whole runs on random trees, above all the cap and replacement removals
// after a transfer, with rates that make them frequent. The digests were
// recorded from the engine that found the removed copy by scanning the
// recipient's whole list and picked every branch afresh; any change to which
// copy goes, to the picks or to the draws changes them.
#include "simulation/log_engine.h"
#include "simulation/rng.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace korvath {
namespace {

// A random rooted binary tree with extinct and extant leaves, dates in [0, 1].
SpeciesTreeArrays random_tree(std::uint64_t seed, std::size_t splits) {
    Rng rng = Rng::from_seed(seed);
    SpeciesTreeArrays tree;
    tree.parent = {-1, 0, 0};
    tree.time = {0.0, -1.0, -1.0};
    std::vector<std::uint32_t> living = {1, 2};
    double t = 0.0;
    for (std::size_t s = 0; s < splits && living.size() > 1; ++s) {
        t += rng.next_f64() * (1.0 - t) * 0.2;
        const std::size_t slot = rng.index_below(living.size());
        const std::uint32_t v = living[slot];
        living[slot] = living.back();
        living.pop_back();
        tree.time[v] = t;
        if (rng.next_f64() < 0.85) {
            for (int c = 0; c < 2; ++c) {
                tree.parent.push_back(v);
                tree.time.push_back(-1.0);
                living.push_back(static_cast<std::uint32_t>(tree.parent.size() - 1));
            }
        }
    }
    tree.n_nodes = tree.parent.size();
    tree.extant_leaf.assign(tree.n_nodes, 0);
    for (std::uint32_t v : living) {
        tree.time[v] = 1.0;
        tree.extant_leaf[v] = 1;
    }
    tree.root = 0;
    return tree;
}

struct Digest {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    template <class T, class A>
    void add(const std::vector<T, A>& column) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(column.data());
        for (std::size_t i = 0; i < column.size() * sizeof(T); ++i) {
            h = (h ^ bytes[i]) * 0x100000001b3ULL;
        }
        h = (h ^ column.size()) * 0x100000001b3ULL;
    }
};

// A derived column of the log as a stored one, so that the digest covers the
// nine columns a caller sees.
template <class Column>
std::vector<std::int64_t> derived(const EventLog& log, Column column) {
    std::vector<std::int64_t> values(log.size());
    for (std::size_t e = 0; e < log.size(); ++e) values[e] = column(e);
    return values;
}

std::uint64_t digest(const LogEngineResult& result) {
    Digest d;
    const EventLog& log = result.log;
    d.add(log.kind);
    d.add(log.branch);
    d.add(log.time);
    d.add(derived(log, [&](std::size_t e) { return log.donor(e); }));
    d.add(derived(log, [&](std::size_t e) { return log.recipient(e); }));
    d.add(log.family);
    d.add(log.gene);
    d.add(log.child1);
    d.add(derived(log, [&](std::size_t e) { return log.child2(e); }));
    for (const ExtantCopies& leaf : result.extant_copies) {
        d.add(std::vector<std::uint64_t>{leaf.node});
        d.add(leaf.copies);
    }
    return d.h;
}

struct Case {
    std::int64_t cap;
    double replacement;
    double distance_decay;
    bool allow_self;
    std::uint64_t expected[2];  // without, with speciation rows
};

TEST(LogEngineRemovals, CapAndReplacementRunsMatchTheRecordedDigests) {
    const Case cases[] = {
        {0, 0.0, -1.0, false, {0x1efecfccc9e5b4b5ULL, 0x6409fef3d149a3fdULL}},
        {1, 0.5, -1.0, false, {0xa48cc9a893722922ULL, 0x805c6430ff679424ULL}},
        {3, 1.0, 0.5, true, {0x042e5c56dd42dee4ULL, 0x96f9f8f3615af358ULL}},
        {-1, 1.0, -1.0, false, {0x79983a2013990d91ULL, 0x3fe9c6b3e75a204bULL}},
        {-1, 0.3, -1.0, true, {0x15d1bda330dda9f8ULL, 0x76ed137e9819e702ULL}},
        {6, 0.7, 0.0, false, {0x1ee1cac86491978dULL, 0x860c95020d21a334ULL}},
        // Neither rule: no removal, the plain event paths.
        {-1, 0.0, -1.0, false, {0x75bdcfc711444175ULL, 0xed29bc25b8c2b01bULL}},
        {-1, 0.0, 1.0, true, {0x6c765b55e71623bbULL, 0x40a9b3b4d4faa9dbULL}},
    };
    std::size_t losses = 0;
    for (std::size_t c = 0; c < std::size(cases); ++c) {
        const Case& run = cases[c];
        SimParams params;
        params.duplication = 2.0;
        params.transfer = 3.0;
        params.loss = 1.0;
        params.origination = 0.5;
        params.initial_size = 30;
        params.cap = run.cap;
        params.seed = 17 + c;
        params.options.replacement = run.replacement;
        params.options.distance_decay = run.distance_decay;
        params.options.allow_self = run.allow_self;
        for (int mode = 0; mode < 4; ++mode) {
            // The checking mode compares every removal with a walk of the list.
            const int record = mode % 2;
            const LogEngineResult result =
                run_log_engine(random_tree(100 + c, 40), params,
                               {.record_speciation = record == 1, .check_removals = mode >= 2});
            for (auto k : result.log.kind) losses += k == static_cast<std::uint8_t>(EventKind::Loss);
            const std::uint64_t got = digest(result);
            EXPECT_EQ(got, run.expected[record]) << "case " << c << " record " << record;
        }
    }
    EXPECT_GT(losses, 2000u);
}

}  // namespace
}  // namespace korvath
