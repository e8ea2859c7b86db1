// Accepting float32 NumPy arrays as read-only inputs, each with one shared borrow.
#pragma once
#include "array/borrow.hpp"
#include "cpython/pyerr.hpp"

namespace pixalot {

/// An accepted float32 ndarray of any number of dimensions. It holds the caller's object
/// without a reference of its own and one shared borrow, given back by `release` on every
/// return and by the destructor only when a fault unwinds past it.
class PyReadonlyArray {
public:
    /// The conversion of the `input` argument.
    static PyResult<PyReadonlyArray> extract(PyObject* object);

    PyReadonlyArray(PyReadonlyArray&& other) noexcept
        : array_(std::exchange(other.array_, nullptr)), borrow_(std::exchange(other.borrow_, std::nullopt)) {}
    PyReadonlyArray& operator=(PyReadonlyArray&&) = delete;
    PyReadonlyArray(const PyReadonlyArray&) = delete;
    /// Gives back a borrow still held. A fault of that release is reported but not thrown:
    /// it would meet the fault already unwinding, and two at once end the process.
    ~PyReadonlyArray() noexcept;

    PyObject* array() const noexcept { return array_; }

    /// Accepts the array again as it stands when Python code run by the later conversions
    /// changed its header: the dtype must still be float32, and the borrow moves to the
    /// memory the header now describes, so what is read is what is borrowed.
    PyResult<void> settle();

    /// Gives the borrow back; faults when the registry has lost its entry.
    void release();

private:
    PyReadonlyArray(PyObject* array, borrow::SharedBorrow borrow) noexcept : array_(array), borrow_(borrow) {}
    PyObject* array_;
    std::optional<borrow::SharedBorrow> borrow_;
};

}  // namespace pixalot
