// A fixed set of worker threads running one parallel for-each at a time.
//
// `run_indexed(n, fn)` calls fn(i) for every i in 0 .. n-1 on the workers and
// blocks the calling thread until every started item has returned. Items are
// handed out one at a time from a shared counter, so they run in no fixed
// order; callers collect results by index. When an item throws, the first
// exception is kept, a stop flag keeps every item that has not started yet
// from starting, and the exception is rethrown on the calling thread once
// the workers are idle again.
//
// Workers run plain C++ only; they never touch interpreter objects.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvath {

class WorkerPool {
public:
    // Starts max(n_threads, 1) workers. When the operating system refuses a
    // thread, the workers already started are joined and RunawayError
    // "rayon pool: <reason>" is thrown.
    explicit WorkerPool(std::size_t n_threads);
    // Joins every worker; no thread outlives the pool.
    ~WorkerPool();

    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const { return workers_.size(); }

    // Runs fn(i) for i in 0 .. n_items-1 and waits for all of them. Rethrows
    // the first exception an item raised. Calls from several threads are
    // served one after another; a call made from one of this pool's own
    // workers runs its items inline on that worker instead of deadlocking.
    template <class Fn>
    void run_indexed(std::size_t n_items, Fn&& fn) {
        using Callable = std::remove_reference_t<Fn>;
        run_erased(n_items, const_cast<void*>(static_cast<const void*>(std::addressof(fn))),
                   [](void* callable, std::size_t index) {
                       (*static_cast<Callable*>(callable))(index);
                   });
    }

    // The process-wide pool, created on first use and kept until the process
    // ends; safe to call from several threads at once, and a process made by
    // fork() gets its own. Its size
    // is RAYON_NUM_THREADS when that holds a positive number, otherwise the
    // number of hardware threads (at least 1).
    static WorkerPool& shared();

    // The size the shared pool takes from the environment and the hardware.
    static std::size_t default_thread_count();

private:
    using Trampoline = void (*)(void*, std::size_t);

    // One for-each in progress; lives on the calling thread's stack.
    struct Job {
        std::size_t n_items = 0;
        void* callable = nullptr;
        Trampoline call = nullptr;
    };

    void run_erased(std::size_t n_items, void* callable, Trampoline call);
    void worker_loop();
    void work_on(const Job& job);
    void record_failure(std::exception_ptr error);
    bool on_own_worker() const;
    void stop_workers();

    std::vector<std::thread> workers_;
    std::mutex caller_mutex_;  // one run_indexed at a time

    std::mutex mutex_;  // guards everything below
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    const Job* job_ = nullptr;
    std::uint64_t generation_ = 0;
    std::size_t busy_workers_ = 0;
    bool shutting_down_ = false;

    // Per-job progress, reset by the caller before each job is published.
    std::atomic<std::size_t> next_item_{0};
    std::atomic<bool> stop_{false};
    std::exception_ptr first_error_;  // guarded by mutex_
};

}  // namespace korvath
