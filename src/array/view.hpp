// Read-only views of accepted inputs, with strides counted in elements.
#pragma once
#include "array/input.hpp"
#include "array/ndarray.hpp"

namespace pixalot {

/// The view of a NumPy array's header: shape, element strides, data pointer.
ArrayView as_view(PyObject* array);

/// What an operation reads its input through: the in-place view; for an input whose data
/// pointer is off the 4-byte grid but whose strides are whole elements, a view of an aligned
/// copy about the size of its elements, laid out so that it computes exactly as its aligned
/// twin (same contiguity, address order and unit steps, hence the same bits); for one
/// whose byte strides are not whole elements (a packed record field), a view of a row-major
/// copy, since element strides cannot describe it.
struct InputView {
    std::optional<OwnedArray> copy;
    ArrayView view;
};

InputView readable_view(const PyReadonlyArray& input);

}  // namespace pixalot
