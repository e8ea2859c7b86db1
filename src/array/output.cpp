// New NumPy results: row- or column-major when the planned strides are, row-major otherwise.
#include "array/output.hpp"

#include "support/fault.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <type_traits>

namespace pixalot {

bool is_standard_layout(std::span<const Index> shape, std::span<const Index> strides) {
    for (Index length : shape) {
        if (length == 0) return true;
    }
    Index expected = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        if (shape[axis] == 1) continue;
        if (strides[axis] != expected) return false;
        expected *= shape[axis];
    }
    return true;
}

PyRef new_uninit(const Shape& shape, const numpy::npy_intp* byte_strides, MemoryOrder order) {
    auto* array_type = static_cast<PyTypeObject*>(numpy::get(numpy::Api::PyArray_Type));
    PyRef descr = numpy::float32_descr();
    using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const numpy::npy_intp*,
                                       const numpy::npy_intp*, void*, int, PyObject*);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(numpy::get(numpy::Api::PyArray_NewFromDescr));
    static_assert(std::is_same_v<Index, numpy::npy_intp>, "shapes go to NumPy as they are");
    // The creation call consumes the descriptor's reference.
    PyObject* array = new_from_descr(array_type, descr.release(), static_cast<int>(shape.size()),
                                     shape.data(), byte_strides,
                                     nullptr, static_cast<int>(order), nullptr);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // A refused buffer is the caller's to handle, like any other refused allocation.
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return PyRef::steal(required(array));
}

namespace {

/// Row-major, column-major or neither, tested in that order.
std::optional<MemoryOrder> block_order(const Shape& shape, const Strides& strides) {
    if (is_standard_layout(shape.view(), strides.view())) return MemoryOrder::RowMajor;
    if (shape.size() > 1) {
        Shape reversed_shape(shape.size());
        Strides reversed_strides(shape.size());
        std::ranges::reverse_copy(shape.view(), reversed_shape.data());
        std::ranges::reverse_copy(strides.view(), reversed_strides.data());
        if (is_standard_layout(reversed_shape.view(), reversed_strides.view())) return MemoryOrder::ColumnMajor;
    }
    return std::nullopt;
}

NpyStrides byte_strides(const Strides& strides) {
    if (strides.size() > max_axes) unexpected_dimensionality();
    NpyStrides bytes;  // only the first strides.size() entries are read
    for (std::size_t axis = 0; axis < strides.size(); ++axis) {
        bytes[axis] = strides[axis] * float_bytes;
    }
    return bytes;
}

float* buffer_of(const PyRef& array) { return reinterpret_cast<float*>(numpy::as_array(array.get())->data); }

}  // namespace

PlannedResult new_result(const Shape& shape, const Strides& strides) {
    if (std::optional<MemoryOrder> order = block_order(shape, strides)) {
        // NumPy's own row-major strides are these when no axis is empty, and it works out
        // the flags of its own layout without a pass over the axes.
        const bool numpy_strides = *order == MemoryOrder::RowMajor && has_row_major_strides(shape, strides) &&
                                   std::ranges::find(shape.view(), Index{0}) == shape.view().end();
        if (numpy_strides) {
            PyRef array = new_uninit(shape, nullptr, MemoryOrder::RowMajor);
            float* data = buffer_of(array);
            return {std::move(array), data, true};
        }
        const NpyStrides bytes = byte_strides(strides);
        PyRef array = new_uninit(shape, bytes.data(), *order);
        float* data = buffer_of(array);
        return {std::move(array), data, true};
    }
    PyRef array = new_uninit(shape, nullptr, MemoryOrder::RowMajor);
    float* data = buffer_of(array);
    return {std::move(array), data, false};
}

}  // namespace pixalot
