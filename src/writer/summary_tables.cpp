#include "writer/summary_tables.h"

#include "support/faults.h"
#include "support/worker_pool.h"
#include "writer/format_significant.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/text_append.h"

#include <algorithm>

namespace korvath {

namespace {

const std::string& name_of(const std::vector<std::string>& names, std::int64_t node) {
    if (node < 0) fault("a transfer without donor or recipient in the event log");
    return checked_at(names, static_cast<std::uint64_t>(node), "names");
}

void append_family_number(std::string& out, std::uint64_t family) {
    if (family == ~std::uint64_t{0}) fault("family id too large to number");
    append_decimal(out, family + 1);
}

}  // namespace

std::string transfers_text(const EventLog& log, const std::vector<std::string>& names) {
    std::string text;
    text.reserve(sizeof kTransfersHeader - 1);
    text += kTransfersHeader;
    const auto transfer = static_cast<std::uint8_t>(EventKind::Transfer);
    for (std::size_t e = 0; e < log.size(); ++e) {
        if (log.kind[e] != transfer) continue;
        append_significant(text, checked_at(log.time, e, "time"), 10);
        text += '\t';
        append_family_number(text, checked_at(log.family, e, "family"));
        text += '\t';
        text += name_of(names, checked_at(log.donor, e, "donor"));
        text += '\t';
        text += name_of(names, checked_at(log.recipient, e, "recipient"));
        text += '\t';
        append_decimal(text, checked_at(log.gene, e, "gene"));
        text += '\t';
        append_decimal(text, checked_at(log.child1, e, "child1"));
        text += '\t';
        append_decimal(text, checked_at(log.child2, e, "child2"));
        text += '\n';
    }
    return text;
}

std::string family_summary_text(const WriteIndex& index, const std::vector<std::string>& names) {
    std::string text;
    text.reserve(sizeof kFamilySummaryHeader - 1);
    text += kFamilySummaryHeader;
    const FamilyEvents& grouped = index.family_events;
    for (std::size_t rank = 0; rank < grouped.families.size(); ++rank) {
        const std::uint64_t family = grouped.families[rank];
        const EventRow* origin = nullptr;
        std::uint64_t counts[5] = {0, 0, 0, 0, 0};  // by kind code
        for (const EventRow& row : grouped.of(rank)) {
            if (row.kind >= 5) fault("unknown event kind in the event log");
            counts[row.kind] += 1;
            if (row.kind == static_cast<std::uint8_t>(EventKind::Origination)) {
                origin = &row;  // the last origin wins
            }
        }
        append_family_number(text, family);
        text += '\t';
        if (origin != nullptr) {
            append_significant(text, origin->time, 10);
            text += '\t';
            text += checked_at(names, origin->branch, "names");
        } else {
            text += '\t';
        }
        for (EventKind kind : {EventKind::Duplication, EventKind::Transfer, EventKind::Loss,
                               EventKind::Speciation}) {
            text += '\t';
            append_decimal(text, counts[static_cast<std::uint8_t>(kind)]);
        }
        const FamilyTotals* totals = index.family_totals.find(family);
        text += '\t';
        append_decimal(text, totals != nullptr ? totals->copies : 0);
        text += '\t';
        append_decimal(text, totals != nullptr ? totals->leaves : 0);
        text += '\n';
    }
    return text;
}

std::string wide_table_header(const LeafIndex& leaves, const std::vector<std::string>& names) {
    std::string header = "family";
    for (std::uint64_t leaf : leaves.species_order) {
        header += '\t';
        header += checked_at(names, leaf, "names");
    }
    header += '\n';
    return header;
}

void append_wide_rows(const LeafIndex& leaves, std::uint64_t family, std::string& profile,
                      std::string& presence) {
    append_family_number(profile, family);
    append_family_number(presence, family);
    for (std::size_t slot : leaves.column_slots) {
        const std::uint64_t* count = leaves.family_counts[slot].find(family);
        const std::uint64_t copies = count != nullptr ? *count : 0;
        profile += '\t';
        append_decimal(profile, copies);
        presence += '\t';
        presence += copies != 0 ? '1' : '0';
    }
    profile += '\n';
    presence += '\n';
}

void write_wide_tables(const std::string& outdir, const WriteIndex& index,
                       const std::vector<std::string>& names) {
    BufferedFile profiles(join_path(outdir, "Profiles.tsv"), kWideTableBuffer);
    BufferedFile presence(join_path(outdir, "Presence.tsv"), kWideTableBuffer);
    const std::string header = wide_table_header(index.leaves, names);
    profiles.write(header);
    presence.write(header);

    const std::vector<std::uint64_t>& rows = index.row_families;
    std::vector<std::string> profile_rows(std::min(rows.size(), kWideTableBlock));
    std::vector<std::string> presence_rows(profile_rows.size());
    for (std::size_t first = 0; first < rows.size(); first += kWideTableBlock) {
        const std::size_t n = std::min(kWideTableBlock, rows.size() - first);
        WorkerPool::shared().run_indexed(n, [&](std::size_t i) {
            profile_rows[i].clear();
            presence_rows[i].clear();
            append_wide_rows(index.leaves, rows[first + i], profile_rows[i], presence_rows[i]);
        });
        for (std::size_t i = 0; i < n; ++i) {
            profiles.write(profile_rows[i]);
            presence.write(presence_rows[i]);
        }
    }
    profiles.finish();
    presence.finish();
}

}  // namespace korvath
