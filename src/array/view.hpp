// Read-only views of accepted inputs, with strides counted in elements.
#pragma once
#include "array/input.hpp"
#include "array/ndarray.hpp"

namespace pixalot {

/// The view of a NumPy array's header: shape, element strides, data pointer.
ArrayView as_view(PyObject* array);

/// What an operation reads its input through: the in-place view, or, for an input whose
/// elements are not all at 4-byte boundaries of its data (a misaligned buffer, a packed
/// record field), a view of a row-major copy, since element strides cannot describe it.
struct InputView {
    std::optional<OwnedArray> copy;
    ArrayView view;
};

InputView readable_view(const PyReadonlyArray& input);

}  // namespace pixalot
