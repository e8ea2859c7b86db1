// Worker threads inside one call: the split of an operation's work into parts, and the pool
// that runs them. Operations never see a thread; they hand a part function to run_parts.
#pragma once
#include "support/steps.hpp"

#include <type_traits>

namespace pixalot {

/// Floats a call must have before its work is split (4 MiB): waking a worker costs some tens
/// of microseconds on a busy machine, and a copy-speed call must be long enough to repay it.
/// Chosen with benchmarks/bench_threads.py on a two-core x86-64 machine shared with other
/// work: from 1 MiB to 3 MiB, two threads took up to 1.3 times the processor time and wall
/// time of one on copy-speed calls (the hand-off was a visible share), while at 48 MB they
/// took the same processor time as one (the split adds no work). An idle machine, where a
/// woken thread finds a free core at once, would repay it at a smaller size.
constexpr Index parallel_minimum_elements = Index{1} << 20;

/// Most threads a call may use. Larger settings are refused at import.
constexpr Index most_threads = 1024;

/// Threads a call may use, the calling one included; 1 unless set at import.
Index thread_count() noexcept;

/// Sets the thread count (1 to most_threads). Called once, before any call is made.
void set_thread_count(Index count) noexcept;

/// The CPUs this process may run on (its affinity mask), at least 1.
Index available_cpus() noexcept;

/// Parts to split the work of `elements` floats into, for a work whose parts each need at
/// least `minimum_part` units of `units` (rows, say): 1 below the threshold or with one thread.
Index parts_for(Index elements, Index units) noexcept;

namespace detail {
void run_parts(Index parts, void (*call)(void*, Index), void* context);
}

/// Runs `part(k)` for every k below `parts`, the calling thread taking parts as the workers
/// do, and returns once every part has ended. A part that throws does not stop the others;
/// the fault of the lowest-numbered part that threw is rethrown here, on the calling thread,
/// so that a call reports it exactly as when it runs alone. Parts must not touch Python.
template <class Part>
void run_parts(Index parts, Part&& part) {
    if (parts <= 1) {
        part(Index{0});
        return;
    }
    using Stored = std::remove_reference_t<Part>;
    detail::run_parts(parts, [](void* context, Index k) { (*static_cast<Stored*>(context))(k); },
                      const_cast<void*>(static_cast<const void*>(&part)));
}

/// The half-open range of part `k` of `parts` over `count` units, in multiples of `grain`
/// (the last part takes the rest), so that parts of a buffer meet at cache-line bounds.
struct PartRange {
    Index begin, end;
};
PartRange part_range(Index count, Index parts, Index k, Index grain = 1) noexcept;

}  // namespace pixalot
