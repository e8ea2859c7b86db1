// The worker pool: started on the first call that splits its work, reused, abandoned in a
// forked child (which makes a new one), and never joined (see Pool).
#include "kernels/threads.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include <pthread.h>
#include <sched.h>

// Wheels promise an old glibc (their manylinux tag), but glibc 2.32 and 2.34 gave these
// functions new symbol versions when they moved into libc: a module built on a newer glibc
// would import those. The versions every glibc has serve identically. (std::thread and
// std::call_once would import them from inside the statically linked C++ runtime, where no
// version can be chosen, so the pool calls pthreads itself.)
#if defined(PIXALOT_OLD_GLIBC_SYMBOLS) && defined(__x86_64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.2.5");
__asm__(".symver pthread_detach,pthread_detach@GLIBC_2.2.5");
__asm__(".symver pthread_sigmask,pthread_sigmask@GLIBC_2.2.5");
#elif defined(PIXALOT_OLD_GLIBC_SYMBOLS) && defined(__i386__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.1");
__asm__(".symver pthread_detach,pthread_detach@GLIBC_2.0");
__asm__(".symver pthread_sigmask,pthread_sigmask@GLIBC_2.0");
#elif defined(PIXALOT_OLD_GLIBC_SYMBOLS) && defined(__aarch64__)
__asm__(".symver pthread_create,pthread_create@GLIBC_2.17");
__asm__(".symver pthread_detach,pthread_detach@GLIBC_2.17");
__asm__(".symver pthread_sigmask,pthread_sigmask@GLIBC_2.17");
#endif

namespace pixalot {
namespace {

std::atomic<Index> configured_threads{1};

/// One call's split work. Parts are claimed under the pool's lock, and the job stays queued
/// until its last part is claimed, so a worker never holds a job whose caller has returned:
/// the caller waits until every claimed part has ended.
struct Job {
    void (*call)(void*, Index);
    void* context;
    Index parts;
    Index claimed = 0;
    Index ended = 0;
    Buffer<std::exception_ptr> faults;
    std::condition_variable all_ended;
};

/// The pool. It lives on the heap and is never destroyed: at interpreter exit its workers
/// sleep on the condition variable while the process ends around them (joining them from a
/// static destructor could wait on a call still running in another thread), and in a forked
/// child, where its workers do not exist and its lock may have been held at the fork, it is
/// simply forgotten and a new one made.
class Pool {
public:
    void run(Job& job) {
        {
            std::unique_lock lock(mutex_);
            start_workers(std::min(job.parts, configured_threads.load(std::memory_order_relaxed)) - 1);
            queue_.push_back(&job);
        }
        work_.notify_all();
        // The caller works through its own job too: it never waits on workers that are busy
        // with other callers' jobs while parts of its own are unclaimed.
        std::unique_lock lock(mutex_);
        while (claim_and_run(job, lock)) {
        }
        job.all_ended.wait(lock, [&] { return job.ended == job.parts; });
    }

private:
    /// Starts workers up to `wanted`. A worker that cannot be started leaves its parts to
    /// the others and to the caller, so the call still completes.
    void start_workers(Index wanted) {
        if (started_ >= wanted) return;
        // Workers take no signals: Python's handlers belong to Python's threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        for (; started_ < wanted; ++started_) {
            pthread_t thread;
            if (pthread_create(&thread, nullptr, &Pool::worker, this) != 0) break;
            pthread_detach(thread);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    /// Claims the next part of `job` and runs it without the lock; false when none is left.
    bool claim_and_run(Job& job, std::unique_lock<std::mutex>& lock) {
        if (job.claimed == job.parts) return false;
        const Index k = job.claimed++;
        if (job.claimed == job.parts) std::erase(queue_, &job);
        lock.unlock();
        try {
            job.call(job.context, k);
        } catch (...) {
            job.faults[k] = std::current_exception();
        }
        lock.lock();
        if (++job.ended == job.parts) job.all_ended.notify_all();
        return true;
    }

    static void* worker(void* pool) {
        static_cast<Pool*>(pool)->work();
        return nullptr;
    }

    [[noreturn]] void work() {
        std::unique_lock lock(mutex_);
        while (true) {
            work_.wait(lock, [&] { return !queue_.empty(); });
            claim_and_run(*queue_.front(), lock);
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::deque<Job*> queue_;
    Index started_ = 0;
};

std::atomic<Pool*> the_pool{nullptr};

void forget_pool_in_child() { the_pool.store(nullptr, std::memory_order_relaxed); }

Pool& pool() {
    Pool* existing = the_pool.load(std::memory_order_acquire);
    if (existing != nullptr) return *existing;
    static const bool fork_handler_registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)fork_handler_registered;
    auto* made = new Pool;
    if (the_pool.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) return *made;
    delete made;  // another caller's pool won; this one never started a thread
    return *existing;
}

}  // namespace

Index thread_count() noexcept { return configured_threads.load(std::memory_order_relaxed); }

void set_thread_count(Index count) noexcept {
    configured_threads.store(std::clamp(count, Index{1}, most_threads), std::memory_order_relaxed);
}

Index available_cpus() noexcept {
    cpu_set_t mask;
    if (sched_getaffinity(0, sizeof mask, &mask) == 0) {
        const int count = CPU_COUNT(&mask);
        if (count > 0) return count;
    }
    return 1;
}

Index parts_for(Index elements, Index units) noexcept {
    const Index threads = thread_count();
    if (threads <= 1 || elements < parallel_minimum_elements || units < 2) return 1;
    return std::min(threads, units);
}

PartRange part_range(Index count, Index parts, Index k, Index grain) noexcept {
    const Index grains = (count + grain - 1) / grain;
    const auto share = [&](Index part) { return grains * part / parts * grain; };
    const Index begin = std::min(count, share(k));
    const Index end = k + 1 == parts ? count : std::min(count, share(k + 1));
    return {begin, end};
}

namespace detail {

void run_parts(Index parts, void (*call)(void*, Index), void* context) {
    Job job{call, context, parts, 0, 0, Buffer<std::exception_ptr>(parts), {}};
    pool().run(job);
    for (const std::exception_ptr& fault : job.faults) {
        if (fault) std::rethrow_exception(fault);
    }
}

}  // namespace detail

}  // namespace pixalot
