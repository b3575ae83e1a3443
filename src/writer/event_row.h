// One event of the log as a single record. The writer regroups the log's
// rows by family into records, so that each family's events lie together in
// memory instead of being scattered through nine long columns.
#pragma once

#include "simulation/event_log.h"

#include <cstddef>
#include <cstdint>

namespace korvath {

struct EventRow {
    double time;
    std::uint64_t gene;
    std::int64_t child1;
    std::int64_t child2;
    std::int64_t donor;
    std::int64_t recipient;
    std::uint32_t branch;
    std::uint8_t kind;
};

// Row `e` of a log whose columns all have the same length (checked by the caller).
inline EventRow event_row(const EventLog& log, std::size_t e) {
    return EventRow{log.time[e],  log.gene[e],      log.child1[e], log.child2[e],
                    log.donor[e], log.recipient[e], log.branch[e], log.kind[e]};
}

}  // namespace korvath
