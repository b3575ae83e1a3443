#include "sample_clades.h"

#include "support/memory_budget.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>
#include <unordered_map>

namespace korvath::native {

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Leaf sets of one family, each stored once: `words` 64-bit words per set,
// leaf i as bit i % 64 of word i / 64. Looked up by open addressing.
class LeafSets {
public:
    explicit LeafSets(std::size_t words) : words_(words), slots_(64, kNone) {}

    std::size_t size() const { return count_; }
    const std::uint64_t* set(std::size_t id) const { return pool_.data() + id * words_; }

    // The id of `set`, added when it is new.
    std::size_t intern(const std::uint64_t* set) {
        const std::uint64_t h = hash(set);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::size_t id = slots_[i];
            if (id == kNone) break;
            if (std::memcmp(this->set(id), set, words_ * sizeof(std::uint64_t)) == 0) return id;
        }
        pool_.insert(pool_.end(), set, set + words_);
        hashes_.push_back(h);
        const std::size_t id = count_++;
        if (2 * count_ > slots_.size()) {
            std::vector<std::size_t>(2 * slots_.size(), kNone).swap(slots_);
            mask = slots_.size() - 1;
            for (std::size_t j = 0; j < count_; ++j) place(j, mask);
        } else {
            place(id, mask);
        }
        return id;
    }

private:
    std::uint64_t hash(const std::uint64_t* set) const {
        std::uint64_t h = 0x9e3779b97f4a7c15ULL;
        for (std::size_t w = 0; w < words_; ++w) {
            h ^= set[w] + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
            h *= 0xbf58476d1ce4e5b9ULL;
            h ^= h >> 31;
        }
        return h;
    }
    void place(std::size_t id, std::size_t mask) {
        std::size_t i = hashes_[id] & mask;
        while (slots_[i] != kNone) i = (i + 1) & mask;
        slots_[i] = id;
    }

    std::size_t words_;
    std::vector<std::uint64_t> pool_;
    std::vector<std::uint64_t> hashes_;
    std::vector<std::size_t> slots_;
    std::size_t count_ = 0;
};

// Whether leaf set a, read as a binary number, is below b.
bool below(const std::uint64_t* a, const std::uint64_t* b, std::size_t words) {
    for (std::size_t w = words; w-- > 0;) {
        if (a[w] != b[w]) return a[w] < b[w];
    }
    return false;
}

std::size_t leaf_count(const std::uint64_t* set, std::size_t words) {
    std::size_t count = 0;
    for (std::size_t w = 0; w < words; ++w) count += static_cast<std::size_t>(std::popcount(set[w]));
    return count;
}

struct Tally {
    std::size_t trees = 0;      // trees in which the clade is split
    std::size_t last_tree = kNone;
};

class Amalgamation {
public:
    Amalgamation(std::size_t n_leaves, bool rooted, std::size_t budget)
        : n_leaves_(n_leaves), words_((n_leaves + 63) / 64), rooted_(rooted),
          budget_(budget, memory_runaway_message(budget, kRunaway)), sets_(words_),
          full_(words_, 0), scratch_(words_, 0) {
        // The leaf sets are what grows: one per distinct clade, and one per node of the
        // tree being read. Each is charged before it is made.
        charge_sets(n_leaves);
        sets_charged_ = n_leaves;
        for (std::size_t i = 0; i < n_leaves; ++i) full_[i / 64] |= std::uint64_t{1} << (i % 64);
        std::vector<std::uint64_t> one(words_, 0);
        for (std::size_t i = 0; i < n_leaves; ++i) {
            one[i / 64] = std::uint64_t{1} << (i % 64);
            sets_.intern(one.data());  // leaf i is set i
            one[i / 64] = 0;
        }
    }

