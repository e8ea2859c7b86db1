// The wrapper every module-level function shares: binding, conversion in parameter order,
// the input's borrow, and the call frame around them.
#pragma once
#include "array/input.hpp"
#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/module.hpp"

#include <string_view>

namespace pixalot {
namespace function_detail {

/// Whether converting this argument runs no Python code (and so can change no array):
/// exact floats, ints and bools are read in C, and their conversions create no object
/// the garbage collector tracks, so no collection and no finaliser can run either.
inline bool converts_without_python(PyObject* object) noexcept {
    return PyFloat_CheckExact(object) || PyLong_CheckExact(object) || PyBool_Check(object);
}

template <std::size_t index, auto operation, auto... conversions>
PyResult<PyRef> convert_and_call(const FunctionDescription& description, PyObject* const* slots,
                                 PyReadonlyArray& input, auto&&... converted);

/// Converts the argument at `index` and goes on with the later ones; the first failure
/// ends the call, named by its parameter.
template <std::size_t index, auto operation, auto conversion, auto... later>
PyResult<PyRef> convert_next(const FunctionDescription& description, PyObject* const* slots,
                             PyReadonlyArray& input, auto&&... converted) {
    auto value = extract_argument(slots[index], description.positional_parameter_names[index], conversion);
    if (!value) return std::unexpected(std::move(value.error()));
    return convert_and_call<index + 1, operation, later...>(description, slots, input, std::move(converted)...,
                                                            std::move(*value));
}

/// Converts the arguments after the input from `index` on, in parameter order, then calls
/// `operation` with the input and them all.
template <std::size_t index, auto operation, auto... conversions>
PyResult<PyRef> convert_and_call(const FunctionDescription& description, PyObject* const* slots,
                                 PyReadonlyArray& input, auto&&... converted) {
    if constexpr (sizeof...(conversions) != 0) {
        return convert_next<index, operation, conversions...>(description, slots, input, std::move(converted)...);
    } else {
        // Python code run by the later conversions may have changed the array; it is
        // accepted again as it now stands, and a refusal names the input. Exact floats,
        // ints and bools convert in C without running any, which is every tiny call's case.
        bool python_may_have_run = false;
        for (std::size_t later = 1; later < index; ++later) {
            python_may_have_run = python_may_have_run || !converts_without_python(slots[later]);
        }
        PyResult<void> settled = python_may_have_run ? input.settle() : PyResult<void>{};
        if (!settled) {
            return std::unexpected(
                argument_extraction_error(description.positional_parameter_names[0], std::move(settled.error())));
        }
        return operation(input, std::move(converted)...);
    }
}

}  // namespace function_detail

/// A module-level function whose parameters are all required and may be given by position
/// or keyword, the first being the input array: its name (stored with its NUL for
/// CPython), its binding record, and one conversion per later parameter, in order.
template <const std::string_view& name, const auto& parameters, auto operation, auto... conversions>
struct Function {
    static_assert(std::size(parameters) == 1 + sizeof...(conversions), "one conversion per parameter");
    static_assert(name.ends_with('\0'));
    static constexpr FunctionDescription description{
        {}, name.substr(0, name.size() - 1), parameters, {}, 0, std::size(parameters)};

    /// The function table's row, with `doc` its text signature block.
    static constexpr FunctionRecord record(std::string_view doc) { return {name, doc, entry}; }

    /// CPython's fast-call entry: everything passes through the call frame.
    static PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return call_frame([&]() -> PyResult<PyObject*> {
            PyObject* slots[std::size(parameters)] = {};
            if (auto bound = description.extract_arguments_fastcall(args, nargs, kwnames, slots); !bound) {
                return std::unexpected(std::move(bound.error()));
            }
            auto input = extract_argument(slots[0], parameters[0], PyReadonlyArray::extract);
            if (!input) return std::unexpected(std::move(input.error()));
            PyResult<PyRef> outcome = function_detail::convert_and_call<1, operation, conversions...>(description, slots, *input);
            // Every return gives the borrow back here, so a release that faults ends the
            // call as that fault and the result is still given back; only a fault unwinding
            // past leaves the release to the destructor, which may not throw.
            input->release();
            if (!outcome) return std::unexpected(std::move(outcome.error()));
            return outcome->release();
        });
    }
};

}  // namespace pixalot
