// color_levels: the result's layout and the walk that feeds the levels kernel.
#include "kernels/levels.hpp"
#include "kernels/operations.hpp"
#include "kernels/reversed.hpp"
#include "kernels/threads.hpp"

#include <algorithm>
#include <memory>
#include <optional>

namespace pixalot {
namespace {

/// The channel count of a view whose pixels run backwards along its second-to-last axis
/// while the channels of each pixel lie in order (an image flipped with x[:, ::-1]).
std::optional<Index> backward_pixels(const ArrayView& view) {
    const std::size_t ndim = view.ndim();
    if (ndim < 2) return std::nullopt;
    const Index channels = view.len_of(ndim - 1);
    if (channels < 2 || view.stride_of(ndim - 1) != 1 || view.len_of(ndim - 2) < 2 ||
        view.stride_of(ndim - 2) != -channels) {
        return std::nullopt;
    }
    return channels;
}

/// Values mapped at a time from a row stored backwards, before they are put in order.
constexpr Index backward_piece = 4096;

/// Floats in a 4 KiB page: the grain of a split in memory order.
constexpr Index page_floats = 1024;

}  // namespace

// The result is laid out as mapping the view would lay it out: a contiguous view keeps its
// strides, any other becomes row-major. It is computed straight into the caller's buffer.
ColorLevelsResult::ColorLevelsResult(const ArrayView& input, float in_low, float in_high, float out_low,
                                     float out_high, float gamma)
    : input_(input), in_low_(in_low), in_high_(in_high), out_low_(out_low), out_high_(out_high), gamma_(gamma),
      contiguous_(false) {
    check_capacity(input.size());
    contiguous_ = is_contiguous(input.dim, input.strides);
    strides_ = contiguous_ ? input.strides : row_major_strides(input.dim);
}

namespace {

/// The levels of every element of `view` into `target`, row-major, by one kernel.
void write_logical(const ArrayView& view, const LevelsParameters& parameters, float* target) {
    LevelsKernel kernel(parameters, view.size());
    // A row stored backwards (a flipped image) still fills one block of memory: it is
    // mapped in memory order, a piece at a time, where the vector kernels and the memos
    // work, and each piece's groups (pixels of their channels, or single values) are then
    // written out in the row's order.
    std::unique_ptr<float[]> scratch;
    auto backward_row = [&](const float* first, Index groups, Index group) {
        const Index per_piece = std::max<Index>(1, backward_piece / group);
        if (!scratch) scratch = std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(per_piece * group));
        for (Index done = 0; done < groups; done += per_piece) {
            const Index piece = std::min(per_piece, groups - done);
            // The piece's last group has the lowest address.
            kernel.run(stepped(first, done + piece - 1, -group), 1, piece * group,
                       scratch.get());
            copy_reversed(scratch.get(), piece, group, target);
            target += piece * group;
        }
    };
    if (const std::optional<Index> channels = backward_pixels(view)) {
        const std::size_t pixel_axes = view.ndim() - 1;
        const ArrayView pixels{{}, view.ptr, Shape(view.dim.view().first(pixel_axes)),
                               Strides(view.strides.view().first(pixel_axes))};
        for_each_row(pixels, [&](const float* first, Index, Index length) {
            backward_row(first, length, *channels);
        });
    } else {
        for_each_row(view, [&](const float* first, Index stride, Index length) {
            if (stride == -1 && length > 1) {
                backward_row(first, length, 1);
                return;
            }
            kernel.run(first, stride, length, target);
            target += length;
        });
    }
}

}  // namespace

// Split between threads, each part has a kernel and memos of its own: a memo's entries are
// exact results of a pure function of the element, so which part met a value first, or
// whether a value was served from a memo at all, never shows in a bit. Each part writes its
// own stretch of the result and so takes that stretch's first-touch page faults itself.
void ColorLevelsResult::write(ResultBuffer buffer) const {
    const ArrayView& view = input_;
    const LevelsParameters parameters{in_low_, in_high_ - in_low_, out_low_, out_high_ - out_low_, gamma_};
    const Index count = view.size();
    const Index most_parts = count / levels_part_minimum(gamma_);
    if (contiguous_ && buffer.same_memory_order) {
        // Memory order on both sides: parts are runs of whole pages of the result.
        const float* first = view.ptr - lowest_address_offset(view.dim, view.strides);
        const Index parts = parts_for(count, std::min(most_parts, count / page_floats));
        run_parts(parts, [&](Index k) {
            const PartRange range = part_range(count, parts, k, page_floats);
            const Index length = range.end - range.begin;
            LevelsKernel kernel(parameters, length);
            kernel.run(first + range.begin, 1, length, buffer.data + range.begin);
        });
        return;
    }
    // Any other layout is written row-major: parts are blocks along the first axis, each
    // a block of the result.
    const Index outer = view.ndim() == 0 ? 1 : view.len_of(0);
    const Index parts = view.ndim() == 0 ? 1 : parts_for(count, std::min(most_parts, outer));
    if (parts == 1) {
        write_logical(view, parameters, buffer.data);
        return;
    }
    const Index per_outer = count / outer;
    run_parts(parts, [&](Index k) {
        const PartRange range = part_range(outer, parts, k);
        ArrayView block{{}, stepped(view.ptr, range.begin, view.stride_of(0)), view.dim, view.strides};
        block.dim[0] = range.end - range.begin;
        write_logical(block, parameters, buffer.data + range.begin * per_outer);
    });
}

}  // namespace pixalot
