// Creating, raising, normalising and fetching PyErr values; PanicException and its type.
#include "cpython/pyerr.hpp"

#include "support/fault.hpp"

#include <iterator>

namespace pixalot {
namespace {

PyObject* interned_qualname() {
    static PyObject* cell = nullptr;
    return interned("__qualname__", cell);
}

/// repr() of an object as text, for the debug form.
std::string repr_text(PyObject* object) {
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (!repr) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return lossy_text(repr.get());
}

/// Resumes a fault that escaped from native code into Python and came back to us.
[[noreturn]] void print_panic_and_unwind(PyRef instance) {
    std::string message = "Unwrapped panic from Python code";
    if (PyRef text = PyRef::steal(PyObject_Str(instance.get()))) {
        message = lossy_text(text.get());
    } else {
        PyErr_Clear();
    }
    write_stderr("--- pixalot is resuming a panic after fetching a PanicException from Python. ---\n");
    write_stderr("Python stack trace below:\n");
    compat::set_raised_exception(instance.release());
    PyErr_PrintEx(0);
    resume_panic(std::move(message));
}

}  // namespace

PyErr PyErr::new_message(PyObject* exception_type, std::string message) {
    // The type is a built-in exception type, alive for the life of the process.
    return new_lazy([exception_type, message = std::move(message)] {
        return std::pair{PyRef::borrow(exception_type), make_string(message)};
    });
}

PyErr PyErr::type_mismatch(PyObject* object, const char* target) {
    // The type's __qualname__ is read only when the error is raised.
    return new_lazy([type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object))), target] {
        std::string message = "'";
        message += type_qualname(type.get()).value_or("<failed to extract type name>");
        message += "' object cannot be converted to '";
        message += target;
        message += "'";
        return std::pair{PyRef::borrow(PyExc_TypeError), make_string(message)};
    });
}

PyErr PyErr::conversion_mismatch(PyObject* from, PyObject* to) {
    // Formatted only when raised: str() of a dtype runs Python code.
    return new_lazy([from = PyRef::borrow(from), to = PyRef::borrow(to)] {
        std::string message = "type mismatch:\n from=" + display_text(from.get()) + ", to=" + display_text(to.get());
        return std::pair{PyRef::borrow(PyExc_TypeError), make_string(message)};
    });
}

std::optional<PyErr> PyErr::take() {
    PyObject* raised = compat::get_raised_exception();
    if (raised == nullptr) return std::nullopt;
    PyRef instance = PyRef::steal(raised);
    if (reinterpret_cast<PyObject*>(Py_TYPE(instance.get())) == panic_exception_type()) {
        print_panic_and_unwind(std::move(instance));
    }
    return from_instance(std::move(instance));
}

PyErr PyErr::fetch() {
    if (std::optional<PyErr> error = take()) return std::move(*error);
    return new_message(PyExc_SystemError, "attempted to fetch exception but none was set");
}

