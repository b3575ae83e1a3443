// Objects lent to the items of a parallel loop, so that a worker's later
// items reuse what its earlier ones built up (grown buffers, memory already
// mapped and touched) instead of building it afresh for every item.
//
//   LendingPool<Scratch> scratches(workers.size() + 1);
//   workers.run_indexed(n, [&](std::size_t i) {
//       LendingPool<Scratch>::Lease scratch = scratches.take();
//       use(*scratch, i);
//   });  // each lease goes back when its item returns or throws
//
// A take finds an idle object or makes a new (default-constructed) one. At
// most `max_idle` objects are kept idle, with room reserved up front, so that
// giving one back never fails; one given back beyond that is destroyed. All
// idle objects are destroyed with the pool, which must outlive every lease.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace korvath {

template <class T>
class LendingPool {
public:
    explicit LendingPool(std::size_t max_idle) { idle_.reserve(max_idle); }
    LendingPool(const LendingPool&) = delete;
    LendingPool& operator=(const LendingPool&) = delete;

    class Lease {
    public:
        Lease(LendingPool& pool, std::unique_ptr<T> object)
            : pool_(pool), object_(std::move(object)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() { pool_.give_back(std::move(object_)); }

        T& operator*() const { return *object_; }
        T* get() const { return object_.get(); }

    private:
        LendingPool& pool_;
        std::unique_ptr<T> object_;
    };

    Lease take() {
        std::unique_ptr<T> object;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                object = std::move(idle_.back());
                idle_.pop_back();
            }
        }
        if (!object) object = std::make_unique<T>();
        return Lease(*this, std::move(object));
    }

private:
    void give_back(std::unique_ptr<T> object) noexcept {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < idle_.capacity()) idle_.push_back(std::move(object));
    }

    std::mutex mutex_;
    std::vector<std::unique_ptr<T>> idle_;
};

}  // namespace korvath
