// as_view, and the copies through which inputs that cannot be read in place are read.
#include "array/view.hpp"

#include "array/numpy_api.hpp"
#include "support/fault.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <utility>

namespace pixalot {
namespace {

void check_dimensionality(int nd) {
    if (std::cmp_greater(nd, max_axes)) unexpected_dimensionality();
}

/// The view of the array's header at `data`, with `byte_strides` for the header's own.
ArrayView view_at(const numpy::ArrayObject* array, std::uintptr_t data, const numpy::npy_intp* byte_strides) {
    const int nd = array->nd;
    check_dimensionality(nd);
    const auto ndim = static_cast<std::size_t>(nd);
    Shape shape(ndim);
    Strides strides(ndim);
    // Address arithmetic in integers: for an empty axis the first move may point anywhere.
    std::uint32_t inverted = 0;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const numpy::npy_intp length = array->dimensions[axis];
        const numpy::npy_intp stride = byte_strides[axis];
        shape[axis] = length;
        strides[axis] = stride / float_bytes;
        if (stride < 0) {
            data += static_cast<std::uintptr_t>(stride) * static_cast<std::uintptr_t>(length - 1);
            inverted |= std::uint32_t{1} << axis;
        }
    }
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        if ((inverted & (std::uint32_t{1} << axis)) == 0) continue;
        const Index length = shape[axis];
        if (length != 0) data += static_cast<std::uintptr_t>((length - 1) * -strides[axis]) * sizeof(float);
    }
    return ArrayView{{}, reinterpret_cast<float*>(data), std::move(shape), std::move(strides)};
}

/// How an input's elements can be read.
enum class Reading {
    InPlace,
    /// Element strides describe it, but its data pointer is off the 4-byte grid.
    AlignedCopy,
    /// Some byte stride is not a whole number of elements (a packed record field).
    PackedCopy,
};

Reading reading_of(const numpy::ArrayObject* array) {
    for (int axis = 0; axis < array->nd; ++axis) {
        if (array->dimensions[axis] == 0) return Reading::InPlace;  // no element is ever read
    }
    for (int axis = 0; axis < array->nd; ++axis) {
        if (array->dimensions[axis] > 1 && array->strides[axis] % float_bytes != 0) {
            return Reading::PackedCopy;
        }
    }
    if (reinterpret_cast<std::uintptr_t>(array->data) % alignof(float) != 0) return Reading::AlignedCopy;
    return Reading::InPlace;
}

/// Calls `visit(offset, other)` with the byte offsets of every index of the given axes in
/// two layouts, the last axis fastest. Offsets, not pointers: a pointer stepped past the last
/// element of an axis could leave the buffer.
template <class Visit>
void for_each_offset_pair(std::span<const numpy::npy_intp> lengths, std::span<const numpy::npy_intp> strides,
                          std::span<const numpy::npy_intp> other_strides, Visit&& visit) {
    numpy::npy_intp count = 1;
    for (numpy::npy_intp length : lengths) count *= length;
    std::array<numpy::npy_intp, max_axes> index{};
    numpy::npy_intp offset = 0, other = 0;
    for (numpy::npy_intp element = 0; element < count; ++element) {
        visit(offset, other);
        for (std::size_t axis = lengths.size(); axis-- > 0;) {
            offset += strides[axis];
            other += other_strides[axis];
            if (++index[axis] < lengths[axis]) break;
            offset -= lengths[axis] * strides[axis];
            other -= lengths[axis] * other_strides[axis];
            index[axis] = 0;
        }
    }
}

/// `for_each_offset_pair` over one layout.
template <class Visit>
void for_each_offset(std::span<const numpy::npy_intp> lengths, std::span<const numpy::npy_intp> strides,
                     Visit&& visit) {
    for_each_offset_pair(lengths, strides, strides, [&](numpy::npy_intp offset, numpy::npy_intp) { visit(offset); });
}

/// Byte strides, for the axes that step through memory, of a copy that holds the elements
/// in about the room they need, whatever gaps lie between them in the input, and in which
/// the kernels take every layout-dependent turn they take on the input: which views are
/// contiguous, in what address order, which axes step by one element. The axes are walked
/// from the smallest stride magnitude up; each keeps its sign and its place in that order.
/// One whose stride continues the block of the smaller ones exactly keeps doing so; one
/// that leaves a gap after that block keeps a gap of one element. So the copy needs fewer
/// than twice the elements. A stride that falls inside the block of the smaller ones
/// (interleaved or overlapping axes) has no such image: nothing, and the copy keeps the
/// input's own strides.
std::optional<std::array<numpy::npy_intp, max_axes>> compact_strides(
    std::span<const numpy::npy_intp> lengths, std::span<const numpy::npy_intp> strides) {
    std::array<std::size_t, max_axes> order{};
    for (std::size_t axis = 0; axis < lengths.size(); ++axis) order[axis] = axis;
    auto magnitude = [&](std::size_t axis) { return std::abs(strides[axis]) / float_bytes; };
    std::stable_sort(order.begin(), order.begin() + std::ssize(lengths),
                     [&](std::size_t a, std::size_t b) { return magnitude(a) < magnitude(b); });
    std::array<numpy::npy_intp, max_axes> compact{};
    // One past the last element slot of the block the axes walked so far span.
    numpy::npy_intp input_block = 1, copy_block = 1;
    for (std::size_t rank = 0; rank < lengths.size(); ++rank) {
        const std::size_t axis = order[rank];
        const numpy::npy_intp step = magnitude(axis), steps = lengths[axis] - 1;
        if (step < input_block) return std::nullopt;
        const numpy::npy_intp compact_step = step == input_block ? copy_block : copy_block + 1;
        numpy::npy_intp extent;
        if (__builtin_mul_overflow(steps, step, &extent) || __builtin_add_overflow(input_block, extent, &input_block)) {
            return std::nullopt;
        }
        copy_block += steps * compact_step;
        compact[axis] = strides[axis] < 0 ? -compact_step * float_bytes : compact_step * float_bytes;
    }
    return compact;
}

