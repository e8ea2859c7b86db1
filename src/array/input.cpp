// Input acceptance: the array test, the dtype test and the shared borrow.
#include "array/input.hpp"

#include "array/borrow.hpp"
#include "array/numpy_api.hpp"
#include "support/fault.hpp"

namespace pixalot {

namespace {

/// The dtype test of acceptance.
PyResult<void> check_float32(PyObject* object) {
    PyObject* descr = numpy::as_array(object)->descr;
    const PyRef float32 = numpy::float32_descr();
    if (!numpy::is_equiv_to(descr, float32.get())) {
        return std::unexpected(PyErr::conversion_mismatch(descr, float32.get()));
    }
    return {};
}

borrow::SharedBorrow acquire_or_fault(PyObject* object) {
    auto borrow = borrow::acquire(object);
    if (!borrow) panic("called `unwrap()` on an error value: AlreadyBorrowed");
    return *borrow;
}

}  // namespace

PyResult<PyReadonlyArray> PyReadonlyArray::extract(PyObject* object) {
    if (!numpy::PyArray_Check(object)) return std::unexpected(PyErr::type_mismatch(object, "PyArray<T, D>"));
    if (PyResult<void> float32 = check_float32(object); !float32) return std::unexpected(std::move(float32.error()));
    return PyReadonlyArray(object, acquire_or_fault(object));
}

PyResult<void> PyReadonlyArray::settle() {
    if (PyResult<void> float32 = check_float32(array_); !float32) return float32;
    if (borrow::still_describes(*borrow_, array_)) return {};
    // The new borrow first, so the memory is never unborrowed in between; should giving
    // the old one back fault, the destructor still releases the new one.
    const borrow::SharedBorrow old = std::exchange(*borrow_, acquire_or_fault(array_));
    borrow::release(old, array_);
    return {};
}

void PyReadonlyArray::release() {
    if (borrow_) borrow::release(*std::exchange(borrow_, std::nullopt), array_);
}

PyReadonlyArray::~PyReadonlyArray() noexcept {
    if (!borrow_) return;
    try {
        borrow::release(*borrow_, array_);
    } catch (...) {
        // Reported on file descriptor 2 where it arose; the call ends with its first fault.
    }
}

}  // namespace pixalot
