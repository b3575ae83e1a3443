#include "foundations_test_util.h"
#include "simulation/dated_tree.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace korvath {
namespace {

using testing::make_tree;

std::string fault_message(std::vector<std::int64_t> parent, std::vector<double> time,
                          std::vector<std::uint8_t> extant, std::uint64_t root,
                          std::int64_t n_nodes = -1) {
    try {
        const SpeciesTree tree = make_tree(parent, time, extant, root, n_nodes);
        tree.require_two_children();
    } catch (const InternalFault& e) {
        return e.what();
    }
    return "";
}

TEST(SpeciesTree, ChildrenAndProcessingOrder) {
    // Ties keep index order; -1 and -7 both mean no parent; node 5 is a lone extra node.
    const SpeciesTree tree = make_tree({-1, 0, 0, 2, 2, -7}, {0.0, 1.0, 0.5, 1.0, 1.0, 3.0},
                                       {0, 1, 0, 1, 1, 0}, 0);
    ASSERT_EQ(tree.children(0).size(), 2u);
    EXPECT_EQ(tree.children(0)[0], 1u);
    EXPECT_EQ(tree.children(0)[1], 2u);
    EXPECT_EQ(tree.children(5).size(), 0u);
    EXPECT_EQ(tree.processing_order(), (std::vector<std::uint32_t>{2, 1, 3, 4}));
    tree.require_two_children();
}

TEST(SpeciesTree, LongerArraysAndMultiChildNodesAreAccepted) {
    const SpeciesTree tree = make_tree({-1, 0, 0, 0}, {0.0, 1.0, 1.0, 1.0}, {0, 1, 1, 1}, 0);
    EXPECT_EQ(tree.children(0).size(), 3u);
    SpeciesTreeArrays longer;
    longer.n_nodes = 3;
    longer.parent = {-1, 0, 0, 5};
    longer.time = {0.0, 1.0, 1.0, NAN};
    longer.extant_leaf = {0, 1, 1, 0};
    EXPECT_EQ(SpeciesTree(longer).processing_order().size(), 2u);
    // A zero-length branch with a larger index than its parent is fine.
    make_tree({-1, 0, 0, 1, 1}, {0.0, 0.0, 1.0, 1.0, 1.0}, {0, 0, 1, 1, 1}, 0);
}

TEST(SpeciesTree, BrokenRequirementsAreNamed) {
    EXPECT_NE(fault_message({-1, 0}, {0.0, 1.0, 1.0}, {0, 1, 1}, 0, 3).find("parent has 2 entries"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 3}, {0.0, 1.0, 1.0}, {0, 1, 1}, 0).find("node 2 has parent 3"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0}, {0.0, 1.0, 1.0}, {0, 1, 1}, 3).find("root 3"),
              std::string::npos);
    EXPECT_NE(fault_message({2, 0, 1}, {0.0, 1.0, 2.0}, {0, 0, 0}, 0).find("root"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0, -1, 3}, {0.0, 1.0, 1.0, 0.0, 1.0}, {0, 1, 1, 0, 1}, 0)
                  .find("node 3 has no parent"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0, 1}, {0.0, 1.0, 1.0, 2.0}, {0, 1, 1, 1}, 0)
                  .find("node 1 is an extant leaf"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0}, {0.0, NAN, 1.0}, {0, 1, 1}, 0).find("node 1 has a NaN"),
              std::string::npos);
    // Child dated before its parent; equal date with a smaller index; a cycle.
    EXPECT_NE(fault_message({-1, 0, 0, 2, 2}, {0.0, 1.0, 0.5, 0.4, 1.0}, {0, 1, 0, 1, 1}, 0)
                  .find("node 3 comes before its parent 2"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 3, 3, 0, 0}, {0.0, 1.0, 1.0, 1.0, 1.0}, {0, 1, 1, 0, 1}, 0)
                  .find("node 1 comes before its parent 3"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0, 4, 3}, {0.0, 1.0, 1.0, 0.5, 0.5}, {0, 1, 1, 0, 0}, 0)
                  .find("comes before its parent"),
              std::string::npos);
}

TEST(SpeciesTree, EveryDateIsFiniteAndNoChildPrecedesTheRoot) {
    const double inf = INFINITY;
    EXPECT_NE(fault_message({-1, 0, 0}, {NAN, 1.0, 1.0}, {0, 1, 1}, 0).find("node 0 has a NaN"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0}, {-inf, 1.0, 1.0}, {0, 1, 1}, 0)
                  .find("node 0 has an infinite date (-inf)"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0}, {0.0, 1.0, inf}, {0, 1, 1}, 0)
                  .find("node 2 has an infinite date (+inf)"),
              std::string::npos);
    // A lone parentless node is never reached, but its date must still be a date.
    EXPECT_NE(fault_message({-1, 0, 0, -1}, {0.0, 1.0, 1.0, NAN}, {0, 1, 1, 0}, 0)
                  .find("node 3 has a NaN"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0}, {0.0, -10.0, 1.0}, {0, 1, 1}, 0)
                  .find("node 1 comes before its parent 0 (the root)"),
              std::string::npos);
    // Equal to the root's date is fine, whatever the indices.
    EXPECT_EQ(fault_message({1, -1, 1}, {0.5, 0.5, 0.5}, {1, 0, 1}, 1), "");
}

TEST(SpeciesTree, GeneFamilyEngineNeedsTwoChildren) {
    EXPECT_NE(fault_message({-1, 0, 0, 0}, {0.0, 1.0, 1.0, 1.0}, {0, 1, 1, 1}, 0)
                  .find("node 0 has 3 children"),
              std::string::npos);
    EXPECT_NE(fault_message({-1, 0, 0, 1}, {0.0, 0.5, 1.0, 1.0}, {0, 0, 1, 1}, 0)
                  .find("node 1 has 1 children"),
              std::string::npos);
    EXPECT_NE(fault_message({-1}, {0.0}, {0}, 0).find("node 0 has 0 children"), std::string::npos);
}

}  // namespace
}  // namespace korvath
