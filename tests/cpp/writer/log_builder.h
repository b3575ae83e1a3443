// Hand-made event logs for the writer's tests.
#pragma once

#include "simulation/event_log.h"

#include <cstdint>
#include <stdexcept>

namespace korvath::testing {

struct LogBuilder {
    EventLog log;

    // Rows as the engine writes them: new gene ids come in pairs (the second
    // is one past the first), and a transfer's donor is its branch.
    LogBuilder& row(EventKind kind, std::uint32_t branch, double time, std::uint64_t family,
                    std::uint64_t gene, std::int64_t child1 = -1, std::int64_t child2 = -1,
                    std::uint32_t recipient = EventLog::kNoNode) {
        if ((child1 < 0) != (child2 < 0) || (child1 >= 0 && child2 != child1 + 1)) {
            throw std::logic_error("a row's second child must be one past its first");
        }
        log.kind.push_back(static_cast<std::uint8_t>(kind));
        log.branch.push_back(branch);
        log.time.push_back(time);
        log.recipient_node.push_back(recipient);
        log.family.push_back(family);
        log.gene.push_back(gene);
        log.child1.push_back(child1);
        return *this;
    }
    LogBuilder& origin(std::uint32_t branch, double t, std::uint64_t family, std::uint64_t gene) {
        return row(EventKind::Origination, branch, t, family, gene);
    }
    LogBuilder& dup(std::uint32_t branch, double t, std::uint64_t family, std::uint64_t gene,
                    std::int64_t left, std::int64_t right) {
        return row(EventKind::Duplication, branch, t, family, gene, left, right);
    }
    LogBuilder& transfer(std::uint32_t donor, std::uint32_t recipient, double t,
                         std::uint64_t family, std::uint64_t gene, std::int64_t kept,
                         std::int64_t moved) {
        return row(EventKind::Transfer, donor, t, family, gene, kept, moved, recipient);
    }
    LogBuilder& loss(std::uint32_t branch, double t, std::uint64_t family, std::uint64_t gene) {
        return row(EventKind::Loss, branch, t, family, gene);
    }
    LogBuilder& speciation(std::uint32_t node, double t, std::uint64_t family, std::uint64_t gene,
                           std::int64_t left, std::int64_t right) {
        return row(EventKind::Speciation, node, t, family, gene, left, right);
    }
};

}  // namespace korvath::testing
