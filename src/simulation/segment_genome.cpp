#include "simulation/segment_genome.h"

#include "support/faults.h"

#include <algorithm>
#include <string>
#include <tuple>

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

Genome::Genome(std::vector<Segment> segments) {
    const std::int64_t length = total_length(segments);
    require_positive_segments(segments, length);
    segments_ = std::move(segments);
    length_ = length;
}

void Genome::require_positive_segments(std::span<const Segment> pieces,
                                       std::int64_t new_length) const {
    if (new_length <= 0) return;
    const bool holds_empty_segments = length_ == 0 && !segments_.empty();
    const bool adds_empty_segment = std::any_of(
        pieces.begin(), pieces.end(), [](const Segment& s) { return s.length() == 0; });
    if (holds_empty_segments || adds_empty_segment) {
        fault("a genome of positive length cannot hold segments of length 0");
    }
}

void Genome::append(const Segment& segment) {
    const std::int64_t grown = add_lengths(length_, checked_segment_length(segment));
    require_positive_segments(std::span<const Segment>(&segment, 1), grown);
    segments_.push_back(segment);
    length_ = grown;
}

void Genome::swap_runs(std::size_t first, std::size_t middle, std::size_t last) {
    if (first >= middle || middle >= last) return;
    auto at = [this](std::size_t k) { return segments_.begin() + static_cast<std::ptrdiff_t>(k); };
    if (middle - first <= last - middle) {
        scratch_.assign(at(first), at(middle));
        std::copy(at(middle), at(last), at(first));
        std::copy(scratch_.begin(), scratch_.end(), at(last - scratch_.size()));
    } else {
        scratch_.assign(at(middle), at(last));
        std::copy_backward(at(first), at(middle), at(last));
        std::copy(scratch_.begin(), scratch_.end(), at(first));
    }
}

static std::pair<Segment, Segment> split_pieces(const Segment& whole, std::int64_t o) {
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
    return {first, second};
}

Genome::Spot Genome::locate(std::int64_t p, std::size_t from, std::int64_t from_position,
                            std::size_t until) const {
    // Every segment of a non-empty genome has a positive length, so the
    // segment holding p is the first whose end lies past p. The walk skips
    // four segments at a time while all four end at or before p.
    const Segment* seg = segments_.data();
    const std::size_t n = std::min(until, segments_.size());
    std::size_t i = from;
    std::int64_t s = from_position;
    while (i + 4 <= n) {
        const std::int64_t four = (seg[i].end - seg[i].start) + (seg[i + 1].end - seg[i + 1].start) +
                                  (seg[i + 2].end - seg[i + 2].start) +
                                  (seg[i + 3].end - seg[i + 3].start);
        if (s + four > p) break;
        s += four;
        i += 4;
    }
    for (; i < n; ++i) {
        const std::int64_t next = s + (seg[i].end - seg[i].start);
        if (next > p) break;
        s = next;
    }
    return {i, p - s};
}

std::size_t Genome::boundary_index(std::int64_t p) {
    const Spot spot = locate(p);
    if (spot.offset == 0 || spot.index >= segments_.size()) return spot.index;
    const auto [first, second] = split_pieces(segments_[spot.index], spot.offset);
    segments_[spot.index] = first;
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(spot.index) + 1, second);
    return spot.index + 1;
}

std::pair<std::size_t, std::size_t> Genome::boundary_pair(std::int64_t p1, std::int64_t p2) {
    const Spot x = locate(p1);
    const Spot y = locate(p2, x.index, p1 - x.offset);
    const std::size_t n = segments_.size();
    if (y.index >= n) fault("boundary past the end of the genome");
    const std::size_t add1 = x.offset > 0 ? 1 : 0;
    const std::size_t add2 = y.offset > 0 ? 1 : 0;
    if (add1 + add2 == 0) return {x.index, y.index};
    auto at = [this](std::size_t k) { return segments_.begin() + static_cast<std::ptrdiff_t>(k); };
    const Segment xs = segments_[x.index];
    const Segment ys = segments_[y.index];
    segments_.resize(n + add1 + add2);
    std::copy_backward(at(y.index + 1), at(n), at(n + add1 + add2));
    if (x.index == y.index) {
        // Both inside one segment (then p2 is never its start).
        const auto [head, rest] = split_pieces(xs, x.offset > 0 ? x.offset : y.offset);
        segments_[x.index] = head;
        if (add1 == 0) {
            segments_[x.index + 1] = rest;
            return {x.index, x.index + 1};
        }
        const auto [middle, tail] = split_pieces(rest, y.offset - x.offset);
        segments_[x.index + 1] = middle;
        segments_[x.index + 2] = tail;
        return {x.index + 1, x.index + 2};
    }
    if (add2 != 0) {
        const auto [head, tail] = split_pieces(ys, y.offset);
        segments_[y.index + add1] = head;
        segments_[y.index + add1 + 1] = tail;
    } else {
        segments_[y.index + add1] = ys;
    }
    if (add1 != 0) {
        std::copy_backward(at(x.index + 1), at(y.index), at(y.index + 1));
        const auto [head, tail] = split_pieces(xs, x.offset);
        segments_[x.index] = head;
        segments_[x.index + 1] = tail;
    }
    return {x.index + add1, y.index + add1 + add2};
}

