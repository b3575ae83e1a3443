#include "trace_replay.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>
#include <string>

namespace korvath::native {

namespace {

constexpr std::uint8_t kO = 0, kD = 1, kT = 2, kL = 3;

struct Copy {
    std::uint64_t trace_id;  // the id in the trace (unique on its branch)
    std::int64_t logged;     // the id the recording run gives it
    std::int64_t family;
};

// Trace id -> slot in the branch's list: open addressing with linear probing,
// key and slot side by side (one cache line per probe), and removal by
// shifting the following entries back, so the table never fills with
// deleted entries.
class SlotTable {
public:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;

    explicit SlotTable(std::size_t expected) {
        std::size_t size = 16;
        while (size < expected * 2) size *= 2;
        entries_.assign(size, Entry{kEmpty, 0});
    }

    std::uint32_t find(std::uint64_t key) const {
        if (key == kEmpty) return has_empty_ ? empty_slot_ : kNone;
        const std::size_t mask = entries_.size() - 1;
        for (std::size_t i = home(key, mask);; i = (i + 1) & mask) {
            if (entries_[i].key == key) return entries_[i].slot;
            if (entries_[i].key == kEmpty) return kNone;
        }
    }

    // Inserts or overwrites.
    void set(std::uint64_t key, std::uint32_t slot) {
        if (key == kEmpty) {
            has_empty_ = true;
            empty_slot_ = slot;
            return;
        }
        if ((count_ + 1) * 2 > entries_.size()) grow();
        const std::size_t mask = entries_.size() - 1;
        std::size_t i = home(key, mask);
        while (entries_[i].key != kEmpty && entries_[i].key != key) i = (i + 1) & mask;
        if (entries_[i].key == kEmpty) ++count_;
        entries_[i] = Entry{key, slot};
    }

    void erase(std::uint64_t key) {
        if (key == kEmpty) {
            has_empty_ = false;
            return;
        }
        const std::size_t mask = entries_.size() - 1;
        std::size_t i = home(key, mask);
        while (entries_[i].key != key) {
            if (entries_[i].key == kEmpty) return;
            i = (i + 1) & mask;
        }
        // Backward shift: move later entries of the probe run into the hole when
        // their home position does not lie between the hole and them.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & mask; entries_[j].key != kEmpty; j = (j + 1) & mask) {
            const std::size_t h = home(entries_[j].key, mask);
            const bool movable = hole <= j ? (h <= hole || h > j) : (h <= hole && h > j);
            if (movable) {
                entries_[hole] = entries_[j];
                hole = j;
            }
        }
        entries_[hole].key = kEmpty;
        --count_;
    }

private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    struct Entry {
        std::uint64_t key;
        std::uint32_t slot;
    };

    static std::size_t home(std::uint64_t key, std::size_t mask) {
        std::uint64_t z = key * 0x9E3779B97F4A7C15ull;
        return static_cast<std::size_t>(z ^ (z >> 29)) & mask;
    }

    void grow() {
        std::vector<Entry> old(entries_.size() * 2, Entry{kEmpty, 0});
        old.swap(entries_);
        count_ = 0;
        for (const Entry& e : old) {
            if (e.key != kEmpty) set(e.key, e.slot);
        }
    }

    std::vector<Entry> entries_;
    std::size_t count_ = 0;
    bool has_empty_ = false;
    std::uint32_t empty_slot_ = 0;
};

// One living branch: its copies in list order and where each trace id sits.
struct Branch {
    std::vector<Copy> copies;
    SlotTable where;

    explicit Branch(std::size_t expected) : where(expected) { copies.reserve(expected); }

