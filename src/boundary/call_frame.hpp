// The call frame every entry into the module passes through: lock depth, pools, errors, faults.
#pragma once
#include "support/fault.hpp"
#include "cpython/pyerr.hpp"

#include <cstdlib>
#include <new>

namespace pixalot {

/// A fault that escapes the frame's own bookkeeping may not unwind into the interpreter:
/// report it once more at the boundary and abort the process.
[[noreturn]] void abort_at_boundary(std::source_location where = std::source_location::current()) noexcept;

/// Runs `body` (returning PyResult<PyObject*>, a new reference on success) the way every
/// entry into the module must: faults captured and turned into PanicException, errors
/// raised, refused memory raised as MemoryError, temporary objects released. Returns
/// the result or null with an exception set.
template <class Body>
PyObject* call_frame(Body&& body) noexcept {
    try {
        PyObject* result = nullptr;
        ThreadCallState& state = thread_call_state();
        GILCountGuard depth(state);
        apply_deferred_releases();
        GILPool pool(state);
        std::optional<PyErr> error;
        try {
            PyResult<PyObject*> outcome = body();
            if (outcome) {
                result = *outcome;
            } else {
                error.emplace(std::move(outcome.error()));
            }
        } catch (Fault& fault) {
            error.emplace(panic_exception_from_payload(std::move(fault.message)));
        } catch (const std::bad_alloc&) {
            // The interpreter keeps a MemoryError instance ready for exactly this case.
            PyErr_NoMemory();
        } catch (...) {
            error.emplace(panic_exception_from_payload("panic from native code"));
        }
        if (error) std::move(*error).restore();
        return result;
    } catch (...) {
        abort_at_boundary();
    }
}

}  // namespace pixalot
