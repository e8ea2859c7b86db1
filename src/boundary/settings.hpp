// The two settings read from the environment at import: the threads a call may use, and
// whether a call lets go of the interpreter lock while it computes.
#pragma once
#include "cpython/pyerr.hpp"
#include "support/steps.hpp"

namespace pixalot {

/// Reads PIXALOT_NUM_THREADS and PIXALOT_RELEASE_GIL. A value it cannot use is one
/// RuntimeWarning and the default (an error only when warnings are made errors).
PyResult<void> read_settings();

/// True when PIXALOT_RELEASE_GIL=1 was set at import.
bool releases_lock() noexcept;

/// Calls on fewer elements keep the lock even then: giving it up and taking it back can
/// cost a wait for another thread's switch interval, far more than such a call computes.
constexpr Index release_minimum_elements = Index{16} << 10;

/// Lets go of the interpreter lock for its scope when asked to, and takes it back on every
/// way out (a fault unwinding included) before anything Python is touched again.
class LockReleased {
public:
    explicit LockReleased(bool release) noexcept : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~LockReleased() noexcept {
        if (saved_ != nullptr) take_back();
    }
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    void take_back() noexcept;

    PyThreadState* saved_;
};

}  // namespace pixalot
