// as_view, and the copies through which inputs that cannot be read in place are read.
#include "array/view.hpp"

#include "array/numpy_api.hpp"
#include "support/fault.hpp"

#include <array>
#include <cstring>
#include <span>

namespace pixalot {
namespace {

void check_dimensionality(int nd) {
    if (nd > static_cast<int>(max_axes)) unexpected_dimensionality();
}

ArrayView view_at(const numpy::ArrayObject* array, std::uintptr_t data) {
    const int nd = array->nd;
    check_dimensionality(nd);
    const auto ndim = static_cast<std::size_t>(nd);
    Shape shape(ndim);
    Strides strides(ndim);
    // Address arithmetic in integers: for an empty axis the first move may point anywhere.
    std::uint32_t inverted = 0;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const numpy::npy_intp length = array->dimensions[axis];
        const numpy::npy_intp stride = array->strides[axis];
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

/// Calls `visit(offset)` with the byte offset of every index of the given axes, the last
/// axis fastest. Offsets, not pointers: a pointer stepped past the last element of an axis
/// could leave the buffer.
template <class Visit>
void for_each_offset(std::span<const numpy::npy_intp> lengths, std::span<const numpy::npy_intp> strides,
                     Visit&& visit) {
    std::size_t count = 1;
    for (numpy::npy_intp length : lengths) count *= static_cast<std::size_t>(length);
    std::array<numpy::npy_intp, max_axes> index{};
    numpy::npy_intp offset = 0;
    for (std::size_t element = 0; element < count; ++element) {
        visit(offset);
        for (std::size_t axis = lengths.size(); axis-- > 0;) {
            offset += strides[axis];
            if (++index[axis] < lengths[axis]) break;
            offset -= lengths[axis] * strides[axis];
            index[axis] = 0;
        }
    }
}

/// A copy of a misaligned input's byte span into an aligned buffer, every element at the
/// same offset from the span's start, so the view of it has the input's own element strides:
/// the layout-dependent orders (the result's memory order, the summation order of the means)
/// come out exactly as for its aligned twin. Bytes between elements are never read (they
/// stay zero). Only axes that step through memory are walked, so a broadcast input copies
/// its few distinct elements once each.
InputView aligned_copy(const numpy::ArrayObject* array) {
    std::array<numpy::npy_intp, max_axes> lengths{}, strides{};
    std::size_t stepping = 0;
    numpy::npy_intp low = 0, high = 0, count = 1;
    for (int axis = 0; axis < array->nd; ++axis) {
        const numpy::npy_intp length = array->dimensions[axis], stride = array->strides[axis];
        if (length < 2 || stride == 0) continue;
        (stride < 0 ? low : high) += (length - 1) * stride;
        count *= length;
        lengths[stepping] = length;
        strides[stepping++] = stride;
    }
    const auto span = static_cast<std::size_t>(high - low) + sizeof(float);
    OwnedArray copy = zeros_1d(static_cast<Index>(span / sizeof(float)));
    char* target = reinterpret_cast<char*>(copy.ptr) - low;  // where the input's `data` lands
    const char* source = array->data;
    if (span == static_cast<std::size_t>(count) * sizeof(float)) {
        std::memcpy(target + low, source + low, span);
    } else {
        for_each_offset(std::span(lengths).first(stepping), std::span(strides).first(stepping),
                        [&](numpy::npy_intp offset) { std::memcpy(target + offset, source + offset, sizeof(float)); });
    }
    ArrayView view = view_at(array, reinterpret_cast<std::uintptr_t>(target));
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
    return view_at(array, reinterpret_cast<std::uintptr_t>(array->data));
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
