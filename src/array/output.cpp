// to_pyarray: the block copy for row- and column-major sources, the element walk otherwise.
#include "array/output.hpp"

#include "boundary/fault.hpp"

#include <cstring>
#include <new>
#include <algorithm>

namespace pixalot {

bool is_standard_layout(std::span<const std::size_t> shape, std::span<const std::size_t> strides) {
    for (std::size_t length : shape) {
        if (length == 0) return true;
    }
    std::size_t expected = 1;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        if (shape[axis] == 1) continue;
        if (strides[axis] != expected) return false;
        expected *= shape[axis];
    }
    return true;
}

NpyStrides npy_strides(const OwnedArray& source) {
    if (source.ndim() > 32) {
        panic("unexpected dimensionality: NumPy is expected to limit arrays to 32 or fewer dimensions.\n"
              "Please report a bug against `pixalot`.");
    }
    NpyStrides strides{};
    for (std::size_t axis = 0; axis < source.ndim(); ++axis) {
        strides[axis] = source.stride_of(axis) * static_cast<numpy::npy_intp>(sizeof(float));
    }
    return strides;
}

PyObject* new_uninit(const IxDynImpl& shape, const numpy::npy_intp* byte_strides, MemoryOrder order) {
    auto* array_type = static_cast<PyTypeObject*>(numpy::get(numpy::Api::PyArray_Type));
    PyObject* descr = numpy::get_dtype();
    Py_INCREF(descr);  // the creation call consumes one reference
    using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const numpy::npy_intp*,
                                       const numpy::npy_intp*, void*, int, PyObject*);
    auto new_from_descr = reinterpret_cast<NewFromDescr>(numpy::get(numpy::Api::PyArray_NewFromDescr));
    static_assert(sizeof(std::size_t) == sizeof(numpy::npy_intp));
    PyObject* array = new_from_descr(array_type, descr, static_cast<int>(shape.size()),
                                     reinterpret_cast<const numpy::npy_intp*>(shape.data()), byte_strides,
                                     nullptr, static_cast<int>(order), nullptr);
    if (array == nullptr && PyErr_ExceptionMatches(PyExc_MemoryError)) {
        // A refused buffer is the caller's to handle, like any other refused allocation.
        PyErr_Clear();
        throw std::bad_alloc();
    }
    return register_owned(required(array));
}

PyObject* to_pyarray(const OwnedArray& source) {
    const std::size_t count = source.size();
    MemoryOrder order = MemoryOrder::RowMajor;
    bool block_copy = is_standard_layout(source.dim.view(), source.strides.view());
    if (!block_copy && source.ndim() > 1) {
        IxDynImpl reversed_shape(source.ndim()), reversed_strides(source.ndim());
        std::ranges::reverse_copy(source.dim.view(), reversed_shape.data());
        std::ranges::reverse_copy(source.strides.view(), reversed_strides.data());
        if (is_standard_layout(reversed_shape.view(), reversed_strides.view())) {
            block_copy = true;
            order = MemoryOrder::ColumnMajor;
        }
    }
    if (block_copy) {
        const NpyStrides strides = npy_strides(source);
        PyObject* array = new_uninit(IxDynImpl(source.dim), strides.data(), order);
        if (count != 0) std::memcpy(numpy::as_array(array)->data, source.ptr, count * sizeof(float));
        return array;
    }
    PyObject* array = new_uninit(IxDynImpl(source.dim), nullptr, MemoryOrder::RowMajor);
    auto* target = reinterpret_cast<float*>(numpy::as_array(array)->data);
    for_each_logical(view_of(source), [&](float element) { *target++ = element; });
    return array;
}

}  // namespace pixalot
