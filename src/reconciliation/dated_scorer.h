// Dated gene-tree likelihood: for every gene node, in local post-order, the
// probability P that one copy on a species branch at a given time yields the
// node's observed subtree, integrated backwards over the model's slices and
// steps. Each node keeps its per-step history until its parent has used it.
#pragma once

#include "reconciliation/clade_graph.h"
#include "reconciliation/dated_extinction.h"
#include "reconciliation/likelihood_input.h"
#include "reconciliation/scaled_vectors.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace korvath::reconciliation {

// Where a slice finds and leaves each node's values at the branch tops (see
// DatedScorer's layouts): for each entry, where its value at the slice's
// start is among the tops the previous slice left (kNoTopEntry: 0, a branch
// no earlier slice held) and where its top goes; for each end, where its
// daughters' tops are.
inline constexpr std::size_t kNoTopEntry = static_cast<std::size_t>(-1);
struct SliceTopsMap {
    std::vector<std::size_t> read;
    std::vector<std::size_t> write;
    std::vector<std::size_t> end_left;
    std::vector<std::size_t> end_right;
    std::size_t previous_width = 0;  // compact layout: the width of the slice integrated before
    std::size_t parity = 0;          // compact layout: which of a node's two buffers it writes
    bool write_in_order = false;     // compact layout: write[k] is k, the tops a contiguous row
    // Per-branch layout: the daughters of the branches ending at the slice's
    // later boundary (all a slice start reads of a node's children's tops),
    // and every branch whose top it reads of the node's own, each once.
    std::vector<std::size_t> daughters;
    std::vector<std::size_t> own_reads;
    // `read` as runs of consecutive entries read from consecutive tops (or
    // none of them from a top), each run `read_runs[i]` .. `read_runs[i+1]-1`
    // of entries, when a slice has few enough that copying them beats
    // gathering one entry at a time (empty otherwise). The same values.
    std::vector<std::size_t> read_runs;
};

// Scores trees one after another against one model; per-tree state is
// dropped after each tree. The tree is integrated slice by slice, from the
// latest: within a slice a node needs only its children's vectors of the
// same slice, so only one slice's vectors of the nodes waiting for their
// parent are held, and they stay in cache. Up to four nodes whose children
// are done are integrated side by side (lowest indices first, close to
// post-order): the in-order sums their steps need are chains of dependent
// additions, and independent nodes' chains overlap. (A family that is not
// one tree forms its sums in four parts within each node's pass over a
// step, and runs a group's nodes one after the other.)
class DatedScorer {
public:
    explicit DatedScorer(const DatedExtinction& model);
    ~DatedScorer();
    DatedScorer(const DatedScorer&) = delete;
    DatedScorer& operator=(const DatedScorer&) = delete;

    // ln L of the tree; origination 1 starts the family uniformly on any
    // branch, any other value at the root speciation. -inf when L <= 0.
    double score(const GeneTree& tree, std::uint8_t origination);

    // ln L of a family given as a clade graph. A clade with one split of
    // weight 1 is integrated as a tree's node; a clade with several splits
    // (or another weight) integrates each split as its own node and is their
    // weighted sum, slice by slice: the probabilities are linear in the
    // splits' terms. The root clade of such a family (when the species times
    // agree with the shape) is not integrated at all: each split adds its
    // children's terms weighted by the root's adjoint. A rooted tree as a
    // clade graph scores exactly as `score`.
    double score_clades(const CladeFamily& family, std::uint8_t origination);

    // As score_clades, keeping every node's vectors (with their scales) until
    // the next call or release(), for the scenario sampler, with every node's
    // values at the branch tops. The value is the same as score_clades'.
    //
    // The slices are kept in windows of consecutive slices (see
    // plan_windows; one window of every slice when `windows` is empty): the
    // family is integrated window by window from the latest, every node
    // through a window before the next window starts, and each node's state
    // at a window's start is kept (a checkpoint). The vectors of the earliest
    // window stay; load_window integrates another window again from its
    // checkpoint, to the same values. Several windows need a species tree
    // whose times agree with its shape (windows_possible()).
    //
    // With `lean_root` (one window only), a root clade of several splits (the
    // rootings of an unrooted tree, the root splits of a sample) keeps no
    // history per split: each split is integrated alone, once to find the
    // root's scales and once more as it is added to the root, keeping only
    // its values at the branch tops; the sampler integrates the split it
    // follows again (materialize). The same values, in about two fifths less
    // memory for an unrooted tree.
    double solve_clades(const CladeFamily& family, std::uint8_t origination,
                        const std::vector<std::size_t>& windows = {}, bool lean_root = false);
    void release();

