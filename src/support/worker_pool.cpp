#include "support/worker_pool.h"

#include "support/faults.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <system_error>

#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#endif

namespace korvath {

namespace {

// A positive decimal number of threads from the environment, or 0.
std::size_t threads_from_environment() {
    const char* text = std::getenv("RAYON_NUM_THREADS");
    if (text == nullptr || *text == '\0') return 0;
    std::size_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return 0;
        value = value * 10 + static_cast<std::size_t>(*p - '0');
        if (value > 65536) return 0;  // not a thread count anyone means
    }
    return value;
}

long current_process_id() {
#if defined(__unix__) || defined(__APPLE__)
    return static_cast<long>(::getpid());
#else
    return 0;  // no fork() to guard against
#endif
}

}  // namespace

WorkerPool::WorkerPool(std::size_t n_threads) {
    if (n_threads == 0) n_threads = 1;
    try {
        workers_.reserve(n_threads);
        for (std::size_t i = 0; i < n_threads; ++i) {
            workers_.emplace_back([this] { worker_loop(); });
        }
    } catch (const std::exception& error) {
        // std::system_error when the system refuses a thread; std::bad_alloc
        // or std::length_error for a thread count beyond memory.
        stop_workers();
        throw RunawayError(std::string("rayon pool: ") + error.what());
    }
}

WorkerPool::~WorkerPool() { stop_workers(); }

void WorkerPool::stop_workers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shutting_down_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_) {
        if (worker.joinable()) worker.join();
    }
    workers_.clear();
}

std::size_t WorkerPool::default_thread_count() {
    std::size_t n = threads_from_environment();
    if (n > 0) return n;
    n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

WorkerPool& WorkerPool::shared() {
    // Created on first use; the pool lives until the process ends: joining its
    // workers from a static destructor could race with the interpreter's own
    // shutdown. Calls may come from several threads at once (the module lets
    // go of the interpreter lock while engines work): the first pool published
    // wins, and a thread that built one in the same moment joins and drops
    // its own. No lock is taken here, so a child made by fork() while another
    // thread of the parent was in this function cannot find one held forever.
    // Such a child inherits the pool object but none of its threads, so it
    // builds its own; the inherited object is left alone (its threads do not
    // exist there to be joined). A failed construction is retried on the next call.
    struct Instance {
        WorkerPool* pool;
        long owner;  // the process whose threads serve the pool
    };
    static std::atomic<Instance*> current{nullptr};
    const long process = current_process_id();
    Instance* seen = current.load(std::memory_order_acquire);
    while (seen == nullptr || seen->owner != process) {
        auto pool = std::make_unique<WorkerPool>(default_thread_count());
        auto made = std::make_unique<Instance>(Instance{pool.get(), process});
        if (current.compare_exchange_strong(seen, made.get(), std::memory_order_acq_rel,
                                            std::memory_order_acquire)) {
            pool.release();
            seen = made.release();
            break;
        }
        // Another thread published first: `seen` now holds its instance, and
        // ours is joined and freed on leaving this scope.
    }
    return *seen->pool;
}

// Compared by thread id rather than through a thread-local variable: the
// module is loaded at run time, and thread-local storage of such libraries
// trips up the leak checker of the sanitizer build at process exit.
bool WorkerPool::on_own_worker() const {
    const std::thread::id self = std::this_thread::get_id();
    for (const std::thread& worker : workers_) {
        if (worker.get_id() == self) return true;
    }
    return false;
}

void WorkerPool::record_failure(std::exception_ptr error) {
    stop_.store(true, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!first_error_) first_error_ = std::move(error);
}

void WorkerPool::work_on(const Job& job) {
    while (!stop_.load(std::memory_order_relaxed)) {
        std::size_t index = next_item_.fetch_add(1, std::memory_order_relaxed);
        if (index >= job.n_items) break;
        try {
            job.call(job.callable, index);
        } catch (...) {
            record_failure(std::current_exception());
        }
    }
}

void WorkerPool::worker_loop() {
    std::uint64_t seen_generation = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [&] { return shutting_down_ || generation_ != seen_generation; });
        if (shutting_down_) return;
        seen_generation = generation_;
        const Job* job = job_;
        lock.unlock();
        work_on(*job);
        lock.lock();
        if (--busy_workers_ == 0) work_done_.notify_all();
    }
}

void WorkerPool::run_erased(std::size_t n_items, void* callable, Trampoline call) {
    if (n_items == 0) return;
    if (on_own_worker()) {
        // A nested for-each from inside an item: the other workers may all be
        // waiting on this one, so run the items here, in order.
        for (std::size_t i = 0; i < n_items; ++i) call(callable, i);
        return;
    }
    std::lock_guard<std::mutex> serial(caller_mutex_);
    Job job{n_items, callable, call};
    std::exception_ptr error;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        next_item_.store(0, std::memory_order_relaxed);
        stop_.store(false, std::memory_order_relaxed);
        first_error_ = nullptr;
        job_ = &job;
        busy_workers_ = workers_.size();
        ++generation_;
        work_ready_.notify_all();
        work_done_.wait(lock, [&] { return busy_workers_ == 0; });
        job_ = nullptr;
        error = std::move(first_error_);
        first_error_ = nullptr;
    }
    if (error) std::rethrow_exception(error);
}

}  // namespace korvath
