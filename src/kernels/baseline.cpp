// The baseline bodies of the dispatched kernels: plain loops the compiler vectorises for
// the target's baseline, SSE2 streaming stores on x86. They are the reference the other
// instruction sets' bodies must match bit for bit.
#include "kernels/dispatch.hpp"
#include "kernels/levels_memo.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pixalot {

namespace {

void levels_bases(const LevelsParameters& p, const float* source, Index count, float* bases) {
    for (Index k = 0; k < count; ++k) bases[k] = levels_base(p, source[k]);
}

Index hashed_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source, Index count,
                           float* target) {
    return strided_lookups(memo, p, source, 1, count, target);
}

Index coded_lookups(CodeTable& table, const LevelsParameters& p, const float* source, Index count,
                          float* target) {
    return strided_lookups(table, p, source, 1, count, target);
}

void gather(const float* values, const std::uint32_t* indices, Index count, float* per_pixel) {
    for (Index k = 0; k < count; ++k) per_pixel[k] = values[indices[k]];
}

/// Results from the first 16-byte boundary of `target` on go out four at a time with
/// streaming stores; the rest element by element. Without `stream` (or SSE2) the whole
/// row is the plain loop, which the compiler vectorises itself. Both perform the same IEEE
/// operations per element: max(x, 0) is x > 0 ? x : 0 and min(x, 1) is x < 1 ? x : 1, lane
/// for lane, NaN and -0.0 included.
void add_clamp(const float* source, const float* addend, float* target, Index count, bool stream) {
    Index k = 0;
#if defined(__SSE2__)
    if (stream) {
        for (; k < count && (reinterpret_cast<std::uintptr_t>(target + k) & 15) != 0; ++k) {
            target[k] = clamp_unit(source[k] + addend[k]);
        }
        for (; k + 4 <= count; k += 4) {
            const __m128 sum = _mm_add_ps(_mm_loadu_ps(source + k), _mm_loadu_ps(addend + k));
            _mm_stream_ps(target + k, _mm_min_ps(_mm_max_ps(sum, _mm_setzero_ps()), _mm_set1_ps(1.0f)));
        }
    }
#else
    (void)stream;
#endif
    for (; k < count; ++k) target[k] = clamp_unit(source[k] + addend[k]);
}

}  // namespace

void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

CpuKernels baseline_kernels() {
    return {levels_bases, hashed_lookups, coded_lookups, gather, add_clamp};
}

}  // namespace pixalot
