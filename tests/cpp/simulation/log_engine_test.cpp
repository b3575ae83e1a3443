#include "simulation/log_engine.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <string>

namespace korvath {
namespace {

SpeciesTreeArrays small_tree() {
    SpeciesTreeArrays tree;
    tree.n_nodes = 5;
    tree.parent = {-1, 0, 0, 1, 1};
    tree.time = {0.0, 0.5, 1.0, 1.0, 1.0};
    tree.extant_leaf = {0, 0, 1, 1, 1};
    tree.root = 0;
    return tree;
}

SimParams busy_params() {
    SimParams params;
    params.duplication = 2.0;
    params.transfer = 2.0;
    params.loss = 1.0;
    params.origination = 1.0;
    params.initial_size = 10;
    params.seed = 3;
    return params;
}

TEST(LogEngine, StopsAfterMaxEventsWithTheRunawayMessage) {
    const LogEngineResult full = run_log_engine(small_tree(), busy_params(), {});
    ASSERT_GT(full.events, 20u);
    try {
        run_log_engine(small_tree(), busy_params(), {.max_events = full.events - 1});
        FAIL() << "expected the event limit to stop the run";
    } catch (const RunawayError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "exceeded max_events; families likely growing without bound \xE2\x80\x94 "
                  "set max_family_size");
    }
    // Reaching the limit exactly is still a complete run.
    EXPECT_EQ(run_log_engine(small_tree(), busy_params(), {.max_events = full.events}).events,
              full.events);
}

TEST(LogEngine, RemovalSearchesOnAGrowingFamilyEndTheRun) {
    // Every transfer that brings a second copy of a family to its recipient
    // replaces one: each removal searches the family's copies there.
    SimParams params = busy_params();
    params.options.replacement = 1.0;
    const LogEngineResult full = run_log_engine(small_tree(), params, {});
    ASSERT_GT(full.log.size(), 20u);
    // Past the bounds (any family of two copies, after any work) the run ends...
    try {
        run_log_engine(small_tree(), params, {.max_removal_family = 1, .max_removal_work = 0});
        FAIL() << "expected the removal work bound to stop the run";
    } catch (const RunawayError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "exceeded max_events; families likely growing without bound \xE2\x80\x94 "
                  "set max_family_size");
    }
    // ... and either bound alone never stops it, nor changes it.
    for (const LogEngineOptions options : {LogEngineOptions{.max_removal_family = 1},
                                           LogEngineOptions{.max_removal_work = 0}}) {
        const LogEngineResult again = run_log_engine(small_tree(), params, options);
        EXPECT_EQ(again.events, full.events);
        EXPECT_EQ(again.log.size(), full.log.size());
    }
}

TEST(LogEngine, BothModesCountTheSameEventsAndRows) {
    SimParams params = busy_params();
    params.cap = 2;
    params.options.replacement = 0.5;
    params.options.distance_decay = 1.0;
    const LogEngineResult log = run_log_engine(small_tree(), params, {.record_speciation = true});
    const LogEngineResult trace = run_log_engine(small_tree(), params, {.record_speciation = false});
    EXPECT_EQ(log.events, trace.events);
    std::size_t speciations = 0;
    for (auto k : log.log.kind) speciations += k == static_cast<std::uint8_t>(EventKind::Speciation);
    EXPECT_EQ(log.log.size() - speciations, trace.log.size());
    ASSERT_EQ(log.extant_copies.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(log.extant_copies[i].node, trace.extant_copies[i].node);
        EXPECT_EQ(log.extant_copies[i].copies.size(), trace.extant_copies[i].copies.size());
    }
}

TEST(LogEngine, MalformedTreesAreFaults) {
    SpeciesTreeArrays one_child = small_tree();
    one_child.parent = {-1, 0, 0, 1, 2};
    one_child.extant_leaf = {0, 0, 0, 1, 1};
    EXPECT_THROW(run_log_engine(one_child, busy_params(), {}), InternalFault);
    SpeciesTreeArrays short_time = small_tree();
    short_time.time.pop_back();
    EXPECT_THROW(run_log_engine(short_time, busy_params(), {}), InternalFault);
}

TEST(LogEngine, NegativeOriginationCanFaultButNeverCrashes) {
    SimParams params;
    params.origination = -1.0;
    params.duplication = 1.0;
    params.initial_size = 0;
    // Total rate is negative: the clock jumps from node to node.
    EXPECT_EQ(run_log_engine(small_tree(), params, {}).log.size(), 0u);
    params.duplication = 5.0;
    params.initial_size = 1;
    try {
        run_log_engine(small_tree(), params, {});
    } catch (const InternalFault&) {
        // a duplication on a branch without copies: index below 0
    }
}

}  // namespace
}  // namespace korvath
