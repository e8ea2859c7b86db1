// The environment, read once at import; after that both settings are constants.
#include "boundary/settings.hpp"

#include "kernels/threads.hpp"

#include <charconv>
#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif
#include <chrono>
#include <thread>
#include <cstdlib>
#include <string>
#include <string_view>

namespace pixalot {
namespace {

bool release_lock_setting = false;

/// Warns once about `variable`; an error only when the warning filters make it one.
PyResult<void> warn(const std::string& message) {
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message.c_str(), 1) != 0) return std::unexpected(PyErr::fetch());
    return {};
}

PyResult<void> read_thread_count() {
    const char* raw = std::getenv("PIXALOT_NUM_THREADS");
    if (raw == nullptr || *raw == '\0') return {};
    const std::string_view text(raw);
    if (text == "0" || text == "auto") {
        set_thread_count(std::min(available_cpus(), most_threads));
        return {};
    }
    Index count = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (error == std::errc{} && end == text.data() + text.size() && count >= 1 && count <= most_threads) {
        set_thread_count(count);
        return {};
    }
    return warn("PIXALOT_NUM_THREADS=" + std::string(text) + " is not a thread count (a whole number from 1 to " +
                std::to_string(most_threads) + ", or 0 or auto for the CPUs this process may use): using one thread");
}

PyResult<void> read_release_lock() {
    const char* raw = std::getenv("PIXALOT_RELEASE_GIL");
    if (raw == nullptr) return {};
    const std::string_view text(raw);
    if (text == "1") {
        release_lock_setting = true;
        return {};
    }
    if (text.empty() || text == "0") return {};
    return warn("PIXALOT_RELEASE_GIL=" + std::string(text) +
                " is neither 1 nor 0: the interpreter lock stays held during calls");
}

}  // namespace

PyResult<void> read_settings() {
    if (PyResult<void> threads = read_thread_count(); !threads) return threads;
    return read_release_lock();
}

bool releases_lock() noexcept { return release_lock_setting; }

namespace {

[[noreturn]] void wait_for_the_end() noexcept {
    while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

// Before CPython 3.14, a thread that takes the lock back once the interpreter is being
// finalized (a daemon thread still computing at exit) is ended with pthread_exit, whose
// unwinding may not cross the module's noexcept frames: the process would abort. Such a
// thread waits for the process to end instead, as 3.14 makes it wait: before asking for the
// lock when finalization has begun, and in the handler of the unwinding when it began while
// the thread was waiting (a handler that never returns neither ends the unwinding early nor
// lets it reach the frames that may not be crossed).
void LockReleased::take_back() noexcept {
    if (compat::interpreter_finalizing()) wait_for_the_end();
#if defined(__GLIBCXX__)
    try {
        PyEval_RestoreThread(saved_);
    } catch (abi::__forced_unwind&) {
        wait_for_the_end();
    }
#else
    PyEval_RestoreThread(saved_);
#endif
}

}  // namespace pixalot
