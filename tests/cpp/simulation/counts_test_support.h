// Shared by the counts-only engine tests: the plain store that walks its
// families in id order (the reference behaviour of the copy pick) and random
// species trees with nodes of any arity.
#pragma once

#include "simulation/copy_arena.h"
#include "simulation/rng.h"
#include "simulation/dated_tree_arrays.h"
#include "support/faults.h"

#include <cstdint>
#include <map>
#include <vector>

namespace korvath::testing {

// Families in an ordered map; the "slot" of a family is its id, and the copy
// pick walks the map in ascending id.
class LinearStore {
public:
    static LinearStore founders(std::uint64_t n, CopyArena* = nullptr) {
        LinearStore out;
        for (std::uint64_t f = 0; f < n; ++f) out.families_[f] = 1;
        out.total_ = n;
        return out;
    }
    std::uint64_t copy_total() const { return total_; }
    std::size_t slot_of_copy(std::uint64_t j) const {
        for (const auto& [id, count] : families_) {
            if (j < count) return id;
            j -= count;
        }
        fault("internal error: entered unreachable code: family_at index out of range");
    }
    std::uint64_t id_at(std::size_t slot) const { return slot; }
    std::uint64_t family_of_copy(std::uint64_t j) const { return slot_of_copy(j); }
    void prefetch_copy(std::uint64_t) const {}
    std::uint32_t count_at(std::size_t slot) const { return families_.at(slot); }
    void add_copy_at(std::size_t slot) {
        ++families_[slot];
        ++total_;
    }
    std::size_t add_copy(std::uint64_t id) {
        add_copy_at(id);
        return id;
    }
    void remove_copies_at(std::size_t slot, std::uint32_t k) {
        auto it = families_.find(slot);
        if (it == families_.end() || it->second < k) fault("removing copies the branch lacks");
        it->second -= k;
        total_ -= k;
        if (it->second == 0) families_.erase(it);
    }
    template <class Fn>
    void for_each_family(Fn&& fn) const {
        for (const auto& [id, count] : families_) fn(id, count);
    }

private:
    std::map<std::uint64_t, std::uint32_t> families_;
    std::uint64_t total_ = 0;
};

// A random dated tree rooted at node 0 (date 0) where a node may have zero to
// three children: every node hangs from an earlier node that is not an
// extant leaf, so every child comes after its parent. Childless nodes are
// extant leaves at date `height` three times out of four, extinct leaves
// otherwise; some branches have length 0.
inline SpeciesTreeArrays random_tree(Rng& rng, std::size_t n_nodes, double height = 1.0) {
    SpeciesTreeArrays tree;
    tree.n_nodes = n_nodes;
    tree.root = 0;
    tree.parent.assign(n_nodes, -1);
    tree.time.assign(n_nodes, 0.0);
    tree.extant_leaf.assign(n_nodes, 0);
    std::vector<int> n_children(n_nodes, 0);
    for (std::size_t v = 1; v < n_nodes; ++v) {
        std::size_t p = 0;
        // Prefer nodes with fewer than two children, but allow three.
        for (int attempt = 0; attempt < 4; ++attempt) {
            p = static_cast<std::size_t>(rng.index_below(v));
            if (n_children[p] < 2) break;
        }
        if (n_children[p] >= 3) p = v - 1;
        tree.parent[v] = static_cast<std::int64_t>(p);
        ++n_children[p];
        const double length = rng.index_below(8) == 0 ? 0.0 : rng.next_f64() * height / 4;
        tree.time[v] = std::min(height, tree.time[p] + length);
    }
    for (std::size_t v = 1; v < n_nodes; ++v) {
        if (n_children[v] == 0 && rng.index_below(4) != 0) {
            tree.extant_leaf[v] = 1;
            tree.time[v] = height;
        }
    }
    return tree;
}

}  // namespace korvath::testing
