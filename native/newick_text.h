// Newick text to flat arrays and back, without Python: the fast path of the
// toolkit's korvath.newick module, which holds the reference implementation
// in Python. Both read the same notation and write the same text; on a
// failure the Python side re-reads the text to word the error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvath::native {

// Trees parsed one after another into shared arrays. Nodes of each tree are
// in pre-order; parent indices are local to their tree (-1 for its root).
struct NewickArrays {
    std::vector<std::int64_t> parent;
    std::vector<double> lengths;           // NaN where a node has no length
    std::string label_text;                // every label, unquoted, in the order read
    std::vector<std::size_t> label_begin;  // each node's label in label_text
    std::vector<std::size_t> label_size;

    std::size_t size() const { return parent.size(); }
    std::string_view label(std::size_t node) const {
        return std::string_view(label_text).substr(label_begin[node], label_size[node]);
    }
};

// Appends the one tree of `text` (UTF-8). Returns false when the text is not
// one well-formed tree; the arrays are then left as they were.
bool parse_newick_into(std::string_view text, NewickArrays& out);

// The shortest text that reads back as `value`, as Python's repr(float)
// writes it ("0.1", "1e-05", "1.5e+16", "2.0", "-0.0", "inf", "nan").
void append_float_repr(std::string& out, double value);

// Newick text of one tree given as flat arrays (children written in
// ascending index, lengths NaN for none), followed by ";". Throws
// std::invalid_argument with the message the Python writer uses when the
// arrays are not one tree.
std::string format_newick(std::span<const std::int64_t> parent,
                          const std::vector<std::string_view>& labels,
                          std::span<const double> lengths);

}  // namespace korvath::native
