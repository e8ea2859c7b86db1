// PyErr: a pending Python exception carried as a value from the point of failure to the call frame.
#pragma once
#include "cpython/object.hpp"

#include <expected>
#include <functional>
#include <optional>
#include <source_location>
#include <string>
#include <utility>
#include <variant>

namespace pixalot {

/// Yields the (exception type, argument) pair of a lazy error when it is raised; run once.
using ErrorProducer = std::move_only_function<std::pair<PyRef, PyRef>()>;

class PyErr {
public:
    /// A lazy error of a built-in exception type whose argument is `message`.
    static PyErr new_message(PyObject* exception_type, std::string message);
    /// A lazy error whose type and argument are made by `producer` only when needed.
    static PyErr new_lazy(ErrorProducer producer) {
        return PyErr(Lazy{std::move(producer)});
    }
    /// The TypeError "'{type name}' object cannot be converted to '{target}'".
    static PyErr type_mismatch(PyObject* object, const char* target);
    /// The TypeError "type mismatch:\n from={from}, to={to}", with str() of each object.
    static PyErr conversion_mismatch(PyObject* from, PyObject* to);
    /// Wraps an exception instance (a new reference).
    static PyErr from_instance(PyRef instance) { return PyErr(Normalized{std::move(instance)}); }

    /// Removes the interpreter's pending exception, if any. A PanicException met here is
    /// printed and resumed as a fault, never returned.
    static std::optional<PyErr> take();
    /// `take`, with SystemError "attempted to fetch exception but none was set" for nothing.
    static PyErr fetch();

    /// Makes this error the interpreter's current exception.
    void restore() &&;
    /// The exception instance, normalising first; the reference stays owned by this error.
    PyObject* make_normalized();
    /// "PyErr { type: ..., value: ..., traceback: ... }", used inside fault messages.
    std::string debug_form();

private:
    struct Lazy {
        ErrorProducer producer;
    };
    struct Normalized {
        PyRef instance;
    };
    using State = std::variant<Lazy, Normalized>;

    explicit PyErr(State state) : state_(std::move(state)) {}
    std::optional<State> state_;
};

template <class T>
using PyResult = std::expected<T, PyErr>;

/// For interpreter calls that must not fail: prints the pending error and faults with
/// "Python API call failed" when `object` is null.
PyObject* required(PyObject* object,
                   std::source_location where = std::source_location::current());

/// A new Python str from UTF-8 text (required to succeed).
PyRef make_string(std::string_view text);

/// The text of a str object as UTF-8; invalid sequences (lone surrogates) become U+FFFD.
std::string lossy_text(PyObject* string);

/// An interned str kept in `cell` for the life of the process, made on first need.
PyObject* interned(const char* text, PyObject*& cell);

/// The __qualname__ of a type, or nothing when it cannot be read as a str.
std::optional<std::string> type_qualname(PyObject* type);

/// str() of an object for a message; when str() fails the failure is reported as
/// unraisable and a placeholder naming the type stands instead.
std::string display_text(PyObject* object);

/// "Failed to ...: PyErr { ... }": a fault message that carries the error behind it.
std::string fault_message_with(std::string_view message, PyErr& error);

/// The exception type for faults, made on first need.
PyObject* panic_exception_type();

/// Turns a captured fault into the error the call frame raises.
PyErr panic_exception_from_payload(std::string message);

}  // namespace pixalot
