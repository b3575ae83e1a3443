#include "likelihood_test_trees.h"

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_sampler.h"
#include "reconciliation/dated_scorer.h"
#include "reconciliation/reconcile_driver.h"
#include "reconciliation/undated_scorer.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <functional>
#include <iterator>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <string>

namespace korvath::reconciliation {
namespace {

using testing::cherry;
using testing::undated_model;

// One family: tips 0 and 1 on species 0 and 1, the root clade 2 with the given splits.
CladeBatch cherry_family(std::vector<std::int64_t> left, std::vector<std::int64_t> right,
                         std::vector<double> weight) {
    CladeBatch batch;
    batch.cl_offsets = {0, 3};
    batch.cl_is_leaf = {1, 1, 0};
    batch.cl_species = {0, 1, -1};
    batch.cl_split_offsets = {0, 0, 0, left.size()};
    batch.split_left = std::move(left);
    batch.split_right = std::move(right);
    batch.split_weight = std::move(weight);
    return batch;
}

TEST(CladeGraph, RootedTreeScoresAsTheTreeAndWeightsAreLinear) {
    for (std::uint8_t transfers : {0, 1}) {
        const UndatedExtinction model = undated_model(cherry(), {0.3, 0.2, 0.4}, transfers);
        UndatedScorer scorer(model);
        const GeneTreeBatch genes = testing::batch_of({testing::gene_cherry(0, 1)});
        for (std::uint8_t origination : {0, 1}) {
            const double tree = scorer.score(cut_tree(genes, 0), origination);
            const double one = scorer.score_clades(cut_family(cherry_family({0}, {1}, {1.0}), 0),
                                                   origination);
            EXPECT_EQ(one, tree);
            // The same split twice with weights 0.25 and 0.75 is the split once.
            const double halves = scorer.score_clades(
                cut_family(cherry_family({0, 0}, {1, 1}, {0.25, 0.75}), 0), origination);
            EXPECT_NEAR(halves, tree, 1e-14);
            // Weight w multiplies the likelihood by w.
            const double tenth = scorer.score_clades(
                cut_family(cherry_family({0}, {1}, {0.1}), 0), origination);
            EXPECT_NEAR(tenth, tree + std::log(0.1), 1e-14);
        }
    }
}

TEST(CladeGraph, DatedSumsOfSplitsAreLinearInTheirWeights) {
    const DatedExtinction model = testing::dated_model(cherry(), {0.3, 0.2, 0.4}, 4);
    DatedScorer scorer(model);
    const GeneTreeBatch genes = testing::batch_of({testing::gene_cherry(0, 1)});
    for (std::uint8_t origination : {0, 1}) {
        const double tree = scorer.score(cut_tree(genes, 0), origination);
        EXPECT_EQ(scorer.score_clades(cut_family(cherry_family({0}, {1}, {1.0}), 0), origination),
                  tree);
        const double halves = scorer.score_clades(
            cut_family(cherry_family({0, 1}, {1, 0}, {0.25, 0.75}), 0), origination);
        EXPECT_NEAR(halves, tree, 1e-14);
        const double tenth =
            scorer.score_clades(cut_family(cherry_family({0}, {1}, {0.1}), 0), origination);
        EXPECT_NEAR(tenth, tree + std::log(0.1), 1e-14);
    }
}

// A rooted gene tree (children before parents, root last) as the clade
// graph of its unrooted tree: the tips, every side below a node, every side
// above one, and the whole leaf set split along each of the 2n - 3 edges
// (the root's two edges are one) with equal weight.
CladeBatch unrooted_family(const testing::TreeSpec& tree) {
    const std::size_t n = tree.is_leaf.size();
    const std::size_t root = n - 1;
    testing::FamilyBuilder family;
    auto add = [&](std::uint8_t leaf, std::int64_t species,
                   std::vector<testing::FamilyBuilder::Split> s) {
        return family.add(leaf, species, std::move(s));
    };
    std::vector<std::int64_t> down(n, -1), up(n, -1), parent(n, -1);
    for (std::size_t g = 0; g < n; ++g) {
        if (tree.is_leaf[g]) {
            down[g] = add(1, tree.species[g], {});
        } else {
            parent[static_cast<std::size_t>(tree.left[g])] = static_cast<std::int64_t>(g);
            parent[static_cast<std::size_t>(tree.right[g])] = static_cast<std::int64_t>(g);
        }
    }
    for (std::size_t g = 0; g < root; ++g) {
        if (!tree.is_leaf[g]) down[g] = add(0, -1, {{down[tree.left[g]], down[tree.right[g]]}});
    }
    auto sibling = [&](std::size_t g) {
        const auto p = static_cast<std::size_t>(parent[g]);
        return static_cast<std::size_t>(tree.left[p] == static_cast<std::int64_t>(g) ? tree.right[p]
                                                                                      : tree.left[p]);
    };
    for (std::size_t g = root; g-- > 0;) {  // parents before children
        const auto p = static_cast<std::size_t>(parent[g]);
        up[g] = p == root ? down[sibling(g)] : add(0, -1, {{up[p], down[sibling(g)]}});
    }
    std::vector<testing::FamilyBuilder::Split> edges;
    for (std::size_t g = 0; g < root; ++g) {
        if (static_cast<std::int64_t>(g) != tree.right[root]) edges.push_back({down[g], up[g]});
    }
    add(0, -1, edges);
    return family.batch([](std::size_t count, bool root_clade) {
        return root_clade ? 1.0 / static_cast<double>(count) : 1.0;
    });
}

// The scorer sums an unrooted tree's rootings through the root's adjoint,
// with the rootings at tips on one species branch integrated as one node;
// the scenario sampler's path integrates every split as its own node and
// adds the rootings up. The two must agree to rounding, on large trees
// (whose vectors are rescaled, and whose rootings differ by thousands of
// orders of magnitude) and with no transfers.
TEST(CladeGraph, DatedUnrootedTreesScoreAsTheirRootingsOneByOne) {
    std::size_t finite = 0;
    for (std::uint64_t seed = 1; seed <= 8; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const bool large = seed % 2 == 0;
        const std::size_t gene_tips = large ? 300 : 4 + seed;
        const testing::RandomTrees trees =
            testing::random_trees(seed, large ? 30 : 3 + seed % 5, 3, gene_tips);
        const double transfer = seed % 3 == 0 ? 0.0 : 0.2 * static_cast<double>(seed % 4);
        const DatedExtinction model =
            testing::dated_model(trees.species, {0.3, transfer, 0.4}, large ? 3 : 2);
        DatedScorer scorer(model);
        for (const testing::TreeSpec& tree : trees.genes) {
            const CladeBatch family = unrooted_family(tree);
            for (std::uint8_t origination : {0, 1}) {
                const double summed = scorer.score_clades(cut_family(family, 0), origination);
                const double one_by_one = scorer.solve_clades(cut_family(family, 0), origination);
                scorer.release();
                if (!std::isfinite(one_by_one)) {
                    EXPECT_EQ(summed, one_by_one);
                    continue;
                }
                EXPECT_NEAR(summed, one_by_one, 1e-12 * std::fabs(one_by_one) + 1e-12);
                ++finite;
            }
        }
    }
    EXPECT_GT(finite, 20u);
}

CladeBatch rooted_family(const testing::TreeSpec& tree);

// A sample of rooted trees over the tips of `tree`: the tree and `count` - 1
// others, each a few nearest-neighbour interchanges from it, amalgamated
// (every clade any of them has, with every split seen, the splits of a clade
// weighted alike). Clades with several splits are then sums inside the graph.
CladeBatch sample_family(const testing::TreeSpec& tree, std::size_t count, std::uint64_t seed) {
    using Clade = std::vector<std::size_t>;  // tips, sorted
    std::map<Clade, std::set<std::pair<Clade, Clade>>> splits;
    std::mt19937_64 rng(seed);
    const std::size_t root = tree.is_leaf.size() - 1;
    std::vector<std::int64_t> left = tree.left;
    std::vector<std::int64_t> right = tree.right;
    std::function<Clade(std::size_t)> tips = [&](std::size_t g) -> Clade {
        if (tree.is_leaf[g]) {
            splits[Clade{g}];
            return {g};
        }
        Clade a = tips(static_cast<std::size_t>(left[g]));
        Clade b = tips(static_cast<std::size_t>(right[g]));
        Clade all;
        std::merge(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(all));
        splits[all].insert(a < b ? std::pair{a, b} : std::pair{b, a});
        return all;
    };
    for (std::size_t k = 0; k < count; ++k) {
        tips(root);
        for (int move = 0; move < 3; ++move) {
            // u's child x swaps with the left child of its internal child y.
            const std::size_t u = rng() % tree.is_leaf.size();
            if (tree.is_leaf[u]) continue;
            const bool y_left = rng() % 2 == 0;
            const auto y = static_cast<std::size_t>(y_left ? left[u] : right[u]);
            if (tree.is_leaf[y]) continue;
            std::swap(y_left ? right[u] : left[u], left[y]);
        }
    }
    std::vector<const Clade*> order;
    for (const auto& [clade, s] : splits) order.push_back(&clade);
    std::stable_sort(order.begin(), order.end(),
                     [](const Clade* a, const Clade* b) { return a->size() < b->size(); });
    std::map<Clade, std::int64_t> index;
    testing::FamilyBuilder family;
    for (const Clade* clade : order) {
        std::vector<testing::FamilyBuilder::Split> own;
        for (const auto& [a, b] : splits[*clade]) own.push_back({index.at(a), index.at(b)});
        const bool tip = clade->size() == 1;
        index[*clade] = family.add(tip ? 1 : 0, tip ? tree.species[clade->front()] : -1, own);
    }
    return family.batch([](std::size_t splits_of_clade, bool) {
        return 1.0 / static_cast<double>(splits_of_clade);
    });
}

// The sampler may hold the slices in windows, integrating each window again
// from its checkpoint when the scenarios reach it: the scenarios and the
// value must be those of every slice held, event for event and bit for bit,
// with either origination, with and without transfers, for rooted and
// unrooted trees and samples of trees whose vectors rescale, down to a window
// per slice; and so must those of a lean root, which keeps one history for
// all its splits.
TEST(CladeGraph, DatedScenariosDoNotDependOnTheWindows) {
    std::size_t compared = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const bool large = seed % 3 == 0;
        const testing::RandomTrees trees =
            testing::random_trees(seed, large ? 20 : 3 + seed % 5, 2, large ? 60 : 4 + seed);
        const double transfer = seed % 2 == 0 ? 0.0 : 0.3;
        // Seed 6 at rates about a hundred times higher: thousands of events a
        // scenario, most of them hidden.
        const DtlRates rates = seed == 6 ? DtlRates{30.0, 50.0, 2.0} : DtlRates{0.4, transfer, 0.3};
        const DatedExtinction model = testing::dated_model(trees.species, rates, large ? 3 : 2);
        DatedScorer scorer(model);
        ASSERT_TRUE(scorer.windows_possible());
        const std::uint64_t all = model.trajectory_size + model.sums_size;
        for (const testing::TreeSpec& tree : trees.genes) {
            for (const CladeBatch& family :
                 {unrooted_family(tree), rooted_family(tree), sample_family(tree, 4, seed)}) {
                for (std::uint8_t origination : {0, 1}) {
                    SampledEvents whole;
                    const double one = scorer.solve_clades(cut_family(family, 0), origination);
                    if (!std::isfinite(one)) {
                        scorer.release();
                        continue;
                    }
                    Rng first = family_rng(seed, 7);
                    sample_dated_scenarios(scorer, origination, 40, first, 3, whole);
                    scorer.release();
                    // A third of the slices' vectors per window, a slice per
                    // window, and (one window) a lean root.
                    for (const int how : {0, 1, 2}) {
                        const std::vector<std::size_t> windows =
                            how == 2 ? std::vector<std::size_t>{}
                                     : DatedScorer::plan_windows(model, how == 0 ? all / 3 : 1);
                        if (how < 2) ASSERT_GT(windows.size(), 1u);
                        SampledEvents other;
                        const double split = scorer.solve_clades(cut_family(family, 0),
                                                                 origination, windows, how == 2);
                        Rng second = family_rng(seed, 7);
                        sample_dated_scenarios(scorer, origination, 40, second, 3, other);
                        scorer.release();
                        EXPECT_EQ(std::bit_cast<std::uint64_t>(one),
                                  std::bit_cast<std::uint64_t>(split));
                        ASSERT_EQ(whole.event.size(), other.event.size());
                        EXPECT_EQ(whole.family, other.family);
                        EXPECT_EQ(whole.sample, other.sample);
                        EXPECT_EQ(whole.event, other.event);
                        EXPECT_EQ(whole.branch, other.branch);
                        EXPECT_EQ(whole.recipient, other.recipient);
                        EXPECT_EQ(whole.clade, other.clade);
                        EXPECT_EQ(whole.left, other.left);
                        EXPECT_EQ(whole.right, other.right);
                        ++compared;
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 40u);
}

// How a family is held: every slice while that is small, else the windows
// that hold the least (less than every slice, and whatever the family, since
// a node's bytes do not depend on it), within the budget's room or not at
// all; every slice again (a lean root if only that fits) when windows do not
// fit.
TEST(CladeGraph, DatedFamiliesAreHeldInTheWindowsThatHoldTheLeast) {
    const testing::RandomTrees trees = testing::random_trees(3, 40, 1, 4);
    const DatedExtinction model = testing::dated_model(trees.species, {0.3, 0.2, 0.3}, 20);
    const std::vector<std::size_t> least = least_windows(model);
    ASSERT_GT(least.size(), 2u);
    EXPECT_EQ(least.front(), 0u);
    StorageBudget roomy(std::size_t{1} << 40, "full");
    const HistoryWindows small = plan_history_windows(model, 1, 0, least, roomy);
    EXPECT_EQ(small.windows, std::vector<std::size_t>{0});
    const HistoryWindows whole = plan_history_windows(model, 500, 0, {}, roomy);
    EXPECT_EQ(whole.windows, std::vector<std::size_t>{0});
    const HistoryWindows windowed = plan_history_windows(model, 500, 0, least, roomy);
    EXPECT_EQ(windowed.windows, least);
    EXPECT_LT(windowed.bytes, whole.bytes / 4);
    // Twice the nodes, twice the bytes, in the same windows.
    EXPECT_EQ(plan_history_windows(model, 1000, 0, least, roomy).bytes, 2 * windowed.bytes);

    // A budget between the two: windows only; below the windows: nothing, as
    // for a tree whose times forbid windows.
    StorageBudget between(static_cast<std::size_t>((windowed.bytes + whole.bytes) / 2), "full");
    EXPECT_EQ(plan_history_windows(model, 500, 0, least, between).windows, least);
    EXPECT_TRUE(plan_history_windows(model, 500, 0, {}, between).windows.empty());
    StorageBudget tight(static_cast<std::size_t>(windowed.bytes - 1), "full");
    EXPECT_TRUE(plan_history_windows(model, 500, 0, least, tight).windows.empty());
    // Room taken by what the call already holds counts.
    between.charge(static_cast<std::size_t>(between.limit() - windowed.bytes + 1));
    EXPECT_TRUE(plan_history_windows(model, 500, 0, least, between).windows.empty());

    // 400 of the 500 nodes a root's splits: they share one history when only
    // that fits.
    StorageBudget lean_room(static_cast<std::size_t>(whole.bytes / 2), "full");
    const HistoryWindows lean = plan_history_windows(model, 500, 400, {}, lean_room);
    EXPECT_EQ(lean.windows, std::vector<std::size_t>{0});
    EXPECT_TRUE(lean.lean);
    EXPECT_LT(lean.bytes, whole.bytes / 2);
}

// Every tip on one species branch, and no duplications: the root's splits
// can only be formed by transfers, whose terms are differences of nearly
// equal sums (a vector's total less its one large entry). The scorer's
// sum over rootings must still agree with the rootings one by one, also
// when transfers are rare.
TEST(CladeGraph, DatedUnrootedTreesOnOneBranchNeedTransfersOnly) {
    std::size_t finite = 0;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        testing::RandomTrees trees = testing::random_trees(seed, 4 + seed, 2, 5 + 3 * seed);
        std::int64_t branch = 0;
        while (!trees.species.sp_is_leaf[static_cast<std::size_t>(branch)]) ++branch;
        for (const double transfer : {0.3, 1e-6}) {
            const DatedExtinction model = testing::dated_model(trees.species, {0.0, transfer, 0.2}, 3);
            DatedScorer scorer(model);
            for (testing::TreeSpec tree : trees.genes) {
                for (std::size_t g = 0; g < tree.is_leaf.size(); ++g) {
                    if (tree.is_leaf[g]) tree.species[g] = branch;
                }
                const CladeBatch family = unrooted_family(tree);
                for (std::uint8_t origination : {0, 1}) {
                    const double summed = scorer.score_clades(cut_family(family, 0), origination);
                    const double one_by_one = scorer.solve_clades(cut_family(family, 0), origination);
                    scorer.release();
                    ASSERT_TRUE(std::isfinite(one_by_one));
                    EXPECT_NEAR(summed, one_by_one, 1e-12 * std::fabs(one_by_one));
                    ++finite;
                }
            }
        }
    }
    EXPECT_EQ(finite, 32u);
}

// A root term's sums formed in its later child's steps are the sums formed
// afterwards from the stored vectors: the same values, also when the node is
// rescaled after the slice (large trees, high rates) and when it is not, and
// whether the node is a pair or the kMix node of a branch's tip rootings.
TEST(CladeGraph, DatedRootTermsFormedInAPairsStepsAreThoseOfItsVectors) {
    std::size_t used = 0;
    std::size_t rescaled = 0;
    std::size_t in_mix = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const bool large = seed % 2 == 0;
        const testing::RandomTrees trees =
            testing::random_trees(seed, large ? 40 : 6, 2, large ? 400 : 12);
        for (const DtlRates rates : {DtlRates{0.3, 0.2, 0.4}, DtlRates{4.0, 6.0, 0.5},
                                     DtlRates{0.0, 0.05, 3.0}}) {
            const DatedExtinction model = testing::dated_model(trees.species, rates, large ? 4 : 3);
            DatedScorer fused(model);
            DatedScorer apart(model);
            apart.fuse_root_terms(false);
            for (const testing::TreeSpec& tree : trees.genes) {
                const CladeBatch family = unrooted_family(tree);
                for (std::uint8_t origination : {0, 1}) {
                    const double a = fused.score_clades(cut_family(family, 0), origination);
                    const double b = apart.score_clades(cut_family(family, 0), origination);
                    EXPECT_EQ(std::bit_cast<std::uint64_t>(a), std::bit_cast<std::uint64_t>(b));
                    EXPECT_EQ(apart.fused_sums_used(), 0u);
                    used += fused.fused_sums_used();
                    rescaled += fused.fused_sums_rescaled();
                    in_mix += fused.terms_fused_in_mix();
                }
            }
        }
    }
    EXPECT_GT(used, 1000u);
    EXPECT_GT(rescaled, 10u);
    EXPECT_GT(in_mix, 20u);
}

// A rooted gene tree as a clade graph: one split of weight 1 per internal node.
CladeBatch rooted_family(const testing::TreeSpec& tree) {
    testing::FamilyBuilder family;
    for (std::size_t g = 0; g < tree.is_leaf.size(); ++g) {
        if (tree.is_leaf[g]) {
            family.add(1, tree.species[g], {});
        } else {
            family.add(0, -1, {{tree.left[g], tree.right[g]}});
        }
    }
    return family.batch([](std::size_t, bool) { return 1.0; });
}

// Slices cut into pieces take the same steps, so every family scores as with
// whole slices, to rounding: through rescales within a slice (high rates,
// large trees), slices already cut for their many events, and pieces of one
// step. The call cuts the slices of a large family that is not one tree only
// (every family here, with no threshold), never those of a tree.
TEST(CladeGraph, DatedSlicesCutIntoPiecesScoreAsWholeSlices) {
    std::size_t compared = 0;
    for (std::uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const bool large = seed % 2 == 0;
        const testing::RandomTrees trees =
            testing::random_trees(seed, large ? 30 : 5, 2, large ? 300 : 10);
        for (const DtlRates rates : {DtlRates{0.3, 0.2, 0.4}, DtlRates{30.0, 50.0, 2.0}}) {
            const std::uint64_t n_steps = 3 + seed % 4;
            const DatedExtinction model = testing::dated_model(trees.species, rates, n_steps);
            DatedScorer whole(model);
            for (const std::uint64_t most : {std::uint64_t{1}, std::uint64_t{2}, n_steps - 1}) {
                SCOPED_TRACE("pieces of " + std::to_string(most));
                const DatedExtinction cut = dated_in_pieces(model, most);
                EXPECT_GT(cut.slices.size(), model.slices.size());
                EXPECT_EQ(cut.e_top, model.e_top);
                DatedScorer pieces(cut);
                for (const testing::TreeSpec& tree : trees.genes) {
                    for (const CladeBatch& family : {unrooted_family(tree), rooted_family(tree),
                                                     sample_family(tree, 4, seed)}) {
                        for (std::uint8_t origination : {0, 1}) {
                            const double a = whole.score_clades(cut_family(family, 0), origination);
                            const double b = pieces.score_clades(cut_family(family, 0), origination);
                            ASSERT_TRUE(std::isfinite(a));
                            EXPECT_NEAR(b, a, 1e-12 * std::fabs(a));
                            ++compared;
                        }
                    }
                }
            }
        }
    }
    EXPECT_EQ(compared, 6u * 2 * 3 * 2 * 3 * 2);

    const testing::RandomTrees trees = testing::random_trees(7, 12, 3, 40);
    for (const std::uint64_t n_steps : {kDatedPieceSteps, 2 * kDatedPieceSteps + 1}) {
        for (const testing::TreeSpec& tree : trees.genes) {
            for (const bool unrooted : {true, false}) {
                SCOPED_TRACE(std::to_string(n_steps) + (unrooted ? " steps, unrooted" : " steps, rooted"));
                auto value = [&](double pieces_above) {
                    DatedCladeCall call;
                    call.species = trees.species;
                    call.batch = unrooted ? unrooted_family(tree) : rooted_family(tree);
                    call.rates = {0.3, 0.2, 0.4};
                    call.n_steps = n_steps;
                    return dated_clade_loglik(std::move(call), pieces_above).at(0);
                };
                const double whole = value(std::numeric_limits<double>::infinity());
                const double cut = value(0.0);
                const bool same_bits = std::bit_cast<std::uint64_t>(whole) == std::bit_cast<std::uint64_t>(cut);
                EXPECT_NEAR(cut, whole, 1e-12 * std::fabs(whole));
                if (!unrooted || n_steps <= kDatedPieceSteps) EXPECT_TRUE(same_bits);
            }
        }
    }
}

TEST(CladeGraph, MalformedFamiliesAreFaults) {
    auto fails = [](CladeBatch batch) {
        EXPECT_THROW(cut_family(batch, 0), InternalFault);
    };
    fails(cherry_family({0}, {2}, {1.0}));   // a split into itself
    fails(cherry_family({0}, {-1}, {1.0}));  // a split into no clade
    fails(cherry_family({}, {}, {}));        // an inner clade without a split
    CladeBatch short_offsets = cherry_family({0}, {1}, {1.0});
    short_offsets.cl_split_offsets.pop_back();
    fails(short_offsets);
    CladeBatch past_the_splits = cherry_family({0}, {1}, {1.0});
    past_the_splits.cl_split_offsets.back() = 5;
    fails(past_the_splits);
    CladeBatch decreasing = cherry_family({0}, {1}, {1.0});
    decreasing.cl_split_offsets = {0, 1, 0, 1};
    fails(decreasing);
    CladeBatch empty = cherry_family({0}, {1}, {1.0});
    empty.cl_offsets = {0, 0};
    fails(empty);
    EXPECT_NO_THROW(cut_family(cherry_family({0}, {1}, {1.0}), 0));
}

}  // namespace
}  // namespace korvath::reconciliation
