// The abort path of the call frame.
#include "boundary/call_frame.hpp"

namespace pixalot {

void abort_at_boundary(std::source_location where) noexcept {
    std::string report = "thread '<unnamed>' panicked at ";
    report += where.file_name();
    report += ':' + std::to_string(where.line()) + ':' + std::to_string(where.column());
    report += ":\nuncaught panic at ffi boundary\n";
    write_stderr(report);
    std::abort();
}

}  // namespace pixalot
