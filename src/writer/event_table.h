// The per-family event table: one row per event of the family, in log order,
// with the species names of its branches and the genes it consumes and makes.
#pragma once

#include "writer/event_row.h"
#include "writer/significant_cache.h"
#include "writer/text_buffer.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvath {

inline constexpr char kEventTableHeader[] = "time\tevent\tbranch\tdonor\trecipient\tnodes\n";

// The letter of an event kind code ("ODTLS"); an unknown code is an internal fault.
char event_letter(std::uint8_t kind);

// The whole table: the header and one row per event. `dates` (10 digits)
// memoises the speciation dates.
void event_table_text(std::span<const EventRow> rows, const std::vector<std::string>& names,
                      SignificantCache& dates, TextBuffer& out);

}  // namespace korvath
