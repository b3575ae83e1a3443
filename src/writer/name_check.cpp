#include "writer/name_check.h"

#include "support/faults.h"

#include <cstdint>

namespace korvath {

namespace {

const char* describe_separator(char c) {
    switch (c) {
        case '\t': return "a tab";
        case '\r': return "a carriage return";
        case '\n': return "a line feed";
        default: return nullptr;
    }
}

bool is_newick_delimiter(char c) {
    return c == '(' || c == ')' || c == ',' || c == ':' || c == ';';
}

class NameChecker {
public:
    explicit NameChecker(const std::vector<std::string>& names)
        : names_(names), table_checked_(names.size(), 0), tree_checked_(names.size(), 0) {}

    // A name written into the tab-separated tables.
    void table_name(std::uint64_t node) {
        const std::string& name = checked_at(names_, node, "names");
        if (table_checked_[node]) return;
        table_checked_[node] = 1;
        for (char c : name) {
            if (const char* what = describe_separator(c)) {
                throw InvalidName("the name of species node " + std::to_string(node) +
                                  " contains " + what +
                                  ", which would break the rows of the output tables");
            }
        }
    }

    // A name also written as a leaf label into the Newick gene trees.
    void tree_name(std::uint64_t node) {
        table_name(node);
        if (tree_checked_[node]) return;
        tree_checked_[node] = 1;
        for (char c : names_[node]) {
            if (is_newick_delimiter(c)) {
                throw InvalidName("the name of extant leaf node " + std::to_string(node) +
                                  " contains '" + std::string(1, c) +
                                  "', which would break the Newick gene trees");
            }
        }
    }

private:
    const std::vector<std::string>& names_;
    std::vector<std::uint8_t> table_checked_;
    std::vector<std::uint8_t> tree_checked_;
};

}  // namespace

void check_no_nul(const std::vector<std::string>& names, const std::string& outdir) {
    if (outdir.find('\0') != std::string::npos) {
        throw InvalidName("outdir contains a NUL character, which no path can hold");
    }
    for (std::size_t v = 0; v < names.size(); ++v) {
        if (names[v].find('\0') != std::string::npos) {
            throw InvalidName("the name of species node " + std::to_string(v) +
                              " contains a NUL character, which would cut it short in the "
                              "output files");
        }
    }
}

void check_output_names(const EventLog& log, const std::vector<ExtantCopies>& extant,
                        const std::vector<std::string>& names) {
    NameChecker checker(names);
    for (const ExtantCopies& leaf : extant) checker.tree_name(leaf.node);
    if (!log.columns_agree()) fault("event log columns differ in length");
    for (std::size_t e = 0; e < log.size(); ++e) {
        // The donor of a transfer row is its branch, checked here already.
        checker.table_name(log.branch[e]);
        const std::int64_t recipient = log.recipient(e);
        if (recipient >= 0) checker.table_name(static_cast<std::uint64_t>(recipient));
    }
}

}  // namespace korvath
