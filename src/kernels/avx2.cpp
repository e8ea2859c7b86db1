// The AVX2 bodies of the dispatched kernels. This file alone is compiled for AVX2, and only
// reached through avx2_kernels() once the processor is known to run it. Everything here
// but that function has internal linkage, and it calls no inline function of external
// linkage, so no AVX2 copy of shared code can stand in for a baseline one.
#include "kernels/dispatch.hpp"
#include "kernels/levels_memo.hpp"

#if defined(PIXALOT_HAVE_AVX2_KERNELS)
#include <immintrin.h>

namespace pixalot {
namespace {

/// The linear map and clamp: the same loop as the baseline's, eight lanes at a time with
/// the same IEEE operations per lane.
void levels_bases(const LevelsParameters& p, const float* source, Index count, float* bases) {
    for (Index k = 0; k < count; ++k) bases[k] = levels_base(p, source[k]);
}

/// Eight memo lookups; the lanes set in `misses` are left to `HashedMemo::lookup`.
__m256 lookup8(const HashedMemo& memo, __m256 values, unsigned& misses) {
    const __m256i bits = _mm256_castps_si256(values);
    const __m256i slots = _mm256_srli_epi32(
        _mm256_mullo_epi32(bits, _mm256_set1_epi32(static_cast<int>(hash_multiplier))), 32 - memo_slot_bits);
    const auto* base = reinterpret_cast<const long long*>(memo.entries);
    const __m256 low = _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_castsi256_si128(slots), 8));
    const __m256 high = _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_extracti128_si256(slots, 1), 8));
    // Even dwords are inputs, odd ones results; the shuffle interleaves the 128-bit
    // halves, which the permute puts back in lane order.
    const __m256i keys = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88)), 0xD8);
    misses = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(keys, bits)))) & 0xFFu;
    return _mm256_castsi256_ps(
        _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xDD)), 0xD8));
}

/// Eight code-table lookups; the lanes set in `misses` are left to `CodeTable::lookup`.
/// Out-of-range and NaN products convert to 0x80000000, which the unsigned minimum sends to
/// `beyond` along with negative codes; whatever the code, the quotient check decides.
__m256 lookup8(const CodeTable& table, __m256 values, unsigned& misses) {
    const __m256 levels = _mm256_set1_ps(table.scale);
    const __m256i codes = _mm256_min_epu32(_mm256_cvtps_epi32(_mm256_mul_ps(values, levels)),
                                           _mm256_set1_epi32(static_cast<int>(table.beyond)));
    const __m256i quotients = _mm256_castps_si256(_mm256_div_ps(_mm256_cvtepi32_ps(codes), levels));
    const __m256i found = _mm256_cmpeq_epi32(quotients, _mm256_castps_si256(values));
    const __m256i known = _mm256_i32gather_epi32(reinterpret_cast<const int*>(table.results.get()), codes, 4);
    const __m256i served = _mm256_andnot_si256(_mm256_cmpeq_epi32(known, _mm256_set1_epi32(-1)), found);
    misses = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(served))) & 0xFFu;
    return _mm256_castsi256_ps(known);
}

/// The lookups sixteen at a time with gathers, a hit costing no arithmetic on the element;
/// misses, which are rare where a table is worth its keep, are settled lane by lane before
/// the vectors are stored.
template <class Table>
Index lookups(Table& table, const LevelsParameters& p, const float* source, Index count,
                    float* target) {
    Index served = 0, unserved = 0, k = 0;
    for (; k + 16 <= count; k += 16) {
        unsigned low_misses, high_misses;
        __m256 low = lookup8(table, _mm256_loadu_ps(source + k), low_misses);
        __m256 high = lookup8(table, _mm256_loadu_ps(source + k + 8), high_misses);
        if (const unsigned misses = low_misses | high_misses << 8; misses != 0) {
            alignas(32) float lanes[16];
            _mm256_store_ps(lanes, low);
            _mm256_store_ps(lanes + 8, high);
            for (Index lane = 0; lane < 16; ++lane) {
                if (misses & (1u << lane)) lanes[lane] = table.lookup(p, source[k + lane], served);
            }
            unserved += __builtin_popcount(misses);
            low = _mm256_load_ps(lanes);
            high = _mm256_load_ps(lanes + 8);
        }
        _mm256_storeu_ps(target + k, low);
        _mm256_storeu_ps(target + k + 8, high);
    }
    served += k - unserved;
    for (; k < count; ++k) target[k] = table.lookup(p, source[k], served);
    return served;
}

Index hashed_lookups(HashedMemo& memo, const LevelsParameters& p, const float* source, Index count,
                           float* target) {
    return lookups(memo, p, source, count, target);
}

Index coded_lookups(CodeTable& table, const LevelsParameters& p, const float* source, Index count,
                          float* target) {
    return lookups(table, p, source, count, target);
}

void gather(const float* values, const std::uint32_t* indices, Index count, float* per_pixel) {
    Index k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256i lanes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(indices + k));
        _mm256_storeu_ps(per_pixel + k, _mm256_i32gather_ps(values, lanes, 4));
    }
    for (; k < count; ++k) per_pixel[k] = values[indices[k]];
}

}  // namespace

CpuKernels avx2_kernels() {
    // Adding and clamping is bound by memory, not arithmetic: the baseline body serves.
    CpuKernels kernels = baseline_kernels();
    kernels.levels_bases = levels_bases;
    kernels.hashed_lookups = hashed_lookups;
    kernels.coded_lookups = coded_lookups;
    kernels.gather = gather;
    return kernels;
}

}  // namespace pixalot
#endif