std::size_t Genome::boundary_index_skipping(std::int64_t p, std::size_t skip_begin,
                                            std::size_t skip_end) {
    // Segments before the skipped run keep their positions; past it the
    // walk goes on from skip_end as if the run were not there.
    Spot spot = locate(p, 0, 0, skip_begin);
    if (spot.index == skip_begin) spot = locate(p, skip_end, p - spot.offset);
    if (spot.offset == 0 || spot.index >= segments_.size()) return spot.index;
    const auto [first, second] = split_pieces(segments_[spot.index], spot.offset);
    segments_[spot.index] = first;
    segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(spot.index) + 1, second);
    return spot.index + 1;
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
        // boundaries do not depend on the order of the two splits.
        const std::int64_t e = b - to_end;  // 0 < e <= a
        std::size_t ie = 0;
        std::size_t ia = 0;
        if (e == a) {
            ia = ie = boundary_index(a);
        } else {
            std::tie(ie, ia) = boundary_pair(e, a);
        }
        const std::size_t n = segments_.size();
        swap_runs(0, ia, n);  // rotate left by ia
        // After the rotation the stretch is old segments ia .. n-1, then 0 .. ie-1.
        return {0, n - ia + ie};
    }
    if (b == to_end) return {boundary_index(a), segments_.size()};
    return boundary_pair(a, a + b);
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
    Segment* seg = segments_.data();
    const std::size_t n = segments_.size();
    if (b > to_end) {
        // Wraps: keep old positions [e, a) in place: the end of the segment
        // holding e, the whole segments after it, the start of the one holding a.
        const std::int64_t e = b - to_end;  // 0 < e < a
        const Spot x = locate(e);
        const Spot y = locate(a, x.index, e - x.offset);
        if (x.index == y.index) {
            // Both ends inside one segment (then a is never its start).
            Segment kept = seg[x.index];
            if (x.offset > 0) kept = split_pieces(kept, x.offset).second;
            seg[0] = split_pieces(kept, y.offset - x.offset).first;
            segments_.resize(1);
        } else {
            const Segment first = x.offset > 0 ? split_pieces(seg[x.index], x.offset).second
                                               : seg[x.index];
            const Segment last = seg[y.index];
            std::copy(seg + x.index + 1, seg + y.index, seg + 1);
            seg[0] = first;
            std::size_t count = y.index - x.index;
            if (y.offset > 0) seg[count++] = split_pieces(last, y.offset).first;
            segments_.resize(count);
        }
    } else {
        // Keep the segments before a, the start of the one holding a, the end
        // of the one holding a + b, and the segments after it.
        const Spot x = locate(a);
        const Spot y = locate(a + b, x.index, a - x.offset);
        const bool keep_head = x.offset > 0;
        const bool keep_tail = y.offset > 0 && y.index < n;
        Segment head{};
        Segment tail{};
        if (keep_head) head = split_pieces(seg[x.index], x.offset).first;
        if (keep_tail) tail = split_pieces(seg[y.index], y.offset).second;
        const std::size_t from = y.index + (keep_tail ? 1 : 0);
        const std::size_t to = x.index + (keep_head ? 1 : 0) + (keep_tail ? 1 : 0);
        if (to <= from) {
            std::copy(seg + from, seg + n, seg + to);
            segments_.resize(n - (from - to));
        } else {  // one segment loses its middle and becomes two
            segments_.resize(n + 1);
            seg = segments_.data();
            std::copy_backward(seg + from, seg + n, seg + n + 1);
        }
        if (keep_head) seg[x.index] = head;
        if (keep_tail) seg[x.index + (keep_head ? 1 : 0)] = tail;
    }
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
    require_positive_segments(pieces, grown);
    const Spot spot = p < length_ ? locate(p) : Spot{segments_.size(), 0};
    const std::size_t n = segments_.size();
    const std::size_t m = pieces.size();
    if (spot.offset == 0) {
        segments_.insert(segments_.begin() + static_cast<std::ptrdiff_t>(spot.index),
                         pieces.begin(), pieces.end());
    } else {
        // Split the segment holding p and put the pieces between its halves,
        // with one shift of the rest of the list.
        const auto [head, tail] = split_pieces(segments_[spot.index], spot.offset);
        segments_.resize(n + m + 1);
        Segment* seg = segments_.data();
        std::copy_backward(seg + spot.index + 1, seg + n, seg + n + m + 1);
        seg[spot.index] = head;
        std::copy(pieces.begin(), pieces.end(), seg + spot.index + 1);
        seg[spot.index + m + 1] = tail;
    }
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
    if (target < i) {
        swap_runs(target, i, j);
    } else if (target > j) {
        swap_runs(i, j, target);
    }
}

}  // namespace korvath