    void append(const Copy& copy) {
        if (copies.size() >= SlotTable::kNone) throw ReplayError("trace: too many copies on one branch");
        where.set(copy.trace_id, static_cast<std::uint32_t>(copies.size()));
        copies.push_back(copy);
    }
    // Moves the last copy into slot i.
    void remove(std::uint32_t i) {
        where.erase(copies[i].trace_id);
        const Copy last = copies.back();
        copies.pop_back();
        if (i < copies.size()) {
            copies[i] = last;
            where.set(last.trace_id, i);
        }
    }
    // The slot of a trace id, or SlotTable::kNone.
    std::uint32_t find(std::uint64_t trace_id) const { return where.find(trace_id); }
};

std::string text(std::int64_t value) { return std::to_string(value); }

class Replay {
public:
    Replay(const ReplayTree& tree, const TraceColumns& trace) : tree_(tree), trace_(trace) {
        n_ = tree.parent.size();
        if (tree.time.size() != n_ || tree.extant_leaf.size() != n_) {
            throw ReplayError("tree: parent, time and extant_leaf differ in length");
        }
        if (tree.root < 0 || static_cast<std::size_t>(tree.root) >= n_) {
            throw ReplayError("tree: the root is outside the tree");
        }
        const std::size_t rows = trace.kind.size();
        if (trace.branch.size() != rows || trace.time.size() != rows ||
            trace.recipient.size() != rows || trace.family.size() != rows ||
            trace.gene.size() != rows || trace.child1.size() != rows) {
            throw ReplayError("trace: the columns differ in length");
        }
        children_.resize(n_);
        for (std::size_t v = 0; v < n_; ++v) {
            const std::int64_t p = tree.parent[v];
            if (p < 0) continue;
            if (static_cast<std::uint64_t>(p) >= n_) {
                throw ReplayError("tree: node " + std::to_string(v) + " has a parent outside the tree");
            }
            if (std::isnan(tree.time[v])) {
                throw ReplayError("tree: the date of node " + std::to_string(v) + " is not a number");
            }
            children_[static_cast<std::size_t>(p)].push_back(v);
            order_.push_back(v);
        }
        // Branches end by date, ties by index.
        std::stable_sort(order_.begin(), order_.end(), [&](std::size_t a, std::size_t b) {
            return tree.time[a] < tree.time[b];
        });
        branches_.resize(n_);
        out_.kind.reserve(rows);
        out_.branch.reserve(rows);
        out_.time.reserve(rows);
        out_.recipient.reserve(rows);
        out_.family.reserve(rows);
        out_.gene.reserve(rows);
        out_.child1.reserve(rows);
    }

    ReplayedRun run() {
        const std::size_t root = static_cast<std::size_t>(tree_.root);
        branches_[root] = std::make_unique<Branch>(16);
        bool root_split = false;
        std::size_t next_end = 0;
        const std::size_t rows = trace_.kind.size();
        for (std::size_t row = 0; row < rows; ++row) {
            const std::uint8_t k = trace_.kind[row];
            const std::int64_t b = trace_.branch[row];
            const double t = trace_.time[row];
            if (!root_split && !(k == kO && b == tree_.root)) {
                end_branch(root);  // the root splits right after the founding rows
                root_split = true;
            }
            if (root_split) {
                // Branches end before every event dated at or after their own date.
                while (next_end < order_.size() && tree_.time[order_[next_end]] <= t) {
                    end_branch(order_[next_end++]);
                }
            }
            apply(row, k, b, t);
        }
        if (!root_split) end_branch(root);
        while (next_end < order_.size()) end_branch(order_[next_end++]);
        return std::move(out_);
    }

private:
    void emit(std::uint8_t k, std::int64_t b, double t, std::int64_t r, std::int64_t f,
              std::int64_t g, std::int64_t c) {
        out_.kind.push_back(k);
        out_.branch.push_back(b);
        out_.time.push_back(t);
        out_.recipient.push_back(r);
        out_.family.push_back(f);
        out_.gene.push_back(g);
        out_.child1.push_back(c);
    }

    Branch& alive(std::size_t row, std::int64_t b) {
        if (b < 0 || static_cast<std::uint64_t>(b) >= n_ || !branches_[static_cast<std::size_t>(b)]) {
            throw ReplayError("trace: row " + std::to_string(row) + " is on branch " + text(b) +
                              ", which is not alive then");
        }
        return *branches_[static_cast<std::size_t>(b)];
    }

    std::uint32_t slot(std::size_t row, const Branch& branch, std::int64_t b, std::int64_t g) {
        const std::uint32_t i = branch.find(static_cast<std::uint64_t>(g));
        if (i == SlotTable::kNone) {
            throw ReplayError("trace: row " + std::to_string(row) + " names gene " + text(g) +
                              ", which is not on branch " + text(b));
        }
        return i;
    }

