// The clamp to [0, 1] shared by the operations.
#pragma once

namespace pixalot {
// Internal linkage: the AVX2 file includes this too, and a copy compiled there must never
// be the one that baseline code ends up calling.
namespace {

/// x when x > 0 (else +0.0, so NaN and -0.0 become +0.0), then that when < 1 (else 1).
/// Written as the two comparisons so that vector code maps them to max/min exactly.
inline float clamp_unit(float value) {
    const float lower = value > 0.0f ? value : 0.0f;
    return lower < 1.0f ? lower : 1.0f;
}

}  // namespace
}  // namespace pixalot
