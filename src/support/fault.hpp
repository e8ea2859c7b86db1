// Faults: violated assumptions that abandon the call and reach Python as PanicException.
#pragma once
#include <source_location>
#include <string>

namespace pixalot {

/// The unwinding payload of a fault. Deliberately not a std::exception, so that no
/// generic handler on the way to the call frame can swallow it.
struct Fault {
    std::string message;
};

/// Writes the fault report (thread, source location of the failing check, message) to
/// file descriptor 2 and unwinds to the call frame.
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

/// Unwinds with `message` without a report: the fault was reported where it first arose.
[[noreturn]] void resume_panic(std::string message);

/// Writes raw text to file descriptor 2, bypassing Python's sys.stderr.
void write_stderr(std::string_view text) noexcept;

/// Writes the fault report: the thread, where the failing check stands, and the message.
void write_fault_report(std::string_view message, std::source_location where);

}  // namespace pixalot
