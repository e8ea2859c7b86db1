// Input acceptance: the array test, the dtype test and the shared borrow.
#include "array/input.hpp"

#include "array/borrow.hpp"
#include "array/numpy_api.hpp"
#include "boundary/fault.hpp"

namespace pixalot {
namespace {

/// "type mismatch:\n from=<dtype>, to=float32", formatted only when raised.
class DtypeMismatchProducer final : public ErrorProducer {
public:
    DtypeMismatchProducer(PyObject* from, PyObject* to) : from_(PyRef::borrow(from)), to_(PyRef::borrow(to)) {}
    std::pair<PyRef, PyRef> produce() override {
        std::string message = "type mismatch:\n from=" + numpy::dtype_text(from_.get()) +
                              ", to=" + numpy::dtype_text(to_.get());
        return {PyRef::borrow(PyExc_TypeError), make_string(message)};
    }

private:
    PyRef from_;
    PyRef to_;
};

}  // namespace

PyResult<PyReadonlyArray> PyReadonlyArray::extract(PyObject* object) {
    if (!numpy::PyArray_Check(object)) return std::unexpected(PyErr::type_mismatch(object, "PyArray<T, D>"));
    PyObject* descr = numpy::as_array(object)->descr;
    const PyRef float32 = numpy::float32_descr();
    if (!numpy::is_equiv_to(descr, float32.get())) {
        return std::unexpected(PyErr::new_lazy(std::make_unique<DtypeMismatchProducer>(descr, float32.get())));
    }
    if (borrow::acquire(object)) panic("called `unwrap()` on an error value: AlreadyBorrowed");
    return PyReadonlyArray(object);
}

PyReadonlyArray::~PyReadonlyArray() noexcept(false) {
    if (array_ != nullptr) borrow::release(array_);
}

}  // namespace pixalot
