// The only place that asks the processor what it can run.
#include "kernels/dispatch.hpp"

#include <cstdlib>
#include <cstring>

namespace pixalot {

const CpuKernels& cpu_kernels() {
    static const CpuKernels kernels = [] {
        const char* forced = std::getenv("PIXALOT_CPU");
        if (forced != nullptr && std::strcmp(forced, "baseline") == 0) return baseline_kernels();
#if defined(PIXALOT_HAVE_AVX2_KERNELS)
        if (__builtin_cpu_supports("avx2")) return avx2_kernels();
#endif
        return baseline_kernels();
    }();
    return kernels;
}

}  // namespace pixalot
