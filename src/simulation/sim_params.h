// Rates and options of the gene-family simulators.
#pragma once

#include <cstdint>

namespace korvath {

// Options of a horizontal transfer: the recipient choice and what happens on arrival.
struct TransferOptions {
    double replacement = 0.0;      // chance that an arriving copy replaces a resident one
    double distance_decay = -1.0;  // negative: uniform recipients; otherwise exp(-decay * distance)
    bool allow_self = false;       // whether the donor branch may receive its own transfer
};

struct SimParams {
    double duplication = 0.0;  // per copy per unit time
    double transfer = 0.0;     // per copy per unit time
    double loss = 0.0;         // per copy per unit time
    double origination = 0.0;  // per active branch per unit time
    std::uint64_t initial_size = 0;
    std::int64_t cap = -1;     // largest family size per branch; negative: no limit
    std::uint64_t seed = 0;
    TransferOptions options;
};

}  // namespace korvath
