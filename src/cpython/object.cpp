// Reference bookkeeping shared by every call: deferred releases, the temporary-object pool, lock depth.
#include "cpython/object.hpp"

#include "support/fault.hpp"

#include <atomic>
#include <iterator>
#include <mutex>
#include <vector>

namespace pixalot {
namespace {

std::mutex deferred_mutex;
std::vector<PyObject*> deferred_releases;
// Lets the call frame skip the mutex on the common path where nothing was queued.
std::atomic<bool> releases_pending{false};

thread_local ThreadCallState call_state;

}  // namespace

void release_reference(PyObject* object) noexcept {
    if (compat::holds_interpreter_lock()) {
        Py_DECREF(object);
        return;
    }
    std::lock_guard lock(deferred_mutex);
    try {
        deferred_releases.push_back(object);
        releases_pending.store(true, std::memory_order_release);
    } catch (...) {
        // Out of memory while off the lock: leaking one reference is the only safe choice.
    }
}

void apply_deferred_releases() noexcept {
    if (!releases_pending.load(std::memory_order_acquire)) return;
    std::vector<PyObject*> pending;
    {
        std::lock_guard lock(deferred_mutex);
        releases_pending.store(false, std::memory_order_relaxed);
        if (deferred_releases.empty()) return;
        pending.swap(deferred_releases);
    }
    for (PyObject* object : pending) Py_DECREF(object);
}

ThreadCallState& thread_call_state() noexcept { return call_state; }

PyObject* register_owned(PyObject* object) {
    try {
        call_state.owned_objects.push_back(object);
    } catch (...) {
        Py_DECREF(object);
        throw;
    }
    return object;
}

GILPool::GILPool(ThreadCallState& state) noexcept : state_(state), mark_(std::ssize(state.owned_objects)) {}

GILPool::~GILPool() noexcept {
    // A finaliser run by a release may register objects of its own; they sit past `end`
    // and are kept for the enclosing pool, so the walk is by index, not by iterator.
    std::vector<PyObject*>& owned = state_.owned_objects;
    const std::ptrdiff_t end = std::ssize(owned);
    if (end == mark_) return;
    for (std::ptrdiff_t index = mark_; index < end; ++index) Py_DECREF(owned.begin()[index]);
    owned.erase(owned.begin() + mark_, owned.begin() + end);
}

GILCountGuard::GILCountGuard(ThreadCallState& state) : state_(state) {
    if (state_.gil_count < 0) panic("access to the Python interpreter is barred on this thread");
    ++state_.gil_count;
}

GILCountGuard::~GILCountGuard() noexcept { --state_.gil_count; }

}  // namespace pixalot
