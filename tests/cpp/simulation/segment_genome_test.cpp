#include "simulation/segment_genome.h"
#include "support/faults.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace korvath {
namespace {

constexpr std::uint32_t A = 0;
constexpr std::uint32_t B = 1;

}  // namespace

void PrintTo(const Segment& s, std::ostream* os) {
    *os << "[" << s.element << " " << s.start << "-" << s.end << " " << int{s.strand} << "]";
}

namespace {

Segment seg(std::uint32_t element, std::int64_t start, std::int64_t end, int strand = 1) {
    return Segment{start, end, element, static_cast<std::int8_t>(strand)};
}

Genome two_elements() { return Genome({seg(A, 0, 10), seg(B, 0, 10)}); }

using Segments = std::vector<Segment>;

TEST(SegmentGenome, SplitAtForwardAndReversed) {
    Genome forward({seg(A, 0, 100)});
    forward.split_at(30);
    EXPECT_EQ(forward.segments(), (Segments{seg(A, 0, 30), seg(A, 30, 100)}));
    for (std::int64_t p : {0, 100, 30, -5, 250}) forward.split_at(p);
    EXPECT_EQ(forward.segments(), (Segments{seg(A, 0, 30), seg(A, 30, 100)}));
    EXPECT_EQ(forward.length(), 100);

    Genome reversed({seg(A, 0, 100, -1)});
    reversed.split_at(30);
    EXPECT_EQ(reversed.segments(), (Segments{seg(A, 70, 100, -1), seg(A, 0, 70, -1)}));
}

TEST(SegmentGenome, InvertInsideAndAcrossTheEnd) {
    Genome inside = two_elements();
    EXPECT_EQ(inside.cut(5, 10), (std::pair<std::size_t, std::size_t>{1, 3}));
    EXPECT_EQ(inside.segments(),
              (Segments{seg(A, 0, 5), seg(A, 5, 10), seg(B, 0, 5), seg(B, 5, 10)}));

    Genome inverted = two_elements();
    inverted.invert(5, 10);
    EXPECT_EQ(inverted.segments(), (Segments{seg(A, 0, 5), seg(B, 0, 5, -1), seg(A, 5, 10, -1),
                                             seg(B, 5, 10)}));
    EXPECT_EQ(inverted.length(), 20);

    Genome wrapped = two_elements();
    EXPECT_EQ(wrapped.cut(15, 10), (std::pair<std::size_t, std::size_t>{0, 2}));
    EXPECT_EQ(wrapped.segments(),
              (Segments{seg(B, 5, 10), seg(A, 0, 5), seg(A, 5, 10), seg(B, 0, 5)}));

    Genome wrapped_inverted = two_elements();
    wrapped_inverted.invert(15, 10);
    EXPECT_EQ(wrapped_inverted.segments(), (Segments{seg(A, 0, 5, -1), seg(B, 5, 10, -1),
                                                     seg(A, 5, 10), seg(B, 0, 5)}));
}

TEST(SegmentGenome, WholeGenomeStretchRotatesToTheDrawnStart) {
    Genome g = two_elements();
    EXPECT_EQ(g.cut(0, 20), (std::pair<std::size_t, std::size_t>{0, 2}));
    EXPECT_EQ(g.segments(), (Segments{seg(A, 0, 10), seg(B, 0, 10)}));

    // Split at 13, rotate to [B 3-10][A][B 0-3], reverse, flip.
    g.invert(13, 20);
    EXPECT_EQ(g.segments(), (Segments{seg(B, 0, 3, -1), seg(A, 0, 10, -1), seg(B, 3, 10, -1)}));
}

TEST(SegmentGenome, DeleteKeepsOrderWithoutRotating) {
    Genome g = two_elements();
    g.delete_stretch(15, 10);
    EXPECT_EQ(g.segments(), (Segments{seg(A, 5, 10), seg(B, 0, 5)}));
    EXPECT_EQ(g.length(), 10);

    Genome inside = two_elements();
    inside.delete_stretch(5, 10);
    EXPECT_EQ(inside.segments(), (Segments{seg(A, 0, 5), seg(B, 5, 10)}));
    EXPECT_EQ(inside.length(), 10);

    Genome tail = two_elements();
    tail.delete_stretch(12, 8);
    EXPECT_EQ(tail.segments(), (Segments{seg(A, 0, 10), seg(B, 0, 2)}));

    Genome all = two_elements();
    all.delete_stretch(0, 20);
    EXPECT_TRUE(all.segments().empty());
    EXPECT_EQ(all.length(), 0);
}

TEST(SegmentGenome, DuplicateCopyAndInsert) {
    Genome doubled = two_elements();
    doubled.duplicate(0, 20);
    EXPECT_EQ(doubled.segments(),
              (Segments{seg(A, 0, 10), seg(B, 0, 10), seg(A, 0, 10), seg(B, 0, 10)}));
    EXPECT_EQ(doubled.length(), 40);

    Genome tandem = two_elements();
    tandem.duplicate(8, 4);
    EXPECT_EQ(tandem.segments(), (Segments{seg(A, 0, 8), seg(A, 8, 10), seg(B, 0, 2),
                                           seg(A, 8, 10), seg(B, 0, 2), seg(B, 2, 10)}));
    EXPECT_EQ(tandem.length(), 24);

    Genome donor = two_elements();
    Segments piece;
    donor.copy_stretch(18, 4, piece);
    EXPECT_EQ(piece, (Segments{seg(B, 8, 10), seg(A, 0, 2)}));
    EXPECT_EQ(donor.segments(),
              (Segments{seg(B, 8, 10), seg(A, 0, 2), seg(A, 2, 10), seg(B, 0, 8)}));
    EXPECT_EQ(donor.length(), 20);

    const Segments pieces{seg(7, 0, 3)};
    Genome appended = two_elements();
    appended.insert(20, pieces);
    EXPECT_EQ(appended.segments(), (Segments{seg(A, 0, 10), seg(B, 0, 10), seg(7, 0, 3)}));
    Genome prepended = two_elements();
    prepended.insert(0, pieces);
    EXPECT_EQ(prepended.segments(), (Segments{seg(7, 0, 3), seg(A, 0, 10), seg(B, 0, 10)}));
    Genome middle = two_elements();
    middle.insert(4, pieces);
    EXPECT_EQ(middle.segments(),
              (Segments{seg(A, 0, 4), seg(7, 0, 3), seg(A, 4, 10), seg(B, 0, 10)}));
    EXPECT_EQ(middle.length(), 23);
}

TEST(SegmentGenome, TransposeMovesTheStretchWithinTheRemainder) {
    Genome forward = two_elements();
    forward.transpose(0, 5, 10);  // remainder A5-10 B0-10; insert at its position 10
    EXPECT_EQ(forward.segments(),
              (Segments{seg(A, 5, 10), seg(B, 0, 5), seg(A, 0, 5), seg(B, 5, 10)}));

    Genome backward = two_elements();
    backward.transpose(15, 5, 2);  // remainder A0-10 B0-5; insert at 2
    EXPECT_EQ(backward.segments(),
              (Segments{seg(A, 0, 2), seg(B, 5, 10), seg(A, 2, 10), seg(B, 0, 5)}));

    Genome to_end = two_elements();
    to_end.transpose(0, 5, 15);
    EXPECT_EQ(to_end.segments(), (Segments{seg(A, 5, 10), seg(B, 0, 10), seg(A, 0, 5)}));
    EXPECT_EQ(to_end.length(), 20);
}

TEST(SegmentGenome, RejectsStretchesOutsideTheGenome) {
    Genome empty;
    EXPECT_THROW(empty.cut(0, 1), InternalFault);
    Genome g = two_elements();
    EXPECT_THROW(g.invert(20, 1), InternalFault);
    EXPECT_THROW(g.duplicate(0, 0), InternalFault);
    EXPECT_THROW(g.duplicate(0, 21), InternalFault);
    EXPECT_THROW(g.delete_stretch(-1, 3), InternalFault);
    EXPECT_THROW(g.insert(-1, Segments{seg(A, 0, 1)}), InternalFault);
    EXPECT_THROW(g.insert(0, Segments{seg(A, 5, 1)}), InternalFault);
    EXPECT_EQ(g.segments(), (Segments{seg(A, 0, 10), seg(B, 0, 10)}));
}

TEST(SegmentGenome, GrowthBeyondTheSignedRangeIsRunaway) {
    constexpr std::int64_t kHalf = std::int64_t{1} << 62;
    Genome g({seg(A, 0, kHalf)});
    g.duplicate(0, kHalf - 1);  // length 2^63 - 1: the largest allowed
    EXPECT_EQ(g.length(), INT64_MAX);
    EXPECT_THROW(g.insert(0, Segments{seg(B, 0, 1)}), RunawayError);
    EXPECT_THROW(g.duplicate(3, 1), RunawayError);
    EXPECT_EQ(g.length(), INT64_MAX);
}

// ---------------------------------------------------------------------------
// Independent check: an explicit genome of one entry per nucleotide, with a
// flag for each nucleotide that begins a segment. Every operation is applied
// to both; the segment genome, expanded, must agree nucleotide by nucleotide,
// flags included, so the exact splits and rotations are checked too.

struct Nucleotide {
    std::uint32_t element;
    std::int64_t position;
    int strand;
    bool starts_segment;
    friend bool operator==(const Nucleotide&, const Nucleotide&) = default;
};
using Explicit = std::vector<Nucleotide>;

Explicit expand(const Segments& segments) {
    Explicit out;
    for (const Segment& s : segments) {
        for (std::int64_t k = 0; k < s.length(); ++k) {
            const std::int64_t position = s.strand > 0 ? s.start + k : s.end - 1 - k;
            out.push_back({s.element, position, s.strand, k == 0});
        }
    }
    return out;
}

void mark(Explicit& g, std::int64_t p) {
    if (p > 0 && p < static_cast<std::int64_t>(g.size())) g[p].starts_segment = true;
}

// The stretch as [0, b) after the rotation a wrapping cut makes, else [a, a + b).
std::int64_t explicit_cut(Explicit& g, std::int64_t a, std::int64_t b) {
    const auto n = static_cast<std::int64_t>(g.size());
    mark(g, a);
    mark(g, (a + b) % n);
    if (a + b > n) {
        std::rotate(g.begin(), g.begin() + a, g.end());
        return 0;
    }
    return a;
}

void explicit_insert(Explicit& g, std::int64_t p, const Explicit& pieces) {
    if (p < static_cast<std::int64_t>(g.size())) {
        mark(g, p);
        g.insert(g.begin() + p, pieces.begin(), pieces.end());
    } else {
        g.insert(g.end(), pieces.begin(), pieces.end());
    }
}

Segments random_segments(std::mt19937_64& rng) {
    Segments out;
    const int count = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < count; ++i) {
        const auto start = static_cast<std::int64_t>(rng() % 5);
        const auto length = 1 + static_cast<std::int64_t>(rng() % 6);
        out.push_back(seg(static_cast<std::uint32_t>(rng() % 4), start, start + length,
                          rng() % 2 ? 1 : -1));
    }
    return out;
}