    // The first slice of each window when each holds at most
    // `window_doubles` of a node's vectors and sums (a slice larger than that
    // alone), from the earliest slice.
    static std::vector<std::size_t> plan_windows(const DatedExtinction& model,
                                                 std::uint64_t window_doubles);
    // A node's vectors and sums in the largest of those windows.
    static std::uint64_t window_doubles(const DatedExtinction& model,
                                        const std::vector<std::size_t>& windows);
    bool windows_possible() const { return shape_order_; }
    // After solve_clades: the window holding slice s, the window held, and
    // window k made the one held.
    std::size_t window_of(std::size_t s) const { return window_index_[s]; }
    std::size_t window_held() const { return window_held_; }
    std::size_t window_count() const { return window_start_.size(); }
    void load_window(std::size_t k);

    // What solve_clades keeps for the family, from its graph alone: the nodes
    // (every clade and split of a clade with several, the tips on one species
    // branch one node), and of them the root's splits when the root has
    // several (0 otherwise).
    struct HistoryPlan {
        std::size_t nodes = 0;
        std::size_t root_splits = 0;
    };
    HistoryPlan history_plan(const CladeFamily& family);

    // The most slots (nodes' vectors of one slice) that score_clades would
    // hold at once for the family, from its plan alone.
    std::size_t planned_slots(const CladeFamily& family);

    // Above this working set (bytes; 64 MiB unless set) a tree's tips on one
    // species branch stay apart when that holds fewer slots, and the slots
    // the last tree held: for tests and diagnostics.
    void limit_shared_tips(std::uint64_t bytes) { shared_tips_bytes_ = bytes; }
    std::size_t slots() const { return slots_; }

    // A root term's sums through the root's adjoint are formed in its later
    // child's steps where that child is a pair or a kMix node (on unless
    // set): off, every term forms them from the children's stored vectors.
    // The counts are the last score's (term, slice) sums taken from a node's
    // steps, those of them whose node was rescaled after the slice, and the
    // terms a kMix node forms: for tests.
    void fuse_root_terms(bool on) { fuse_root_terms_ = on; }
    std::size_t fused_sums_used() const { return fused_used_; }
    std::size_t fused_sums_rescaled() const { return fused_rescaled_; }
    std::size_t terms_fused_in_mix() const { return fused_in_mix_; }

