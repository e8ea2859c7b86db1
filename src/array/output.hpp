// New NumPy arrays for the operations' results.
#pragma once
#include "array/ndarray.hpp"
#include "array/numpy_api.hpp"

#include <array>

namespace pixalot {

/// NumPy's memory-order flag for a new array.
enum class MemoryOrder : int { RowMajor = 0, ColumnMajor = 1 };

/// Byte strides for NumPy, one entry per axis (at most 32).
using NpyStrides = std::array<numpy::npy_intp, 32>;

/// A new float32 NumPy array holding a copy of the owned array's elements.
PyRef to_pyarray(const OwnedArray& source);

/// A new float32 NumPy array with an uninitialised buffer.
PyRef new_uninit(const Shape& shape, const numpy::npy_intp* byte_strides, MemoryOrder order);

/// A new NumPy result laid out exactly as `to_pyarray` lays out an owned array of this
/// shape and element strides, for an operation to compute straight into it.
struct PlannedResult {
    PyRef array;
    float* data;      // start of the buffer
    /// True: the buffer holds the owned array's memory image (same element order);
    /// false: the elements go in row-major logical order.
    bool same_memory_order;
};

PlannedResult new_result(const Shape& shape, const Strides& strides);

/// Whether the lengths with their strides are plain row-major (positive strides only).
bool is_standard_layout(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides);

}  // namespace pixalot
