// Accepting float32 NumPy arrays as read-only inputs, each with one shared borrow.
#pragma once
#include "boundary/pyerr.hpp"

namespace pixalot {

/// An accepted float32 ndarray of any number of dimensions. It holds the caller's object
/// without a reference of its own and one shared borrow, given back when it ends.
class PyReadonlyArray {
public:
    /// The conversion of the `input` argument.
    static PyResult<PyReadonlyArray> extract(PyObject* object);

    PyReadonlyArray(PyReadonlyArray&& other) noexcept : array_(std::exchange(other.array_, nullptr)) {}
    PyReadonlyArray& operator=(PyReadonlyArray&&) = delete;
    PyReadonlyArray(const PyReadonlyArray&) = delete;
    // Releasing can fault when another module corrupted the shared registry.
    ~PyReadonlyArray() noexcept(false);

    PyObject* array() const noexcept { return array_; }

private:
    explicit PyReadonlyArray(PyObject* array) noexcept : array_(array) {}
    PyObject* array_;
};

}  // namespace pixalot
