// Row kernels with an optional streaming store, for results too large to stay in cache.
#pragma once
#include "kernels/clamp.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pixalot {

/// Results from this many bytes on are written with non-temporal stores: they would
/// evict the input on their way through the cache, and such stores skip reading the
/// destination lines first, a third of the memory traffic of a plain store.
constexpr std::size_t streaming_threshold_bytes = std::size_t{8} << 20;

/// Makes streamed stores visible before the result is handed to anyone else.
inline void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

/// Runs `scalar(k)` up to the first 16-byte boundary of `target`, `vector(k)` (four
/// elements, returning them) over the aligned body with streaming stores, and `scalar`
/// over the tail. Without `stream` (or SSE2) everything goes through `scalar`, which the
/// compiler vectorises itself. Both paths perform the same IEEE operations per element.
template <class Scalar, class Vector>
inline void stream_row(float* target, std::size_t count, bool stream, Scalar&& scalar, Vector&& vector) {
    std::size_t k = 0;
#if defined(__SSE2__)
    if (stream) {
        for (; k < count && (reinterpret_cast<std::uintptr_t>(target + k) & 15) != 0; ++k) target[k] = scalar(k);
        for (; k + 4 <= count; k += 4) _mm_stream_ps(target + k, vector(k));
    }
#else
    (void)stream;
    (void)vector;
#endif
    for (; k < count; ++k) target[k] = scalar(k);
}

#if defined(__SSE2__)
/// clamp_unit on four lanes: max(x, 0) is x > 0 ? x : 0 and min(x, 1) is x < 1 ? x : 1,
/// lane for lane, NaN and -0.0 included.
inline __m128 clamp_unit4(__m128 value) {
    return _mm_min_ps(_mm_max_ps(value, _mm_setzero_ps()), _mm_set1_ps(1.0f));
}
#endif

/// target[k] = clamp_unit(source[k] + addend[k]).
inline void add_clamp(const float* source, const float* addend, float* target, std::size_t count, bool stream) {
    stream_row(
        target, count, stream, [&](std::size_t k) { return clamp_unit(source[k] + addend[k]); },
        [&](std::size_t k) {
#if defined(__SSE2__)
            return clamp_unit4(_mm_add_ps(_mm_loadu_ps(source + k), _mm_loadu_ps(addend + k)));
#else
            return k;
#endif
        });
}

}  // namespace pixalot
