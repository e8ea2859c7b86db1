// The stripes' phase arithmetic: 16-bit two's complement, as the stripes are defined.
#pragma once
#include "support/steps.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace pixalot {

/// float32 -> i16: saturating at both ends, NaN to 0, otherwise truncating toward zero.
inline std::int16_t saturating_i16(float value) {
    if (std::isnan(value)) return 0;
    if (value < -32768.0f) return -32768;
    if (value > 32767.0f) return 32767;
    return static_cast<std::int16_t>(value);
}

/// The low 16 bits of a position or count, read as a signed phase.
inline std::int16_t low16(std::int64_t value) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(value)); }

/// a - b, wrapping in 16 bits.
inline std::int16_t wrapping_sub(std::int16_t a, std::int16_t b) {
    return low16(std::int64_t{a} - b);
}

/// a + b, wrapping in 16 bits.
inline std::int16_t wrapping_add(std::int16_t a, std::int16_t b) {
    return low16(std::int64_t{a} + b);
}

/// The phase of a pixel: column - offset for vertical stripes, offset - row for horizontal.
inline std::int16_t stripe_phase(bool vertical, Index row, Index column, std::int16_t offset) {
    return vertical ? wrapping_sub(low16(column), offset) : wrapping_sub(offset, low16(row));
}

/// The phase's remainder by a non-zero period, lifted by one wrapping addition of the period
/// when negative. For a positive period that is the table index; a negative period (only the
/// by-definition path meets one) leaves it negative, so the index is out of range. The
/// caller has ruled out the one overflowing pair, -32768 by -1.
inline std::int16_t phase_remainder(std::int16_t phase, std::int16_t period) {
    const auto remainder = static_cast<std::int16_t>(phase % period);
    return remainder < 0 ? wrapping_add(remainder, period) : remainder;
}

/// The table index of a phase for a positive period.
inline Index positive_remainder(std::int16_t phase, std::int16_t period) {
    return phase_remainder(phase, period);
}

}  // namespace pixalot
