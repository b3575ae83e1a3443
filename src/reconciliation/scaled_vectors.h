// Probability vectors carried with a power-of-two exponent: a gene node's
// stored values v stand for v * 2^exponent. Products of many small
// probabilities (large gene trees) would otherwise sink into subnormal numbers
// and then to 0. Scaling by a power of two is exact while the values stay in
// the normal range, so every operation on the stored values rounds exactly as
// the same operation on the true values would with an unbounded exponent.
//
// A vector is rescaled only when its largest magnitude leaves
// [2^-kScaleLimit, 2^kScaleLimit]; a family that never gets there is computed
// with exponent 0, that is, with exactly the arithmetic of plain doubles.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace korvath::reconciliation {

inline constexpr int kScaleLimit = 128;

// 2^exponent for an exponent of a normal double, -1022 .. 1023.
inline double normal_power_of_two(int exponent) {
    return std::bit_cast<double>(static_cast<std::uint64_t>(exponent + 1023) << 52);
}

// ldexp with a 64-bit exponent: beyond +-4096 the result is 0 or infinite
// for any finite non-zero double either way. Where 2^exponent is a normal
// double, the product with it is the same correctly rounded value as ldexp's
// (one rounding of the exact value), without the library call.
inline double ldexp_wide(double value, std::int64_t exponent) {
    if (exponent >= -1022 && exponent <= 1023) {
        return value * normal_power_of_two(static_cast<int>(exponent));
    }
    if (exponent > 4096) exponent = 4096;
    if (exponent < -4096) exponent = -4096;
    return std::ldexp(value, static_cast<int>(exponent));
}

// The largest magnitude in values (NaN entries skipped: a comparison with NaN
// is false). The maximum is exact whatever the order in which the entries
// are compared, so running maxima are kept side by side: eight in the
// portable loop, and where the processor has 256-bit vectors, four vectors
// of four (a vector maximum keeps its second operand when the first is NaN,
// as the comparison does).
inline double max_magnitude_portable(const double* values, std::size_t count) {
    constexpr std::size_t kWays = 8;
    double largest[kWays] = {};
    std::size_t k = 0;
    for (; k + kWays <= count; k += kWays) {
        for (std::size_t i = 0; i < kWays; ++i) {
            const double magnitude = std::fabs(values[k + i]);
            largest[i] = magnitude > largest[i] ? magnitude : largest[i];
        }
    }
    for (; k < count; ++k) {
        const double magnitude = std::fabs(values[k]);
        largest[0] = magnitude > largest[0] ? magnitude : largest[0];
    }
    double result = 0.0;
    for (double m : largest) result = m > result ? m : result;
    return result;
}

#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target("avx2"))) inline double max_magnitude_avx2(const double* values,
                                                                 std::size_t count) {
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d largest[4] = {_mm256_setzero_pd(), _mm256_setzero_pd(), _mm256_setzero_pd(),
                          _mm256_setzero_pd()};
    std::size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        for (std::size_t i = 0; i < 4; ++i) {
            const __m256d magnitude = _mm256_andnot_pd(sign, _mm256_loadu_pd(values + k + 4 * i));
            largest[i] = _mm256_max_pd(magnitude, largest[i]);
        }
    }
    alignas(32) double lanes[16];
    for (std::size_t i = 0; i < 4; ++i) _mm256_store_pd(lanes + 4 * i, largest[i]);
    double result = 0.0;
    for (double m : lanes) result = m > result ? m : result;
    for (; k < count; ++k) {
        const double magnitude = std::fabs(values[k]);
        result = magnitude > result ? magnitude : result;
    }
    return result;
}
#endif

// Whether the processor runs 256-bit vector code (asked once); the scorers
// pick their vector loops by it.
inline bool wide_vectors() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported;
#else
    return false;
#endif
}

inline double max_magnitude(const double* values, std::size_t count) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (wide_vectors() && count >= 16) return max_magnitude_avx2(values, count);
#endif
    return max_magnitude_portable(values, count);
}

