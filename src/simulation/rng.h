// The simulators' random generator: xoshiro256** seeded through SplitMix64,
// and every draw the engines build on it. Each draw consumes exactly one
// next_u64 (next_f64 is one next_u64), except chance(), which draws nothing
// when p <= 0. A run keeps one Rng by value; copying it to a local in the hot
// loop lets the compiler keep the four words in registers.
#pragma once

#include "support/faults.h"

#include <cmath>
#include <cstdint>

namespace korvath {

class Rng {
public:
    // The SplitMix64 sequence started at `seed`: its first four outputs are
    // s0, s1, s2, s3.
    static Rng from_seed(std::uint64_t seed) {
        Rng rng;
        for (std::uint64_t k = 1; k <= 4; ++k) {
            std::uint64_t z = seed + k * 0x9E3779B97F4A7C15ULL;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            rng.s_[k - 1] = z ^ (z >> 31);
        }
        return rng;
    }

    std::uint64_t state(int i) const { return s_[i]; }

    std::uint64_t next_u64() {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // The top 53 bits scaled into [0, 1).
    double next_f64() { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

    // next_u64 mod n: a plain remainder, no rejection. n = 0 is a fault.
    std::uint64_t index_below(std::uint64_t n) {
        if (n == 0) fault("random index below 0 requested");
        return next_u64() % n;
    }

    // Uniform position in [0, n) other than `skip`: next_u64 mod (n - 1),
    // plus one at or after `skip`. Needs n >= 2.
    std::uint64_t index_below_skipping(std::uint64_t n, std::uint64_t skip) {
        if (n < 2) fault("random index skipping one position needs at least two positions");
        const std::uint64_t v = next_u64() % (n - 1);
        return v >= skip ? v + 1 : v;
    }

    // Exponential waiting time -ln(1 - u) / total_rate; not finite when the
    // rate is zero, subnormal or NaN (the caller treats that as "no event").
    double waiting_time(double total_rate) {
        const double u = next_f64();
        return -std::log(1.0 - u) / total_rate;
    }

    // Target of a cumulative pick: total * (1 - u), in (0, total].
    double pick_target(double total) {
        const double u = next_f64();
        return total * (1.0 - u);
    }

    // u * range, in [0, range).
    double scaled_uniform(double range) { return next_f64() * range; }

    // Success with probability p; draws only when p > 0.
    bool chance(double p) {
        if (!(p > 0.0)) return false;
        return p > next_f64();
    }

private:
    static constexpr std::uint64_t rotl(std::uint64_t x, int k) {
        return (x << k) | (x >> (64 - k));
    }

    std::uint64_t s_[4] = {0, 0, 0, 0};
};

}  // namespace korvath
