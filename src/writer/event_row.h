// One event of the log as a single record. The writer regroups the log's
// rows by family into records, so that each family's events lie together in
// memory instead of being scattered through the log's long columns.
#pragma once

#include "simulation/event_log.h"
#include "support/faults.h"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace korvath {

// 48 bytes: the rows of a large run fill hundreds of megabytes of fresh
// memory, so donor and recipient are kept as 32-bit node indices (-1: none).
struct EventRow {
    double time;
    std::uint64_t gene;
    std::int64_t child1;
    std::int64_t child2;
    std::uint32_t branch;
    std::int32_t donor;
    std::int32_t recipient;
    std::uint8_t kind;
};
static_assert(sizeof(EventRow) == 48);

// A donor or recipient column entry as a row field: negative means none.
inline std::int32_t row_node(std::int64_t node) {
    if (node < 0) return -1;
    if (node > std::numeric_limits<std::int32_t>::max()) {
        fault("species node index too large in the event log");
    }
    return static_cast<std::int32_t>(node);
}

// Row `e` of a log whose columns all have the same length (checked by the caller).
inline EventRow event_row(const EventLog& log, std::size_t e) {
    return EventRow{log.time[e],   log.gene[e],
                    log.child1[e], log.child2(e),
                    log.branch[e], row_node(log.donor(e)),
                    row_node(log.recipient(e)), log.kind[e]};
}

}  // namespace korvath
