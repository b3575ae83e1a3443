#include "writer/gene_tree.h"

#include "log_builder.h"
#include "support/faults.h"
#include "writer/write_index.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace korvath {
namespace {

using testing::LogBuilder;

std::vector<EventRow> all_rows(const EventLog& log) {
    std::vector<EventRow> rows;
    for (std::size_t e = 0; e < log.size(); ++e) rows.push_back(event_row(log, e));
    return rows;
}

struct Trees {
    std::string complete;
    std::string extant;
};

Trees trees_of(const EventLog& log, const std::vector<ExtantCopies>& extant,
               const std::vector<std::string>& names, double total_age) {
    std::vector<ExtantGene> copies;
    for (const ExtantCopies& leaf : extant) {
        for (const GeneCopy& copy : leaf.copies) copies.push_back({copy.gene, leaf.node});
    }
    const std::vector<EventRow> rows = all_rows(log);
    const FamilyGenes genes(rows, copies);
    GeneTree tree = build_gene_tree(genes.root_gene(), genes, total_age);
    Trees out;
    TextBuffer text;
    write_newick(tree, names, text);
    out.complete = text.view();
    GeneTree pruned = prune_to_extant(std::move(tree));
    text.clear();
    write_newick(pruned, names, text);
    out.extant = text.view();
    return out;
}

TEST(GeneTree, DuplicationWithOneLostCopy) {
    // Root gene 2 starts at 0 and duplicates at 1.5 into 5 (extant in Sp1)
    // and 6 (lost at 1.75); the present is 1.9.
    LogBuilder b;
    b.origin(0, 0.0, 0, 2).dup(0, 1.5, 0, 2, 5, 6).loss(0, 1.75, 0, 6);
    const std::vector<std::string> names{"Sp1"};
    Trees t = trees_of(b.log, {{0, {{5, 0}}}}, names, 1.9);
    EXPECT_EQ(t.complete, "(Sp1_5:0.4,LOSS_6:0.25)2:1.5");
    // The survivor's branch reaches back to the duplicated gene's start.
    EXPECT_EQ(t.extant, "Sp1_5:1.9");
}

TEST(GeneTree, TransferThenLossOfTheDonorCopy) {
    LogBuilder b;
    b.origin(0, 0.0, 0, 0).transfer(0, 1, 0.3, 0, 0, 1, 2).loss(0, 0.6, 0, 1);
    const std::vector<std::string> names{"X", "Y"};
    Trees t = trees_of(b.log, {{1, {{2, 0}}}}, names, 1.0);
    EXPECT_EQ(t.complete, "(LOSS_1:0.3,Y_2:0.7)0:0.3");
    EXPECT_EQ(t.extant, "Y_2:1");
}

TEST(GeneTree, SingleSurvivorChainsJoinAndEmptyTreesVanish) {
    // 0 -> (1, 2) at 0.2; 1 -> (3, 4) at 0.5; 2 lost; 3 lost; 4 extant.
    LogBuilder b;
    b.origin(0, 0.1, 0, 0).dup(0, 0.2, 0, 0, 1, 2).loss(0, 0.3, 0, 2).dup(0, 0.5, 0, 1, 3, 4)
        .loss(0, 0.7, 0, 3);
    const std::vector<std::string> names{"A"};
    Trees t = trees_of(b.log, {{0, {{4, 0}}}}, names, 1.0);
    EXPECT_EQ(t.complete, "((LOSS_3:0.2,A_4:0.5)1:0.3,LOSS_2:0.1)0:0.1");
    EXPECT_EQ(t.extant, "A_4:0.9");

    // Without the extant copy nothing survives; a leaf that is neither lost
    // nor extant is written by its bare id and dropped from the extant tree.
    Trees none = trees_of(b.log, {}, names, 1.0);
    EXPECT_EQ(none.complete, "((LOSS_3:0.2,4:0.5)1:0.3,LOSS_2:0.1)0:0.1");
    EXPECT_EQ(none.extant, "");
}

TEST(GeneTree, NegativeBranchLengthIsZeroAndMissingStartIsZero) {
    LogBuilder b;
    b.origin(0, 0.5, 0, 0).loss(0, 0.25, 0, 0);
    Trees t = trees_of(b.log, {}, {"A"}, 1.0);
    EXPECT_EQ(t.complete, "LOSS_0:0");
    // A later origin of an already started gene keeps the first start.
    LogBuilder again;
    again.origin(0, 0.25, 0, 0).origin(0, 0.75, 0, 0);
    Trees kept = trees_of(again.log, {{0, {{0, 0}}}}, {"A"}, 1.0);
    EXPECT_EQ(kept.complete, "A_0:0.75");
}

std::string complete_with_species(const EventLog& log, const SpeciesTree& species,
                                  double total_age) {
    const std::vector<EventRow> rows = all_rows(log);
    const FamilyGenes genes(rows, {});
    TextBuffer text;
    write_newick(build_gene_tree(genes.root_gene(), genes, total_age, &species),
                 {"R", "A", "X", "Y", "Z"}, text);
    return std::string(text.view());
}

TEST(GeneTree, CopiesOfAnExtinctSpeciesEndAtItsDate) {
    // Nodes R 0, A 1, X 2, Y 3, Z 4: R (0) splits into A (extant, 1) and
    // Z (0.3); Z splits into X (extinct at 0.4) and Y (extinct at 0.6).
    SpeciesTreeArrays arrays;
    arrays.n_nodes = 5;
    arrays.parent = {-1, 0, 4, 4, 0};
    arrays.time = {0.0, 1.0, 0.4, 0.6, 0.3};
    arrays.extant_leaf = {0, 1, 0, 0, 0};
    const SpeciesTree species(arrays);

    // Gene 0 speciates at R into 1 (on A) and 2 (on Z); 2 speciates at Z
    // into 3 (left child, X) and 4 (right child, Y); 4 is duplicated on Y
    // into 5 and 6; 6 is transferred from Y to A at 0.5, its staying copy 7
    // dies with Y and the arrival 8 sits on A. No copy is sampled here, so
    // those on A reach total_age.
    LogBuilder b;
    b.origin(0, 0.0, 0, 0)
        .speciation(0, 0.0, 0, 0, 1, 2)
        .speciation(4, 0.3, 0, 2, 3, 4)
        .dup(3, 0.45, 0, 4, 5, 6)
        .transfer(3, 1, 0.5, 0, 6, 7, 8);
    EXPECT_EQ(complete_with_species(b.log, species, 1.0),
              "(1:1,(3:0.1,(5:0.15,(7:0.1,8:0.5)6:0.05)4:0.15)2:0.3)0:0");
    // Without the tree every such copy reaches total_age, as before.
    Trees old = trees_of(b.log, {}, {"R", "A", "X", "Y", "Z"}, 1.0);
    EXPECT_EQ(old.complete, "(1:1,(3:0.7,(5:0.55,(7:0.5,8:0.5)6:0.05)4:0.15)2:0.3)0:0");
}

TEST(GeneTree, GeneEndedWithoutDateFaults) {
    // A cycle (gene 1 is its own child, and gene 0 its grandchild) is reported,
    // not followed forever.
    LogBuilder b;
    b.origin(0, 0.0, 0, 0).dup(0, 0.1, 0, 0, 1, 2).dup(0, 0.2, 0, 1, 0, 1);
    const std::vector<EventRow> rows = all_rows(b.log);
    const FamilyGenes genes(rows, {});
    EXPECT_THROW(build_gene_tree(0, genes, 1.0), InternalFault);
}

// A chain of `depth` nested duplications: each left copy duplicates again,
// each right copy is extant. Recursion over this would need a deep stack.
LogBuilder deep_chain(std::size_t depth) {
    LogBuilder b;
    b.origin(0, 0.0, 0, 0);
    std::uint64_t gene = 0;
    for (std::size_t k = 0; k < depth; ++k) {
        const auto left = static_cast<std::int64_t>(2 * k + 1);
        b.dup(0, 1e-6 * static_cast<double>(k), 0, gene, left, left + 1);
        gene = static_cast<std::uint64_t>(left);
    }
    return b;
}

TEST(GeneTree, MillionNestedDuplicationsOnASmallStack) {
    const std::size_t depth = 1000000;
    LogBuilder b = deep_chain(depth);
    CopyList copies;
    for (std::size_t k = 0; k < depth; ++k) copies.push_back({2 * k + 2, 0});
    // The last left copy is lost, so the extant tree's deepest node collapses.
    b.loss(0, 1.0, 0, 2 * depth - 1);
    std::vector<ExtantCopies> extant{{0, std::move(copies)}};
    const std::vector<std::string> names{"A"};

    Trees t;
    // Run on a thread with a 256 KiB stack to show no walk recurses.
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 256 * 1024);
    struct Job {
        const EventLog* log;
        const std::vector<ExtantCopies>* extant;
        const std::vector<std::string>* names;
        Trees* out;
    } job{&b.log, &extant, &names, &t};
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attr, [](void* arg) -> void* {
        auto* j = static_cast<Job*>(arg);
        *j->out = trees_of(*j->log, *j->extant, *j->names, 2.0);
        return nullptr;
    }, &job), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);

    EXPECT_EQ(t.complete.substr(0, 5), "(((((");
    EXPECT_TRUE(t.complete.ends_with(")0:0"));
    EXPECT_TRUE(t.complete.find("LOSS_1999999:") != std::string::npos);
    EXPECT_EQ(t.extant.find("LOSS_"), std::string::npos);
    std::size_t open = 0, close = 0;
    for (char c : t.extant) open += c == '(', close += c == ')';
    EXPECT_EQ(open, depth - 1);
    EXPECT_EQ(close, depth - 1);
}

}  // namespace
}  // namespace korvath
