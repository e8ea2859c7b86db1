// Reference bookkeeping shared by every call: deferred releases, the temporary-object pool, lock depth.
#include "boundary/object.hpp"

#include "boundary/fault.hpp"

#include <mutex>
#include <vector>

namespace pixalot {
namespace {

std::mutex deferred_mutex;
std::vector<PyObject*> deferred_releases;

thread_local std::vector<PyObject*> owned_objects;
thread_local std::intptr_t gil_count = 0;

}  // namespace

void release_reference(PyObject* object) noexcept {
    if (PyGILState_Check()) {
        Py_DECREF(object);
        return;
    }
    std::lock_guard lock(deferred_mutex);
    try {
        deferred_releases.push_back(object);
    } catch (...) {
        // Out of memory while off the lock: leaking one reference is the only safe choice.
    }
}

void apply_deferred_releases() noexcept {
    std::vector<PyObject*> pending;
    {
        std::lock_guard lock(deferred_mutex);
        if (deferred_releases.empty()) return;
        pending.swap(deferred_releases);
    }
    for (PyObject* object : pending) Py_DECREF(object);
}

PyObject* register_owned(PyObject* object) {
    try {
        owned_objects.push_back(object);
    } catch (...) {
        Py_DECREF(object);
        throw;
    }
    return object;
}

GILPool::GILPool() noexcept : mark_(owned_objects.size()) {}

GILPool::~GILPool() {
    // A finaliser run by a release may register objects of its own; they sit past `end`
    // and are kept for the enclosing pool, so the walk is by index, not by iterator.
    const std::size_t end = owned_objects.size();
    for (std::size_t index = mark_; index < end; ++index) Py_DECREF(owned_objects[index]);
    owned_objects.erase(owned_objects.begin() + static_cast<std::ptrdiff_t>(mark_),
                        owned_objects.begin() + static_cast<std::ptrdiff_t>(end));
}

GILCountGuard::GILCountGuard() {
    if (gil_count < 0) panic("access to the Python interpreter is barred on this thread");
    ++gil_count;
}

GILCountGuard::~GILCountGuard() { --gil_count; }

}  // namespace pixalot