/// An aligned copy of a misaligned input, read through a view of the input's shape. Bytes
/// between elements are never read (they stay zero). Only axes that step through memory
/// are walked, so a broadcast input copies its few distinct elements once each.
InputView aligned_copy(const numpy::ArrayObject* array) {
    std::array<numpy::npy_intp, max_axes> lengths{}, strides{};
    std::array<std::size_t, max_axes> axes{};
    std::size_t stepping = 0;
    numpy::npy_intp low = 0, high = 0, count = 1;
    for (int axis = 0; axis < array->nd; ++axis) {
        const numpy::npy_intp length = array->dimensions[axis], stride = array->strides[axis];
        if (length < 2 || stride == 0) continue;
        (stride < 0 ? low : high) += (length - 1) * stride;
        count *= length;
        axes[stepping] = static_cast<std::size_t>(axis);
        lengths[stepping] = length;
        strides[stepping++] = stride;
    }
    const numpy::npy_intp span = high - low + float_bytes;
    const bool dense = span == count * float_bytes;
    const auto stepping_lengths = std::span(lengths).first(stepping);
    const auto stepping_strides = std::span(strides).first(stepping);
    const std::optional<std::array<numpy::npy_intp, max_axes>> compact =
        dense ? std::nullopt : compact_strides(stepping_lengths, stepping_strides);
    if (!compact) {
        // The input's own strides, every element at its offset from the span's start.
        OwnedArray copy = zeros_1d(span / float_bytes);
        char* target = reinterpret_cast<char*>(copy.ptr) - low;  // where the input's `data` lands
        const char* source = array->data;
        if (dense) {
            std::memcpy(target + low, source + low, static_cast<std::size_t>(span));
        } else {
            for_each_offset(stepping_lengths, stepping_strides,
                            [&](numpy::npy_intp offset) { std::memcpy(target + offset, source + offset, sizeof(float)); });
        }
        ArrayView view = view_at(array, reinterpret_cast<std::uintptr_t>(target), array->strides);
        return {std::move(copy), std::move(view)};
    }
    std::array<numpy::npy_intp, max_axes> copy_strides{};
    std::copy(array->strides, array->strides + array->nd, copy_strides.begin());
    numpy::npy_intp copy_low = 0, copy_high = 0;
    for (std::size_t rank = 0; rank < stepping; ++rank) {
        const numpy::npy_intp stride = (*compact)[rank];
        copy_strides[axes[rank]] = stride;
        (stride < 0 ? copy_low : copy_high) += (lengths[rank] - 1) * stride;
    }
    OwnedArray copy = zeros_1d((copy_high - copy_low) / float_bytes + 1);
    char* target = reinterpret_cast<char*>(copy.ptr) - copy_low;  // where the input's `data` lands
    for_each_offset_pair(stepping_lengths, stepping_strides, std::span(*compact).first(stepping),
                         [&](numpy::npy_intp offset, numpy::npy_intp copy_offset) {
                             std::memcpy(target + copy_offset, array->data + offset, sizeof(float));
                         });
    ArrayView view = view_at(array, reinterpret_cast<std::uintptr_t>(target), copy_strides.data());
    return {std::move(copy), std::move(view)};
}

/// Copies the elements, byte by byte so that no misaligned float is ever formed, in
/// row-major logical order into a zero-filled owned array of the same shape.
OwnedArray packed_copy(const numpy::ArrayObject* array) {
    const auto nd = static_cast<std::size_t>(array->nd);
    Shape shape(nd);
    for (std::size_t axis = 0; axis < nd; ++axis) shape[axis] = array->dimensions[axis];
    OwnedArray copy = zeros(shape);
    float* target = copy.ptr;
    for_each_offset(std::span(array->dimensions, nd), std::span(array->strides, nd),
                    [&](numpy::npy_intp offset) { std::memcpy(target++, array->data + offset, sizeof(float)); });
    return copy;
}

}  // namespace

ArrayView as_view(PyObject* object) {
    const numpy::ArrayObject* array = numpy::as_array(object);
    return view_at(array, reinterpret_cast<std::uintptr_t>(array->data), array->strides);
}

InputView readable_view(const PyReadonlyArray& input) {
    const numpy::ArrayObject* array = numpy::as_array(input.array());
    check_dimensionality(array->nd);
    switch (reading_of(array)) {
        case Reading::InPlace:
            return {std::nullopt, as_view(input.array())};
        case Reading::AlignedCopy:
            return aligned_copy(array);
        case Reading::PackedCopy:
            break;
    }
    OwnedArray copy = packed_copy(array);
    ArrayView view = view_of(copy);
    return {std::move(copy), std::move(view)};
}

}  // namespace pixalot
