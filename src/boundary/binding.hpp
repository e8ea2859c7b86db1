// Binding fast-call arguments to parameters, and converting Python scalars to native values.
#pragma once
#include "cpython/pyerr.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace pixalot {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

/// The static binding record of one Python-visible function.
struct FunctionDescription {
    std::string_view class_name;  // empty for module-level functions
    std::string_view function_name;
    std::span<const std::string_view> positional_parameter_names;
    std::span<const KeywordOnlyParameter> keyword_only_parameters;
    std::size_t positional_only_parameters;
    std::size_t required_positional_parameters;

    /// Fills `slots` (positional parameters, then keyword-only ones) with borrowed
    /// references from CPython's fast-call vector; no allocation on success.
    PyResult<void> extract_arguments_fastcall(PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames,
                                              std::span<PyObject*> slots) const;

private:
    std::string full_name() const;
    PyErr too_many_positional_arguments(Py_ssize_t given) const;
    PyErr multiple_values_for_argument(std::string_view name) const;
    PyErr unexpected_keyword_argument(PyObject* name) const;
    PyErr positional_only_keyword_arguments(std::span<const std::string_view> names) const;
    PyErr missing_required_arguments(std::string_view kind,
                                     std::span<const std::string_view> names) const;
};

/// float -> 32-bit float, rounding to nearest; out-of-range doubles become infinities.
PyResult<float> extract_f32(PyObject* object);
/// int-like -> unsigned 32-bit integer.
PyResult<std::uint32_t> extract_u32(PyObject* object);
/// Exactly `bool` -> bool; anything else is refused.
PyResult<bool> extract_bool(PyObject* object);

/// Names the argument in a conversion's TypeError; other errors pass unchanged.
PyErr argument_extraction_error(std::string_view parameter, PyErr error);

/// Converts one bound argument with `convert`, naming the parameter in the error.
template <class Convert>
auto extract_argument(PyObject* object, std::string_view parameter, Convert&& convert)
    -> decltype(convert(object)) {
    auto value = convert(object);
    if (!value) return std::unexpected(argument_extraction_error(parameter, std::move(value.error())));
    return value;
}

}  // namespace pixalot
