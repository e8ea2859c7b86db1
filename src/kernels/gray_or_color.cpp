// gray_or_color: the channel means, in their fixed summation orders, and the verdict.
#include "kernels/operations.hpp"
#include "kernels/threads.hpp"
#include "support/fault.hpp"

#include <algorithm>
#include <optional>

namespace pixalot {
namespace {

/// The eight-way fold: eight running partial sums over whole blocks, combined in pairs,
/// then the tail one by one.
float eight_way_sum(const float* elements, Index stride, Index count) {
    float partial[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const Index whole = count - count % 8;
    if (stride == 1) {
        // The eight partial sums are independent lanes: this loop keeps them in vector registers.
        for (Index block = 0; block < whole; block += 8) {
            for (Index lane = 0; lane < 8; ++lane) partial[lane] += elements[block + lane];
        }
    } else {
        for (Index block = 0; block < whole; block += 8) {
            for (Index lane = 0; lane < 8; ++lane) {
                partial[lane] += *stepped(elements, block + lane, stride);
            }
        }
    }
    float sum = 0.0f;
    for (Index pair = 0; pair < 4; ++pair) sum += partial[pair] + partial[pair + 4];
    for (Index rest = whole; rest < count; ++rest) sum += *stepped(elements, rest, stride);
    return sum;
}

/// The row sums of rows [row_begin, row_end) of three planes that differ only in their data
/// pointer, each by the plain fold in its own order, handed to `add(row, sums)` in row order.
/// Rows are independent chains, so four rows at a time keep the adder busy.
template <class Add>
void plain_fold_rows(const ArrayView (&planes)[3], Index row_begin, Index row_end, Add&& add) {
    const Index columns = planes[0].len_of(1);
    const Index row_stride = planes[0].stride_of(0), column_stride = planes[0].stride_of(1);
    const float* base = planes[0].ptr;
    const Index offset1 = planes[1].ptr - base, offset2 = planes[2].ptr - base;
    constexpr Index block = 4;
    Index row = row_begin;
    for (; row + block <= row_end; row += block) {
        float sums[block][3] = {};
        const float* first = stepped(base, row, row_stride);
        for (Index column = 0; column < columns; ++column) {
            const float* pixel = stepped(first, column, column_stride);
            for (Index lane = 0; lane < block; ++lane) {
                const float* at = stepped(pixel, lane, row_stride);
                sums[lane][0] += at[0];
                sums[lane][1] += at[offset1];
                sums[lane][2] += at[offset2];
            }
        }
        for (Index lane = 0; lane < block; ++lane) add(row + lane, sums[lane]);
    }
    for (; row < row_end; ++row) {
        float sums[3] = {};
        const float* first = stepped(base, row, row_stride);
        for (Index column = 0; column < columns; ++column) {
            const float* at = stepped(first, column, column_stride);
            sums[0] += at[0];
            sums[1] += at[offset1];
            sums[2] += at[offset2];
        }
        add(row, sums);
    }
}

/// The totals of three planes: each row's sum by the plain fold, the row sums joined in row
/// order. Split between threads, each part keeps the sums of its rows, and they are joined
/// afterwards in the same row order: every float step is the one of a single pass.
void plain_fold_totals(const ArrayView (&planes)[3], float (&totals)[3]) {
    const Index rows = planes[0].len_of(0);
    const Index parts = parts_for(3 * planes[0].size(), rows);
    if (parts == 1) {
        plain_fold_rows(planes, 0, rows, [&](Index, const float (&sums)[3]) {
            for (Index plane = 0; plane < 3; ++plane) totals[plane] += sums[plane];
        });
        return;
    }
    Buffer<float> row_sums(3 * rows);
    run_parts(parts, [&](Index k) {
        const PartRange range = part_range(rows, parts, k);
        plain_fold_rows(planes, range.begin, range.end, [&](Index row, const float (&sums)[3]) {
            std::copy_n(sums, 3, row_sums.data() + 3 * row);
        });
    });
    for (Index row = 0; row < rows; ++row) {
        for (Index plane = 0; plane < 3; ++plane) totals[plane] += row_sums[3 * row + plane];
    }
}

/// The mean of a two-axis view with its fixed summation order, or nothing when empty.
std::optional<float> mean(const ArrayView& view) {
    const Index rows = view.len_of(0), columns = view.len_of(1);
    const Index count = rows * columns;
    if (count == 0) return std::nullopt;
    float total = 0.0f;
    if (is_contiguous(view.dim, view.strides)) {
        total = eight_way_sum(view.ptr - lowest_address_offset(view.dim, view.strides), 1, count);
    } else {
        const Index row_stride = view.stride_of(0), column_stride = view.stride_of(1);
        const bool unit_rows = column_stride == 1 || columns < 2;
        for (Index row = 0; row < rows; ++row) {
            const float* first = stepped(view.ptr, row, row_stride);
            float row_sum = 0.0f;
            if (unit_rows) {
                row_sum = eight_way_sum(first, column_stride, columns);
            } else {
                for (Index column = 0; column < columns; ++column) row_sum += *stepped(first, column, column_stride);
            }
            total += row_sum;
        }
    }
    return total / static_cast<float>(count);
}

/// The means of three two-axis views of the same lengths, each exactly as `mean` gives it.
/// Channel planes of one image are summed in one pass over its memory.
void means_of_planes(const ArrayView (&planes)[3], std::optional<float> (&means)[3]) {
    const ArrayView& first = planes[0];
    bool fusable = first.ndim() == 2 && first.size() != 0 && first.stride_of(1) != 1 && first.len_of(1) >= 2 &&
                   !is_contiguous(first.dim, first.strides);
    for (const ArrayView& plane : planes) {
        fusable = fusable && std::ranges::equal(plane.dim.view(), first.dim.view()) &&
                  std::ranges::equal(plane.strides.view(), first.strides.view());
    }
    if (!fusable) {
        for (Index plane = 0; plane < 3; ++plane) means[plane] = mean(planes[plane]);
        return;
    }
    float totals[3] = {0.0f, 0.0f, 0.0f};
    plain_fold_totals(planes, totals);
    const auto count = static_cast<float>(first.size());
    for (Index plane = 0; plane < 3; ++plane) means[plane] = totals[plane] / count;
}

}  // namespace

bool gray_or_color(const ArrayView& input, float min) {
    ArrayView planes[3];
    for (Index channel = 0; channel < 3; ++channel) {
        const SliceItem items[3] = {SliceItem::full(), SliceItem::full(), SliceItem::index(channel)};
        planes[channel] = slice(input, items);
    }
    std::optional<float> means[3];
    means_of_planes(planes, means);
    for (const std::optional<float>& plane_mean : means) {
        if (!plane_mean) panic("called `unwrap()` on an empty value");
    }
    const float m0 = *means[0], m1 = *means[1], m2 = *means[2], t = min;
    // Each side of each pair on its own: m1 + t and m0 - t round separately in float32.
    return m0 <= m1 + t && m0 >= m1 - t && m0 <= m2 + t && m0 >= m2 - t &&
           m1 <= m0 + t && m1 >= m0 - t && m1 <= m2 + t && m1 >= m2 - t &&
           m2 <= m0 + t && m2 >= m0 - t && m2 >= m1 - t && m2 <= m1 + t;
}

}  // namespace pixalot
