// A small memo of write_significant results for values that recur across
// families: the dates of speciation events (one per species node) and the
// lengths of gene branches that run from one species node to the next. The
// text is a pure function of the value's bits and the digit count, so a hit
// gives exactly the bytes write_significant would. Each family worker uses
// its own cache (see FamilyScratch), so nothing is shared between threads.
#pragma once

#include "writer/format_significant.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace korvath {

class SignificantCache {
public:
    // write_significant(out, value, digits) through the cache.
    char* write(char* out, double value) {
        const auto bits = std::bit_cast<std::uint64_t>(value);
        Entry& entry = entries_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
        if (entry.length != 0 && entry.bits == bits) {
            std::memcpy(out, entry.text, kTextRoom);  // the caller has room for far more
            return out + entry.length;
        }
        char* end = write_significant(out, value, digits_);
        const auto length = static_cast<std::size_t>(end - out);
        if (length <= kTextRoom) {
            entry.bits = bits;
            entry.length = static_cast<std::uint8_t>(length);
            std::memcpy(entry.text, out, length);
        }
        return end;
    }

    explicit SignificantCache(unsigned digits) : digits_(digits) {}

private:
    static constexpr int kSlotBits = 10;
    static constexpr std::size_t kTextRoom = 23;
    static_assert(kTextRoom <= kSignificantMaxChars);

    struct Entry {
        std::uint64_t bits = 0;
        std::uint8_t length = 0;  // 0: empty slot
        char text[kTextRoom];
    };

    unsigned digits_;
    Entry entries_[std::size_t{1} << kSlotBits];
};

}  // namespace korvath
