// Colour levels in chunks: a vectorisable linear map and clamp, then the power stage.
#include "kernels/levels.hpp"

#include <algorithm>
#include "kernels/clamp.hpp"
#include "kernels/cpu.hpp"

#include <cmath>
#include <cstring>

namespace pixalot {
namespace {

constexpr std::size_t chunk = 512;

inline float levels_base(const LevelsParameters& p, float value) {
    return clamp_unit((value - p.in_low) / p.in_span * p.out_span + p.out_low);
}

/// What the power stage reduces to. The base is always +0.0 or in (0, 1], never NaN:
/// - powf(x, +-0) is 1 for every x, NaN included (C Annex F.10.4.4);
/// - powf(x, 1) is x: pow(+0, y > 0) is +0, and for x in (0, 1] the exact result x is
///   representable, so a powf that is accurate to better than half an ulp at an exact
///   case returns it (glibc's powf is; the test suite checks it on every exponent-range
///   boundary and many samples).
enum class PowerMode { Identity, One, Call };

PowerMode mode_of(float gamma) {
    if (gamma == 1.0f) return PowerMode::Identity;
    if (gamma == 0.0f) return PowerMode::One;
    return PowerMode::Call;
}

/// The linear map and clamp of contiguous elements; the AVX2 clone does eight lanes at a
/// time with the same IEEE operations per lane.
#if PIXALOT_X86
__attribute__((target_clones("avx2", "default")))
#endif
void levels_bases(const LevelsParameters& p, const float* source, std::size_t count, float* bases) {
    for (std::size_t k = 0; k < count; ++k) bases[k] = levels_base(p, source[k]);
}

}  // namespace

float levels_element(const LevelsParameters& parameters, float value) {
    return powf(levels_base(parameters, value), parameters.gamma);
}

namespace {

constexpr unsigned memo_slot_bits = 13;
constexpr std::size_t memo_slots = std::size_t{1} << memo_slot_bits;

/// Knuth's multiplicative hash of the input's bits.
inline std::uint32_t memo_slot(std::uint32_t bits) { return (bits * 2654435761u) >> (32 - memo_slot_bits); }

inline std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline std::uint64_t memo_entry(float input, float result) {
    return (std::uint64_t{bits_of(result)} << 32) | bits_of(input);
}

/// One entry per slot: an input's bits in the low half, its result's bits in the high
/// half, so one 64-bit load (one gather lane) brings both. Every entry always holds a
/// true pair (they start as +0.0 and its result), so no bit pattern needs to mean "empty".
struct MemoTables {
    std::uint64_t entries[memo_slots];
};

inline float memo_fill(MemoTables& tables, const LevelsParameters& p, float input) {
    const float result = levels_element(p, input);
    tables.entries[memo_slot(bits_of(input))] = memo_entry(input, result);
    return result;
}

/// Looks the elements up, computing and remembering the misses; gives the hit count.
std::size_t memo_levels_scalar(MemoTables& tables, const LevelsParameters& p, const float* source,
                               std::ptrdiff_t stride, std::size_t count, float* target) {
    std::size_t hits = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const float input = source[static_cast<std::ptrdiff_t>(k) * stride];
        const std::uint32_t bits = bits_of(input);
        const std::uint64_t entry = tables.entries[memo_slot(bits)];
        if (static_cast<std::uint32_t>(entry) == bits) {
            const auto result_bits = static_cast<std::uint32_t>(entry >> 32);
            std::memcpy(&target[k], &result_bits, sizeof result_bits);
            ++hits;
        } else {
            target[k] = memo_fill(tables, p, input);
        }
    }
    return hits;
}

#if PIXALOT_X86
/// The same lookup eight contiguous elements at a time with gathers; a hit costs no
/// arithmetic at all, and misses fall back lane by lane.
PIXALOT_TARGET_AVX2
std::size_t memo_levels_avx2(MemoTables& tables, const LevelsParameters& p, const float* source, std::size_t count,
                             float* target) {
    std::size_t hits = 0, k = 0;
    const __m256i multiplier = _mm256_set1_epi32(static_cast<int>(2654435761u));
    const auto* entries = reinterpret_cast<const long long*>(tables.entries);
    for (; k + 8 <= count; k += 8) {
        const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + k));
        const __m256i slots = _mm256_srli_epi32(_mm256_mullo_epi32(bits, multiplier), 32 - memo_slot_bits);
        const __m256 low = _mm256_castsi256_ps(_mm256_i32gather_epi64(entries, _mm256_castsi256_si128(slots), 8));
        const __m256 high = _mm256_castsi256_ps(_mm256_i32gather_epi64(entries, _mm256_extracti128_si256(slots, 1), 8));
        // Even dwords are inputs, odd ones results; the shuffle interleaves the 128-bit
        // halves, which the permute puts back in lane order.
        const __m256i keys = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88)), 0xD8);
        const __m256i results = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xDD)), 0xD8);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + k), results);
        unsigned misses = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(keys, bits)))) & 0xFFu;
        hits += 8 - static_cast<std::size_t>(__builtin_popcount(misses));
        for (; misses != 0; misses &= misses - 1) {
            const std::size_t lane = k + static_cast<std::size_t>(__builtin_ctz(misses));
            target[lane] = memo_fill(tables, p, source[lane]);
        }
    }
    return hits + memo_levels_scalar(tables, p, source + k, 1, count - k, target + k);
}
#endif

}  // namespace

