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

/// A new float32 NumPy array holding a copy of the owned array's elements; the reference
/// belongs to the current call's pool.
PyObject* to_pyarray(const OwnedArray& source);

/// A new float32 NumPy array with an uninitialised buffer (reference in the call's pool).
PyObject* new_uninit(const IxDynImpl& shape, const numpy::npy_intp* byte_strides, MemoryOrder order);

/// The source's element strides in bytes; faults beyond 32 axes.
NpyStrides npy_strides(const OwnedArray& source);

/// Whether the lengths with their strides are plain row-major (positive strides only).
bool is_standard_layout(std::span<const std::size_t> shape, std::span<const std::size_t> strides);

}  // namespace pixalot
