#include "newick_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <stdexcept>

namespace korvath::native {

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool is_special(char c) {
    return c == '(' || c == ')' || c == '[' || c == ']' || c == '\'' || c == ',' ||
           c == ':' || c == ';';
}

enum class Token { End, Punct, Word, Quoted, Bad };

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    // The next token: its kind, and its text in [begin, end).
    Token next(std::size_t& begin, std::size_t& end) {
        const std::size_t n = text_.size();
        // Whitespace and complete [...] comments.
        while (pos_ < n) {
            if (is_space(text_[pos_])) {
                ++pos_;
            } else if (text_[pos_] == '[') {
                const std::size_t close = text_.find(']', pos_ + 1);
                if (close == std::string_view::npos) break;  // unclosed: a bad token
                pos_ = close + 1;
            } else {
                break;
            }
        }
        begin = pos_;
        if (pos_ >= n) {
            end = pos_;
            return Token::End;
        }
        const char c = text_[pos_];
        if (c == '(' || c == ')' || c == ',' || c == ':' || c == ';') {
            end = ++pos_;
            return Token::Punct;
        }
        if (c == '\'') {
            std::size_t j = pos_ + 1;
            while (true) {
                const std::size_t quote = text_.find('\'', j);
                if (quote == std::string_view::npos) {
                    end = ++pos_;
                    return Token::Bad;
                }
                if (quote + 1 < n && text_[quote + 1] == '\'') {
                    j = quote + 2;
                    continue;
                }
                end = pos_ = quote + 1;
                return Token::Quoted;
            }
        }
        if (c == '[' || c == ']') {
            end = ++pos_;
            return Token::Bad;
        }
        std::size_t j = pos_;
        while (j < n && !is_space(text_[j]) && !is_special(text_[j])) ++j;
        end = pos_ = j;
        return Token::Word;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// [+-]? (digits [. digits?] | . digits) ([eE] [+-]? digits)?, read exactly.
bool read_number(std::string_view token, double& value) {
    std::size_t i = 0;
    const std::size_t n = token.size();
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < n && is_digit(token[i])) ++i, ++digits;
    if (i < n && token[i] == '.') {
        ++i;
        while (i < n && is_digit(token[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        std::size_t exponent_digits = 0;
        while (i < n && is_digit(token[i])) ++i, ++exponent_digits;
        if (exponent_digits == 0) return false;
    }
    if (i != n) return false;
    // strtod rounds correctly and saturates to infinity or zero, as Python's float() does.
    const std::string copy(token);
    value = std::strtod(copy.c_str(), nullptr);
    return true;
}

void set_label(NewickArrays& out, std::size_t node, std::string_view token, bool quoted) {
    out.label_begin[node] = out.label_text.size();
    if (!quoted) {
        out.label_text.append(token);
    } else {
        // Strip the quotes; '' stands for one quote.
        const std::string_view inner = token.substr(1, token.size() - 2);
        for (std::size_t i = 0; i < inner.size(); ++i) {
            out.label_text.push_back(inner[i]);
            if (inner[i] == '\'') ++i;
        }
    }
    out.label_size[node] = out.label_text.size() - out.label_begin[node];
}

}  // namespace

bool parse_newick_into(std::string_view text, NewickArrays& out) {
    const std::size_t first = out.size();
    const std::size_t first_text = out.label_text.size();
    const auto fail = [&]() {
        out.parent.resize(first);
        out.lengths.resize(first);
        out.label_begin.resize(first);
        out.label_size.resize(first);
        out.label_text.resize(first_text);
        return false;
    };
    const auto add_node = [&](std::int64_t parent) {
        out.parent.push_back(parent);
        out.lengths.push_back(std::numeric_limits<double>::quiet_NaN());
        out.label_begin.push_back(0);
        out.label_size.push_back(0);
        return out.size() - 1 - first;  // local index
    };
    enum class State { Node, After, Length } state = State::Node;
    std::vector<std::int64_t> open;  // local indices of nodes whose ")" is still to come
    std::size_t current = 0;
    bool have_label = false;
    bool have_length = false;
    bool finished = false;
    Tokenizer tokens(text);
    std::size_t begin = 0;
    std::size_t end = 0;
    for (Token kind = tokens.next(begin, end); kind != Token::End;
         kind = tokens.next(begin, end)) {
        const std::string_view token = text.substr(begin, end - begin);
        if (finished || kind == Token::Bad) return fail();
        if (state == State::Length) {
            double value = 0.0;
            if (kind != Token::Word || !read_number(token, value) || !std::isfinite(value)) {
                return fail();
            }
            out.lengths[first + current] = value;
            have_length = true;
            state = State::After;
            continue;
        }
        const char c = kind == Token::Punct ? token[0] : '\0';
        if (state == State::Node) {
            if (c == '(') {
                const std::size_t node = add_node(open.empty() ? -1 : open.back());
                open.push_back(static_cast<std::int64_t>(node));
                continue;
            }
            const std::size_t local = out.size() - first;
            if (local == 0 && c == ';') return fail();
            if (local > 0 && open.empty()) return fail();
            current = add_node(open.empty() ? -1 : open.back());
            have_label = have_length = false;
            state = State::After;
            if (kind != Token::Punct) {
                set_label(out, first + current, token, kind == Token::Quoted);
                have_label = true;
                continue;
            }
            // A leaf without a label: the punctuation is read below.
        }
        // State::After
        if (kind == Token::Word || kind == Token::Quoted) {
            if (have_label || have_length) return fail();
            set_label(out, first + current, token, kind == Token::Quoted);
            have_label = true;
        } else if (c == ':') {
            if (have_length) return fail();
            state = State::Length;
        } else if (c == ',') {
            if (open.empty()) return fail();
            state = State::Node;
        } else if (c == ')') {
            if (open.empty()) return fail();
            current = static_cast<std::size_t>(open.back());
            open.pop_back();
            have_label = have_length = false;
        } else if (c == ';') {
            if (!open.empty()) return fail();
            finished = true;
        } else {
            return fail();  // "(" after a subtree
        }
    }
    if (state != State::After || !open.empty() || out.size() == first) return fail();
    return true;
}

void append_float_repr(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "nan";
        return;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return;
    }
    // Shortest round-trip digits and the decimal exponent, from the scientific form.
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::scientific);
    std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    const bool negative = !sci.empty() && sci[0] == '-';
    if (negative) sci.remove_prefix(1);
    const std::size_t e_at = sci.find('e');
    std::string digits;
    for (char c : sci.substr(0, e_at)) {
        if (c != '.') digits.push_back(c);
    }
    int exponent = 0;
    std::from_chars(sci.data() + e_at + 1 + (sci[e_at + 1] == '+' ? 1 : 0),
                    sci.data() + sci.size(), exponent);
    if (negative) out.push_back('-');
    const int decpt = exponent + 1;  // value = 0.digits x 10^decpt
    const int n = static_cast<int>(digits.size());
    if (decpt <= -4 || decpt > 16) {
        out.push_back(digits[0]);
        if (n > 1) {
            out.push_back('.');
            out.append(digits, 1, std::string::npos);
        }
        out.push_back('e');
        out.push_back(exponent < 0 ? '-' : '+');
        const int magnitude = exponent < 0 ? -exponent : exponent;
        if (magnitude < 10) out.push_back('0');
        out += std::to_string(magnitude);
    } else if (decpt <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-decpt), '0');
        out += digits;
    } else if (decpt < n) {
        out.append(digits, 0, static_cast<std::size_t>(decpt));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(decpt), std::string::npos);
    } else {
        out += digits;
        out.append(static_cast<std::size_t>(decpt - n), '0');
        out += ".0";
    }
}