    void add_tree(std::size_t t, const std::int64_t* parent, const std::int64_t* leaf,
                  std::size_t n);
    SampleClades result(std::size_t n_trees) const;

private:
    const std::uint64_t* node_set(std::size_t v) const { return masks_.data() + v * words_; }
    std::size_t set_bytes() const { return words_ * sizeof(std::uint64_t) + kPerSet; }
    void charge_sets(std::size_t count) {
        // A product past the room (or past the size type) is refused as such.
        budget_.charge(count > budget_.room() / set_bytes() ? static_cast<std::size_t>(-1)
                                                             : count * set_bytes());
    }
    std::size_t intern(const std::uint64_t* set) {
        if (sets_.size() >= sets_charged_) {  // room for the next new set
            charge_sets(1024);
            sets_charged_ += 1024;
        }
        const std::size_t id = sets_.intern(set);
        if (id >= (std::size_t{1} << 32)) throw CladeError("the sample has too many clades");
        if (id >= tallies_.size()) tallies_.resize(id + 1);
        return id;
    }
    std::size_t complement(const std::uint64_t* set) {
        for (std::size_t w = 0; w < words_; ++w) scratch_[w] = full_[w] ^ set[w];
        return intern(scratch_.data());
    }
    void split(std::size_t tree, std::size_t clade, std::size_t a, std::size_t b);
    void root_split(std::size_t a, std::size_t b);
    std::pair<std::size_t, std::size_t> ordered(std::size_t a, std::size_t b) const {
        return below(sets_.set(b), sets_.set(a), words_) ? std::pair{b, a} : std::pair{a, b};
    }

    // Per set besides its words: its hash, its slots, its tally, its splits.
    static constexpr std::size_t kPerSet = 8 + 32 + sizeof(Tally) + 2 * 64;
    static constexpr const char* kRunaway =
        "exceeded max_events; the clades of this sample take more (read fewer trees per "
        "family, or score the trees one by one)";

    std::size_t n_leaves_;
    std::size_t words_;
    bool rooted_;
    StorageBudget budget_;
    std::size_t sets_charged_ = 0;
    std::size_t nodes_charged_ = 0;
    LeafSets sets_;
    std::vector<std::uint64_t> full_;
    std::vector<std::uint64_t> scratch_;
    std::vector<Tally> tallies_;
    // (clade, smaller part) -> the larger part and the trees holding the split;
    // (smaller part, larger part) of the root -> trees.
    struct SplitTally {
        std::size_t hi = 0;
        std::size_t trees = 0;
    };
    std::unordered_map<std::uint64_t, SplitTally> splits_;
    std::unordered_map<std::uint64_t, std::size_t> roots_;
    std::size_t root_edges_ = 1;
    // Per tree, reused.
    std::vector<std::uint64_t> masks_;
    std::vector<std::int64_t> kids_;  // up to three children per node
    std::vector<std::uint8_t> n_kids_;
    std::vector<std::size_t> seen_leaf_;
    std::vector<std::size_t> down_, up_;
};

std::uint64_t pair_key(std::size_t a, std::size_t b) {
    return (static_cast<std::uint64_t>(a) << 32) | static_cast<std::uint64_t>(b);
}

void Amalgamation::split(std::size_t tree, std::size_t clade, std::size_t a, std::size_t b) {
    const auto [lo, hi] = ordered(a, b);
    SplitTally& count = splits_[pair_key(clade, lo)];
    count.hi = hi;
    ++count.trees;
    Tally& tally = tallies_[clade];
    if (tally.last_tree != tree) {
        tally.last_tree = tree;
        ++tally.trees;
    }
}

void Amalgamation::root_split(std::size_t a, std::size_t b) {
    const auto [lo, hi] = ordered(a, b);
    ++roots_[pair_key(lo, hi)];
}

