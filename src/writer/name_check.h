// Names the writer would put into its files are checked before anything is
// created: a tab, carriage return or line feed would break the tables' rows
// and columns, and a Newick delimiter in an extant leaf's name would change
// the shape of the gene trees. Such a name raises InvalidName (ValueError in
// Python) naming the node and the character.
#pragma once

#include "simulation/event_log.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace korvath {

class InvalidName : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Raises InvalidName when `outdir` or any entry of `names` contains a NUL
// character: the file system would read a path only up to it (creating a
// directory the caller never named), and a name with it would be cut short
// by readers of the text files.
void check_no_nul(const std::vector<std::string>& names, const std::string& outdir);

// Checks the name of every node the output mentions: event branches, donors,
// recipients and extant leaves (which are also written into Newick trees).
// A node without a name is an internal fault.
void check_output_names(const EventLog& log, const std::vector<ExtantCopies>& extant,
                        const std::vector<std::string>& names);

}  // namespace korvath
