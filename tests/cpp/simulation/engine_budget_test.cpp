// The memory budgets of the engines: a run whose storage would pass its
// budget ends with the engine's runaway error naming the budget, and a run
// within it gives the same result whatever the budget.
#include "simulation/copy_arena.h"
#include "simulation/counts_engine.h"
#include "simulation/log_engine.h"
#include "simulation/nucleotide_engine.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvath {
namespace {

// Root 0 with children 1 and 2, both extant leaves at date 1.
SpeciesTreeArrays cherry() {
    SpeciesTreeArrays tree;
    tree.n_nodes = 3;
    tree.parent = {-1, 0, 0};
    tree.time = {0.0, 1.0, 1.0};
    tree.extant_leaf = {0, 1, 1};
    tree.root = 0;
    return tree;
}

bool names_memory(const RunawayError& e) {
    return std::string(e.what()).rfind("exceeded the memory budget of ", 0) == 0;
}

TEST(CopyArenaBudget, ChunksAreChargedAndHandedBackOnDetach) {
    StorageBudget budget(std::size_t{1} << 20, "arena over budget");
    {
        CopyArena arena;
        arena.set_budget(&budget);
        arena.allocate(1000);
        EXPECT_EQ(budget.used(), arena.mapped_bytes());
        EXPECT_GT(budget.used(), 0u);
        try {
            arena.allocate(std::size_t{2} << 20);
            FAIL() << "a chunk past the budget must throw";
        } catch (const RunawayError& e) {
            EXPECT_EQ(std::string(e.what()), "arena over budget");
        }
        EXPECT_EQ(budget.used(), arena.mapped_bytes());
        arena.set_budget(nullptr);
        EXPECT_EQ(budget.used(), 0u);
        // Attaching again charges what the arena already holds.
        arena.set_budget(&budget);
        EXPECT_EQ(budget.used(), arena.mapped_bytes());
        arena.set_budget(nullptr);
    }
    EXPECT_EQ(budget.used(), 0u);
}

SimParams supercritical_families() {
    SimParams params;
    params.duplication = 60.0;
    params.initial_size = 1;
    params.seed = 4;
    params.options.distance_decay = -1.0;
    return params;
}

TEST(LogEngineBudget, GrowthPastTheBudgetEndsTheRunNamingIt) {
    for (const bool record : {true, false}) {
        try {
            run_log_engine(cherry(), supercritical_families(),
                           {.record_speciation = record, .memory_budget = std::size_t{8} << 20});
            FAIL() << "the log and copies must pass 8 MB";
        } catch (const RunawayError& e) {
            EXPECT_TRUE(names_memory(e)) << e.what();
            EXPECT_NE(std::string(e.what()).find("families likely growing without bound"),
                      std::string::npos);
        }
    }
    // Founding families that cannot fit end the run before any is made.
    SimParams many = supercritical_families();
    many.duplication = 0.0;
    many.initial_size = std::uint64_t{1} << 32;
    EXPECT_THROW(run_log_engine(cherry(), many, {}), RunawayError);
}

TEST(LogEngineBudget, ARunWithinTheBudgetIsTheSameWhateverTheBudget) {
    SimParams params;
    params.duplication = 1.0;
    params.transfer = 1.0;
    params.loss = 2.5;
    params.origination = 50'000.0;  // a log past its first capacity step
    params.initial_size = 2000;
    params.seed = 11;
    params.options.distance_decay = -1.0;
    const LogEngineResult roomy = run_log_engine(cherry(), params, {});
    // Too little room for the log's large steps: it grows by doubling, then
    // into the room that is left.
    const LogEngineResult tight =
        run_log_engine(cherry(), params, {.memory_budget = std::size_t{48} << 20});
    ASSERT_GT(roomy.log.size(), std::size_t{1} << 16);
    EXPECT_EQ(roomy.log.kind, tight.log.kind);
    EXPECT_EQ(roomy.log.time, tight.log.time);
    EXPECT_EQ(roomy.log.gene, tight.log.gene);
    EXPECT_EQ(roomy.log.child1, tight.log.child1);
    EXPECT_EQ(roomy.log.recipient_node, tight.log.recipient_node);
    ASSERT_EQ(roomy.extant_copies.size(), tight.extant_copies.size());
    for (std::size_t i = 0; i < roomy.extant_copies.size(); ++i) {
        const CopyList& a = roomy.extant_copies[i].copies;
        const CopyList& b = tight.extant_copies[i].copies;
        ASSERT_EQ(a.size(), b.size());
        for (std::size_t j = 0; j < a.size(); ++j) {
            EXPECT_EQ(a[j].gene, b[j].gene);
            EXPECT_EQ(a[j].family, b[j].family);
        }
    }
}

TEST(CountsEngineBudget, FamilyTablesPastTheBudgetEndTheRunNamingIt) {
    const SpeciesTree tree(cherry());
    SimParams params;
    params.origination = 1e7;  // a new family per event, each a new slot
    params.seed = 2;
    params.options.distance_decay = -1.0;
    const auto budget = counts_budget(std::size_t{4} << 20);
    try {
        simulate_counts(tree, params, kCountsMaxEvents, nullptr, budget.get());
        FAIL() << "the family tables must pass 4 MB";
    } catch (const RunawayError& e) {
        EXPECT_TRUE(names_memory(e)) << e.what();
    }
    EXPECT_EQ(budget->used(), 0u);  // the run's arena handed its bytes back

    SimParams founders;
    founders.initial_size = std::uint64_t{1} << 30;
    EXPECT_THROW(simulate_counts(tree, founders, kCountsMaxEvents, nullptr, budget.get()),
                 RunawayError);
    // Within the budget, the rows are those of a run with the process's budget.
    params.origination = 50.0;
    params.duplication = 1.0;
    params.loss = 1.0;
    const ProfileRows roomy = simulate_counts(tree, params);
    const ProfileRows tight = simulate_counts(tree, params, kCountsMaxEvents, nullptr, budget.get());
    EXPECT_EQ(roomy.family, tight.family);
    EXPECT_EQ(roomy.count, tight.count);
    EXPECT_EQ(roomy.leaf, tight.leaf);
}

NucleotideParams supercritical_genome() {
    NucleotideParams params;
    params.duplication = 1.0;
    params.extension = 0.99;
    params.root_length = 100;
    params.initial_size = 1;
    params.seed = 1;
    params.options.distance_decay = -1.0;
    return params;
}

TEST(NucleotideEngineBudget, AGenomeGrowingSegmentBySegmentStopsOnceItsWorkIsLarge) {
    NucleotideParams params = supercritical_genome();
    params.max_genome_segments = 2000;
    params.max_work = 100'000;
    std::uint64_t events = 0;
    try {
        simulate_nucleotide(cherry(), params, &events);
        FAIL() << "the genome must pass 2000 segments";
    } catch (const RunawayError& e) {
        EXPECT_FALSE(names_memory(e)) << e.what();
    }
    // Below the work bound the segment count alone does not stop it: the
    // held-segment bound does, later.
    params.max_work = std::uint64_t{1} << 40;
    params.max_segments = 20'000;
    EXPECT_THROW(simulate_nucleotide(cherry(), params), RunawayError);
}

TEST(NucleotideEngineBudget, AGenomeDoublingPastTheSegmentBoundAtLittleCostRunsOn) {
    // Every duplication doubles the genome and every loss empties it: one
    // genome passes 2^20 segments in a few dozen events.
    NucleotideParams params;
    params.inversion = 0.03371008080280348;
    params.loss = 0.009126840613526666;
    params.duplication = 0.048602153590417925;
    params.transfer = 0.021875072233243916;
    params.transposition = 0.020915919297287467;
    params.root_length = 50;
    params.extension = 1.0;
    params.initial_size = 1;
    params.seed = 78950204494326652ULL;
    params.options.replacement = 0.5;
    params.options.distance_decay = -1.0;
    const std::vector<GenomeSample> genomes = simulate_nucleotide(cherry(), params);
    ASSERT_EQ(genomes.size(), 2u);
    EXPECT_TRUE(genomes[0].segments.empty());
    params.max_work = 0;  // the segment bound alone would stop it
    EXPECT_THROW(simulate_nucleotide(cherry(), params), RunawayError);
}

TEST(NucleotideEngineBudget, HeldSegmentsPastTheMemoryBudgetEndTheRunNamingIt) {
    NucleotideParams params = supercritical_genome();
    params.extension = 1.0;  // every duplication doubles the genome
    params.memory_budget = 1000 * kBytesPerHeldSegment;
    try {
        simulate_nucleotide(cherry(), params);
        FAIL() << "the genomes must pass 1000 segments";
    } catch (const RunawayError& e) {
        EXPECT_TRUE(names_memory(e)) << e.what();
    }
    params.initial_size = 1001;
    params.duplication = 0.0;
    EXPECT_THROW(simulate_nucleotide(cherry(), params), RunawayError);
    // Two leaves of 500 founders each fit exactly.
    params.initial_size = 500;
    EXPECT_EQ(simulate_nucleotide(cherry(), params).size(), 2u);
}

}  // namespace
}  // namespace korvath
