// Genome-structure simulation: one circular segment genome per active branch,
// evolved along the dated species tree by inversions, losses, tandem
// duplications, transfers between branches, transpositions and originations
// of new elements. Events hit a branch at a rate proportional to its genome
// length; every event but origination acts on a stretch with a uniform start
// and a geometric length.
#pragma once

#include "simulation/rng.h"
#include "simulation/segment_genome.h"
#include "simulation/sim_params.h"
#include "simulation/dated_tree_arrays.h"

#include <cstdint>
#include <vector>

namespace korvath {

struct NucleotideParams {
    // Event rates per nucleotide per unit time.
    double inversion = 0.0;
    double loss = 0.0;
    double duplication = 0.0;
    double transfer = 0.0;
    double transposition = 0.0;
    // Rate per active branch per unit time of a new element appearing.
    double origination = 0.0;
    // Length of each founding element, and of an element originating in an empty genome.
    std::int64_t root_length = 0;
    // Continuation probability of a stretch length; 1 or more: the whole genome.
    double extension = 0.0;
    std::uint64_t initial_size = 0;
    std::uint64_t seed = 0;
    // `replacement` is carried along but has no effect on genomes.
    TransferOptions options;
    // The run stops with RunawayError(kRunawayGrowthMessage) once it counts
    // more events than this.
    std::uint64_t max_events = 2'000'000'000;
    // The run also stops with that error once the genomes it holds (those of
    // the active branches and of the leaves already reached) count more
    // segments than this: a genome that doubles at every duplication would
    // otherwise exhaust the machine's memory long before its length leaves
    // the signed 64-bit range.
    std::uint64_t max_segments = std::uint64_t{1} << 24;
    // ... or once one genome counts more segments than max_genome_segments
    // after the run's events have cost more than max_work segment steps (the
    // segments of the genomes each event rearranged, summed over events).
    // Every event costs time linear in the segments of the genome it
    // rearranges, so a genome that grows a few segments per event costs work
    // quadratic in the segments it reaches: a supercritical duplication run
    // reaches 2^19 segments after about 2^32 segment steps (2 s) but would
    // need half an hour for 2^24, and a clock that cannot advance (rates so
    // high that a waiting time vanishes next to the date) adds one segment
    // per origination for ever. 2^32 steps are a few seconds of work. A
    // genome that grows by doubling (an extension of 1) reaches many
    // segments with little work and keeps the max_segments bound alone.
    std::uint64_t max_genome_segments = std::uint64_t{1} << 16;
    std::uint64_t max_work = std::uint64_t{1} << 32;
    // Bytes the held segments may take (0: the process's memory budget,
    // memory_budget_bytes()), counted at kBytesPerHeldSegment each; passing
    // it stops the run with a RunawayError whose message names the budget.
    std::size_t memory_budget = 0;
};

// What one held segment may cost: 24 bytes in its genome's list, whose
// capacity may be twice its size, plus the block a growing list moves into.
inline constexpr std::size_t kBytesPerHeldSegment = 96;

// The genome of one extant leaf at the moment the leaf is reached.
struct GenomeSample {
    std::uint32_t node = 0;
    std::vector<Segment> segments;
};

// Length of a stretch in a genome of `length` nucleotides: 1 for a genome
// shorter than 2 and the whole genome for extension >= 1 (neither draws);
// otherwise ceil(ln(u) / ln((extension - 1) + 1)) from one next_f64, cut to
// 1 .. length.
std::int64_t draw_extent(Rng& rng, std::int64_t length, double extension);

// Runs the simulation and returns the extant leaves' genomes in processing
// order. Throws InternalFault for a tree that breaks the walk's requirements
// or a negative root_length, RunawayError when the run exceeds max_events
// events, max_segments segments, max_genome_segments in one genome or its
// memory budget, or a genome length leaves the signed 64-bit range.
// `events`, when given, receives the number of events the run counted.
std::vector<GenomeSample> simulate_nucleotide(SpeciesTreeArrays tree,
                                              const NucleotideParams& params,
                                              std::uint64_t* events = nullptr);

}  // namespace korvath
