// New NumPy arrays for the operations' results.
#pragma once
#include "array/ndarray.hpp"
#include "array/numpy_api.hpp"

#include <array>

namespace pixalot {

/// NumPy's memory-order flag for a new array.
enum class MemoryOrder : int { RowMajor = 0, ColumnMajor = 1 };

static_assert(max_count == PY_SSIZE_T_MAX, "sizes are counted as NumPy and CPython count them");

/// Byte strides for NumPy, one entry per axis.
using NpyStrides = std::array<numpy::npy_intp, max_axes>;

/// A new float32 NumPy array with an uninitialised buffer.
PyRef new_uninit(const Shape& shape, const numpy::npy_intp* byte_strides, MemoryOrder order);

/// A new NumPy result for an operation to compute straight into: the memory image of
/// `shape` with `strides` when those are row- or column-major, row-major otherwise.
struct PlannedResult {
    PyRef array;
    float* data;      // start of the buffer
    /// True: the buffer is the memory image of the strides asked for; false: the
    /// elements go in row-major logical order.
    bool same_memory_order;
};

PlannedResult new_result(const Shape& shape, const Strides& strides);

/// Whether the lengths with their strides are plain row-major (positive strides only).
bool is_standard_layout(std::span<const Index> shape, std::span<const Index> strides);

}  // namespace pixalot
