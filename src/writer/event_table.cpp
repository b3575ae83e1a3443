#include "writer/event_table.h"

#include "support/faults.h"
#include "writer/format_significant.h"
#include "writer/significant_cache.h"

namespace korvath {

namespace {

// Labels of the gene-id columns, indexed by kind code: the first goes with
// `gene`, the second with `child1`, the third with `child2`.
struct NodeLabels {
    std::string_view gene;
    std::string_view child1;  // empty for kinds without new genes
    std::string_view child2;
};

constexpr NodeLabels kNodeLabels[] = {
    {"origin", {}, {}},
    {"parent", "left", "right"},
    {"parent", "donor_copy", "transfer_copy"},
    {"lost", {}, {}},
    {"parent", "child", "child"},
};

const NodeLabels& labels_of(std::uint8_t kind) {
    if (kind >= std::size(kNodeLabels)) {
        fault("unknown event kind " + std::to_string(kind) + " in the event log");
    }
    return kNodeLabels[kind];
}

std::string_view name_or_empty(const std::vector<std::string>& names, std::int64_t node) {
    if (node < 0) return {};
    return checked_at(names, static_cast<std::uint64_t>(node), "names");
}

}  // namespace

char event_letter(std::uint8_t kind) {
    labels_of(kind);
    return kEventLetters[kind];
}

namespace {

void append_row(TextBuffer& out, const EventRow& row, const std::vector<std::string>& names,
                SignificantCache& dates) {
    const NodeLabels& labels = labels_of(row.kind);
    const std::string_view branch = checked_at(names, row.branch, "names");
    const std::string_view donor = name_or_empty(names, row.donor);
    const std::string_view recipient = name_or_empty(names, row.recipient);
    // Fields, three ids with their labels, and the separators.
    const std::size_t room = kSignificantMaxChars + branch.size() + donor.size() +
                             recipient.size() + 3 * TextBuffer::kIntegerChars + 64;
    char* p = out.claim(room);
    // Speciation dates repeat in every family (one per species node): memoised.
    p = row.kind == static_cast<std::uint8_t>(EventKind::Speciation) ? dates.write(p, row.time)
                                                                      : write_significant(p, row.time, 10);
    p = TextBuffer::put(p, '\t');
    p = TextBuffer::put(p, kEventLetters[row.kind]);
    p = TextBuffer::put(p, '\t');
    p = TextBuffer::put(p, branch);
    p = TextBuffer::put(p, '\t');
    p = TextBuffer::put(p, donor);
    p = TextBuffer::put(p, '\t');
    p = TextBuffer::put(p, recipient);
    p = TextBuffer::put(p, '\t');
    p = TextBuffer::put(p, labels.gene);
    p = TextBuffer::put(p, '=');
    p = TextBuffer::put_decimal(p, row.gene);
    if (!labels.child1.empty()) {
        p = TextBuffer::put(p, ';');
        p = TextBuffer::put(p, labels.child1);
        p = TextBuffer::put(p, '=');
        p = TextBuffer::put_decimal(p, row.child1);
        p = TextBuffer::put(p, ';');
        p = TextBuffer::put(p, labels.child2);
        p = TextBuffer::put(p, '=');
        p = TextBuffer::put_decimal(p, row.child2);
    }
    p = TextBuffer::put(p, '\n');
    out.commit(p);
}

}  // namespace

void event_table_text(std::span<const EventRow> rows, const std::vector<std::string>& names,
                      SignificantCache& dates, TextBuffer& out) {
    out.reserve(out.size() + sizeof kEventTableHeader - 1 + 64 * rows.size());
    out.append(kEventTableHeader);
    for (const EventRow& row : rows) append_row(out, row, names, dates);
}

}  // namespace korvath
