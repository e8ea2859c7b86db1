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
    for (std::size_t length : shape.view()) {
        if (length == 0) return strides;
    }
    std::size_t step = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = static_cast<std::ptrdiff_t>(step);
        step *= shape[axis];  // wraps in the machine word, like the layout it describes
    }
    return strides;
}

namespace {

std::size_t magnitude(std::ptrdiff_t stride) {
    return stride < 0 ? 0 - static_cast<std::size_t>(stride) : static_cast<std::size_t>(stride);
}

}  // namespace

bool has_row_major_strides(const Shape& shape, const Strides& strides) {
    if (std::ranges::find(shape.view(), std::size_t{0}) != shape.view().end()) {
        return std::ranges::all_of(strides.view(), [](std::ptrdiff_t stride) { return stride == 0; });
    }
    std::size_t step = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        if (strides[axis] != static_cast<std::ptrdiff_t>(step)) return false;
        step *= shape[axis];
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
        const std::size_t key = magnitude(strides[axis]);
        while (position > 0 && magnitude(strides[order[position - 1]]) > key) {
            order[position] = order[position - 1];
            --position;
        }
        order[position] = axis;
    }
    std::size_t expected = 1;
    for (std::size_t position = 0; position < ndim; ++position) {
        const std::size_t axis = order[position];
        if (shape[axis] != 1 && magnitude(strides[axis]) != expected) return false;
        expected *= shape[axis];
    }
    return true;
}

std::size_t lowest_address_offset(const Shape& shape, const Strides& strides) {
    std::size_t offset = 0;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        const std::ptrdiff_t stride = strides[axis];
        if (shape[axis] >= 2 && stride < 0) offset += (shape[axis] - 1) * magnitude(stride);
    }
    return offset;
}

namespace {

[[noreturn]] void shape_too_large() {
    panic("ndarray: Shape too large, product of non-zero axis lengths overflows ssize_t");
}

}  // namespace

void check_capacity(std::size_t count) {
    if (count > max_count / sizeof(float)) panic("capacity overflow");
}

namespace {

OwnedRepr allocate_zeroed(std::size_t count) {
    check_capacity(count);
    if (count == 0) return {};
    auto* buffer = static_cast<float*>(std::calloc(count, sizeof(float)));
    if (buffer == nullptr) throw std::bad_alloc();
    return OwnedRepr(buffer);
}

}  // namespace

std::size_t checked_element_count(const Shape& shape) {
    std::size_t nonzero_product = 1;
    std::size_t count = 1;
    for (std::size_t length : shape.view()) {
        count *= length;
        if (length == 0) continue;
        if (__builtin_mul_overflow(nonzero_product, length, &nonzero_product)) shape_too_large();
    }
    if (nonzero_product > max_count) shape_too_large();
    check_capacity(count);
    return count;
}

OwnedArray zeros(const Shape& shape) {
    OwnedRepr storage = allocate_zeroed(checked_element_count(shape));
    float* data = storage.buffer();
    return OwnedArray{std::move(storage), data, shape, row_major_strides(shape)};
}

void check_zeros_1d(std::size_t length) {
    if (length > max_count) shape_too_large();
    check_capacity(length);
}

OwnedArray zeros_1d(std::size_t length) {
    check_zeros_1d(length);
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
        const auto length = static_cast<std::ptrdiff_t>(view.len_of(axis));
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
        const std::size_t step_magnitude = magnitude(item.step);
        const std::size_t new_length = step_magnitude == 1
                                           ? static_cast<std::size_t>(selected)
                                           : (static_cast<std::size_t>(selected) + step_magnitude - 1) / step_magnitude;
        shape[out] = new_length;
        strides[out] = new_length <= 1 ? 0 : stride * item.step;
        ++out;
    }
    return ArrayView{{}, reinterpret_cast<float*>(data), std::move(shape), std::move(strides)};
}

}  // namespace pixalot