    void apply(std::size_t row, std::uint8_t k, std::int64_t b, double t) {
        const std::int64_t f = trace_.family[row];
        const std::int64_t g = trace_.gene[row];
        const std::int64_t c = trace_.child1[row];
        switch (k) {
            case kO: {
                Branch& branch = alive(row, b);
                branch.append({static_cast<std::uint64_t>(g), next_gene_, f});
                emit(kO, b, t, -1, f, next_gene_, -1);
                next_gene_ += 1;
                return;
            }
            case kD: {
                Branch& branch = alive(row, b);
                const std::uint32_t i = slot(row, branch, b, g);
                const std::int64_t logged = branch.copies[i].logged;
                branch.remove(i);
                branch.append({static_cast<std::uint64_t>(c), next_gene_, f});
                branch.append({static_cast<std::uint64_t>(c) + 1, next_gene_ + 1, f});
                emit(kD, b, t, -1, f, logged, next_gene_);
                next_gene_ += 2;
                return;
            }
            case kT: {
                Branch& branch = alive(row, b);
                const std::uint32_t i = slot(row, branch, b, g);
                const std::int64_t r = trace_.recipient[row];
                if (r < 0 || static_cast<std::uint64_t>(r) >= n_ ||
                    !branches_[static_cast<std::size_t>(r)]) {
                    throw ReplayError("trace: row " + std::to_string(row) +
                                      " transfers to branch " + text(r) + ", which is not alive");
                }
                Branch& target = *branches_[static_cast<std::size_t>(r)];
                const std::int64_t logged = branch.copies[i].logged;
                // The copy staying on the donor is renamed in place.
                branch.where.erase(static_cast<std::uint64_t>(g));
                branch.copies[i] = {static_cast<std::uint64_t>(c), next_gene_, f};
                branch.where.set(static_cast<std::uint64_t>(c), i);
                target.append({static_cast<std::uint64_t>(c) + 1, next_gene_ + 1, f});
                emit(kT, b, t, r, f, logged, next_gene_);
                next_gene_ += 2;
                return;
            }
            case kL: {
                Branch& branch = alive(row, b);
                const std::uint32_t i = slot(row, branch, b, g);
                const std::int64_t logged = branch.copies[i].logged;
                branch.remove(i);
                emit(kL, b, t, -1, f, logged, -1);
                return;
            }
            default:
                throw ReplayError("trace: row " + std::to_string(row) +
                                  " has an unknown event code " + std::to_string(k));
        }
    }

    void end_branch(std::size_t v) {
        std::unique_ptr<Branch> content = std::move(branches_[v]);
        if (!content) {
            throw ReplayError("trace: branch " + std::to_string(v) + " ends without having started");
        }
        if (tree_.extant_leaf[v] != 0) {
            out_.leaves.push_back(static_cast<std::int64_t>(v));
            for (const Copy& copy : content->copies) {
                out_.copy_leaf.push_back(static_cast<std::int64_t>(v));
                out_.copy_gene.push_back(copy.logged);
                out_.copy_family.push_back(copy.family);
            }
            return;
        }
        if (children_[v].empty()) return;  // an extinct leaf
        if (children_[v].size() != 2) {
            throw ReplayError("tree: node " + std::to_string(v) + " does not have two children");
        }
        const std::size_t expected = content->copies.size() + 16;
        auto left = std::make_unique<Branch>(expected);
        auto right = std::make_unique<Branch>(expected);
        const double t = tree_.time[v];
        for (const Copy& copy : content->copies) {
            const std::int64_t a = next_gene_;
            next_gene_ += 2;
            emit(4, static_cast<std::int64_t>(v), t, -1, copy.family, copy.logged, a);
            left->append({copy.trace_id, a, copy.family});
            right->append({copy.trace_id, a + 1, copy.family});
        }
        branches_[children_[v][0]] = std::move(left);
        branches_[children_[v][1]] = std::move(right);
    }

    const ReplayTree& tree_;
    const TraceColumns& trace_;
    std::size_t n_ = 0;
    std::vector<std::vector<std::size_t>> children_;
    std::vector<std::size_t> order_;
    std::vector<std::unique_ptr<Branch>> branches_;
    std::int64_t next_gene_ = 0;
    ReplayedRun out_;
};

}  // namespace

ReplayedRun replay_trace(const ReplayTree& tree, const TraceColumns& trace) {
    Replay replay(tree, trace);
    return replay.run();
}

}  // namespace korvath::native