    // Whether the family's root clade is other than one split of weight 1:
    // such a root is scored through the adjoint (when the species times
    // agree with the shape), a tree's root as a node.
    static bool root_of_several_splits(const CladeFamily& family);

private:
    friend class DatedScenarioWalk;
    // What the scorer integrates: tips, nodes with two children, and
    // weighted sums of earlier nodes, in an order where inputs come first;
    // the last node is the family's root.
    // kRoot: a family's root clade with several splits, the weighted sum of
    // its splits' terms; kRootTerm: one such split, whose term is formed
    // slice by slice from its two children through the root's adjoint (see
    // root_terms), placed right after its later child so that the children
    // are read while they are still in cache.
    // kMix: a weighted sum of splits integrated once: the probabilities are
    // linear in the source terms, so its steps take the sum of its splits'
    // sources. The last split placed is the node's own (children `left`,
    // `right`, weight `weight`), whose source its steps form as a pair's;
    // each other split is a kMixTerm (placed right after its later child,
    // weight `weight`, its kMix node in `species`) that adds its sources
    // into the kMix node's slot (see mix_term). The root's splits of a tip
    // and the clade of all other tips (read by the root alone) become, for
    // each species branch, one such node: (tip, every complement of a tip on
    // the branch).
    enum Kind : std::uint8_t { kTip, kPair, kSum, kRoot, kRootTerm, kMix, kMixTerm };
    struct Graph {
        std::vector<std::uint8_t> kind;
        std::vector<std::int64_t> species;  // tips; kRootTerm: its split of the root
        std::vector<std::size_t> left, right;  // pairs; kMix: its own split
        std::vector<double> weight;            // kMixTerm, kMix
        std::vector<std::size_t> term_begin;   // sums: terms term_begin[g] .. term_begin[g+1]-1
        std::vector<std::size_t> term_node;
        std::vector<double> term_weight;
        std::vector<std::size_t> root_left, root_right;  // the kRoot node's splits, by term
        std::vector<double> root_weight;
        std::size_t size() const { return kind.size(); }
        // The distinct nodes node g reads, in order.
        void inputs(std::size_t g, std::vector<std::size_t>& out) const {
            out.clear();
            if (kind[g] == kPair || kind[g] == kRootTerm || kind[g] == kMixTerm ||
                kind[g] == kMix) {
                out.push_back(left[g]);
                if (right[g] != left[g]) out.push_back(right[g]);
            }
            if (kind[g] == kSum || kind[g] == kMix) {
                for (std::size_t i = term_begin[g]; i < term_begin[g + 1]; ++i) {
                    bool seen = false;
                    for (std::size_t x : out) seen = seen || x == term_node[i];
                    if (!seen) out.push_back(term_node[i]);
                }
            }
        }
        void add(Kind k, std::int64_t sp, std::size_t l, std::size_t r) {
            kind.push_back(k);
            species.push_back(sp);
            left.push_back(l);
            right.push_back(r);
            weight.push_back(1.0);
            term_begin.push_back(term_node.size());
        }
    };
    void check_tree(const GeneTree& tree, bool share_tips);
    std::size_t slot_doubles() const;
    static std::size_t slice_doubles(const TimeSlice& slice);
    bool planned_ = false;  // the graph's groups and slots are planned already
    std::uint64_t shared_tips_bytes_ = std::uint64_t{64} << 20;
    std::size_t tip_node(std::int64_t species, std::vector<std::size_t>* tip_of_species);
    // With `adjoint_root`, a root clade of several splits becomes a kRoot
    // node; with `share_tips`, the tips on one species branch are one node.
    void clade_graph(const CladeFamily& family, bool adjoint_root, bool share_tips);
    void link_graph();
    void plan_groups();
    double score_graph(std::uint8_t origination);
    void run_group(std::size_t s, const std::size_t* nodes, std::size_t count);
    void combine_sum(std::size_t s, std::size_t g);
    std::int64_t sum_scale(std::size_t s, std::size_t g) const;
    std::int64_t sum_top_scale(std::size_t s, std::size_t g) const;
    void add_sum_term(std::size_t s, std::size_t g, std::size_t i, std::int64_t scale);
    void sum_branch_tops(std::size_t s, std::size_t g, std::int64_t top_scale);
    struct TopSpan;
    void finish_sum(std::size_t s, std::size_t g, std::int64_t scale, std::int64_t top_scale,
                    const TopSpan* tops, std::size_t span_count);
    double* slice_rows(std::size_t g, std::size_t s);
    double* slice_sums(std::size_t g, std::size_t s, std::size_t rows_size);
    double* slice_splits(std::size_t g, std::size_t s, std::size_t rows_size);
    std::int64_t slice_exponent(std::size_t g, std::size_t s) const;
    ScaledValue root_split(std::size_t pair) const;
    ScaledValue root_split_of(std::size_t c1, std::size_t c2) const;
    // The adjoint of the root's integration: for each slice, row j is the
    // derivative of the root's probability (for one origination mode) with
    // respect to row j of an internal node's vectors in that slice, in the
    // scale 2^exponent[s]. It depends on the model alone, so it is built
    // once per mode and kept.
    struct RootAdjoint {
        bool built = false;
        std::vector<double> rows;            // laid out as a node's history
        std::vector<std::int64_t> exponent;  // per slice
    };
    const RootAdjoint& root_adjoint(std::uint8_t origination);
    void root_terms(std::size_t s, std::size_t g);
    // Root terms whose sums through the adjoint a pair or a kMix node forms
    // in its own steps (see plan_fused_terms): per node, the term it forms
    // (or kNoTopEntry); per term, its four partial sums of the current slice,
    // the slice they are good for (kNoTopEntry: formed again from the
    // vectors), and the node's rescale after that slice.
    void plan_fused_terms();
    std::vector<std::size_t> fused_term_;
    std::vector<double> fused_lanes_;
    std::vector<std::size_t> fused_slice_;
    std::vector<std::int64_t> fused_shift_;
    bool fuse_root_terms_ = true;
    std::size_t fused_used_ = 0;
    std::size_t fused_rescaled_ = 0;
    std::size_t fused_in_mix_ = 0;
    // Whether the vectors' sums over the branches are lane sums (four
    // interleaved partial sums) rather than in-order sums, and the means over
    // the other branches products with 1 / (M - 1) rather than quotients: for
    // every family that is not one tree, whose value is a sum over rootings
    // or trees in any case and agrees with the tree's arithmetic to rounding.
    // A tree keeps the in-order sums and the quotients, and its bits.
    bool lane_sums_ = false;
    void mix_term(std::size_t s, std::size_t g);
    struct MixConstants {
        double dup, tau;       // a split's step constants, weighted, in its kMix node's scale
        double largest_split;  // the largest speciation term it added
    };
    MixConstants mix_split(std::size_t s, std::size_t u, std::size_t c1, std::size_t c2,
                           double w);
    // Whether node g holds vectors of its own (a slot).
    bool has_vectors(std::size_t g) const {
        const std::uint8_t k = graph_.kind[g];
        return k != kRoot && k != kRootTerm && k != kMixTerm;
    }
    ScaledValue root_probability(std::uint8_t origination) const;

