// The colour-levels element function over runs of elements, bit for bit as defined per element.
#pragma once
#include "support/steps.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace pixalot {

struct LevelsParameters {
    float in_low;
    float in_span;
    float out_low;
    float out_span;
    float gamma;
};

/// One element: the linear map (divided by the input span, then multiplied by the output
/// span, never by their ratio), the clamp to [0, 1], and powf.
float levels_element(const LevelsParameters& parameters, float value);

/// Elements each part of a split call needs when the gamma calls for powf: every part fills
/// its own code tables (a 16-bit one is 65537 powf), which a part this long pays back within
/// a sixteenth of its elements; shorter parts of 16-bit data would compute every code twice.
constexpr Index levels_powf_part_minimum = Index{1} << 20;

/// The fewest elements a part of a split call should have for this gamma.
inline Index levels_part_minimum(float gamma) {
    return gamma == 0.0f || gamma == 1.0f ? 1 : levels_powf_part_minimum;
}

/// Applies `levels_element` to runs of elements of one call. Results are exactly the
/// element-wise ones; only the cost differs (vectorised map, and tables of results keyed
/// by input bits, exact because the element function is pure for one call).
class LevelsKernel {
public:
    LevelsKernel(const LevelsParameters& parameters, Index total_elements);
    ~LevelsKernel();
    LevelsKernel(const LevelsKernel&) = delete;
    LevelsKernel& operator=(const LevelsKernel&) = delete;

    /// target[k] = levels_element(source[k * stride]) for k < count.
    void run(const float* source, Index stride, Index count, float* target);

private:
    class PowMemo;

    LevelsParameters parameters_;
    std::unique_ptr<PowMemo> memo_;  // only for large calls with a gamma that needs powf
};

}  // namespace pixalot
