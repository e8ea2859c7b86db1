// sin_patern: the sine table, the stripes by definition, and the choice of the fast path.
#include "kernels/clamp.hpp"
#include "kernels/operations.hpp"
#include "kernels/phase.hpp"
#include "kernels/stripes.hpp"
#include "kernels/threads.hpp"
#include "support/fault.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pixalot {
namespace {

/// 3.14 in float32 (0x4048F5C3): the stripes' wave is 6.28 radians, not a full turn.
constexpr float three_point_one_four = 3.14f;

/// A table index within bounds is below the magnitude of the 16-bit period, so never
/// beyond this; entries past it exist only to be out of reach.
constexpr std::uint32_t reachable_entries = 32768;

/// The sine table of `shape_sin` entries. Only its reachable prefix is stored and
/// computed: a table of billions of entries would cost gigabytes and a minute of sinf
/// for values no pixel can read. Its faults are those of the whole table.
struct SineTable {
    float* entries;      // `stored` of them: in `heap`, or in the caller's inline storage
    Index stored;
    std::uint32_t length;
    OwnedArray heap;

    /// Entry `index`; faults "ndarray: index out of bounds" unless below the length.
    float at(Index index) const {
        if (index < 0 || std::int64_t{index} >= std::int64_t{length}) index_out_of_bounds();
        return entries[index];
    }
};

/// Entry `t` of the table of `shape_sin` entries.
float sine_entry(Index t, std::uint32_t shape_sin, float alpha) {
    const float half_period = static_cast<float>(shape_sin) * 0.5f;
    // t times 3.14 first, then divided by the half period: the order fixes the last bit.
    const float angle = static_cast<float>(t) * three_point_one_four / half_period;
    return sinf(angle) * alpha;
}

/// The table with its faults, every stored entry still zero; a short one lives in
/// `inline_storage`, so that a tiny call allocates nothing for it.
SineTable sine_table(std::uint32_t shape_sin, std::span<float, inline_table_entries> inline_storage) {
    check_zeros_1d(shape_sin);
    const auto stored = static_cast<Index>(std::min(shape_sin, reachable_entries));  // at most 32768
    if (stored <= inline_table_entries) {
        std::fill_n(inline_storage.data(), stored, 0.0f);
        return SineTable{inline_storage.data(), stored, shape_sin, {}};
    }
    SineTable table{nullptr, stored, shape_sin, zeros_1d(stored)};
    table.entries = table.heap.ptr;
    return table;
}

void fill_all(SineTable& table, float alpha) {
    for (Index t = 0; t < table.stored; ++t) table.entries[t] = sine_entry(t, table.length, alpha);
}

/// Only the entries that the pixels of an image with fewer pixels than entries read: a sinf
/// per pixel at most, where the whole table would cost one per entry. The others stay zero;
/// the stripes may copy them about but never add them to a pixel.
void fill_reached(SineTable& table, float alpha, const ArrayView& input, std::int16_t period, bool vertical,
                  float bias) {
    const Index rows = input.len_of(0), columns = input.len_of(1);
    for (Index row = 0; row < rows; ++row) {
        for (Index column = 0; column < columns; ++column) {
            const Index line = vertical ? row : column;
            const std::int16_t offset = saturating_i16(static_cast<float>(line) * bias);
            const Index index = positive_remainder(stripe_phase(vertical, row, column, offset), period);
            table.entries[index] = sine_entry(index, table.length, alpha);
        }
    }
}

/// The stripes pixel by pixel in the defining line order: the zero period, the overflow
/// of the remainder and every out-of-range index fault at the pixel that meets them first.
OwnedArray stripes_by_definition(const ArrayView& view, const SineTable& table, std::int16_t period, bool vertical,
                                 float bias) {
    const Index rows = view.len_of(0), columns = view.len_of(1);
    const Index channels = channels_of(view);
    OwnedArray output = zeros(view.dim);
    const Index lines = vertical ? rows : columns;
    const Index line_length = vertical ? columns : rows;
    for (Index line = 0; line < lines; ++line) {
        if (line_length == 0) continue;
        if (period == 0) panic("attempt to calculate the remainder with a divisor of zero");
        const std::int16_t offset = saturating_i16(static_cast<float>(line) * bias);
        for (Index along = 0; along < line_length; ++along) {
            const Index row = vertical ? line : along;
            const Index column = vertical ? along : line;
            const std::int16_t phase = stripe_phase(vertical, row, column, offset);
            if (period == -1 && phase == -32768) panic("attempt to calculate the remainder with overflow");
            // A negative remainder (a negative period) is an index below every table.
            const Index table_index = phase_remainder(phase, period);
            if (channels >= 2) {
                for (Index channel = 0; channel < channels; ++channel) {
                    const Index index[3] = {row, column, channel};
                    const float value = view.at(index);
                    output.at(index) = clamp_unit(value + table.at(table_index));
                }
            } else {
                const Index index[2] = {row, column};
                const float value = view.at(index);
                output.at(index) = clamp_unit(value + table.at(table_index));
            }
        }
    }
    return output;
}

/// Copies an owned result into a buffer planned for its shape and strides.
void write_elements(const OwnedArray& source, ResultBuffer buffer) {
    if (buffer.same_memory_order) {
        const Index count = source.size();
        std::copy_n(source.ptr, count, buffer.data);
        return;
    }
    float* target = buffer.data;
    for_each_logical(view_of(source), [&](float element) { *target++ = element; });
}

}  // namespace

SinPaternResult::SinPaternResult(const ArrayView& input, std::uint32_t shape_sin, float alpha, bool vertical,
                                 float bias)
    : input_(input), period_(low16(shape_sin)), vertical_(vertical), bias_(bias), strides_(row_major_strides(input.dim)) {
    SineTable table = sine_table(shape_sin, inline_table_);
    if (input.ndim() < 2) {
        const std::string n = std::to_string(input.ndim());
        panic("index out of bounds: the len is " + n + " but the index is " + n);
    }
    const Index channels = channels_of(input);
    const bool pixels_have_channels = channels >= 2 ? input.ndim() == 3 : input.ndim() == 2;
    if (period_ > 0 && pixels_have_channels) {
        // No pixel of such a call can fault, so it may be computed in memory order,
        // straight into the result.
        checked_element_count(input.dim);
        if (input.len_of(0) * input.len_of(1) < table.stored) {
            fill_reached(table, alpha, input, period_, vertical, bias);
        } else {
            fill_all(table, alpha);
        }
    } else {
        fill_all(table, alpha);
        by_definition_ = stripes_by_definition(input, table, period_, vertical, bias);
    }
    table_ = table.entries;
    heap_table_ = std::move(table.heap);
}

void SinPaternResult::write(ResultBuffer buffer) const {
    if (by_definition_) {
        write_elements(*by_definition_, buffer);
        return;
    }
    const Index rows = input_.len_of(0);
    if (rows == 0 || input_.len_of(1) == 0) return;
    const Index parts = parts_for(input_.size(), rows);
    run_parts(parts, [&](Index k) {
        const PartRange range = part_range(rows, parts, k);
        add_stripes(input_, table_, period_, vertical_, bias_, buffer.data, range.begin, range.end);
    });
}

}  // namespace pixalot
