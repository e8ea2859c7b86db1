// The three image operations as plain C++: each reads a view and a few numbers, and writes
// into a buffer that its caller allocated for the layout the operation asked for.
#pragma once
#include "array/ndarray.hpp"

#include <cstdint>
#include <optional>

namespace pixalot {

/// The buffer a caller allocated for a planned result.
struct ResultBuffer {
    float* data;
    /// True: the buffer is the memory image of the shape with the strides asked for;
    /// false: it takes the elements in row-major logical order.
    bool same_memory_order;
};

/// Sine tables of up to this many entries live inside the result's plan.
constexpr Index inline_table_entries = 64;

/// The input plus a sine stripe pattern of period `shape_sin`, clamped to [0, 1].
/// Planning meets every fault of the call: the table, the axes, and (where some pixel may
/// fault) the whole result computed pixel by pixel in the defining order.
class SinPaternResult {
public:
    SinPaternResult(const ArrayView& input, std::uint32_t shape_sin, float alpha, bool vertical, float bias);
    SinPaternResult(const SinPaternResult&) = delete;  // the table may point into the plan itself

    const Shape& shape() const noexcept { return input_.dim; }
    const Strides& strides() const noexcept { return strides_; }
    void write(ResultBuffer buffer) const;

private:
    const ArrayView& input_;
    float inline_table_[inline_table_entries];
    OwnedArray heap_table_;
    const float* table_;
    std::int16_t period_;
    bool vertical_;
    float bias_;
    Strides strides_;
    std::optional<OwnedArray> by_definition_;
};

/// The levels adjustment of every element.
class ColorLevelsResult {
public:
    ColorLevelsResult(const ArrayView& input, float in_low, float in_high, float out_low, float out_high,
                      float gamma);

    const Shape& shape() const noexcept { return input_.dim; }
    const Strides& strides() const noexcept { return strides_; }
    void write(ResultBuffer buffer) const;

private:
    const ArrayView& input_;
    float in_low_, in_high_, out_low_, out_high_, gamma_;
    bool contiguous_;
    Strides strides_;
};

/// True when the means of the first three channels agree within `min`.
bool gray_or_color(const ArrayView& input, float min);

}  // namespace pixalot