// The power of two by which a vector whose largest magnitude is `largest`
// is divided to bring it back to [0.5, 1): 0 while it lies within the limits,
// or when it is 0, infinite or NaN.
inline int rescale_exponent(double largest) {
    if (!(largest > 0.0) || !std::isfinite(largest)) return 0;
    int exponent = 0;
    std::frexp(largest, &exponent);
    if (exponent > kScaleLimit || exponent <= -kScaleLimit) return exponent;
    return 0;
}

[[gnu::always_inline]] inline void multiply_all(double* values, std::size_t count,
                                                double factor) {
    for (std::size_t k = 0; k < count; ++k) values[k] = values[k] * factor;
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same products, built for 256-bit vectors: four at a time.
__attribute__((target("avx2"))) inline void multiply_all_avx2(double* values, std::size_t count,
                                                              double factor) {
    multiply_all(values, count, factor);
}
#endif

// values[k] *= 2^-shift, exactly for every value that stays normal.
inline void scale_down(double* values, std::size_t count, int shift) {
    if (shift >= -1023 && shift <= 1022) {
        const double factor = normal_power_of_two(-shift);
#if defined(__x86_64__) && defined(__GNUC__)
        if (wide_vectors() && count >= 16) {
            multiply_all_avx2(values, count, factor);
            return;
        }
#endif
        multiply_all(values, count, factor);
        return;
    }
    for (std::size_t k = 0; k < count; ++k) values[k] = std::ldexp(values[k], -shift);
}

// ln(l * 2^exponent), or -inf when l <= 0 (or NaN). When the true value is a
// normal double it is formed exactly and its logarithm taken as before; only
// a value beyond the double range is split into ln l + exponent ln 2.
inline double scaled_log(double l, std::int64_t exponent) {
    if (!(l > 0.0)) return -std::numeric_limits<double>::infinity();
    const double value = ldexp_wide(l, exponent);
    if (value >= std::numeric_limits<double>::min() && std::isfinite(value)) return std::log(value);
    constexpr double kLn2 = 0.693147180559945309417232121458176568;
    return std::log(l) + static_cast<double>(exponent) * kLn2;
}

// a * 2^ea + b * 2^eb, returned in the scale of the larger term: the smaller
// one is shifted to it (only a term below 2^-1022 of the larger can lose bits).
struct ScaledValue {
    double value;
    std::int64_t exponent;
};

// An order of scaled values by a * 2^ea: 0 first, then the finite values
// by size, then whatever is not finite (all alike), so that sorting never
// meets an inconsistent order. For values that are 0 or positive.
inline bool scaled_less(const ScaledValue& a, const ScaledValue& b) {
    auto rank = [](double v) { return v == 0.0 ? 0 : std::isfinite(v) ? 1 : 2; };
    const int ra = rank(a.value);
    const int rb = rank(b.value);
    if (ra != rb || ra != 1) return ra < rb;
    const std::int64_t la = static_cast<std::int64_t>(std::ilogb(a.value)) + a.exponent;
    const std::int64_t lb = static_cast<std::int64_t>(std::ilogb(b.value)) + b.exponent;
    if (la != lb) return la < lb;
    return std::scalbn(a.value, -std::ilogb(a.value)) < std::scalbn(b.value, -std::ilogb(b.value));
}

inline ScaledValue add_scaled(double a, std::int64_t ea, double b, std::int64_t eb) {
    if (ea == eb) return {a + b, ea};
    const bool a_larger =
        b == 0.0 || (a != 0.0 && static_cast<std::int64_t>(std::ilogb(a)) + ea >=
                                     static_cast<std::int64_t>(std::ilogb(b)) + eb);
    if (a_larger) return {a + ldexp_wide(b, eb - ea), ea};
    return {ldexp_wide(a, ea - eb) + b, eb};
}

}  // namespace korvath::reconciliation
