#include "writer/format_significant.h"
#include "writer/natural_key.h"
#include "writer/significant_cache.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace korvath {
namespace {

TEST(FormatSignificant, ExamplesAtTenAndSixDigits) {
    EXPECT_EQ(format_significant(0.5, 10), "0.5");
    EXPECT_EQ(format_significant(123.456, 10), "123.456");
    EXPECT_EQ(format_significant(2.0, 10), "2");
    EXPECT_EQ(format_significant(3.0, 10), "3");
    EXPECT_EQ(format_significant(1e-7, 10), "0.0000001");
    EXPECT_EQ(format_significant(1e-9, 10), "0.000000001");
    EXPECT_EQ(format_significant(12345678901.7, 10), "12345678902");
    EXPECT_EQ(format_significant(-0.25, 10), "-0.25");
    EXPECT_EQ(format_significant(0.02148207714123, 10), "0.02148207714");
    EXPECT_EQ(format_significant(0.123456789, 6), "0.123457");
    EXPECT_EQ(format_significant(1234567.8, 6), "1234568");
    EXPECT_EQ(format_significant(0.39999999999999991, 6), "0.4");
}

TEST(FormatSignificant, ZeroInfinityAndNanAreZero) {
    for (unsigned digits : {6u, 10u}) {
        EXPECT_EQ(format_significant(0.0, digits), "0");
        EXPECT_EQ(format_significant(-0.0, digits), "0");
        EXPECT_EQ(format_significant(std::numeric_limits<double>::infinity(), digits), "0");
        EXPECT_EQ(format_significant(-std::numeric_limits<double>::infinity(), digits), "0");
        EXPECT_EQ(format_significant(std::numeric_limits<double>::quiet_NaN(), digits), "0");
    }
}

TEST(FormatSignificant, ExactTiesGoToTheEvenDigit) {
    // 0.125, 0.375, 2.5 and 3.5 are exact binary values, so these are true ties.
    EXPECT_EQ(format_significant(0.125, 2), "0.12");
    EXPECT_EQ(format_significant(0.375, 2), "0.38");
    EXPECT_EQ(format_significant(2.5, 1), "2");
    EXPECT_EQ(format_significant(3.5, 1), "4");
    EXPECT_EQ(format_significant(-2.5, 1), "-2");
    EXPECT_EQ(format_significant(1.0000000005, 10), "1.000000001");  // stored just above the tie
    EXPECT_EQ(format_significant(1234567.5, 6), "1234568");
    EXPECT_EQ(format_significant(1234568.5, 6), "1234568");
    EXPECT_EQ(format_significant(1234568.5, 10), "1234568.5");
}

TEST(FormatSignificant, RoundsFromTheExactBinaryValue) {
    // 0.15 and 2.675 are stored slightly below the decimal text, so they round down.
    EXPECT_EQ(format_significant(0.15, 1), "0.1");
    EXPECT_EQ(format_significant(2.675, 3), "2.67");
    // 0.35 is stored slightly above.
    EXPECT_EQ(format_significant(0.35, 1), "0.3");  // 0.34999999999999997779...
    EXPECT_EQ(format_significant(1.005, 3), "1");   // 1.00499999999999989...
    // Large values print every integer digit of the exact double.
    std::string big = format_significant(1e300, 10);
    EXPECT_EQ(big.size(), 301u);
    EXPECT_EQ(big.substr(0, 28), "1000000000000000052504760255");
    // A subnormal rounds to zero at 17 decimals.
    EXPECT_EQ(format_significant(5e-324, 10), "0");
    EXPECT_EQ(format_significant(9.999999999999999e-18, 10), "0.00000000000000001");
}

TEST(FormatSignificant, ExactIntegerMethodAgreesWithTheStandardLibrary) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    // Random bit patterns cover every binary exponent, subnormals included.
    for (int i = 0; i < 300000; ++i) {
        double value = std::bit_cast<double>(rng());
        if (!std::isfinite(value)) continue;
        const int decimals = static_cast<int>(rng() % 18);
        ASSERT_EQ(format_fixed(value, decimals), format_fixed_reference(value, decimals))
            << std::hexfloat << value << " at " << decimals;
    }
    // Values of the sizes the writer meets, and exact ties m / 2^(d+1), m odd.
    for (int i = 0; i < 300000; ++i) {
        const int decimals = static_cast<int>(rng() % 18);
        double value = std::ldexp(static_cast<double>(rng() >> 11), -static_cast<int>(rng() % 80));
        if (decimals < 12) {
            const std::uint64_t odd = (rng() >> (12 + decimals)) | 1;
            const double tie = std::ldexp(static_cast<double>(odd), -(decimals + 1));
            ASSERT_EQ(format_fixed(tie, decimals), format_fixed_reference(tie, decimals))
                << std::hexfloat << tie << " at " << decimals;
        }
        if (rng() & 1) value = -value;
        ASSERT_EQ(format_fixed(value, decimals), format_fixed_reference(value, decimals))
            << std::hexfloat << value << " at " << decimals;
    }
}