    const DatedExtinction& model_;
    Graph graph_;
    // Per node: the nodes that read it (CSR), and how many have still to be
    // scheduled before its slot can be reused.
    std::vector<std::size_t> reader_begin_;
    std::vector<std::size_t> readers_;
    std::vector<std::size_t> unread_;
    // Node by node, each slot holding a node's whole history, instead of
    // slice by slice (only for species trees whose times contradict their
    // shape, where the two orders would read different values).
    bool whole_histories_ = false;
    bool shape_order_ = false;   // the species tree's times agree with its shape
    bool keep_ = false;          // solve_clades: every node its own slot, kept
    // solve_clades: the clade of each node (of a node shared by the tips on
    // one species branch, the first tip's), and per node the clades of a
    // pair's two children (kNoTopEntry for other nodes): a shared tip stands
    // for a different clade under each parent.
    std::vector<std::size_t> clade_of_node_;
    std::vector<std::size_t> child_clades_;
    // solve_clades: the windows' first slices, each slice's window, the
    // window whose vectors the arena holds and where they start in a node's
    // history; per window after the first integrated, each node's state at
    // its start (scales, and the tops it reads from before it with their
    // scales, by node and then by branch of window_carries); per node and
    // branch its value at the branch's top, in its scale of that slice; per
    // slice, the branches whose top it holds (branch, entry).
    std::vector<std::size_t> window_start_{0};
    std::vector<std::size_t> window_index_;
    std::size_t window_held_ = 0;
    std::size_t window_rows_base_ = 0;
    std::size_t window_rows_size_ = 0;
    std::size_t window_sums_base_ = 0;
    struct Checkpoint {
        std::vector<std::int64_t> exponent;
        std::vector<std::uint8_t> started;
        std::vector<double> p_top;
        std::vector<std::int64_t> top_exponent;
    };
    std::vector<Checkpoint> checkpoints_;
    std::vector<double> kept_top_;
    std::vector<std::vector<std::pair<std::size_t, std::size_t>>> tops_born_;
    // solve_clades with a lean root: per node, its place among the root's
    // splits (kNoTopEntry for other nodes); the slot every split is
    // integrated in, and the split whose history it holds.
    bool lean_root_ = false;
    std::vector<std::size_t> split_index_;
    std::size_t spare_slot_ = 0;
    std::size_t materialized_ = kNoTopEntry;
    void reset_node(std::size_t g);
    void run_alone(std::size_t g);
    void sum_lean_root();
    void materialize(std::size_t g);
    void hold_window(std::size_t k);
    const std::vector<std::size_t>& window_carries(std::size_t k) const;
    void save_checkpoint(std::size_t k);
    void run_window(std::size_t k);
    void keep_tops(std::size_t s, std::size_t g);
    std::vector<std::int64_t> slice_exponents_;  // node by node: per node and slice
    // Per tree: each node's P at the branch tops, laid out one of two ways.
    // - Node by node, or when a slice start would read a top older than the
    //   slice integrated just before: one value per branch and node (p_top_),
    //   each in the scale its node had when the value was last written
    //   (top_exponent_). A value that no slice writes any more (a branch the
    //   node has passed) is not rescaled with the node, whose later values
    //   may lie far beyond the double range from it; readers take the values
    //   in their node's scale where they fit there (read_scale).
    // - Slice by slice otherwise (compact_), in the scale 2^exponent_[g] of
    //   the node: a slice start reads only the
    //   tops the previous slice wrote, so two buffers serve the tree, one
    //   written by the current slice and one by the previous (carries_).
    //   Each holds every node's tops of its slice in slice order, the nodes
    //   side by side in their integration order (position_). The tops of
    //   the root's two daughters, which the root's probability reads at the
    //   end, are kept apart (daughter_tops_). A slice then reads and writes
    //   its own width of each node's tops, as two streams, not a whole row.
    // Both layouts give the same values.
    void plan_tops();
    std::vector<std::int64_t> top_exponent_;
    std::vector<double> top_scratch_;      // per-branch layout: tops read, in their readers' scales
    std::int64_t read_scale(std::size_t g, const std::size_t* branches, std::size_t count,
                            std::int64_t preferred, bool for_products = false) const;
    void read_tops(std::size_t g, const std::size_t* branches, std::size_t count,
                   std::int64_t scale, double* out) const;
    double top_in(std::size_t g, std::size_t b, std::int64_t scale) const;
    const SliceTopsMap& slice_tops(std::size_t s) const {
        return compact_ ? compact_tops_[s] : branch_tops_[s];
    }
    double* current_tops(std::size_t g, std::size_t s);
    double* previous_tops(std::size_t g, std::size_t s);
    double root_daughter_top(std::size_t g, std::size_t which) const;
    // The spans of node g's tops that are still read, at most three: those
    // of slice s (when `current`), those the slice starts from, and the
    // root's daughters'. The same spans, in the same order, for every node.
    struct TopSpan {
        double* values;
        std::size_t count;
    };
    std::size_t top_spans(std::size_t g, std::size_t s, bool current, TopSpan* spans);
    static void shift_spans(const TopSpan* spans, std::size_t count, std::int64_t exponent);
    std::vector<SliceTopsMap> branch_tops_;   // the per-branch layout's maps
    std::vector<SliceTopsMap> compact_tops_;  // the compact layout's, when it applies
    bool compact_possible_ = false;
    bool compact_ = false;
    std::size_t carry_width_ = 0;
    std::size_t carry_half_ = 0;          // doubles in each of the two buffers of tops
    std::vector<std::size_t> position_;   // each node's place in the integration order
    std::vector<double> p_top_;
    std::vector<double> carries_;
    std::vector<double> daughter_tops_;
    bool keep_daughter_tops_ = false;
    std::size_t daughter_[2] = {0, 0};        // the root's daughters
    std::size_t daughter_entry_[2] = {0, 0};  // each one's entry in its earliest slice
    std::size_t daughter_slice_[2] = {0, 0};  // that slice (the slice count when none)
    std::vector<std::int64_t> exponent_;
    std::vector<std::uint8_t> started_;  // the node's scale is set
    std::vector<std::size_t> mixed_in_;  // kMix: the slice its sources were last started in
    // Per tree: each node's inputs not yet done.
    std::vector<std::size_t> missing_;
    // Per tree: the integration order (groups of nodes), each node's slot in
    // the arena that holds the nodes' vectors of the current slice.
    std::vector<std::size_t> groups_;
    std::vector<std::size_t> group_start_;
    std::vector<std::size_t> slot_;
    std::size_t slots_ = 0;
    std::size_t slot_stride_ = 0;
    std::vector<std::size_t> slice_stride_;  // slice by slice: each slice's slot size
    std::vector<double> arena_;
    // Origination 1 averages the root's P over every branch top. A top is
    // kept, with its scale, in the slice where it becomes final (the
    // earliest slice holding its branch): the root's later rescaling may
    // bring the slices' small values up so far that an early, large top
    // would not fit in the common scale any more.
    std::vector<std::size_t> first_slice_;  // per branch
    bool keep_root_tops_ = false;
    std::vector<double> root_top_;
    std::vector<std::int64_t> root_top_exponent_;
    RootAdjoint adjoints_[2];  // origination 1, and any other mode
    const RootAdjoint* adjoint_ = nullptr;  // this family's, while it is scored
    std::vector<ScaledValue> root_terms_;   // per split of the kRoot node
};

// Convenience form scoring a single tree.
double dated_tree_loglik(const DatedExtinction& model, const GeneTree& tree,
                         std::uint8_t origination);

}  // namespace korvath::reconciliation
