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

inline std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

inline float float_of(std::uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr unsigned memo_slot_bits = 13;
constexpr std::size_t memo_slots = std::size_t{1} << memo_slot_bits;
constexpr std::uint32_t hash_multiplier = 2654435761u;

/// A direct-mapped memo keyed by a hash of the input's bits (Knuth's multiplicative hash).
/// Each entry holds an input's bits in its low half and its result's in the high half, so
/// one 64-bit load (one gather lane) brings both. Every entry always holds a true pair
/// (they start as +0.0 and its result), so no bit pattern needs to mean "empty".
struct HashedMemo {
    std::uint64_t entries[memo_slots];

    explicit HashedMemo(const LevelsParameters& p) {
        std::fill_n(entries, memo_slots, entry_of(0.0f, levels_element(p, 0.0f)));
    }

    static std::uint64_t entry_of(float input, float result) {
        return (std::uint64_t{bits_of(result)} << 32) | bits_of(input);
    }

    /// The element, from the memo or computed and remembered in place of the slot's entry.
    float lookup(const LevelsParameters& p, float value, std::size_t& hits) {
        const std::uint32_t bits = bits_of(value);
        std::uint64_t& entry = entries[(bits * hash_multiplier) >> (32 - memo_slot_bits)];
        if (static_cast<std::uint32_t>(entry) == bits) {
            ++hits;
            return float_of(static_cast<std::uint32_t>(entry >> 32));
        }
        const float result = levels_element(p, value);
        entry = entry_of(value, result);
        return result;
    }

#if PIXALOT_X86
    /// Eight lookups; the lanes set in `misses` are left to `lookup`.
    PIXALOT_TARGET_AVX2 __m256 lookup8(__m256 values, unsigned& misses) const {
        const __m256i bits = _mm256_castps_si256(values);
        const __m256i slots = _mm256_srli_epi32(
            _mm256_mullo_epi32(bits, _mm256_set1_epi32(static_cast<int>(hash_multiplier))), 32 - memo_slot_bits);
        const auto* base = reinterpret_cast<const long long*>(entries);
        const __m256 low = _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_castsi256_si128(slots), 8));
        const __m256 high = _mm256_castsi256_ps(_mm256_i32gather_epi64(base, _mm256_extracti128_si256(slots, 1), 8));
        // Even dwords are inputs, odd ones results; the shuffle interleaves the 128-bit
        // halves, which the permute puts back in lane order.
        const __m256i keys = _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0x88)), 0xD8);
        misses = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(keys, bits)))) & 0xFFu;
        return _mm256_castsi256_ps(
            _mm256_permute4x64_epi64(_mm256_castps_si256(_mm256_shuffle_ps(low, high, 0xDD)), 0xD8));
    }
#endif
};

/// The results of the codes k of an image of 2^b - 1 levels, whose values are
/// k / (2^b - 1) rounded to float32 (the float32 quotient, and the float64 one rounded to
/// float32, are the same for every such k). A value's code is the value times 2^b - 1,
/// rounded, and the value is served only when it is that code's quotient bit for bit;
/// anything else (a value nudged off its code, NaN, -0.0, values beyond [0, 1]) goes to
/// the hashed memo. A code's result is computed ahead for calls long enough to meet most
/// codes, else the first time the code is met.
struct CodeTable {
    /// Marks a code not met yet. A true result with these bits (only a NaN gamma with
    /// this payload could give one) is merely computed again each time.
    static constexpr std::uint32_t unknown = 0xFFFFFFFFu;

    unsigned depth;
    float scale;          // 2^depth - 1
    std::uint32_t beyond; // 2^depth: one past the last code, where values far from any code go
    std::unique_ptr<float[]> results;
    HashedMemo* fallback;

    CodeTable(unsigned bits, HashedMemo& hashed)
        : depth(bits), scale(static_cast<float>((1u << bits) - 1)), beyond(1u << bits),
          results(std::make_unique_for_overwrite<float[]>(std::size_t{beyond} + 1)), fallback(&hashed) {
        std::fill_n(results.get(), std::size_t{beyond} + 1, float_of(unknown));
    }

    /// Computes every code's result ahead, for calls long enough to meet most codes: one
    /// tight pass costs far less than meeting the codes one by one in the lookups.
    void fill(const LevelsParameters& p) {
        float inputs[chunk], bases[chunk];
        for (std::uint32_t first = 0; first <= beyond; first += chunk) {
            const std::size_t length = std::min<std::size_t>(chunk, std::size_t{beyond} + 1 - first);
            for (std::size_t k = 0; k < length; ++k) inputs[k] = static_cast<float>(first + k) / scale;
            levels_bases(p, inputs, length, bases);
            for (std::size_t k = 0; k < length; ++k) results[first + k] = powf(bases[k], p.gamma);
        }
    }

    std::uint32_t code_of(float value) const {
        const float scaled = value * scale;
        // NaN fails the comparison too.
        if (!(scaled >= 0.0f && scaled < scale + 0.5f)) return beyond;
        return static_cast<std::uint32_t>(scaled + 0.5f);
    }

