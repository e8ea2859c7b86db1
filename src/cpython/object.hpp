// Owned Python references, the deferred release queue and the call's pool of temporary objects.
#pragma once
#include "cpython/compat.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>
#include <utility>

namespace pixalot {

/// Gives one reference back. Without the interpreter lock the release is queued and
/// applied by the next call frame, because touching a reference count off the lock
/// races with the interpreter.
/// The queue serves error values, which may be moved to and dropped on any thread (a
/// worker that holds a failed call's PyErr), taking their references with them.
void release_reference(PyObject* object) noexcept;

/// Applies the releases queued while no thread held the interpreter lock.
void apply_deferred_releases() noexcept;

/// One strong reference, given back exactly once when the owner goes away.
class PyRef {
public:
    PyRef() noexcept = default;
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() noexcept { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    /// Hands the reference to the caller (for CPython calls that steal it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

/// What each thread keeps for the calls active on it: the lock-depth counter and the
/// temporary objects of its open pools. Reached once per call frame, since every access
/// to thread-local storage from a shared library costs a call.
struct ThreadCallState {
    std::intptr_t gil_count = 0;
    std::vector<PyObject*> owned_objects;
};

ThreadCallState& thread_call_state() noexcept;

/// Hands a new reference to the current call's pool, which releases it when the call
/// ends; returns the object, still usable until then.
PyObject* register_owned(PyObject* object);

/// The call's pool of temporary objects: remembers how many the thread holds on entry
/// and releases those registered since, in registration order, on exit.
class GILPool {
public:
    explicit GILPool(ThreadCallState& state) noexcept;
    ~GILPool() noexcept;
    GILPool(const GILPool&) = delete;
    GILPool& operator=(const GILPool&) = delete;

private:
    ThreadCallState& state_;
    std::ptrdiff_t mark_;
};

/// Counts this thread's active entries into the module for the length of one call.
/// Entries nest when Python code run by a conversion (`__float__`, `__index__`) calls the
/// module again; a negative count, which nothing here sets today, bars the thread (a
/// garbage-collector traverse hook would) and turns such a call into a fault, not a race.
class GILCountGuard {
public:
    explicit GILCountGuard(ThreadCallState& state);
    ~GILCountGuard() noexcept;
    GILCountGuard(const GILCountGuard&) = delete;
    GILCountGuard& operator=(const GILCountGuard&) = delete;

private:
    ThreadCallState& state_;
};

}  // namespace pixalot