/// A direct-mapped memo from input bits to results, exact because the element function
/// is a pure function of the element for one call. Images from 8- or 16-bit sources hold
/// few distinct values, so most lookups hit and skip the arithmetic and powf. On data
/// whose values are all distinct the hit rate is watched per chunk and the memo steps
/// aside, probing again now and then, so such data pays almost nothing for it.
class LevelsKernel::PowMemo {
public:
    explicit PowMemo(const LevelsParameters& parameters) : tables_(std::make_unique<MemoTables>()) {
        std::fill_n(tables_->entries, memo_slots, memo_entry(0.0f, levels_element(parameters, 0.0f)));
#if PIXALOT_X86
        avx2_ = cpu_has_avx2();
#endif
    }

    /// Whether the next chunk should skip the memo: after a chunk with few hits the memo
    /// rests for a while, then probes again.
    bool resting() {
        if (resting_chunks_ == 0) return false;
        --resting_chunks_;
        return true;
    }

    void run(const LevelsParameters& parameters, const float* source, std::ptrdiff_t stride, std::size_t count,
             float* target) {
        std::size_t hits;
#if PIXALOT_X86
        if (avx2_ && stride == 1) {
            hits = memo_levels_avx2(*tables_, parameters, source, count, target);
        } else
#endif
        {
            hits = memo_levels_scalar(*tables_, parameters, source, stride, count, target);
        }
        if (hits * 4 < count) resting_chunks_ = rest_after_miss;
    }

private:
    static constexpr unsigned rest_after_miss = 128;

    bool avx2_ = false;
    unsigned resting_chunks_ = 0;
    std::unique_ptr<MemoTables> tables_;
};

LevelsKernel::LevelsKernel(const LevelsParameters& parameters, std::size_t total_elements)
    : parameters_(parameters) {
    // Below a few chunks the memo's set-up costs more than it can save.
    if (mode_of(parameters.gamma) == PowerMode::Call && total_elements >= 16 * chunk) {
        memo_ = std::make_unique<PowMemo>(parameters);
    }
}

LevelsKernel::~LevelsKernel() = default;

void LevelsKernel::run(const float* source, std::ptrdiff_t stride, std::size_t count, float* target) {
    const LevelsParameters p = parameters_;
    const PowerMode mode = mode_of(p.gamma);
    if (mode == PowerMode::One) {
        std::fill_n(target, count, 1.0f);
        return;
    }
    float bases[chunk];
    for (std::size_t done = 0; done < count; done += chunk) {
        const std::size_t length = std::min(chunk, count - done);
        const float* from = source + static_cast<std::ptrdiff_t>(done) * stride;
        float* to = target + done;
        if (mode == PowerMode::Call && memo_ && !memo_->resting()) {
            memo_->run(p, from, stride, length, to);
            continue;
        }
        // The map first, vectorised over the chunk, then powf on each base.
        float* base_out = mode == PowerMode::Identity ? to : bases;
        if (stride == 1) {
            levels_bases(p, from, length, base_out);
        } else {
            for (std::size_t k = 0; k < length; ++k) {
                base_out[k] = levels_base(p, from[static_cast<std::ptrdiff_t>(k) * stride]);
            }
        }
        if (mode == PowerMode::Identity) continue;
        const float gamma = p.gamma;
        for (std::size_t k = 0; k < length; ++k) to[k] = powf(bases[k], gamma);
    }
}

}  // namespace pixalot
