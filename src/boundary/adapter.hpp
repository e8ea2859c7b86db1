// The operations as the module's functions call them: Python arguments in, Python objects out.
#pragma once
#include "array/input.hpp"

#include <cstdint>

namespace pixalot {

/// The input plus a sine stripe pattern of period `shape_sin`, clamped to [0, 1]: a new array.
PyRef sin_patern(const PyReadonlyArray& input, std::uint32_t shape_sin, float alpha, bool vertical, float bias);

/// The levels adjustment of every element: a new array.
PyRef color_levels(const PyReadonlyArray& input, float in_low, float in_high, float out_low, float out_high,
                   float gamma);

/// True when the means of the first three channels agree within `min`.
PyRef gray_or_color(const PyReadonlyArray& input, float min);

}  // namespace pixalot
