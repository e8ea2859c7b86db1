// Import: interpreter check, module cell, function objects and __all__.
#include "boundary/module.hpp"

#include "boundary/settings.hpp"
#include "support/fault.hpp"

#include <cstring>

namespace pixalot {
namespace {

constexpr const char* subinterpreter_message =
    "pixalot does not yet support subinterpreters, see "
    "https://docs.python.org/3/c-api/init.html#sub-interpreter-support";

PyObject* name_attribute() {
    static PyObject* cell = nullptr;
    return interned("__name__", cell);
}

PyObject* all_attribute() {
    static PyObject* cell = nullptr;
    return interned("__all__", cell);
}

/// A NUL-terminated text for CPython. Texts that already end in their only NUL are used in
/// place; the copy of any other text lives as long as the function it names.
PyResult<const char*> extract_c_string(std::string_view text, const char* nul_message) {
    if (text.empty()) return "";
    const std::size_t nul = text.find('\0');
    if (nul == text.size() - 1) return text.data();
    if (nul != std::string_view::npos) return std::unexpected(PyErr::new_message(PyExc_ValueError, nul_message));
    // Today's texts all end in their NUL; a row written without one is copied, not refused.
    char* copy = new char[text.size() + 1];
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

}  // namespace

PyResult<PyObject*> ModuleDef::make_module() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return std::unexpected(PyErr::fetch());

    std::int64_t expected = -1;
    if (!interpreter_.compare_exchange_strong(expected, id, std::memory_order_seq_cst) &&
        expected != id) {
        return std::unexpected(PyErr::new_message(PyExc_ImportError, subinterpreter_message));
    }

    if (module_ != nullptr) return Py_NewRef(module_);
    if (PyResult<void> read = read_settings(); !read) return std::unexpected(std::move(read.error()));

    PyRef module = PyRef::steal(PyModule_Create2(definition_, PYTHON_API_VERSION));
    if (!module) return std::unexpected(PyErr::fetch());
    if (PyResult<void> filled = body(module.get()); !filled) return std::unexpected(std::move(filled.error()));

    // The body can release the interpreter lock; a racing import that stored first wins.
    if (module_ == nullptr) module_ = module.release();
    return Py_NewRef(module_);
}

PyResult<void> ModuleDef::body(PyObject* module) {
    for (const FunctionRecord& record : functions_) {
        PyResult<PyRef> function = internal_new(record, module);
        if (!function) return std::unexpected(std::move(function.error()));
        if (PyResult<void> added = add_function(module, function->get()); !added) return added;
    }
    return {};
}

PyResult<PyRef> internal_new(const FunctionRecord& record, PyObject* module) {
    const char* module_name = PyModule_GetName(module);
    if (module_name == nullptr) return std::unexpected(PyErr::fetch());
    PyRef module_name_object = PyRef::steal(PyUnicode_FromString(module_name));
    if (!module_name_object) {
        (void)PyErr::take();
        panic("PyModule_GetName expected to return utf8");
    }

    PyResult<const char*> name = extract_c_string(record.name, "function name cannot contain NUL byte.");
    if (!name) return std::unexpected(std::move(name.error()));
    PyResult<const char*> doc = extract_c_string(record.doc, "function doc cannot contain NUL byte.");
    if (!doc) return std::unexpected(std::move(doc.error()));

    // CPython keeps pointing at the definition for the life of the function object, which
    // in practice is the life of the process: it is never freed.
    auto* definition = new PyMethodDef{*name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(record.entry)),
                                       METH_FASTCALL | METH_KEYWORDS, *doc};
    PyObject* function = PyCMethod_New(definition, module, module_name_object.get(), nullptr);
    if (function == nullptr) return std::unexpected(PyErr::fetch());
    return PyRef::steal(function);
}

PyResult<void> add_function(PyObject* module, PyObject* function) {
    PyRef name = PyRef::steal(PyObject_GetAttr(function, name_attribute()));
    if (!name) return std::unexpected(PyErr::fetch());
    if (!PyUnicode_Check(name.get())) return std::unexpected(PyErr::type_mismatch(name.get(), "PyString"));

    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attribute()));
    if (!all) {
        PyErr error = PyErr::fetch();
        if (!PyErr_GivenExceptionMatches(error.make_normalized(), PyExc_AttributeError)) {
            return std::unexpected(std::move(error));
        }
        all = PyRef::steal(required(PyList_New(0)));
        if (PyObject_SetAttr(module, all_attribute(), all.get()) != 0) return std::unexpected(PyErr::fetch());
    } else if (!PyList_Check(all.get())) {
        return std::unexpected(PyErr::type_mismatch(all.get(), "PyList"));
    }

    PyRef text = make_string(lossy_text(name.get()));
    if (PyList_Append(all.get(), text.get()) != 0) {
        PyErr error = PyErr::fetch();
        panic(fault_message_with("could not append __name__ to __all__", error));
    }
    if (PyObject_SetAttr(module, name.get(), function) != 0) return std::unexpected(PyErr::fetch());
    return {};
}

}  // namespace pixalot
