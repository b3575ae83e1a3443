#include "writer/event_table.h"

#include "support/faults.h"
#include "writer/format_significant.h"
#include "writer/text_append.h"

namespace korvath {

namespace {

// Labels of the gene-id columns, indexed by kind code: the first goes with
// `gene`, the second with `child1`, the third with `child2`.
struct NodeLabels {
    const char* gene;
    const char* child1;
    const char* child2;
};

constexpr NodeLabels kNodeLabels[] = {
    {"origin", nullptr, nullptr},
    {"parent", "left", "right"},
    {"parent", "donor_copy", "transfer_copy"},
    {"lost", nullptr, nullptr},
    {"parent", "child", "child"},
};

const NodeLabels& labels_of(std::uint8_t kind) {
    if (kind >= std::size(kNodeLabels)) {
        fault("unknown event kind " + std::to_string(kind) + " in the event log");
    }
    return kNodeLabels[kind];
}

void append_name_or_empty(std::string& out, const std::vector<std::string>& names,
                          std::int64_t node) {
    if (node >= 0) out += checked_at(names, static_cast<std::uint64_t>(node), "names");
}

}  // namespace

char event_letter(std::uint8_t kind) {
    labels_of(kind);
    return kEventLetters[kind];
}

void append_event_row(std::string& out, const EventRow& row,
                      const std::vector<std::string>& names) {
    const NodeLabels& labels = labels_of(row.kind);
    append_significant(out, row.time, 10);
    out += '\t';
    out += kEventLetters[row.kind];
    out += '\t';
    out += checked_at(names, row.branch, "names");
    out += '\t';
    append_name_or_empty(out, names, row.donor);
    out += '\t';
    append_name_or_empty(out, names, row.recipient);
    out += '\t';
    out += labels.gene;
    out += '=';
    append_decimal(out, row.gene);
    if (labels.child1 != nullptr) {
        out += ';';
        out += labels.child1;
        out += '=';
        append_decimal(out, row.child1);
        out += ';';
        out += labels.child2;
        out += '=';
        append_decimal(out, row.child2);
    }
    out += '\n';
}

std::string event_table_text(std::span<const EventRow> rows,
                             const std::vector<std::string>& names) {
    std::string text;
    text.reserve(sizeof kEventTableHeader - 1 + 48 * rows.size());
    text += kEventTableHeader;
    for (const EventRow& row : rows) append_event_row(text, row, names);
    return text;
}

}  // namespace korvath
