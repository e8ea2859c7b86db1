// The only place that asks the processor what it can run.
#include "kernels/dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace pixalot {

namespace {

CpuKernels resolve() {
    const char* forced = std::getenv("PIXALOT_CPU");
    if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return baseline_kernels();
#if defined(PIXALOT_HAVE_AVX2_KERNELS)
    // Constructors of a library may run before the one that reads the processor's features.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return avx2_kernels();
#endif
    return baseline_kernels();
}

}  // namespace

namespace detail {
const CpuKernels resolved_kernels = resolve();
}  // namespace detail

}  // namespace pixalot
