// The per-family event table: one row per event of the family, in log order,
// with the species names of its branches and the genes it consumes and makes.
#pragma once

#include "simulation/event_log.h"

#include <cstddef>
#include <span>
#include <string>
#include <vector>

namespace korvath {

inline constexpr char kEventTableHeader[] = "time\tevent\tbranch\tdonor\trecipient\tnodes\n";

// The letter of an event kind code ("ODTLS"); an unknown code is an internal fault.
char event_letter(std::uint8_t kind);

// Appends the row of event `e`, line feed included.
void append_event_row(std::string& out, const EventLog& log, std::size_t e,
                      const std::vector<std::string>& names);

// The whole table (header and one row per listed event).
std::string event_table_text(const EventLog& log, std::span<const std::size_t> events,
                             const std::vector<std::string>& names);

}  // namespace korvath