void expect_consistent(const Genome& g, const Explicit& model) {
    ASSERT_EQ(expand(g.segments()), model);
    std::int64_t sum = 0;
    for (const Segment& s : g.segments()) {
        ASSERT_GT(s.length(), 0);
        sum += s.length();
    }
    ASSERT_EQ(sum, g.length());
}

TEST(SegmentGenome, AgreesWithAnExplicitNucleotideGenome) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    for (int run = 0; run < 300; ++run) {
        Genome g(random_segments(rng));
        Explicit model = expand(g.segments());
        for (int step = 0; step < 40 && g.length() > 0; ++step) {
            const std::int64_t n = g.length();
            const auto a = static_cast<std::int64_t>(rng() % n);
            const auto b = 1 + static_cast<std::int64_t>(rng() % n);
            const int op = static_cast<int>(rng() % 7);
            SCOPED_TRACE("run " + std::to_string(run) + " step " + std::to_string(step) + " op " +
                         std::to_string(op) + " a " + std::to_string(a) + " b " +
                         std::to_string(b));
            switch (op) {
                case 0: {
                    g.invert(a, b);
                    const std::int64_t from = explicit_cut(model, a, b);
                    // Inner boundaries mirror inside the reversed stretch.
                    std::vector<bool> inner(static_cast<std::size_t>(b), false);
                    for (std::int64_t k = 1; k < b; ++k) inner[k] = model[from + k].starts_segment;
                    std::reverse(model.begin() + from, model.begin() + from + b);
                    for (std::int64_t k = 0; k < b; ++k) {
                        model[from + k].strand = -model[from + k].strand;
                        model[from + k].starts_segment = k == 0 || inner[b - k];
                    }
                    break;
                }
                case 1: {
                    if (n > 60) continue;
                    g.delete_stretch(a, b);
                    if (b >= n) {
                        model.clear();
                        break;
                    }
                    mark(model, a);
                    mark(model, (a + b) % n);
                    Explicit kept;
                    for (std::int64_t k = 0; k < n; ++k) {
                        const bool inside = a + b <= n ? (k >= a && k < a + b)
                                                       : (k >= a || k < (a + b) % n);
                        if (!inside) kept.push_back(model[k]);
                    }
                    model = kept;
                    break;
                }
                case 2: {
                    if (n > 60) continue;
                    g.duplicate(a, b);
                    const std::int64_t from = explicit_cut(model, a, b);
                    const Explicit copy(model.begin() + from, model.begin() + from + b);
                    model.insert(model.begin() + from + b, copy.begin(), copy.end());
                    break;
                }
                case 3: {
                    Segments piece;
                    g.copy_stretch(a, b, piece);
                    const std::int64_t from = explicit_cut(model, a, b);
                    ASSERT_EQ(expand(piece), Explicit(model.begin() + from, model.begin() + from + b));
                    break;
                }
                case 4: {
                    if (n > 60) continue;
                    const Segments pieces = random_segments(rng);
                    const auto p = static_cast<std::int64_t>(rng() % (n + 1));
                    g.insert(p, pieces);
                    explicit_insert(model, p, expand(pieces));
                    break;
                }
                case 5: {
                    // A transfer onto the donor itself: the copy is taken first.
                    if (n + b > 60) continue;
                    const auto p = static_cast<std::int64_t>(rng() % (n + 1));
                    Segments piece;
                    g.copy_stretch(a, b, piece);
                    g.insert(p, piece);
                    const std::int64_t from = explicit_cut(model, a, b);
                    const Explicit copy(model.begin() + from, model.begin() + from + b);
                    explicit_insert(model, p, copy);
                    break;
                }
                default: {
                    if (n < 2) continue;
                    const std::int64_t k = std::min(b, n - 1);
                    const auto q = static_cast<std::int64_t>(rng() % n) % (n - k + 1);
                    g.transpose(a, k, q);
                    const std::int64_t from = explicit_cut(model, a, k);
                    const Explicit moving(model.begin() + from, model.begin() + from + k);
                    model.erase(model.begin() + from, model.begin() + from + k);
                    explicit_insert(model, q, moving);
                    break;
                }
            }
            ASSERT_NO_FATAL_FAILURE(expect_consistent(g, model));
        }
    }
}

}  // namespace
}  // namespace korvath