TEST(FormatSignificant, DecimalExponentMatchesTheLibraryLog10) {
    const std::uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    const auto expect_same = [](double x) {
        ASSERT_EQ(decimal_exponent_fast(x), static_cast<int>(std::floor(std::log10(std::fabs(x)))))
            << std::hexfloat << x;
    };
    for (int i = 0; i < 300000; ++i) {
        const double x = std::bit_cast<double>(rng() >> 1);  // positive, any exponent
        if (std::isfinite(x) && x != 0.0) expect_same(x);
    }
    // Every power of ten and its nearest neighbours, where rounding decides.
    for (int k = -323; k <= 308; ++k) {
        double p = std::pow(10.0, k);
        for (int step = 0; step < 4; ++step) {
            expect_same(p);
            expect_same(std::nextafter(p, 0.0));
            expect_same(std::nextafter(p, INFINITY));
            p = std::nextafter(p, 0.0);
        }
        expect_same(p * (1 + 1e-9));
        expect_same(p * (1 - 1e-9));
    }
}

// The memo must give the bytes of a fresh formatting whatever it holds: a
// few recurring values mixed with many one-off ones (which evict and collide
// in its slots), long texts it does not keep, zeros, negatives and NaN.
TEST(SignificantCache, AlwaysGivesTheTextOfAFreshFormatting) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> recurring;
    for (int i = 0; i < 300; ++i) recurring.push_back(unit(rng));
    recurring.insert(recurring.end(), {0.0, -0.0, 1e300, -1e-300, 123456789012.5,
                                       std::numeric_limits<double>::quiet_NaN(), -0.75});
    for (unsigned digits : {10u, 6u}) {
        auto cache = std::make_unique<SignificantCache>(digits);
        for (int i = 0; i < 200000; ++i) {
            const double value = (i % 3 == 0) ? unit(rng) * std::pow(10.0, static_cast<int>(i % 40) - 20)
                                              : recurring[rng() % recurring.size()];
            char fresh[kSignificantMaxChars];
            char cached[kSignificantMaxChars];
            const std::string expected(fresh, write_significant(fresh, value, digits));
            const std::string got(cached, cache->write(cached, value));
            ASSERT_EQ(got, expected) << "value " << value << " digits " << digits;
        }
    }
}

TEST(NaturalKey, OrdersByDigitsThenBytes) {
    std::vector<std::string> names{"sp10", "sp2", "B", "A", "sp1"};
    sort_naturally(names, [](const std::string& s) -> const std::string& { return s; });
    EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "sp1", "sp2", "sp10"}));

    std::vector<std::string> leaves{"s10", "s9", "s1"};
    sort_naturally(leaves, [](const std::string& s) -> const std::string& { return s; });
    EXPECT_EQ(leaves, (std::vector<std::string>{"s1", "s9", "s10"}));

    // Same number: byte order, a proper prefix first, bytes compared unsigned.
    std::vector<std::string> tied{"b1", "\xc3\xa9", "a1x", "a1", "z"};
    sort_naturally(tied, [](const std::string& s) -> const std::string& { return s; });
    EXPECT_EQ(tied, (std::vector<std::string>{"z", "\xc3\xa9", "a1", "a1x", "b1"}));
}

TEST(NaturalKey, DigitStringsAreReadAsSigned128BitNumbers) {
    EXPECT_EQ(natural_number("n12x3"), 123);
    EXPECT_EQ(natural_number("none"), 0);
    const __int128 largest = static_cast<__int128>(~static_cast<unsigned __int128>(0) >> 1);
    EXPECT_TRUE(natural_number("170141183460469231731687303715884105727") == largest);
    EXPECT_EQ(natural_number("170141183460469231731687303715884105728"), 0);  // overflow
    EXPECT_EQ(natural_number(std::string(60, '9')), 0);
    EXPECT_EQ(natural_number(std::string(60, '0') + "42"), 42);  // leading zeros fit
}

TEST(NaturalKey, SortIsStableForIdenticalNames) {
    std::vector<std::pair<std::string, int>> items{{"x2", 0}, {"x1", 1}, {"x2", 2}, {"x2", 3}};
    sort_naturally(items, [](const auto& item) -> const std::string& { return item.first; });
    std::vector<int> order;
    for (const auto& item : items) order.push_back(item.second);
    EXPECT_EQ(order, (std::vector<int>{1, 0, 2, 3}));
}

}  // namespace
}  // namespace korvath
