// Colour levels in chunks: a vectorisable linear map and clamp, then the power stage.
#include "kernels/levels.hpp"

#include <algorithm>
#include "kernels/clamp.hpp"

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

}  // namespace

float levels_element(const LevelsParameters& parameters, float value) {
    return powf(levels_base(parameters, value), parameters.gamma);
}

/// A direct-mapped memo from base bits to powf(base, gamma). Images from 8- or 16-bit
/// sources hold few distinct values, so most lookups hit; on data whose values are all
/// distinct the hit rate is watched per chunk and the memo steps aside, probing again now
/// and then, so such data pays almost nothing for it.
class LevelsKernel::PowMemo {
public:
    explicit PowMemo(float gamma) : gamma_(gamma) {
        // No base is a NaN, so all-ones bits never match a real key.
        std::memset(keys_, 0xFF, sizeof keys_);
    }

    void run(const float* bases, std::size_t count, float* target) {
        if (resting_chunks_ > 0) {
            --resting_chunks_;
            for (std::size_t k = 0; k < count; ++k) target[k] = powf(bases[k], gamma_);
            return;
        }
        std::size_t hits = 0;
        for (std::size_t k = 0; k < count; ++k) {
            std::uint32_t bits;
            std::memcpy(&bits, &bases[k], sizeof bits);
            const std::size_t slot = (bits * 2654435761u) >> (32 - slot_bits);
            if (keys_[slot] == bits) {
                target[k] = values_[slot];
                ++hits;
            } else {
                const float value = powf(bases[k], gamma_);
                keys_[slot] = bits;
                values_[slot] = value;
                target[k] = value;
            }
        }
        if (hits * 4 < count) resting_chunks_ = rest_after_miss;
    }

private:
    static constexpr unsigned slot_bits = 13;
    static constexpr std::size_t slots = std::size_t{1} << slot_bits;
    static constexpr unsigned rest_after_miss = 64;

    float gamma_;
    unsigned resting_chunks_ = 0;
    std::uint32_t keys_[slots];
    float values_[slots];
};

LevelsKernel::LevelsKernel(const LevelsParameters& parameters, std::size_t total_elements)
    : parameters_(parameters) {
    // Below a few chunks the memo's set-up costs more than it can save.
    if (mode_of(parameters.gamma) == PowerMode::Call && total_elements >= 16 * chunk) {
        memo_ = std::make_unique<PowMemo>(parameters.gamma);
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
        float* base_out = mode == PowerMode::Identity ? to : bases;
        if (stride == 1) {
            for (std::size_t k = 0; k < length; ++k) base_out[k] = levels_base(p, from[k]);
        } else {
            for (std::size_t k = 0; k < length; ++k) {
                base_out[k] = levels_base(p, from[static_cast<std::ptrdiff_t>(k) * stride]);
            }
        }
        if (mode == PowerMode::Identity) continue;
        if (memo_) {
            memo_->run(bases, length, to);
        } else {
            for (std::size_t k = 0; k < length; ++k) to[k] = powf(bases[k], p.gamma);
        }
    }
}

}  // namespace pixalot
