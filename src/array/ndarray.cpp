// Layout rules, allocation, slicing and the mean of ArrayBase.
#include "array/ndarray.hpp"

#include "boundary/fault.hpp"

#include <Python.h>

#include <algorithm>
#include <new>
#include <numeric>
#include <vector>

namespace pixalot {

void index_out_of_bounds() { panic("ndarray: index out of bounds"); }

IxDynImpl row_major_strides(const IxDynImpl& shape) {
    IxDynImpl strides(shape.size());
    for (std::size_t length : shape.view()) {
        if (length == 0) return strides;
    }
    std::size_t step = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        strides[axis] = step;
        step *= shape[axis];  // wraps in the machine word, like the layout it describes
    }
    return strides;
}

namespace {

std::size_t magnitude(std::ptrdiff_t stride) {
    return stride < 0 ? 0 - static_cast<std::size_t>(stride) : static_cast<std::size_t>(stride);
}

}  // namespace

bool is_contiguous(const IxDynImpl& shape, const IxDynImpl& strides) {
    const IxDynImpl row_major = row_major_strides(shape);
    if (std::ranges::equal(row_major.view(), strides.view())) return true;
    const std::size_t ndim = shape.size();
    if (ndim == 1) return strides.signed_at(0) == -1;

    // Stable order by stride magnitude: axes of equal magnitude keep their axis order.
    std::size_t inline_order[IxDynImpl::inline_capacity];
    std::vector<std::size_t> heap_order;
    std::size_t* order = inline_order;
    if (ndim > IxDynImpl::inline_capacity) {
        heap_order.resize(ndim);
        order = heap_order.data();
    }
    std::iota(order, order + ndim, std::size_t{0});
    std::stable_sort(order, order + ndim, [&](std::size_t left, std::size_t right) {
        return magnitude(strides.signed_at(left)) < magnitude(strides.signed_at(right));
    });
    std::size_t expected = 1;
    for (std::size_t position = 0; position < ndim; ++position) {
        const std::size_t axis = order[position];
        if (shape[axis] != 1 && magnitude(strides.signed_at(axis)) != expected) return false;
        expected *= shape[axis];
    }
    return true;
}

std::size_t lowest_address_offset(const IxDynImpl& shape, const IxDynImpl& strides) {
    std::size_t offset = 0;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        const std::ptrdiff_t stride = strides.signed_at(axis);
        if (shape[axis] >= 2 && stride < 0) offset += (shape[axis] - 1) * magnitude(stride);
    }
    return offset;
}

namespace {

[[noreturn]] void shape_too_large() {
    panic("ndarray: Shape too large, product of non-zero axis lengths overflows ssize_t");
}

void check_capacity(std::size_t count) {
    if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(float)) panic("capacity overflow");
}

OwnedRepr allocate_zeroed(std::size_t count) {
    check_capacity(count);
    if (count == 0) return {};
    auto* buffer = static_cast<float*>(std::calloc(count, sizeof(float)));
    if (buffer == nullptr) throw std::bad_alloc();
    return {buffer, count};
}

}  // namespace

OwnedRepr allocate_elements(std::size_t count) {
    check_capacity(count);
    if (count == 0) return {};
    auto* buffer = static_cast<float*>(std::malloc(count * sizeof(float)));
    if (buffer == nullptr) throw std::bad_alloc();
    return {buffer, count};
}

OwnedArray zeros(const IxDynImpl& shape) {
    std::size_t nonzero_product = 1;
    std::size_t count = 1;
    for (std::size_t length : shape.view()) {
        count *= length;
        if (length == 0) continue;
        if (__builtin_mul_overflow(nonzero_product, length, &nonzero_product)) shape_too_large();
    }
    if (nonzero_product > static_cast<std::size_t>(PY_SSIZE_T_MAX)) shape_too_large();
    OwnedRepr storage = allocate_zeroed(count);
    float* data = storage.buffer();
    return OwnedArray{std::move(storage), data, shape, row_major_strides(shape)};
}

OwnedArray zeros_1d(std::size_t length) {
    if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) shape_too_large();
    OwnedRepr storage = allocate_zeroed(length);
    float* data = storage.buffer();
    IxDynImpl shape(1), strides(1);
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
    IxDynImpl shape(kept), strides(kept);
    float* data = view.ptr;
    std::size_t out = 0;
    for (std::size_t axis = 0; axis < items.size(); ++axis) {
        const SliceItem& item = items[axis];
        const auto length = static_cast<std::ptrdiff_t>(view.len_of(axis));
        const std::ptrdiff_t stride = view.stride_of(axis);
        if (item.is_index) {
            const std::ptrdiff_t index = item.start < 0 ? item.start + length : item.start;
            if (!(index >= 0 && index < length)) panic("assertion failed: index < dim");
            data += index * stride;
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
        if (selected != 0) data += (item.step < 0 ? end - 1 : start) * stride;
        const std::size_t step_magnitude = magnitude(item.step);
        const std::size_t new_length = step_magnitude == 1
                                           ? static_cast<std::size_t>(selected)
                                           : (static_cast<std::size_t>(selected) + step_magnitude - 1) / step_magnitude;
        shape[out] = new_length;
        strides[out] = new_length <= 1 ? 0 : static_cast<std::size_t>(stride * item.step);
        ++out;
    }
    return ArrayView{{}, data, std::move(shape), std::move(strides)};
}

float eight_way_sum(const float* elements, std::ptrdiff_t stride, std::size_t count) {
    float partial[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t whole = count - count % 8;
    const float* element = elements;
    for (std::size_t block = 0; block < whole; block += 8) {
        for (std::size_t lane = 0; lane < 8; ++lane, element += stride) partial[lane] += *element;
    }
    float sum = 0.0f;
    for (std::size_t pair = 0; pair < 4; ++pair) sum += partial[pair] + partial[pair + 4];
    for (std::size_t rest = whole; rest < count; ++rest, element += stride) sum += *element;
    return sum;
}

std::optional<float> mean(const ArrayView& view) {
    const std::size_t rows = view.len_of(0), columns = view.len_of(1);
    const std::size_t count = rows * columns;
    if (count == 0) return std::nullopt;
    float total = 0.0f;
    if (is_contiguous(view.dim, view.strides)) {
        total = eight_way_sum(view.ptr - lowest_address_offset(view.dim, view.strides), 1, count);
    } else {
        const std::ptrdiff_t row_stride = view.stride_of(0), column_stride = view.stride_of(1);
        const bool unit_rows = column_stride == 1 || columns < 2;
        for (std::size_t row = 0; row < rows; ++row) {
            const float* first = view.ptr + static_cast<std::ptrdiff_t>(row) * row_stride;
            float row_sum = 0.0f;
            if (unit_rows) {
                row_sum = eight_way_sum(first, column_stride, columns);
            } else {
                for (std::size_t column = 0; column < columns; ++column) row_sum += first[static_cast<std::ptrdiff_t>(column) * column_stride];
            }
            total += row_sum;
        }
    }
    return total / static_cast<float>(count);
}

}  // namespace pixalot
