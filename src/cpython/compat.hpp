// Interpreter-version shims: the single-object exception state of CPython 3.12 on 3.11 too.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace pixalot::compat {

/// Whether this thread holds the interpreter lock: it then has an attached thread state.
/// Cheaper than PyGILState_Check, which also looks the thread's state up in its own table.
inline bool holds_interpreter_lock() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked() != nullptr;
#else
    return _PyThreadState_UncheckedGet() != nullptr;
#endif
}

/// Whether the interpreter is being finalized (read without the lock: the flag is atomic).
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

/// Takes the pending exception instance (a new reference), or null when none is pending.
inline PyObject* get_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
#endif
}

/// Makes `instance` the pending exception, stealing the reference.
inline void set_raised_exception(PyObject* instance) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(instance);
#else
    if (instance == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
    PyErr_Restore(type, instance, PyException_GetTraceback(instance));
#endif
}

}  // namespace pixalot::compat
