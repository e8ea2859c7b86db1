// The stripe pattern over an image in memory order, for a positive 16-bit period.
#pragma once
#include "array/ndarray.hpp"
#include "kernels/phase.hpp"

#include <cstdint>

namespace pixalot {

/// The values per pixel: the length of the third axis, or 1 for an image without one.
inline Index channels_of(const ArrayView& image) { return image.ndim() >= 3 ? image.len_of(2) : 1; }

/// Writes clamp(input + T[index of pixel]) for every element of a (rows, columns) or
/// (rows, columns, channels >= 2) view into `output`, row-major. The visiting order is
/// the memory's, not the definition's line order: each result depends on its pixel
/// alone, and with a positive period no pixel can fault, so the order is invisible.
/// Phase indices advance by one per pixel along a line instead of a division per pixel;
/// that is exact because the index is the phase modulo the period, except where the
/// 16-bit phase wraps, where it is computed afresh.
/// Rows [row_begin, row_end) only, when given: each row's results depend on that row alone,
/// so rows split between threads give the same bits as one pass.
void add_stripes(const ArrayView& input, const float* table, std::int16_t period, bool vertical, float bias,
                 float* output, Index row_begin = 0, Index row_end = -1);

}  // namespace pixalot
