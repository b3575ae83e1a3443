#include "reconciliation/sampled_events.h"

namespace korvath::reconciliation {

namespace {

std::uint64_t mix64(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Rows are charged to the call's budget in blocks of this many.
constexpr std::size_t kRowsPerCharge = 4096;
constexpr std::size_t kRowBytes = 3 * 8 + 1 + 5 * 8;

}  // namespace

Rng family_rng(std::uint64_t seed, std::uint64_t index) {
    return Rng::from_seed(mix64(mix64(seed) ^ (index + 0x9E3779B97F4A7C15ULL)));
}

Rng lineage_rng(std::uint64_t key, std::uint64_t sample, std::uint64_t clade) {
    return Rng::from_seed(mix64(mix64(key ^ mix64(sample + 0x9E3779B97F4A7C15ULL)) ^ clade));
}

void SampledEvents::add(std::uint64_t family_index, std::uint64_t sample_number,
                        ReconciledEvent kind, std::size_t branch_index,
                        std::int64_t recipient_index, std::size_t clade_index,
                        std::int64_t left_clade, std::int64_t right_clade) {
    family.push_back(family_index);
    sample.push_back(sample_number);
    event.push_back(static_cast<std::uint8_t>(kind));
    branch.push_back(static_cast<std::int64_t>(branch_index));
    recipient.push_back(recipient_index);
    clade.push_back(static_cast<std::int64_t>(clade_index));
    left.push_back(left_clade);
    right.push_back(right_clade);
    if ((size() & (kRowsPerCharge - 1)) == 0 && budget != nullptr) {
        budget->charge(kRowsPerCharge * kRowBytes);
    }
}

}  // namespace korvath::reconciliation
