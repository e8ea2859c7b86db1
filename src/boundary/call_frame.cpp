// The abort path of the call frame.
#include "boundary/call_frame.hpp"

namespace pixalot {

void abort_at_boundary(std::source_location where) noexcept {
    write_fault_report("uncaught panic at ffi boundary", where);
    std::abort();
}

}  // namespace pixalot
