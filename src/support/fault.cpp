// The fault report and the two ways a fault starts unwinding.
#include "support/fault.hpp"

#include <cerrno>
#include <unistd.h>

namespace pixalot {

void write_stderr(std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(2, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

void write_fault_report(std::string_view message, std::source_location where) {
    // The interpreter's threads carry no name the module knows of.
    std::string report = "thread '<unnamed>' panicked at ";
    report += where.file_name();
    report += ':';
    report += std::to_string(where.line());
    report += ':';
    report += std::to_string(where.column());
    report += ":\n";
    report += message;
    report += '\n';
    write_stderr(report);
}

void panic(std::string message, std::source_location where) {
    write_fault_report(message, where);
    throw Fault{std::move(message)};
}

void resume_panic(std::string message) { throw Fault{std::move(message)}; }

}  // namespace pixalot
