// Module creation (once per process, one interpreter) and publication of the function objects.
#pragma once
#include "cpython/pyerr.hpp"

#include <atomic>
#include <cstdint>
#include <span>
#include <string_view>

namespace pixalot {

/// One row of the function table: CPython's fast-call-with-keywords entry and its texts,
/// each stored with its terminating NUL.
struct FunctionRecord {
    std::string_view name;
    std::string_view doc;  // the text signature block alone
    PyObject* (*entry)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
};

/// The module definition: created once, reused by later imports in the same interpreter.
class ModuleDef {
public:
    ModuleDef(PyModuleDef* definition, std::span<const FunctionRecord> functions)
        : definition_(definition), functions_(functions) {}

    /// A new reference to the module, creating it on the first import.
    PyResult<PyObject*> make_module();

private:
    PyResult<void> body(PyObject* module);

    std::atomic<std::int64_t> interpreter_{-1};
    PyModuleDef* definition_;
    PyObject* module_ = nullptr;  // once-cell; never released
    std::span<const FunctionRecord> functions_;
};

/// A built-in function object for `record`, bound to `module`.
PyResult<PyRef> internal_new(const FunctionRecord& record, PyObject* module);
/// Sets the function as a module attribute and appends its name to `__all__`.
PyResult<void> add_function(PyObject* module, PyObject* function);

}  // namespace pixalot
