// Stripes row by row: one pattern row of table values, then one add-and-clamp pass.
#include "kernels/stripes.hpp"

#include "kernels/clamp.hpp"
#include "kernels/dispatch.hpp"
#include "kernels/reversed.hpp"
#include "support/steps.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

namespace pixalot {
namespace {

/// Room for the distinct pattern rows of horizontal stripes (they stay in the caches).
constexpr Index pattern_cache_floats = (Index{4} << 20) / Index{sizeof(float)};

/// Floats of row buffers kept on the stack: rows of up to 64 three-channel pixels.
constexpr Index stack_row_floats = 64 + 2 * 64 * 3;

/// Results from 8 MiB on are written with non-temporal stores: they would
/// evict the input on their way through the cache, and such stores skip reading the
/// destination lines first, a third of the memory traffic of a plain store.
constexpr Index streaming_threshold_floats = (Index{8} << 20) / Index{sizeof(float)};

/// Pattern value of every element of one row, channels repeated.
void spread_channels(const float* per_pixel, Index columns, Index channels, float* per_element) {
    if (channels == 1) {
        std::copy_n(per_pixel, columns, per_element);
        return;
    }
    for (Index column = 0; column < columns; ++column) {
        for (Index channel = 0; channel < channels; ++channel) per_element[column * channels + channel] = per_pixel[column];
    }
}

/// One row of results. `scratch` holds a row, for rows stored right to left (a flipped
/// image), whose pixels are put in order there first and then added as one run.
void add_row(const ArrayView& input, Index row, const float* pattern, float* output, bool stream,
             float* scratch) {
    const Index columns = input.len_of(1);
    const Index channels = channels_of(input);
    const float* first = stepped(input.ptr, row, input.stride_of(0));
    const Index column_stride = input.stride_of(1);
    const Index channel_stride = input.ndim() == 3 ? input.stride_of(2) : 1;
    const Index count = columns * channels;
    if (channel_stride == 1 && column_stride == channels) {
        cpu_kernels().add_clamp(first, pattern, output, count, stream);
        return;
    }
    if (channel_stride == 1 && column_stride == -channels && columns > 1) {
        copy_reversed(stepped(first, columns - 1, column_stride), columns, channels, scratch);
        cpu_kernels().add_clamp(scratch, pattern, output, count, stream);
        return;
    }
    for (Index column = 0; column < columns; ++column) {
        const float* pixel = stepped(first, column, column_stride);
        for (Index channel = 0; channel < channels; ++channel) {
            const Index k = column * channels + channel;
            output[k] = clamp_unit(*stepped(pixel, channel, channel_stride) + pattern[k]);
        }
    }
}

/// Table values cycled: entry k is T[k mod period], for k below `length`, each repeated
/// for every channel. A run of consecutive phases is then one contiguous slice of it.
Buffer<float> cycled_table(const float* table, Index period, Index length, Index channels) {
    Buffer<float> cycled(length * channels);
    for (Index k = 0, entry = 0; k < length; ++k, entry = entry + 1 == period ? 0 : entry + 1) {
        std::fill_n(cycled.data() + k * channels, channels, table[entry]);
    }
    return cycled;
}

/// Table value per pixel of one line whose phase starts at `phase` and rises by one per
/// pixel; the index follows the phase and is recomputed where the 16-bit phase wraps.
void rising_phase_values(const float* table, std::int16_t phase, std::int16_t period, Index count,
                         float* values) {
    Index index = positive_remainder(phase, period);
    const Index last_index = period - 1;
    for (Index k = 0; k < count; ++k) {
        values[k] = table[index];
        if (phase == INT16_MAX) {
            phase = INT16_MIN;
            index = positive_remainder(phase, period);
        } else {
            ++phase;
            index = index == last_index ? 0 : index + 1;
        }
    }
}

}  // namespace

void add_stripes(const ArrayView& input, const float* table, std::int16_t period, bool vertical, float bias,
                 float* output, Index row_begin, Index row_end) {
    const Index rows = input.len_of(0), columns = input.len_of(1);
    if (row_end < 0) row_end = rows;
    const Index part_rows = row_end - row_begin;
    const Index channels = channels_of(input);
    const Index row_elements = columns * channels;
    const Index cycle = period;
    // The three row buffers in one block, on the stack for short rows: a tiny image's call
    // costs about as much as one allocation, and every buffer is written before it is read.
    const Index buffered = columns + 2 * row_elements;
    float on_stack[stack_row_floats];
    Buffer<float> on_heap(buffered > stack_row_floats ? buffered : 0);
    float* const per_pixel = buffered > stack_row_floats ? on_heap.data() : on_stack;
    float* const pattern = per_pixel + columns;
    float* const scratch = pattern + row_elements;
    // Decided on the whole image, so that every part of a split call stores alike.
    const bool stream = rows * row_elements >= streaming_threshold_floats;

    if (vertical) {
        // Along a row the phase is column - offset, rising by one per column: without a
        // 16-bit wrap inside the row, its table values are one slice of the cycled table,
        // which is made when the image has more pixels than it has entries.
        const bool cycling_pays = part_rows * columns > cycle + columns;
        const Buffer<float> cycled =
            cycling_pays ? cycled_table(table, cycle, cycle + columns, channels) : Buffer<float>{};
        for (Index row = row_begin; row < row_end; ++row) {
            const std::int16_t offset = saturating_i16(static_cast<float>(row) * bias);
            const std::int16_t phase = stripe_phase(true, row, 0, offset);
            const float* row_pattern;
            if (cycling_pays && phase + columns - 1 <= INT16_MAX) {
                row_pattern = cycled.data() + positive_remainder(phase, period) * channels;
            } else {
                rising_phase_values(table, phase, period, columns, per_pixel);
                spread_channels(per_pixel, columns, channels, pattern);
                row_pattern = pattern;
            }
            add_row(input, row, row_pattern, output + row * row_elements, stream, scratch);
        }
        if (stream) finish_streaming();
        return;
    }

    // Down a column the phase is offset - row. While no column's phase wraps in a row,
    // the index is (offset mod period - row mod period) mod period: one subtraction into
    // a table cycled twice instead of a division per pixel.
    Buffer<std::int16_t> offsets(columns);
    Buffer<std::uint32_t> start_indices(columns);
    std::int32_t lowest_offset = INT16_MAX, highest_offset = INT16_MIN;
    for (Index column = 0; column < columns; ++column) {
        offsets[column] = saturating_i16(static_cast<float>(column) * bias);
        start_indices[column] = static_cast<std::uint32_t>(positive_remainder(offsets[column], period));
        lowest_offset = std::min<std::int32_t>(lowest_offset, offsets[column]);
        highest_offset = std::max<std::int32_t>(highest_offset, offsets[column]);
    }
    const Buffer<float> doubled = cycled_table(table, cycle, 2 * cycle, 1);
    const bool one_index = std::ranges::all_of(start_indices, [&](std::uint32_t index) { return index == start_indices[0]; });
    const auto gather = cpu_kernels().gather;
    // Away from 16-bit wraps a row's pattern depends only on row mod period: when the
    // period is short against the image, each distinct pattern is built once.
    const bool reuse_patterns = part_rows > 2 * cycle && cycle * row_elements <= pattern_cache_floats;
    Buffer<float> patterns;
    Buffer<bool> built;
    if (reuse_patterns) {
        patterns = Buffer<float>(cycle * row_elements);
        built = Buffer<bool>(cycle);
    }
    for (Index row = row_begin; row < row_end; ++row) {
        const std::int16_t row_phase = low16(row);
        const bool no_wrap = lowest_offset - row_phase >= INT16_MIN && highest_offset - row_phase <= INT16_MAX;
        if (no_wrap && reuse_patterns) {
            const Index shift = positive_remainder(row_phase, period);
            float* cached = patterns.data() + shift * row_elements;
            if (!built[shift]) {
                const float* shifted = doubled.data() + (cycle - shift);
                gather(shifted, start_indices.data(), columns, per_pixel);
                spread_channels(per_pixel, columns, channels, cached);
                built[shift] = true;
            }
            add_row(input, row, cached, output + row * row_elements, stream, scratch);
            continue;
        }
        if (no_wrap) {
            const float* shifted = doubled.data() + (cycle - positive_remainder(row_phase, period));
            if (one_index) {
                std::fill_n(per_pixel, columns, shifted[start_indices[0]]);
            } else {
                gather(shifted, start_indices.data(), columns, per_pixel);
            }
        } else {
            for (Index column = 0; column < columns; ++column) {
                per_pixel[column] = table[positive_remainder(wrapping_sub(offsets[column], row_phase), period)];
            }
        }
        const float* row_pattern = per_pixel;
        if (channels != 1) {
            spread_channels(per_pixel, columns, channels, pattern);
            row_pattern = pattern;
        }
        add_row(input, row, row_pattern, output + row * row_elements, stream, scratch);
    }
    if (stream) finish_streaming();
}

}  // namespace pixalot
