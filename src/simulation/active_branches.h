// The list of active branches (named by their lower node) and each node's
// position in it. Its order decides random picks, so it changes only by
// appending at the end and by swap removal (the last entry moves into the
// removed slot). Shared by every simulator.
#pragma once

#include "support/faults.h"

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace korvath {

class ActiveBranches {
public:
    static constexpr std::uint32_t kNotActive = std::numeric_limits<std::uint32_t>::max();

    explicit ActiveBranches(std::size_t n_nodes) : position_(n_nodes, kNotActive) {}

    std::size_t size() const { return list_.size(); }
    bool empty() const { return list_.empty(); }
    std::uint32_t operator[](std::size_t i) const { return list_[i]; }
    const std::vector<std::uint32_t>& list() const { return list_; }

    // Index of `node` in the list, or kNotActive.
    std::uint32_t position(std::uint32_t node) const { return position_[node]; }
    bool contains(std::uint32_t node) const {
        return node < position_.size() && position_[node] != kNotActive;
    }

    void append(std::uint32_t node) {
        if (contains(node) || node >= position_.size()) {
            fault("branch " + std::to_string(node) + " cannot become active twice");
        }
        position_[node] = static_cast<std::uint32_t>(list_.size());
        list_.push_back(node);
    }

    void remove(std::uint32_t node) {
        if (!contains(node)) {
            fault("branch " + std::to_string(node) + " ended before it became active");
        }
        const std::uint32_t slot = position_[node];
        const std::uint32_t last = list_.back();
        list_[slot] = last;
        position_[last] = slot;
        list_.pop_back();
        position_[node] = kNotActive;
    }

private:
    std::vector<std::uint32_t> list_;
    std::vector<std::uint32_t> position_;
};

}  // namespace korvath
