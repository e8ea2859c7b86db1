// Colour levels in chunks: a vectorisable linear map and clamp, then the power stage.
#include "kernels/levels.hpp"

#include "kernels/dispatch.hpp"
#include "kernels/levels_memo.hpp"
#include "support/steps.hpp"

#include <algorithm>
#include <cmath>

namespace pixalot {
namespace {

constexpr std::size_t chunk = 512;

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

}  // namespace

float levels_element(const LevelsParameters& parameters, float value) {
    return powf(levels_base(parameters, value), parameters.gamma);
}

HashedMemo::HashedMemo(const LevelsParameters& p) {
    const float zero_result = levels_element(p, 0.0f);
    std::fill_n(entries, memo_slots, std::uint64_t{bits_of(zero_result)} << 32 | bits_of(0.0f));
}

CodeTable::CodeTable(unsigned bits, HashedMemo& hashed)
    : depth(bits), scale(static_cast<float>((1u << bits) - 1)), beyond(1u << bits),
      results(std::make_unique_for_overwrite<float[]>(std::size_t{beyond} + 1)),
      fallback(&hashed) {
    std::fill_n(results.get(), std::size_t{beyond} + 1, float_of(unknown));
}

void CodeTable::fill(const LevelsParameters& p) {
    float inputs[chunk], bases[chunk];
    for (std::uint32_t first = 0; first <= beyond; first += chunk) {
        const std::size_t length = std::min<std::size_t>(chunk, std::size_t{beyond} + 1 - first);
        for (std::size_t k = 0; k < length; ++k) inputs[k] = static_cast<float>(first + k) / scale;
        cpu_kernels().levels_bases(p, inputs, length, bases);
        for (std::size_t k = 0; k < length; ++k) results[first + k] = powf(bases[k], p.gamma);
    }
}

namespace {

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
            ++seen;
            if (code_of(*stepped(source, k, stride), scale, 1u << depth)) ++codes;
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
            const std::size_t served = vector ? cpu_kernels().coded_lookups(*codes_, p, source, count, target)
                                              : strided_lookups(*codes_, p, source, stride, count, target);
            if (served * 4 < count && !adopt_codes(p, source, stride, count)) codes_rest_.start();
            return true;
        }
        if (hashed_rest_.resting()) return false;
        const std::size_t hits = vector ? cpu_kernels().hashed_lookups(*hashed_, p, source, count, target)
                                        : strided_lookups(*hashed_, p, source, stride, count, target);
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
        const float* from = stepped(source, done, stride);
        float* to = target + done;
        if (memo_ && memo_->run(p, from, stride, length, to)) continue;
        // The map first, vectorised over the chunk, then powf on each base.
        float* base_out = mode == PowerMode::Identity ? to : bases;
        if (stride == 1) {
            cpu_kernels().levels_bases(p, from, length, base_out);
        } else {
            for (std::size_t k = 0; k < length; ++k) {
                base_out[k] = levels_base(p, *stepped(from, k, stride));
            }
        }
        if (mode == PowerMode::Identity) continue;
        const float gamma = p.gamma;
        for (std::size_t k = 0; k < length; ++k) to[k] = powf(bases[k], gamma);
    }
}

}  // namespace pixalot