void Amalgamation::add_tree(std::size_t t, const std::int64_t* parent, const std::int64_t* leaf,
                            std::size_t n) {
    const std::string where = "tree " + std::to_string(t + 1) + ": ";
    if (n == 0 || parent[0] != -1) throw CladeError(where + "node 0 must be the root");
    if (n > nodes_charged_) {
        charge_sets(n - nodes_charged_);
        nodes_charged_ = n;
    }
    n_kids_.assign(n, 0);
    kids_.assign(3 * n, -1);
    for (std::size_t v = 1; v < n; ++v) {
        const std::int64_t p = parent[v];
        if (p < 0 || static_cast<std::uint64_t>(p) >= v) {
            throw CladeError(where + "the nodes are not in pre-order");
        }
        const auto u = static_cast<std::size_t>(p);
        if (n_kids_[u] == 3) throw CladeError(where + "a node has more than three children");
        kids_[3 * u + n_kids_[u]++] = static_cast<std::int64_t>(v);
    }
    masks_.assign(n * words_, 0);
    seen_leaf_.resize(n_leaves_, kNone);
    std::size_t leaves = 0;
    for (std::size_t v = n; v-- > 0;) {
        std::uint64_t* set = masks_.data() + v * words_;
        const std::size_t k = n_kids_[v];
        if (k == 0) {
            const std::int64_t i = leaf[v];
            if (i < 0 || static_cast<std::uint64_t>(i) >= n_leaves_) {
                throw CladeError(where + "a leaf outside the family's leaves");
            }
            const auto l = static_cast<std::size_t>(i);
            if (seen_leaf_[l] == t) throw CladeError(where + "a leaf appears twice");
            seen_leaf_[l] = t;
            ++leaves;
            set[l / 64] |= std::uint64_t{1} << (l % 64);
            continue;
        }
        if (!(k == 2 || (k == 3 && v == 0 && !rooted_))) {
            throw CladeError(where + "a node is not binary");
        }
        for (std::size_t c = 0; c < k; ++c) {
            const std::uint64_t* child = node_set(static_cast<std::size_t>(kids_[3 * v + c]));
            for (std::size_t w = 0; w < words_; ++w) set[w] |= child[w];
        }
    }
    if (leaves != n_leaves_) throw CladeError(where + "the tree lacks some of the leaves");

    // Each node's leaf set, and the rest of the leaves, interned once.
    down_.assign(n, kNone);
    up_.assign(n, kNone);
    auto id_of = [&](std::size_t v) {
        if (down_[v] == kNone) down_[v] = intern(node_set(v));
        return down_[v];
    };
    auto complement_of = [&](std::size_t v) {
        if (up_[v] == kNone) up_[v] = complement(node_set(v));
        return up_[v];
    };
    auto kid = [&](std::size_t v, std::size_t c) { return static_cast<std::size_t>(kids_[3 * v + c]); };
    if (rooted_) {
        for (std::size_t v = 0; v < n; ++v) {
            if (n_kids_[v] == 0) continue;
            const std::size_t clade = id_of(v);
            split(t, clade, id_of(kid(v, 0)), id_of(kid(v, 1)));
        }
        if (n_kids_[0] != 0) {
            root_split(id_of(kid(0, 0)), id_of(kid(0, 1)));
        }
        root_edges_ = 1;
        return;
    }
    // Unrooted: both sides of every edge. A root with two children is no node of the
    // unrooted tree: its two edges are one, taken at its first child.
    const bool merged = n_kids_[0] == 2;
    std::size_t edges = 0;
    for (std::size_t v = 1; v < n; ++v) {
        if (merged && v == kid(0, 1)) continue;
        ++edges;
        const std::size_t side = id_of(v);
        if (n_kids_[v] != 0) split(t, side, id_of(kid(v, 0)), id_of(kid(v, 1)));
        const std::size_t other = complement_of(v);
        const auto p = static_cast<std::size_t>(parent[v]);
        if (p == 0 && merged) {
            const std::size_t sibling = kid(0, 0) == v ? kid(0, 1) : kid(0, 0);
            if (n_kids_[sibling] != 0) split(t, other, id_of(kid(sibling, 0)), id_of(kid(sibling, 1)));
        } else {
            std::size_t rest[3];
            std::size_t count = 0;
            for (std::size_t c = 0; c < n_kids_[p]; ++c) {
                if (kid(p, c) != v) rest[count++] = id_of(kid(p, c));
            }
            if (p != 0) rest[count++] = complement_of(p);
            if (count == 2) split(t, other, rest[0], rest[1]);
        }
        root_split(side, other);
    }
    root_edges_ = edges == 0 ? 1 : edges;
}

