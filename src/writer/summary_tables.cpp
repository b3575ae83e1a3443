#include "writer/summary_tables.h"

#include "support/faults.h"
#include "support/worker_pool.h"
#include "writer/format_significant.h"
#include "writer/output_files.h"
#include "writer/output_paths.h"
#include "writer/text_append.h"
#include "writer/text_buffer.h"

#include <algorithm>
#include <span>

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
    if (!log.columns_agree()) fault("event log columns differ in length");
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
        text += name_of(names, log.donor(e));
        text += '\t';
        text += name_of(names, log.recipient(e));
        text += '\t';
        append_decimal(text, checked_at(log.gene, e, "gene"));
        text += '\t';
        append_decimal(text, checked_at(log.child1, e, "child1"));
        text += '\t';
        append_decimal(text, log.child2(e));
        text += '\n';
    }
    return text;
}

std::string family_summary_text(const EventLog& log, const WriteIndex& index,
                                const std::vector<std::string>& names) {
    std::string text;
    text.reserve(sizeof kFamilySummaryHeader - 1);
    text += kFamilySummaryHeader;
    const FamilyEvents& grouped = index.family_events;
    for (std::size_t rank = 0; rank < grouped.families.size(); ++rank) {
        const std::uint64_t family = grouped.families[rank];
        std::size_t origin = ~std::size_t{0};  // log position of the last origin
        std::uint64_t counts[5] = {0, 0, 0, 0, 0};  // by kind code
        for (const std::uint32_t e : grouped.positions_of(rank)) {
            const std::uint8_t kind = log.kind[e];
            if (kind >= 5) fault("unknown event kind in the event log");
            counts[kind] += 1;
            if (kind == static_cast<std::uint8_t>(EventKind::Origination)) origin = e;
        }
        append_family_number(text, family);
        text += '\t';
        if (origin != ~std::size_t{0}) {
            append_significant(text, log.time[origin], 10);
            text += '\t';
            text += checked_at(names, log.branch[origin], "names");
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

namespace {

// The non-zero cells of the wide tables, grouped by row: for each row family,
// its (column, count) pairs in column order. Built in one pass over the
// leaves' counts, so rows are printed without a hash lookup per cell.
struct WideCells {
    struct Cell {
        std::size_t column;
        std::uint64_t count;
    };
    std::vector<std::size_t> offsets;  // rows + 1 bounds into `cells`
    std::vector<Cell> cells;

    WideCells(const LeafIndex& leaves, const std::vector<std::uint64_t>& row_families) {
        FlatMap<std::uint32_t> row_of(row_families.size());
        for (std::size_t r = 0; r < row_families.size(); ++r) {
            row_of[row_families[r]] = static_cast<std::uint32_t>(r);
        }
        offsets.assign(row_families.size() + 1, 0);
        const auto visit_cells = [&](auto place) {
            for (std::size_t column = 0; column < leaves.column_slots.size(); ++column) {
                leaves.family_counts[leaves.column_slots[column]].for_each(
                    [&](std::uint64_t family, std::uint64_t count) {
                        if (count == 0) return;  // prints like an absent cell
                        const std::uint32_t* row = row_of.find(family);
                        if (row == nullptr) fault("a counted family without a table row");
                        place(*row, Cell{column, count});
                    });
            }
        };
        visit_cells([&](std::uint32_t row, const Cell&) { offsets[row + 1] += 1; });
        for (std::size_t r = 0; r < row_families.size(); ++r) offsets[r + 1] += offsets[r];
        std::vector<std::size_t> fill(offsets.begin(), offsets.end() - 1);
        cells.resize(offsets.back());
        // Columns are visited in order, so each row's cells come out column-sorted.
        visit_cells([&](std::uint32_t row, const Cell& cell) { cells[fill[row]++] = cell; });
    }

    std::span<const Cell> row(std::size_t r) const {
        return {cells.data() + offsets[r], offsets[r + 1] - offsets[r]};
    }
};

// The profile and presence rows of one family from its non-zero cells.
void append_row_pair(std::uint64_t family, std::size_t n_columns,
                     std::span<const WideCells::Cell> cells, TextBuffer& profile,
                     TextBuffer& presence) {
    if (family == ~std::uint64_t{0}) fault("family id too large to number");
    char* p = profile.claim(TextBuffer::kIntegerChars + 2 * n_columns +
                            cells.size() * TextBuffer::kIntegerChars + 1);
    char* q = presence.claim(TextBuffer::kIntegerChars + 2 * n_columns + 1);
    p = TextBuffer::put_decimal(p, family + 1);
    q = TextBuffer::put_decimal(q, family + 1);
    std::size_t column = 0;
    for (const WideCells::Cell& cell : cells) {
        for (; column < cell.column; ++column) {
            p = TextBuffer::put(p, "\t0");
            q = TextBuffer::put(q, "\t0");
        }
        p = TextBuffer::put(p, '\t');
        p = TextBuffer::put_decimal(p, cell.count);
        q = TextBuffer::put(q, "\t1");
        ++column;
    }
    for (; column < n_columns; ++column) {
        p = TextBuffer::put(p, "\t0");
        q = TextBuffer::put(q, "\t0");
    }
    profile.commit(TextBuffer::put(p, '\n'));
    presence.commit(TextBuffer::put(q, '\n'));
}

}  // namespace

void write_wide_tables(const std::string& outdir, const WriteIndex& index,
                       const std::vector<std::string>& names) {
    BufferedFile profiles(join_path(outdir, "Profiles.tsv"), kWideTableBuffer);
    BufferedFile presence(join_path(outdir, "Presence.tsv"), kWideTableBuffer);
    const std::string header = wide_table_header(index.leaves, names);
    profiles.write(header);
    presence.write(header);

    const std::vector<std::uint64_t>& rows = index.row_families;
    const WideCells cells(index.leaves, rows);
    const std::size_t n_columns = index.leaves.column_slots.size();
    std::vector<TextBuffer> profile_rows(std::min(rows.size(), kWideTableBlock));
    std::vector<TextBuffer> presence_rows(profile_rows.size());
    for (std::size_t first = 0; first < rows.size(); first += kWideTableBlock) {
        const std::size_t n = std::min(kWideTableBlock, rows.size() - first);
        WorkerPool::shared().run_indexed(n, [&](std::size_t i) {
            profile_rows[i].clear();
            presence_rows[i].clear();
            append_row_pair(rows[first + i], n_columns, cells.row(first + i), profile_rows[i],
                            presence_rows[i]);
        });
        for (std::size_t i = 0; i < n; ++i) {
            profiles.write(profile_rows[i].view());
            presence.write(presence_rows[i].view());
        }
    }
    profiles.finish();
    presence.finish();
}

}  // namespace korvath
