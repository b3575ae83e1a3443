// A circular chromosome stored as an ordered list of oriented segments of
// ancestral elements, never as nucleotides. Rearrangements cut the list at
// nucleotide positions and move, copy, reverse or drop whole segments; every
// operation is linear in the number of segments and constant in nucleotides.
//
// Positions: position 0 is the first nucleotide of the first segment and
// positions run in list order to length - 1; after the last segment the
// chromosome continues with the first. The list order is part of every
// result, so each operation fixes exactly where segments are split, moved,
// inserted and how the list is rotated. Neighbouring segments are never
// merged, even when they continue each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace korvath {

// Message of the run that stops because a genome grew without bound: the
// event limit, or a genome length beyond the signed 64-bit range.
inline constexpr const char* kRunawayGrowthMessage =
    "exceeded max_events; genome growing without bound \xE2\x80\x94 lower duplication/transfer "
    "or raise loss";

struct Segment {
    std::int64_t start = 0;   // first position on the element
    std::int64_t end = 0;     // one past the last position on the element
    std::uint32_t element = 0;
    std::int8_t strand = 1;   // +1 read forward, -1 read from end - 1 down to start

    std::int64_t length() const { return end - start; }
    friend bool operator==(const Segment&, const Segment&) = default;
};

// Sum of two lengths; a result outside the signed 64-bit range is runaway
// growth and stops the run with RunawayError.
std::int64_t add_lengths(std::int64_t a, std::int64_t b);

// Total length of a run of segments, with the same overflow rule. A segment
// that ends before it starts is an internal fault.
std::int64_t total_length(std::span<const Segment> pieces);

class Genome {
public:
    Genome() = default;
    // Takes the segments as they are; the length is their summed length.
    // Segments of zero length are accepted only while the genome is empty
    // (length 0): the stretch operations rely on every segment of a
    // non-empty genome having a positive length.
    explicit Genome(std::vector<Segment> segments);

    // Copies carry the content only, not the working buffer.
    Genome(const Genome& other) : segments_(other.segments_), length_(other.length_) {}
    Genome& operator=(const Genome& other) {
        segments_ = other.segments_;
        length_ = other.length_;
        return *this;
    }
    Genome(Genome&&) noexcept = default;
    Genome& operator=(Genome&&) noexcept = default;

    const std::vector<Segment>& segments() const { return segments_; }
    std::int64_t length() const { return length_; }

    // Hands over the segment list, leaving an empty genome.
    std::vector<Segment> take_segments() {
        length_ = 0;
        return std::exchange(segments_, {});
    }

    // Adds one segment at the end of the list (of zero length only to an
    // empty genome).
    void append(const Segment& segment);

    // Makes position p a boundary by splitting the segment that spans it.
    // Nothing happens for p <= 0, at an existing boundary, or for p >= length.
    void split_at(std::int64_t p);

    // Makes the b nucleotides from position a (wrapping past the end) the
    // whole segments i .. j-1 and returns (i, j). A stretch that wraps rotates
    // the list so that the segment starting at a comes first and returns
    // (0, j). Requires 0 <= a < length and 1 <= b <= length.
    std::pair<std::size_t, std::size_t> cut(std::int64_t a, std::int64_t b);

    // Reverses the stretch: its segments in reverse order on the other strand.
    void invert(std::int64_t a, std::int64_t b);

    // Drops the stretch, without rotating the list; b >= length empties the
    // genome. Requires 0 <= a < length and b >= 1.
    void delete_stretch(std::int64_t a, std::int64_t b);

    // Tandem duplication: a copy of the stretch right after it.
    void duplicate(std::int64_t a, std::int64_t b);

    // Replaces `out` with copies of the stretch's segments. The content stays,
    // but the list is split (and rotated if the stretch wraps) as by `cut`.
    void copy_stretch(std::int64_t a, std::int64_t b, std::vector<Segment>& out);

    // Inserts the pieces, in order, at position p: before the segment that
    // starts there (after splitting at p), or at the end when p >= length.
    // Requires p >= 0. `pieces` must not alias this genome's segments.
    void insert(std::int64_t p, std::span<const Segment> pieces);

    // Moves the stretch to position q of the genome that remains without it
    // (the insertion rule of `insert`). Requires q >= 0.
    void transpose(std::int64_t a, std::int64_t b, std::int64_t q);

private:
    // Where position p lies: the segment that holds it and p's offset in it
    // (offset 0: p is the start of that segment, a boundary). A p at or past
    // the end gives index = number of segments.
    struct Spot {
        std::size_t index;
        std::int64_t offset;
    };

    // Walks from segment `from`, whose start position is `from_position`
    // (both 0 for a walk from the front), which must not lie past p. The walk
    // stops at index `until`: a p past the segments before it gives index
    // `until` and p's offset from its position.
    Spot locate(std::int64_t p, std::size_t from = 0, std::int64_t from_position = 0,
                std::size_t until = SIZE_MAX) const;

    // Ensures a boundary at p (0 <= p < length) and returns the index of the
    // segment that starts there.
    std::size_t boundary_index(std::int64_t p);

    // Ensures boundaries at p1 and p2 (0 <= p1 < p2 < length) in one walk and
    // one shift of the list, and returns the indices of the segments that start there.
    std::pair<std::size_t, std::size_t> boundary_pair(std::int64_t p1, std::int64_t p2);

    // Like boundary_index, but the segments [skip_begin, skip_end) are left
    // out of the positions: they count as if removed from the list.
    std::size_t boundary_index_skipping(std::int64_t p, std::size_t skip_begin,
                                        std::size_t skip_end);

    // Exchanges the neighbouring runs [first, middle) and [middle, last),
    // keeping the order within each, through the working buffer.
    void swap_runs(std::size_t first, std::size_t middle, std::size_t last);

    void require_stretch(std::int64_t a, std::int64_t b) const;
    // Zero-length segments would make positions ambiguous in a non-empty genome.
    void require_positive_segments(std::span<const Segment> pieces, std::int64_t new_length) const;

    std::vector<Segment> segments_;
    std::int64_t length_ = 0;
    std::vector<Segment> scratch_;  // working buffer of swap_runs, reused
};

}  // namespace korvath
