// NumPy's native array interface, reached only through the `_ARRAY_API` capsule at run time.
#pragma once
#include "cpython/pyerr.hpp"

#include <cstdint>

namespace pixalot::numpy {

using npy_intp = Py_ssize_t;

/// NumPy's public array object header; identical in NumPy 1.x and 2.x for these fields.
struct ArrayObject {
    PyObject_HEAD
    char* data;
    int nd;
    npy_intp* dimensions;
    npy_intp* strides;
    PyObject* base;
    PyObject* descr;
    int flags;
};

inline ArrayObject* as_array(PyObject* object) { return reinterpret_cast<ArrayObject*>(object); }

constexpr int NPY_FLOAT = 11;
constexpr int NPY_ARRAY_WRITEABLE = 0x0400;

/// Table indices, as NumPy publishes them.
enum class Api : std::size_t {
    PyArray_Type = 2,
    PyArray_DescrFromType = 45,
    PyArray_NewFromDescr = 94,
    PyArray_EquivTypes = 182,
    PyArray_GetNDArrayCFeatureVersion = 211,
};

/// The address held in one table entry; the table is looked up on first use.
void* get(Api entry);

/// The module that carries NumPy's capsules (`numpy._core.multiarray`, or
/// `numpy.core.multiarray` before NumPy had the private name). A new reference.
PyResult<PyRef> import_multiarray();

/// The pointer inside a capsule, read under the capsule's own name; a pending error from
/// either read is cleared, as the pointer alone decides what happens next.
void* capsule_pointer(PyObject* capsule);

/// True when the object is an ndarray or an instance of a subclass.
bool PyArray_Check(PyObject* object);

/// The float32 dtype, asked of NumPy on every use (a new reference).
PyRef float32_descr();

/// Whether two dtypes are equivalent (identity first, then NumPy's own test).
bool is_equiv_to(PyObject* first, PyObject* second);

/// Bytes per element of a dtype, read by the descriptor layout of the running NumPy.
npy_intp descr_elsize(PyObject* descr);
}  // namespace pixalot::numpy
