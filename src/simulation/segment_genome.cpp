#include "simulation/segment_genome.h"

#include "support/faults.h"

#include <algorithm>
#include <string>

namespace korvath {

namespace {

std::int64_t checked_segment_length(const Segment& segment) {
    std::int64_t length = 0;
    if (segment.end < segment.start ||
        __builtin_sub_overflow(segment.end, segment.start, &length)) {
        fault("segment ends before it starts: [" + std::to_string(segment.start) + ", " +
              std::to_string(segment.end) + ")");
    }
    return length;
}

}  // namespace

std::int64_t add_lengths(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) throw RunawayError(kRunawayGrowthMessage);
    return sum;
}

std::int64_t total_length(std::span<const Segment> pieces) {
    std::int64_t total = 0;
    for (const Segment& piece : pieces) total = add_lengths(total, checked_segment_length(piece));
    return total;
}

Genome::Genome(std::vector<Segment> segments)
    : segments_(std::move(segments)), length_(total_length(segments_)) {}

void Genome::append(const Segment& segment) {
    length_ = add_lengths(length_, checked_segment_length(segment));
    segments_.push_back(segment);
}

void Genome::split_segment(std::size_t i, std::int64_t o) {
    const Segment whole = segments_[i];
    Segment first = whole;
    Segment second = whole;
    if (whole.strand >= 0) {
        first.end = whole.start + o;
        second.start = whole.start + o;
    } else {
        // Read backwards: the first o nucleotides read are the top o positions.
        first.start = whole.end - o;
        second.end = whole.end - o;
    }
    segments_[i] = first;
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(i) + 1, second);
}

std::size_t Genome::boundary_index(std::int64_t p, std::size_t from, std::int64_t from_position) {
    // The walk keeps s <= p: it only moves past a segment that ends at or before p.
    std::int64_t s = from_position;
    const std::size_t n = segments_.size();
    for (std::size_t i = from; i < n; ++i) {
        if (s == p) return i;
        const std::int64_t next = s + segments_[i].length();
        if (p < next) {
            split_segment(i, p - s);
            return i + 1;
        }
        s = next;
    }
    return n;
}

std::size_t Genome::boundary_index_skipping(std::int64_t p, std::size_t skip_begin,
                                            std::size_t skip_end) {
    std::int64_t s = 0;
    std::size_t i = 0;
    while (true) {
        if (i == skip_begin) i = skip_end;
        if (i >= segments_.size()) return segments_.size();
        if (s == p) return i;
        const std::int64_t next = s + segments_[i].length();
        if (p < next) {
            split_segment(i, p - s);
            return i + 1;
        }
        s = next;
        ++i;
    }
}

void Genome::require_stretch(std::int64_t a, std::int64_t b) const {
    if (length_ <= 0) fault("a stretch was requested from an empty genome");
    if (a < 0 || a >= length_ || b < 1 || b > length_) {
        fault("stretch of " + std::to_string(b) + " nucleotides at " + std::to_string(a) +
              " outside a genome of length " + std::to_string(length_));
    }
}

void Genome::split_at(std::int64_t p) {
    if (p <= 0) return;
    boundary_index(p);
}

std::pair<std::size_t, std::size_t> Genome::cut(std::int64_t a, std::int64_t b) {
    require_stretch(a, b);
    const std::int64_t to_end = length_ - a;
    if (b > to_end) {
        // The stretch wraps: old positions [a, length) then [0, e). The final
        // boundaries do not depend on the order of the two splits, so the
        // one walk splits at e first and goes on to a.
        const std::int64_t e = b - to_end;  // 0 < e <= a
        const std::size_t ie = boundary_index(e);
        const std::size_t ia = boundary_index(a, ie, e);
        const std::size_t n = segments_.size();
        if (ia > 0 && ia < n) {
            std::rotate(segments_.begin(), segments_.begin() + static_cast<std::ptrdiff_t>(ia),
                        segments_.end());
        }
        // After the rotation the stretch is old segments ia .. n-1, then 0 .. ie-1.
        std::size_t count = n - ia + ie;
        while (count > 0 && segments_[count - 1].length() == 0) --count;
        return {0, count};
    }
    const std::size_t ia = boundary_index(a);
    if (b == to_end) return {ia, segments_.size()};
    const std::size_t j = boundary_index(a + b, ia, a);
    return {ia, j};
}

