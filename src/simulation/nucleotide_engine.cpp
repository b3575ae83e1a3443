#include "simulation/nucleotide_engine.h"

#include "simulation/active_branches.h"
#include "simulation/branch_pick.h"
#include "simulation/rate_tree.h"
#include "simulation/recipient.h"
#include "simulation/dated_tree.h"
#include "support/faults.h"
#include "support/memory_budget.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

namespace korvath {

namespace {

// Float to signed 64-bit with saturation: NaN gives 0, values beyond the
// range give its nearest end.
std::int64_t saturating_int64(double value) {
    if (std::isnan(value)) return 0;
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (value >= kTwoTo63) return std::numeric_limits<std::int64_t>::max();
    if (value < -kTwoTo63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

constexpr std::uint64_t kElementIds = std::uint64_t{1} << 32;

enum class GenomeEvent { Inversion, Loss, Duplication, Transfer, Transposition, Origination };

class NucleotideRun {
public:
    NucleotideRun(SpeciesTreeArrays arrays, const NucleotideParams& params)
        : tree_(std::move(arrays)),
          params_(params),
          per_nucleotide_(params.inversion + params.loss + params.duplication + params.transfer +
                          params.transposition),
          lineages_(tree_.n_nodes()),
          active_(tree_.n_nodes()),
          rates_(tree_.n_nodes()),
          rng_(Rng::from_seed(params.seed)) {
        const std::size_t budget =
            params.memory_budget != 0 ? params.memory_budget : memory_budget_bytes();
        budget_segments_ = budget / kBytesPerHeldSegment;
        budget_message_ = memory_runaway_message(budget, kRunawayGrowthMessage);
    }

    std::vector<GenomeSample> run() {
        found_root();
        for (const std::uint32_t v : tree_.processing_order()) {
            const double node_time = tree_.time()[v];
            run_events_until(node_time);
            end_branch(v);
            clock_ = node_time;
        }
        return std::move(samples_);
    }

    std::uint64_t events() const { return events_; }

private:
    double rate_of(std::int64_t length) const {
        return per_nucleotide_ * static_cast<double>(length) + params_.origination;
    }

    void update_rate(std::uint32_t branch) {
        rates_.set(branch, rate_of(lineages_[branch]->length()));
    }

    // Follows the number of segments the run holds, `after` being the new
    // size of one genome; stops the run past either bound or the budget.
    void count_segments(std::size_t before, std::size_t after) {
        segments_held_ = segments_held_ - before + after;
        if (segments_held_ > params_.max_segments ||
            (after > params_.max_genome_segments && work_ > params_.max_work)) {
            throw RunawayError(kRunawayGrowthMessage);
        }
        if (segments_held_ > budget_segments_) throw RunawayError(budget_message_);
    }

    void activate(std::uint32_t node, Genome genome) {
        count_segments(0, genome.segments().size());
        lineages_[node] = std::move(genome);
        active_.append(node);
        update_rate(node);
    }

    // Every child gets its own copy; the last one takes the original.
    void hand_to_children(std::uint32_t node, Genome genome) {
        const auto children = tree_.children(node);
        for (std::size_t c = 0; c < children.size(); ++c) {
            if (c + 1 < children.size()) {
                activate(children[c], genome);
            } else {
                activate(children[c], std::move(genome));
            }
        }
    }

    void found_root() {
        const std::int64_t root_length = params_.root_length;
        if (params_.initial_size > params_.max_segments) throw RunawayError(kRunawayGrowthMessage);
        if (params_.initial_size > budget_segments_) throw RunawayError(budget_message_);
        if (params_.initial_size > kElementIds) {
            fault("initial_size " + std::to_string(params_.initial_size) +
                  " exceeds the number of element ids (2^32)");
        }
        // The root genome's length must fit before any of it is built.
        std::int64_t root_genome_length = 0;
        if (__builtin_mul_overflow(static_cast<std::int64_t>(params_.initial_size), root_length,
                                   &root_genome_length)) {
            throw RunawayError(kRunawayGrowthMessage);
        }
        std::vector<Segment> founders;
        founders.reserve(static_cast<std::size_t>(params_.initial_size));
        for (std::uint64_t i = 0; i < params_.initial_size; ++i) {
            founders.push_back(Segment{0, root_length, new_element(), 1});
        }
        clock_ = tree_.time()[tree_.root()];
        hand_to_children(tree_.root(), Genome(std::move(founders)));
    }

    std::uint32_t new_element() {
        if (next_element_ >= kElementIds) fault("element ids exhausted (2^32 elements)");
        return static_cast<std::uint32_t>(next_element_++);
    }

    void run_events_until(double node_time) {
        while (true) {
            const double total = rates_.total();
            if (!(total > 0.0)) return;
            const double wait = rng_.waiting_time(total);
            if (!std::isfinite(wait)) return;
            clock_ += wait;
            if (!(clock_ < node_time)) return;
            if (++events_ > params_.max_events) throw RunawayError(kRunawayGrowthMessage);
            const std::uint32_t branch = pick_branch(rates_, rng_.pick_target(total));
            if (branch == kNoBranch || !lineages_[branch]) {
                fault("event picked branch " + std::to_string(branch) + ", which is not active");
            }
            const std::size_t before = lineages_[branch]->segments().size();
            work_ += before;
            const std::uint32_t recipient = apply_event(branch);
            count_segments(before, lineages_[branch]->segments().size());
            if (recipient != kNoRecipient && recipient != branch) {
                count_segments(recipient_segments_before_,
                               lineages_[recipient]->segments().size());
            }
        }
    }

    // Returns the recipient of a transfer that happened, else kNoRecipient.
    std::uint32_t apply_event(std::uint32_t branch) {
        Genome& genome = *lineages_[branch];
        const std::int64_t length = genome.length();
        const double l = static_cast<double>(length);
        const double inversion = params_.inversion * l;
        const double loss = params_.loss * l;
        const double duplication = params_.duplication * l;
        const double transfer = params_.transfer * l;
        const double transposition = params_.transposition * l;
        const double all =
            inversion + loss + duplication + transfer + transposition + params_.origination;
        if (!(all > 0.0)) return kNoRecipient;
        const double x = rng_.scaled_uniform(all);
        double threshold = inversion;
        GenomeEvent event = GenomeEvent::Origination;
        if (threshold > x) {
            event = GenomeEvent::Inversion;
        } else if ((threshold += loss) > x) {
            event = GenomeEvent::Loss;
        } else if ((threshold += duplication) > x) {
            event = GenomeEvent::Duplication;
        } else if ((threshold += transfer) > x) {
            event = GenomeEvent::Transfer;
        } else if ((threshold += transposition) > x) {
            event = GenomeEvent::Transposition;
        }
        switch (event) {
            case GenomeEvent::Inversion: {
                const auto [s, k] = draw_stretch(length);
                genome.invert(s, k);
                break;
            }
            case GenomeEvent::Loss: {
                const auto [s, k] = draw_stretch(length);
                genome.delete_stretch(s, k);
                break;
            }
            case GenomeEvent::Duplication: {
                const auto [s, k] = draw_stretch(length);
                genome.duplicate(s, k);
                break;
            }
            case GenomeEvent::Transfer:
                return transfer_from(branch);  // sets the rates of both branches itself
            case GenomeEvent::Transposition:
                transpose_in(genome, length);
                break;
            case GenomeEvent::Origination:
                originate_in(genome, length);
                break;
        }
        update_rate(branch);
        return kNoRecipient;
    }

    // Start and length of a stretch: s uniform, then the length draw.
    std::pair<std::int64_t, std::int64_t> draw_stretch(std::int64_t length) {
        if (length <= 0) {
            fault("an event needs a stretch of a genome of length " + std::to_string(length));
        }
        const auto s = static_cast<std::int64_t>(rng_.index_below(static_cast<std::uint64_t>(length)));
        const std::int64_t k = draw_extent(rng_, length, params_.extension);
        return {s, k};
    }

    std::uint32_t transfer_from(std::uint32_t donor) {
        const std::uint32_t recipient =
            choose_recipient(rng_, active_, donor, tree_, clock_, params_.options, recipient_scratch_);
        if (recipient == kNoRecipient) return kNoRecipient;
        if (recipient >= lineages_.size() || !lineages_[recipient]) {
            fault("transfer recipient " + std::to_string(recipient) + " is not active");
        }
        Genome& source = *lineages_[donor];
        const auto [s, k] = draw_stretch(source.length());
        // The copy is taken before anything is inserted, also when the donor receives it.
        source.copy_stretch(s, k, piece_);
        Genome& target = *lineages_[recipient];
        recipient_segments_before_ = target.segments().size();
        work_ += recipient_segments_before_;
        const auto p = static_cast<std::int64_t>(
            rng_.index_below(static_cast<std::uint64_t>(target.length()) + 1));
        target.insert(p, piece_);
        update_rate(donor);
        update_rate(recipient);
        return recipient;
    }

    void transpose_in(Genome& genome, std::int64_t length) {
        if (length < 2) return;
        const auto [s, k] = draw_stretch(length);
        const auto q0 = static_cast<std::int64_t>(rng_.index_below(static_cast<std::uint64_t>(length)));
        const std::int64_t moved = std::min(k, length - 1);
        const std::int64_t q = q0 % (length - moved + 1);
        genome.transpose(s, moved, q);
    }

    void originate_in(Genome& genome, std::int64_t length) {
        const std::uint32_t element = new_element();
        if (length == 0) {
            genome.append(Segment{0, params_.root_length, element, 1});
            return;
        }
        if (length < 0) {
            fault("an origination met a genome of negative length " + std::to_string(length));
        }
        const std::int64_t k = draw_extent(rng_, length, params_.extension);
        const auto p = static_cast<std::int64_t>(
            rng_.index_below(static_cast<std::uint64_t>(length) + 1));
        const Segment fresh{0, k, element, 1};
        genome.insert(p, std::span<const Segment>(&fresh, 1));
    }

    void end_branch(std::uint32_t v) {
        rates_.set(v, 0.0);
        active_.remove(v);
        if (!lineages_[v]) fault("branch " + std::to_string(v) + " ended without a genome");
        Genome genome = std::move(*lineages_[v]);
        lineages_[v].reset();
        if (tree_.is_extant_leaf(v)) {
            samples_.push_back(GenomeSample{v, genome.take_segments()});  // still held
        } else {
            count_segments(genome.segments().size(), 0);
            if (!tree_.children(v).empty()) hand_to_children(v, std::move(genome));
        }
    }

    SpeciesTree tree_;
    NucleotideParams params_;
    double per_nucleotide_;
    std::vector<std::optional<Genome>> lineages_;
    ActiveBranches active_;
    RateTree rates_;
    Rng rng_;
    RecipientScratch recipient_scratch_;
    std::vector<Segment> piece_;  // transfer copies, reused
    double clock_ = 0.0;
    std::uint64_t next_element_ = 0;
    std::uint64_t events_ = 0;
    std::uint64_t segments_held_ = 0;  // in active genomes and collected samples
    std::uint64_t budget_segments_ = 0;  // held segments the memory budget allows
    std::uint64_t work_ = 0;  // segments of the genomes the events rearranged, summed
    std::string budget_message_;
    std::size_t recipient_segments_before_ = 0;
    std::vector<GenomeSample> samples_;
};

}  // namespace

std::int64_t draw_extent(Rng& rng, std::int64_t length, double extension) {
    if (length < 2) return 1;
    if (extension >= 1.0) return length;
    double u = rng.next_f64();
    if (u < 1e-300) u = 1e-300;
    const double ratio = std::log(u) / std::log((extension - 1.0) + 1.0);
    const std::int64_t k = saturating_int64(std::ceil(ratio));
    if (k < 2) return 1;
    if (k > length) return length;
    return k;
}

std::vector<GenomeSample> simulate_nucleotide(SpeciesTreeArrays tree,
                                              const NucleotideParams& params,
                                              std::uint64_t* events) {
    if (params.root_length < 0) {
        fault("root_length " + std::to_string(params.root_length) +
              " is negative; element lengths cannot be negative");
    }
    NucleotideRun run(std::move(tree), params);
    std::vector<GenomeSample> samples = run.run();
    if (events != nullptr) *events = run.events();
    return samples;
}

}  // namespace korvath
