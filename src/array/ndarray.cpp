// Layout rules, allocation, slicing and the mean of ArrayBase.
#include "array/ndarray.hpp"

#include "support/fault.hpp"

#include <algorithm>
#include <new>

namespace pixalot {

void index_out_of_bounds() { panic("ndarray: index out of bounds"); }

void unexpected_dimensionality() {
    panic("unexpected dimensionality: NumPy is expected to limit arrays to " + std::to_string(max_axes) +
          " or fewer dimensions.\n"
          "Please report a bug against `pixalot`.");
}

Strides row_major_strides(const Shape& shape) {
    Strides strides(shape.size());
    for (Index length : shape.view()) {
        if (length == 0) return strides;
    }
    Index step = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = step;
        // Wraps in the machine word, like the layout it describes.
        (void)__builtin_mul_overflow(step, shape[axis], &step);
    }
    return strides;
}

namespace {

Index magnitude(Index stride) { return stride < 0 ? -stride : stride; }

}  // namespace

bool has_row_major_strides(const Shape& shape, const Strides& strides) {
    if (std::ranges::find(shape.view(), Index{0}) != shape.view().end()) {
        return std::ranges::all_of(strides.view(), [](Index stride) { return stride == 0; });
    }
    Index step = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        if (strides[axis] != step) return false;
        (void)__builtin_mul_overflow(step, shape[axis], &step);
    }
    return true;
}

bool is_contiguous(const Shape& shape, const Strides& strides) {
    if (has_row_major_strides(shape, strides)) return true;
    const std::size_t ndim = shape.size();
    if (ndim == 1) return strides[0] == -1;

    // Stable order by stride magnitude: axes of equal magnitude keep their axis order.
    // At most max_axes axes, so an insertion sort on the stack, which allocates nothing.
    std::size_t order[max_axes];
    if (ndim > max_axes) return false;  // no array with more axes reaches this test
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        std::size_t position = axis;
        const Index key = magnitude(strides[axis]);
        while (position > 0 && magnitude(strides[order[position - 1]]) > key) {
            order[position] = order[position - 1];
            --position;
        }
        order[position] = axis;
    }
    Index expected = 1;
    for (std::size_t position = 0; position < ndim; ++position) {
        const std::size_t axis = order[position];
        if (shape[axis] != 1 && magnitude(strides[axis]) != expected) return false;
        expected *= shape[axis];
    }
    return true;
}

Index lowest_address_offset(const Shape& shape, const Strides& strides) {
    Index offset = 0;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        const Index stride = strides[axis];
        if (shape[axis] >= 2 && stride < 0) offset -= (shape[axis] - 1) * stride;
    }
    return offset;
}

namespace {

[[noreturn]] void shape_too_large() {
    panic("ndarray: Shape too large, product of non-zero axis lengths overflows ssize_t");
}

}  // namespace

/// The most float32 a buffer may hold: its size in bytes must fit a signed machine word.
constexpr Index max_floats = PTRDIFF_MAX / float_bytes;

void check_capacity(Index count) {
    if (count > max_floats) panic("capacity overflow");
}

namespace {

OwnedRepr allocate_zeroed(Index count) {
    check_capacity(count);
    if (count == 0) return {};
    auto* buffer = static_cast<float*>(std::calloc(static_cast<std::size_t>(count), sizeof(float)));
    if (buffer == nullptr) throw std::bad_alloc();
    return OwnedRepr(buffer);
}

}  // namespace

Index checked_element_count(const Shape& shape) {
    Index nonzero_product = 1;
    bool empty = false;
    for (Index length : shape.view()) {
        if (length == 0) {
            empty = true;
            continue;
        }
        if (__builtin_mul_overflow(nonzero_product, length, &nonzero_product)) shape_too_large();
    }
    const Index count = empty ? 0 : nonzero_product;
    check_capacity(count);
    return count;
}

OwnedArray zeros(const Shape& shape) {
    OwnedRepr storage = allocate_zeroed(checked_element_count(shape));
    float* data = storage.buffer();
    return OwnedArray{std::move(storage), data, shape, row_major_strides(shape)};
}

void check_zeros_1d(std::uint64_t length) {
    if (length > max_count) shape_too_large();
    if (length > max_count / sizeof(float)) panic("capacity overflow");
}

OwnedArray zeros_1d(Index length) {
    check_capacity(length);
    OwnedRepr storage = allocate_zeroed(length);
    float* data = storage.buffer();
    Shape shape(1);
    Strides strides(1);
    shape[0] = length;
    strides[0] = length == 0 ? 0 : 1;
    return OwnedArray{std::move(storage), data, std::move(shape), std::move(strides)};
}

ArrayView slice(const ArrayView& view, std::span<const SliceItem> items) {
    if (items.size() != view.ndim()) {
        panic("assertion `left == right` failed: The input dimension of `info` must match the array to be sliced.\n"
              "  left: " + std::to_string(items.size()) + "\n right: " + std::to_string(view.ndim()));
    }
    std::size_t kept = 0;
    for (const SliceItem& item : items) kept += item.is_index ? 0 : 1;
    Shape shape(kept);
    Strides strides(kept);
    // Address arithmetic in integers: an axis that is empty or has one element may carry any
    // stride, and moving a pointer by it could leave the address space.
    auto data = reinterpret_cast<std::uintptr_t>(view.ptr);
    const auto move_by = [&](std::ptrdiff_t elements, std::ptrdiff_t stride) {
        data += static_cast<std::uintptr_t>(elements) * static_cast<std::uintptr_t>(stride) * sizeof(float);
    };
    std::size_t out = 0;
    for (std::size_t axis = 0; axis < items.size(); ++axis) {
        const SliceItem& item = items[axis];
        const Index length = view.len_of(axis);
        const std::ptrdiff_t stride = view.stride_of(axis);
        if (item.is_index) {
            const std::ptrdiff_t index = item.start < 0 ? item.start + length : item.start;
            if (!(index >= 0 && index < length)) panic("assertion failed: index < dim");
            move_by(index, stride);
            continue;
        }
        const std::ptrdiff_t start = item.start < 0 ? item.start + length : item.start;
        std::ptrdiff_t end = item.end.value_or(length);
        if (end < 0) end += length;
        if (end < start) end = start;
        if (start > length) panic("assertion failed: start <= axis_len");
        if (end > length) panic("assertion failed: end <= axis_len");
        if (item.step == 0) panic("assertion failed: step != 0");
        const std::ptrdiff_t selected = end - start;
        if (selected != 0) move_by(item.step < 0 ? end - 1 : start, stride);
        const Index step_magnitude = magnitude(item.step);
        const Index new_length = (selected + step_magnitude - 1) / step_magnitude;
        shape[out] = new_length;
        strides[out] = new_length <= 1 ? 0 : stride * item.step;
        ++out;
    }
    return ArrayView{{}, reinterpret_cast<float*>(data), std::move(shape), std::move(strides)};
}

}  // namespace pixalot