void Genome::invert(std::int64_t a, std::int64_t b) {
    const auto [i, j] = cut(a, b);
    auto first = segments_.begin() + static_cast<std::ptrdiff_t>(i);
    auto last = segments_.begin() + static_cast<std::ptrdiff_t>(j);
    std::reverse(first, last);
    for (auto it = first; it != last; ++it) it->strand = static_cast<std::int8_t>(-it->strand);
}

void Genome::delete_stretch(std::int64_t a, std::int64_t b) {
    if (length_ <= 0) fault("a stretch was requested from an empty genome");
    if (a < 0 || a >= length_ || b < 1) {
        fault("deletion of " + std::to_string(b) + " nucleotides at " + std::to_string(a) +
              " outside a genome of length " + std::to_string(length_));
    }
    if (b >= length_) {
        segments_.clear();
        length_ = 0;
        return;
    }
    const std::int64_t to_end = length_ - a;
    const bool wraps = b > to_end;
    const std::int64_t e = wraps ? b - to_end : (b == to_end ? 0 : a + b);
    if (e > a) {
        const std::size_t ia = boundary_index(a);
        boundary_index(e, ia, a);
    } else {
        const std::size_t ie = e > 0 ? boundary_index(e) : 0;
        boundary_index(a, ie, e);
    }
    // Keep, in order, the segments that lie outside the stretch.
    const std::int64_t stretch_end = a + b;  // a + b <= length here unless it wraps
    std::int64_t s = 0;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < segments_.size(); ++i) {
        const Segment segment = segments_[i];
        const std::int64_t s_end = s + segment.length();
        const bool keep = wraps ? (s < a && s_end > e)
                                : (s < a || (s >= a && s_end > stretch_end));
        if (keep) segments_[kept++] = segment;
        s = s_end;
    }
    segments_.resize(kept);
    length_ -= b;
}

void Genome::duplicate(std::int64_t a, std::int64_t b) {
    require_stretch(a, b);
    const std::int64_t grown = add_lengths(length_, b);
    const auto [i, j] = cut(a, b);
    const std::size_t n = segments_.size();
    const std::size_t m = j - i;
    segments_.resize(n + m);
    auto base = segments_.begin();
    std::move_backward(base + static_cast<std::ptrdiff_t>(j), base + static_cast<std::ptrdiff_t>(n),
                       segments_.end());
    std::copy(base + static_cast<std::ptrdiff_t>(i), base + static_cast<std::ptrdiff_t>(j),
              base + static_cast<std::ptrdiff_t>(j));
    length_ = grown;
}

void Genome::copy_stretch(std::int64_t a, std::int64_t b, std::vector<Segment>& out) {
    const auto [i, j] = cut(a, b);
    out.assign(segments_.begin() + static_cast<std::ptrdiff_t>(i),
               segments_.begin() + static_cast<std::ptrdiff_t>(j));
}

void Genome::insert(std::int64_t p, std::span<const Segment> pieces) {
    if (p < 0) fault("insertion at negative position " + std::to_string(p));
    const std::int64_t grown = add_lengths(length_, total_length(pieces));
    const std::size_t at = p < length_ ? boundary_index(p) : segments_.size();
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(at), pieces.begin(),
                     pieces.end());
    length_ = grown;
}

void Genome::transpose(std::int64_t a, std::int64_t b, std::int64_t q) {
    if (q < 0) fault("transposition to negative position " + std::to_string(q));
    auto [i, j] = cut(a, b);
    // Where the moving piece goes, as an index of the full list: the first
    // segment outside it that starts at q in the list without it.
    std::size_t target = segments_.size();
    if (q < length_ - b) {
        const std::size_t before = segments_.size();
        target = boundary_index_skipping(q, i, j);
        if (segments_.size() != before && target <= i) {
            // The split happened ahead of the piece and shifted it by one.
            ++i;
            ++j;
        }
    }
    auto base = segments_.begin();
    const auto at = [&](std::size_t k) { return base + static_cast<std::ptrdiff_t>(k); };
    if (target < i) {
        std::rotate(at(target), at(i), at(j));
    } else if (target > j) {
        std::rotate(at(i), at(j), at(target));
    }
}

}  // namespace korvath
