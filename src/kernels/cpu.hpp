// Run-time choice of vector code beyond the baseline, so one build runs on any x86.
#pragma once

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#define PIXALOT_X86 1
#include <immintrin.h>
#define PIXALOT_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define PIXALOT_X86 0
#define PIXALOT_TARGET_AVX2
#endif

namespace pixalot {

/// Whether this processor runs AVX2 code (asked once).
inline bool cpu_has_avx2() {
#if PIXALOT_X86
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

}  // namespace pixalot