    float lookup(const LevelsParameters& p, float value, std::size_t& served) {
        const std::uint32_t code = code_of(value);
        if (bits_of(static_cast<float>(code) / scale) != bits_of(value)) {
            std::size_t unused = 0;
            return fallback->lookup(p, value, unused);
        }
        ++served;
        float& result = results[code];
        if (bits_of(result) == unknown) result = levels_element(p, value);
        return result;
    }

#if PIXALOT_X86
    /// Eight lookups; the lanes set in `misses` are left to `lookup`. Out-of-range and NaN
    /// products convert to 0x80000000, which the unsigned minimum sends to `beyond` along
    /// with negative codes; whatever the code, the quotient check decides.
    PIXALOT_TARGET_AVX2 __m256 lookup8(__m256 values, unsigned& misses) const {
        const __m256 levels = _mm256_set1_ps(scale);
        const __m256i codes = _mm256_min_epu32(_mm256_cvtps_epi32(_mm256_mul_ps(values, levels)),
                                               _mm256_set1_epi32(static_cast<int>(beyond)));
        const __m256i quotients = _mm256_castps_si256(_mm256_div_ps(_mm256_cvtepi32_ps(codes), levels));
        const __m256i found = _mm256_cmpeq_epi32(quotients, _mm256_castps_si256(values));
        const __m256i known = _mm256_i32gather_epi32(reinterpret_cast<const int*>(results.get()), codes, 4);
        const __m256i served = _mm256_andnot_si256(_mm256_cmpeq_epi32(known, _mm256_set1_epi32(-1)), found);
        misses = ~static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(served))) & 0xFFu;
        return _mm256_castsi256_ps(known);
    }
#endif
};

/// Looks the elements up; gives the number the table served.
template <class Table>
std::size_t lookup_scalar(Table& table, const LevelsParameters& p, const float* source, std::ptrdiff_t stride,
                          std::size_t count, float* target) {
    std::size_t served = 0;
    for (std::size_t k = 0; k < count; ++k) {
        target[k] = table.lookup(p, source[static_cast<std::ptrdiff_t>(k) * stride], served);
    }
    return served;
}

template <class Table>
std::size_t lookup_contiguous(Table& table, const LevelsParameters& p, const float* source, std::size_t count,
                              float* target) {
    return lookup_scalar(table, p, source, 1, count, target);
}

#if PIXALOT_X86
/// The same lookups sixteen at a time with gathers, a hit costing no arithmetic on the
/// element; misses, which are rare where a table is worth its keep, are settled lane by
/// lane before the vectors are stored.
template <class Table>
PIXALOT_TARGET_AVX2 std::size_t lookup_avx2(Table& table, const LevelsParameters& p, const float* source,
                                            std::size_t count, float* target) {
    std::size_t served = 0, unserved = 0, k = 0;
    for (; k + 16 <= count; k += 16) {
        unsigned low_misses, high_misses;
        __m256 low = table.lookup8(_mm256_loadu_ps(source + k), low_misses);
        __m256 high = table.lookup8(_mm256_loadu_ps(source + k + 8), high_misses);
        if (const unsigned misses = low_misses | high_misses << 8; misses != 0) {
            alignas(32) float lanes[16];
            _mm256_store_ps(lanes, low);
            _mm256_store_ps(lanes + 8, high);
            for (unsigned lane = 0; lane < 16; ++lane) {
                if (misses & (1u << lane)) lanes[lane] = table.lookup(p, source[k + lane], served);
            }
            unserved += static_cast<std::size_t>(__builtin_popcount(misses));
            low = _mm256_load_ps(lanes);
            high = _mm256_load_ps(lanes + 8);
        }
        _mm256_storeu_ps(target + k, low);
        _mm256_storeu_ps(target + k + 8, high);
    }
    served += k - unserved;
    return served + lookup_scalar(table, p, source + k, 1, count - k, target + k);
}
#endif

/// The contiguous lookups of this processor, chosen once.
struct LookupKernels {
    std::size_t (*hashed)(HashedMemo&, const LevelsParameters&, const float*, std::size_t, float*);
    std::size_t (*coded)(CodeTable&, const LevelsParameters&, const float*, std::size_t, float*);
};

const LookupKernels& lookup_kernels() {
    static const LookupKernels kernels = [] {
#if PIXALOT_X86
        if (cpu_has_avx2()) return LookupKernels{lookup_avx2<HashedMemo>, lookup_avx2<CodeTable>};
#endif
        return LookupKernels{lookup_contiguous<HashedMemo>, lookup_contiguous<CodeTable>};
    }();
    return kernels;
}

