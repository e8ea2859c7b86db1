// Lookup and caching of NumPy's array API table; dtype helpers built on it.
#include "array/numpy_api.hpp"

#include "support/fault.hpp"

#include <utility>

namespace pixalot::numpy {
namespace {

void** api_table = nullptr;  // set once, never cleared; the capsule is kept alive forever
bool descr_layout_v2 = false;

/// NumPy 1.x descriptor: `elsize` is an int after the type number.
struct DescrV1 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, flags;
    int type_num;
    int elsize;
};

/// NumPy 2.x descriptor: 64-bit flags come first and `elsize` is a machine word.
struct DescrV2 {
    PyObject_HEAD
    PyTypeObject* typeobj;
    char kind, type, byteorder, former_flags;
    int type_num;
    std::uint64_t flags;
    npy_intp elsize;
};

/// NumPy's C-API feature version from which descriptors have the 2.x layout.
constexpr unsigned feature_version_numpy2 = 0x12;

[[noreturn]] void capsule_fault(PyErr error) {
    panic(fault_message_with("Failed to access NumPy array API capsule", error));
}

void** lookup_table() {
    PyResult<PyRef> multiarray = import_multiarray();
    if (!multiarray) capsule_fault(std::move(multiarray.error()));
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray->get(), "_ARRAY_API"));
    if (!capsule) capsule_fault(PyErr::fetch());
    if (Py_TYPE(capsule.get()) != &PyCapsule_Type) capsule_fault(PyErr::type_mismatch(capsule.get(), "PyCapsule"));
    void** table = static_cast<void**>(capsule_pointer(capsule.get()));
    if (table == nullptr) {
        // Reading entries through a null table would crash the interpreter later.
        capsule_fault(PyErr::new_message(PyExc_ValueError, "the _ARRAY_API capsule holds a null pointer"));
    }
    if (api_table == nullptr) {
        (void)capsule.release();  // the table lives inside the capsule: keep it forever
        using FeatureVersion = unsigned (*)();
        auto feature_version = reinterpret_cast<FeatureVersion>(
            table[std::to_underlying(Api::PyArray_GetNDArrayCFeatureVersion)]);
        descr_layout_v2 = feature_version() >= feature_version_numpy2;
        api_table = table;
    }
    return api_table;
}

}  // namespace

void* capsule_pointer(PyObject* capsule) {
    const char* name = PyCapsule_GetName(capsule);
    if (name == nullptr && PyErr_Occurred()) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule, name);
    if (pointer == nullptr && PyErr_Occurred()) PyErr_Clear();
    return pointer;
}

PyResult<PyRef> import_multiarray() {
    if (PyObject* module = PyImport_ImportModule("numpy._core.multiarray")) {
        // NumPy 1.26 answers the private name with a stand-in that copies the real module's
        // names, `__name__` included; capsules installed there would be invisible to peers.
        PyRef stand_in = PyRef::steal(module);
        PyRef name = PyRef::steal(PyObject_GetAttrString(stand_in.get(), "__name__"));
        if (!name) return std::unexpected(PyErr::fetch());
        PyObject* real = PyImport_Import(name.get());
        if (real == nullptr) return std::unexpected(PyErr::fetch());
        return PyRef::steal(real);
    }
    // NumPy before 1.26 knows only the public name; NumPy 2 warns on it, so it comes second.
    PyErr first = PyErr::fetch();
    if (!PyErr_GivenExceptionMatches(first.make_normalized(), PyExc_ImportError)) {
        return std::unexpected(std::move(first));
    }
    if (PyObject* module = PyImport_ImportModule("numpy.core.multiarray")) return PyRef::steal(module);
    return std::unexpected(PyErr::fetch());
}

void* get(Api entry) {
    void** table = api_table != nullptr ? api_table : lookup_table();
    return table[std::to_underlying(entry)];
}

bool PyArray_Check(PyObject* object) {
    auto* array_type = static_cast<PyTypeObject*>(get(Api::PyArray_Type));
    return Py_TYPE(object) == array_type || PyType_IsSubtype(Py_TYPE(object), array_type) != 0;
}

PyRef float32_descr() {
    using DescrFromType = PyObject* (*)(int);
    auto descr_from_type = reinterpret_cast<DescrFromType>(get(Api::PyArray_DescrFromType));
    return PyRef::steal(required(descr_from_type(NPY_FLOAT)));
}

bool is_equiv_to(PyObject* first, PyObject* second) {
    if (first == second) return true;
    using EquivTypes = unsigned char (*)(PyObject*, PyObject*);
    return reinterpret_cast<EquivTypes>(get(Api::PyArray_EquivTypes))(first, second) != 0;
}

npy_intp descr_elsize(PyObject* descr) {
    (void)get(Api::PyArray_Type);  // the layout is known once the table has been read
    if (descr_layout_v2) return reinterpret_cast<DescrV2*>(descr)->elsize;
    return reinterpret_cast<DescrV1*>(descr)->elsize;
}
}  // namespace pixalot::numpy