SampleClades Amalgamation::result(std::size_t n_trees) const {
    // Clades by size, then by leaf set: every clade after the smaller ones it splits into.
    std::vector<std::size_t> inner;
    for (std::size_t id = n_leaves_; id < sets_.size(); ++id) {
        if (id < tallies_.size() && tallies_[id].trees > 0 &&
            std::memcmp(sets_.set(id), full_.data(), words_ * sizeof(std::uint64_t)) != 0) {
            inner.push_back(id);
        }
    }
    std::vector<std::size_t> size(sets_.size(), 0);
    for (std::size_t id : inner) size[id] = leaf_count(sets_.set(id), words_);
    std::sort(inner.begin(), inner.end(), [&](std::size_t a, std::size_t b) {
        if (size[a] != size[b]) return size[a] < size[b];
        return below(sets_.set(a), sets_.set(b), words_);
    });
    std::vector<std::size_t> index(sets_.size(), kNone);
    for (std::size_t i = 0; i < n_leaves_; ++i) index[i] = i;
    for (std::size_t i = 0; i < inner.size(); ++i) index[inner[i]] = n_leaves_ + i;

    // Each clade's splits by the leaf set of their smaller part.
    struct Split {
        std::size_t clade, lo, hi, trees;
    };
    std::vector<Split> splits;
    splits.reserve(splits_.size());
    for (const auto& [key, tally] : splits_) {
        const auto clade = static_cast<std::size_t>(key >> 32);
        if (index[clade] == kNone) continue;  // the whole leaf set: its splits are the root's
        splits.push_back({clade, static_cast<std::size_t>(key & 0xffffffffU), tally.hi, tally.trees});
    }
    std::sort(splits.begin(), splits.end(), [&](const Split& x, const Split& y) {
        if (x.clade != y.clade) return index[x.clade] < index[y.clade];
        return below(sets_.set(x.lo), sets_.set(y.lo), words_);
    });
    SampleClades out;
    out.split_counts.assign(n_leaves_ + inner.size(), 0);
    out.split_left.reserve(splits.size() + roots_.size());
    out.split_right.reserve(splits.size() + roots_.size());
    out.split_weight.reserve(splits.size() + roots_.size());
    for (const Split& s : splits) {
        ++out.split_counts[index[s.clade]];
        out.split_left.push_back(static_cast<std::int64_t>(index[s.lo]));
        out.split_right.push_back(static_cast<std::int64_t>(index[s.hi]));
        out.split_weight.push_back(static_cast<double>(s.trees) /
                                   static_cast<double>(tallies_[s.clade].trees));
    }
    if (n_leaves_ > 1) {
        // Rooted: the share of trees with this root split; unrooted: the share of trees
        // holding this edge, over the edges a root may sit on.
        const double denominator =
            static_cast<double>(rooted_ ? n_trees : n_trees * root_edges_);
        std::vector<std::pair<std::size_t, std::size_t>> roots;  // (lo, hi)
        for (const auto& [key, count] : roots_) {
            roots.emplace_back(static_cast<std::size_t>(key >> 32),
                               static_cast<std::size_t>(key & 0xffffffffU));
        }
        std::sort(roots.begin(), roots.end(), [&](const auto& x, const auto& y) {
            if (x.first != y.first) return below(sets_.set(x.first), sets_.set(y.first), words_);
            return below(sets_.set(x.second), sets_.set(y.second), words_);
        });
        out.split_counts.push_back(static_cast<std::int64_t>(roots.size()));
        for (const auto& [lo, hi] : roots) {
            if (index[lo] == kNone || index[hi] == kNone) {
                throw CladeError("a side of the root is no clade of the sample");
            }
            out.split_left.push_back(static_cast<std::int64_t>(index[lo]));
            out.split_right.push_back(static_cast<std::int64_t>(index[hi]));
            out.split_weight.push_back(static_cast<double>(roots_.at(pair_key(lo, hi))) /
                                       denominator);
        }
    }
    return out;
}

}  // namespace

SampleClades sample_clades(const SampleTrees& trees) {
    if (trees.n_leaves < 1) throw CladeError("a family needs at least one leaf");
    const auto n_leaves = static_cast<std::size_t>(trees.n_leaves);
    if (trees.parent.size() != trees.leaf.size()) {
        throw CladeError("parent and leaf must have one entry per node");
    }
    if (trees.offsets.size() < 2 || trees.offsets.front() != 0 ||
        static_cast<std::uint64_t>(trees.offsets.back()) != trees.parent.size()) {
        throw CladeError("offsets must run from 0 to the number of nodes, one tree at least");
    }
    if (n_leaves > trees.parent.size()) throw CladeError("more leaves than nodes");
    const std::size_t n_trees = trees.offsets.size() - 1;
    Amalgamation amalgamation(n_leaves, trees.rooted, memory_budget_bytes());
    for (std::size_t t = 0; t < n_trees; ++t) {
        const std::int64_t a = trees.offsets[t];
        const std::int64_t b = trees.offsets[t + 1];
        if (b < a) throw CladeError("offsets must not decrease");
        amalgamation.add_tree(t, trees.parent.data() + a, trees.leaf.data() + a,
                              static_cast<std::size_t>(b - a));
    }
    return amalgamation.result(n_trees);
}

}  // namespace korvath::native