namespace {

void append_quoted(std::string& out, std::string_view label) {
    bool needs_quotes = false;
    for (char c : label) {
        if (is_space(c) || is_special(c)) {
            needs_quotes = true;
            break;
        }
    }
    if (!needs_quotes) {
        out += label;
        return;
    }
    out.push_back('\'');
    for (char c : label) {
        out.push_back(c);
        if (c == '\'') out.push_back('\'');
    }
    out.push_back('\'');
}

}  // namespace

std::string format_newick(std::span<const std::int64_t> parent,
                          const std::vector<std::string_view>& labels,
                          std::span<const double> lengths) {
    const std::size_t n = parent.size();
    if (labels.size() != n || lengths.size() != n) {
        throw std::invalid_argument("parent, labels and lengths must have one entry per node");
    }
    std::size_t roots = 0;
    std::size_t root = 0;
    for (std::size_t v = 0; v < n; ++v) {
        if (parent[v] < 0) {
            ++roots;
            root = v;
        }
    }
    if (roots != 1) {
        throw std::invalid_argument("parent: a tree needs exactly one root, found " +
                                    std::to_string(roots));
    }
    for (std::size_t v = 0; v < n; ++v) {
        if (parent[v] >= static_cast<std::int64_t>(n)) {
            throw std::invalid_argument("parent: an index is outside the tree");
        }
    }
    // Children in ascending index: counting sort of the non-root nodes by parent.
    std::vector<std::size_t> first(n + 1, 0);
    for (std::size_t v = 0; v < n; ++v) {
        if (parent[v] >= 0) ++first[static_cast<std::size_t>(parent[v]) + 1];
    }
    for (std::size_t v = 0; v < n; ++v) first[v + 1] += first[v];
    std::vector<std::size_t> fill(first.begin(), first.end() - 1);
    std::vector<std::size_t> child(n > 0 ? n - 1 : 0);
    for (std::size_t v = 0; v < n; ++v) {
        if (parent[v] >= 0) child[fill[static_cast<std::size_t>(parent[v])]++] = v;
    }
    std::string out;
    out.reserve(n * 16);
    const auto suffix = [&](std::size_t v) {
        append_quoted(out, labels[v]);
        if (!std::isnan(lengths[v])) {
            out.push_back(':');
            append_float_repr(out, lengths[v]);
        }
    };
    struct Visit {
        std::size_t node;
        std::size_t next;
    };
    std::vector<Visit> stack{{root, 0}};
    std::size_t visited = 0;
    while (!stack.empty()) {
        Visit& top = stack.back();
        const std::size_t v = top.node;
        const std::size_t count = first[v + 1] - first[v];
        if (count == 0) {
            suffix(v);
            ++visited;
            stack.pop_back();
            continue;
        }
        if (top.next < count) {
            out.push_back(top.next == 0 ? '(' : ',');
            const std::size_t c = child[first[v] + top.next];
            ++top.next;
            stack.push_back({c, 0});  // `top` is not used after this
            continue;
        }
        out.push_back(')');
        suffix(v);
        ++visited;
        stack.pop_back();
    }
    if (visited != n) {
        throw std::invalid_argument(
            "parent: the nodes do not form one tree (a cycle or a detached part)");
    }
    out.push_back(';');
    return out;
}

}  // namespace korvath::native