/// The smallest depth b of 8, 10, ..., 16 such that nearly all of a sample of the values
/// are codes k / (2^b - 1), or 0 when there is none. Codes of 2^8 - 1 levels are also
/// codes of 2^16 - 1 (65535 = 255 * 257), so the smaller table wins.
unsigned code_depth_of(const float* source, std::ptrdiff_t stride, std::size_t count) {
    constexpr std::size_t samples = 64;
    const std::size_t step = std::max<std::size_t>(1, count / samples);
    for (unsigned depth = 8; depth <= 16; depth += 2) {
        const auto scale = static_cast<float>((1u << depth) - 1);
        std::size_t seen = 0, codes = 0;
        for (std::size_t k = 0; k < count; k += step) {
            const float value = source[static_cast<std::ptrdiff_t>(k) * stride];
            const float scaled = value * scale;
            ++seen;
            if (scaled >= 0.0f && scaled < scale + 0.5f &&
                bits_of(static_cast<float>(static_cast<std::uint32_t>(scaled + 0.5f)) / scale) == bits_of(value)) {
                ++codes;
            }
        }
        if (codes * 8 >= seen * 7) return depth;
    }
    return 0;
}

/// Chunks of few hits send a memo to rest for a while; then it probes again.
class Rest {
public:
    bool resting() {
        if (chunks_ == 0) return false;
        --chunks_;
        return true;
    }
    void start() { chunks_ = 128; }
    void end() { chunks_ = 0; }

private:
    unsigned chunks_ = 0;
};

}  // namespace

/// Memos of results, exact because the element function is a pure function of the element
/// for one call. Images from 8- to 16-bit sources hold few distinct values: the code table
/// serves those of the depth found in the data (found again when the data stops fitting),
/// the hashed memo whatever else repeats. On data whose values are all distinct both step
/// aside, so such data pays almost nothing for them.
class LevelsKernel::PowMemo {
public:
    PowMemo(const LevelsParameters& parameters, std::size_t total_elements)
        : hashed_(std::make_unique<HashedMemo>(parameters)), total_elements_(total_elements) {}

    /// Computes the chunk through a memo, or returns false when both are resting.
    bool run(const LevelsParameters& p, const float* source, std::ptrdiff_t stride, std::size_t count, float* target) {
        // Runs shorter than a vector step (the rows of some layouts) skip the call through
        // the kernel table.
        const bool vector = stride == 1 && count >= 16;
        if (codes_ && !codes_rest_.resting()) {
            const std::size_t served = vector ? lookup_kernels().coded(*codes_, p, source, count, target)
                                              : lookup_scalar(*codes_, p, source, stride, count, target);
            if (served * 4 < count && !adopt_codes(p, source, stride, count)) codes_rest_.start();
            return true;
        }
        if (hashed_rest_.resting()) return false;
        const std::size_t hits = vector ? lookup_kernels().hashed(*hashed_, p, source, count, target)
                                        : lookup_scalar(*hashed_, p, source, stride, count, target);
        if (hits * 4 < count && !adopt_codes(p, source, stride, count)) hashed_rest_.start();
        return true;
    }

    /// Looks for codes across the whole of the call's first run: its first chunk alone
    /// may be a flat border, which fits any depth.
    void sample_first_run(const LevelsParameters& p, const float* source, std::ptrdiff_t stride, std::size_t count) {
        if (sampled_) return;
        sampled_ = true;
        adopt_codes(p, source, stride, count);
    }

private:
    /// Turns to the code table of the depth the values look like, when that is not the
    /// present one; says whether it did. Tables are kept, so each is filled at most once,
    /// and turns are few, so data that keeps alternating between depths rests the tables
    /// (a chunk that misses a table costs more than one computed directly).
    bool adopt_codes(const LevelsParameters& p, const float* source, std::ptrdiff_t stride, std::size_t count) {
        if (turns_left_ == 0) return false;
        const unsigned depth = code_depth_of(source, stride, count);
        if (depth == 0 || (codes_ && codes_->depth == depth)) return false;
        --turns_left_;
        std::unique_ptr<CodeTable>& table = tables_[(depth - 8) / 2];
        if (!table) {
            table = std::make_unique<CodeTable>(depth, *hashed_);
            if (total_elements_ >= (std::size_t{16} << depth)) table->fill(p);
        }
        codes_ = table.get();
        codes_rest_.end();
        return true;
    }

    std::unique_ptr<HashedMemo> hashed_;
    std::unique_ptr<CodeTable> tables_[5];  // depths 8, 10, 12, 14, 16
    CodeTable* codes_ = nullptr;
    unsigned turns_left_ = 16;
    bool sampled_ = false;
    Rest hashed_rest_, codes_rest_;
    std::size_t total_elements_;
};

LevelsKernel::LevelsKernel(const LevelsParameters& parameters, std::size_t total_elements)
    : parameters_(parameters) {
    // Below a few chunks the memo's set-up costs more than it can save.
    if (mode_of(parameters.gamma) == PowerMode::Call && total_elements >= 16 * chunk) {
        memo_ = std::make_unique<PowMemo>(parameters, total_elements);
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
    if (memo_) memo_->sample_first_run(p, source, stride, count);
    float bases[chunk];
    for (std::size_t done = 0; done < count; done += chunk) {
        const std::size_t length = std::min(chunk, count - done);
        const float* from = source + static_cast<std::ptrdiff_t>(done) * stride;
        float* to = target + done;
        if (memo_ && memo_->run(p, from, stride, length, to)) continue;
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
