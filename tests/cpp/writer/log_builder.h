// Hand-made event logs for the writer's tests.
#pragma once

#include "simulation/event_log.h"

#include <cstdint>

namespace korvath::testing {

struct LogBuilder {
    EventLog log;

    LogBuilder& row(EventKind kind, std::uint32_t branch, double time, std::uint64_t family,
                    std::uint64_t gene, std::int64_t child1 = -1, std::int64_t child2 = -1,
                    std::int64_t donor = -1, std::int64_t recipient = -1) {
        log.kind.push_back(static_cast<std::uint8_t>(kind));
        log.branch.push_back(branch);
        log.time.push_back(time);
        log.donor.push_back(donor);
        log.recipient.push_back(recipient);
        log.family.push_back(family);
        log.gene.push_back(gene);
        log.child1.push_back(child1);
        log.child2.push_back(child2);
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
        return row(EventKind::Transfer, donor, t, family, gene, kept, moved, donor, recipient);
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
