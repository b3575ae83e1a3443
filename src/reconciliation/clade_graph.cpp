#include "reconciliation/clade_graph.h"

#include "support/faults.h"

#include <algorithm>
#include <string>

namespace korvath::reconciliation {

std::size_t family_count(const CladeBatch& batch) {
    return batch.cl_offsets.size() < 2 ? 0 : batch.cl_offsets.size() - 1;
}

namespace {

void require_within(std::uint64_t end, std::size_t length, const char* array, std::size_t k) {
    if (end > length) {
        fault("family " + std::to_string(k) + " needs " + std::to_string(end) + " entries of " +
              array + " but it has length " + std::to_string(length));
    }
}

}  // namespace

CladeFamily cut_family(const CladeBatch& batch, std::size_t k) {
    if (k + 1 >= batch.cl_offsets.size()) fault("family " + std::to_string(k) + " is not in the batch");
    const std::uint64_t a = batch.cl_offsets[k];
    const std::uint64_t b = batch.cl_offsets[k + 1];
    if (a > b) {
        fault("family " + std::to_string(k) + " has decreasing offsets " + std::to_string(a) +
              " > " + std::to_string(b));
    }
    if (a == b) fault("family " + std::to_string(k) + " has no clades");
    require_within(b, batch.cl_is_leaf.size(), "cl_is_leaf", k);
    require_within(b, batch.cl_species.size(), "cl_species", k);
    require_within(b + 1, batch.cl_split_offsets.size(), "cl_split_offsets", k);

    const auto start = static_cast<std::size_t>(a);
    const auto count = static_cast<std::size_t>(b - a);
    CladeFamily family;
    family.is_leaf = std::span<const std::uint8_t>(batch.cl_is_leaf).subspan(start, count);
    family.species = std::span<const std::int64_t>(batch.cl_species).subspan(start, count);
    family.split_left = batch.split_left;
    family.split_right = batch.split_right;
    family.split_weight = batch.split_weight;
    family.split_begin.resize(count + 1);
    const std::size_t splits = std::min({batch.split_left.size(), batch.split_right.size(),
                                         batch.split_weight.size()});
    for (std::size_t c = 0; c <= count; ++c) {
        const std::uint64_t offset = batch.cl_split_offsets[start + c];
        if (c > 0 && offset < family.split_begin[c - 1]) {
            fault("family " + std::to_string(k) + ": the split offsets of clade " +
                  std::to_string(c - 1) + " decrease");
        }
        require_within(offset, splits, "split_left, split_right and split_weight", k);
        family.split_begin[c] = static_cast<std::size_t>(offset);
    }
    for (std::size_t c = 0; c < count; ++c) {
        if (family.is_tip(c)) continue;
        if (family.split_begin[c] == family.split_begin[c + 1]) {
            fault("family " + std::to_string(k) + ": clade " + std::to_string(c) +
                  " is no tip and has no split");
        }
        for (std::size_t s = family.split_begin[c]; s < family.split_begin[c + 1]; ++s) {
            for (const std::int64_t child : {family.split_left[s], family.split_right[s]}) {
                if (child < 0 || static_cast<std::uint64_t>(child) >= c) {
                    fault("family " + std::to_string(k) + ": clade " + std::to_string(c) +
                          " splits into clade " + std::to_string(child) +
                          ", which does not come before it");
                }
            }
        }
    }
    return family;
}

}  // namespace korvath::reconciliation
