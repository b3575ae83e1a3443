#include "writer/significant_cache.h"

#include "support/faults.h"

#include <memory>

namespace korvath {

SignificantCache& SignificantCache::for_digits(unsigned digits) {
    // Heap allocated: 128 KiB each is too much for a worker's stack or TLS block.
    thread_local std::unique_ptr<SignificantCache> ten = std::make_unique<SignificantCache>(10);
    thread_local std::unique_ptr<SignificantCache> six = std::make_unique<SignificantCache>(6);
    if (digits == 10) return *ten;
    if (digits == 6) return *six;
    fault("no significant-digit cache for this digit count");
}

}  // namespace korvath