void PyErr::restore() && {
    if (!state_) panic("PyErr state should never be invalid outside of normalization");
    State state = std::move(*state_);
    state_.reset();
    if (auto* normalized = std::get_if<Normalized>(&state)) {
        compat::set_raised_exception(normalized->instance.release());
        return;
    }
    auto [type, argument] = std::get<Lazy>(state).producer();
    PyObject* raw_type = type.get();
    if (PyType_Check(raw_type) &&
        PyType_FastSubclass(reinterpret_cast<PyTypeObject*>(raw_type), Py_TPFLAGS_BASE_EXC_SUBCLASS)) {
        PyErr_SetObject(raw_type, argument.get());
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
}

PyObject* PyErr::make_normalized() {
    if (state_) {
        if (auto* normalized = std::get_if<Normalized>(&*state_)) return normalized->instance.get();
    } else {
        panic("Cannot normalize a PyErr while already normalizing it.");
    }
    PyErr raising(std::move(*state_));
    state_.reset();
    std::move(raising).restore();
    PyObject* raised = compat::get_raised_exception();
    if (raised == nullptr) panic("exception missing after writing to the interpreter");
    state_ = Normalized{PyRef::steal(raised)};
    return raised;
}

std::string PyErr::debug_form() {
    const PyGILState_STATE gil = PyGILState_Ensure();
    PyObject* instance = make_normalized();
    std::string form = "PyErr { type: ";
    form += repr_text(reinterpret_cast<PyObject*>(Py_TYPE(instance)));
    form += ", value: ";
    form += repr_text(instance);
    form += ", traceback: ";
    if (PyObject* traceback = PyException_GetTraceback(instance)) {
        register_owned(traceback);
        form += "Some(" + repr_text(traceback) + ")";
    } else {
        form += "None";
    }
    form += " }";
    PyGILState_Release(gil);
    return form;
}

PyObject* required(PyObject* object, std::source_location where) {
    if (object == nullptr) {
        PyErr_Print();
        panic("Python API call failed", where);
    }
    return object;
}

PyRef make_string(std::string_view text) {
    return PyRef::steal(required(
        PyUnicode_FromStringAndSize(text.data(), std::ssize(text))));
}

std::string lossy_text(PyObject* string) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(string, &size)) {
        return std::string(utf8, utf8 + size);
    }
    PyErr_Clear();
    PyRef bytes = PyRef::steal(required(PyUnicode_AsEncodedString(string, "utf-8", "surrogatepass")));
    PyRef repaired = PyRef::steal(required(PyUnicode_DecodeUTF8(
        PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace")));
    const char* utf8 = PyUnicode_AsUTF8AndSize(repaired.get(), &size);
    if (utf8 == nullptr) required(nullptr);
    return std::string(utf8, utf8 + size);
}

PyObject* interned(const char* text, PyObject*& cell) {
    if (cell == nullptr) cell = required(PyUnicode_InternFromString(text));
    return cell;
}

std::optional<std::string> type_qualname(PyObject* type) {
    PyRef name = PyRef::steal(PyObject_GetAttr(type, interned_qualname()));
    if (!name || !PyUnicode_Check(name.get())) {
        // The read's own error is dropped: the caller shows a placeholder instead.
        if (!name) (void)PyErr::take();
        return std::nullopt;
    }
    return lossy_text(name.get());
}

std::string display_text(PyObject* object) {
    if (PyRef text = PyRef::steal(PyObject_Str(object))) return lossy_text(text.get());
    PyErr failure = PyErr::fetch();
    std::move(failure).restore();
    PyErr_WriteUnraisable(object);
    if (std::optional<std::string> name =
            type_qualname(reinterpret_cast<PyObject*>(Py_TYPE(object)))) {
        return "<unprintable " + *name + " object>";
    }
    return "<unprintable object>";
}

std::string fault_message_with(std::string_view message, PyErr& error) {
    std::string text(message);
    text += ": ";
    text += error.debug_form();
    return text;
}

PyObject* panic_exception_type() {
    static PyObject* cell = nullptr;
    if (cell != nullptr) return cell;
    static constexpr char name[] = "pixalot_runtime.PanicException";
    static constexpr char doc[] =
        "\nThe exception raised when native code called from Python panics.\n\n"
        "Like SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n";
    PyObject* type = PyErr_NewExceptionWithDoc(name, doc, PyExc_BaseException, nullptr);
    if (type == nullptr) {
        // Fetched raw: `take` would ask for this very type again.
        PyObject* raised = compat::get_raised_exception();
        if (raised == nullptr) {
            panic("Failed to initialize new exception type.");
        }
        PyErr error = PyErr::from_instance(PyRef::steal(raised));
        panic(fault_message_with("Failed to initialize new exception type.", error));
    }
    if (cell != nullptr) {
        Py_DECREF(type);
        return cell;
    }
    cell = type;
    return cell;
}

PyErr panic_exception_from_payload(std::string message) {
    return PyErr::new_lazy([type = PyRef::borrow(panic_exception_type()), message = std::move(message)]() mutable {
        PyRef text = make_string(message);
        PyRef arguments = PyRef::steal(required(PyTuple_Pack(1, text.get())));
        return std::pair{std::move(type), std::move(arguments)};
    });
}

}  // namespace pixalot
