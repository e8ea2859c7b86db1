// The baseline bodies of the dispatched kernels: plain loops the compiler vectorises for
// the target's baseline, SSE2 streaming stores on x86. They are the reference the other
// instruction sets' bodies must match bit for bit.
#include "kernels/dispatch.hpp"
#include "kernels/levels_memo.hpp"
#include "support/steps.hpp"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pixalot {

float HashedMemo::lookup(const LevelsParameters& p, float value, std::size_t& hits) {
    const std::uint32_t bits = bits_of(value);
    std::uint64_t& entry = entries[(bits * hash_multiplier) >> (32 - memo_slot_bits)];
    if (static_cast<std::uint32_t>(entry) == bits) {
        ++hits;
        return float_of(static_cast<std::uint32_t>(entry >> 32));
    }
    const float result = levels_element(p, value);
    entry = (std::uint64_t{bits_of(result)} << 32) | bits;
    return result;
}

float CodeTable::lookup(const LevelsParameters& p, float value, std::size_t& served) {
    const std::optional<std::uint32_t> code = code_of(value, scale, beyond);
    if (!code) {
        std::size_t unused = 0;
        return fallback->lookup(p, value, unused);
    }
    ++served;
    float& result = results[*code];
    if (bits_of(result) == unknown) result = levels_element(p, value);
    return result;
}

namespace {

template <class Table>
std::size_t lookups(Table& table, const LevelsParameters& p, const float* source, std::ptrdiff_t stride,
                    std::size_t count, float* target) {
    std::size_t served = 0;
    for (std::size_t k = 0; k < count; ++k) {
        target[k] = table.lookup(p, *stepped(source, k, stride), served);
    }
    return served;
}

void levels_bases(const LevelsParameters& p, const float* source, std::size_t count, float* bases) {
    for (std::size_t k = 0; k < count; ++k) bases[k] = levels_base(p, source[k]);
}

std::size_t hashed_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source, std::size_t count,
                           float* target) {
    return lookups(memo, p, source, 1, count, target);
}

std::size_t coded_lookups(CodeTable& table, const LevelsParameters& p, const float* source, std::size_t count,
                          float* target) {
    return lookups(table, p, source, 1, count, target);
}

void gather(const float* values, const std::uint32_t* indices, std::size_t count, float* per_pixel) {
    for (std::size_t k = 0; k < count; ++k) per_pixel[k] = values[indices[k]];
}

/// Results from the first 16-byte boundary of `target` on go out four at a time with
/// streaming stores; the rest element by element. Without `stream` (or SSE2) the whole
/// row is the plain loop, which the compiler vectorises itself. Both perform the same IEEE
/// operations per element: max(x, 0) is x > 0 ? x : 0 and min(x, 1) is x < 1 ? x : 1, lane
/// for lane, NaN and -0.0 included.
void add_clamp(const float* source, const float* addend, float* target, std::size_t count, bool stream) {
    std::size_t k = 0;
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

std::size_t strided_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source,
                            std::ptrdiff_t stride, std::size_t count, float* target) {
    return lookups(memo, p, source, stride, count, target);
}

std::size_t strided_lookups(CodeTable& table, const LevelsParameters& p, const float* source,
                            std::ptrdiff_t stride, std::size_t count, float* target) {
    return lookups(table, p, source, stride, count, target);
}

void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

CpuKernels baseline_kernels() {
    return {levels_bases, hashed_lookups, coded_lookups, gather, add_clamp};
}

}  // namespace pixalot
