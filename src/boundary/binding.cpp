// Argument binding with CPython's own messages, and scalar conversions.
#include "boundary/binding.hpp"

#include <array>
#include <cstring>
#include <vector>

namespace pixalot {
namespace {

/// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string parameter_list(std::span<const std::string_view> names) {
    std::string list;
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (index > 0) {
            if (names.size() == 2) {
                list += " and ";
            } else {
                list += index + 1 == names.size() ? ", and " : ", ";
            }
        }
        list += '\'';
        list += names[index];
        list += '\'';
    }
    return list;
}

}  // namespace

std::string FunctionDescription::full_name() const {
    std::string name;
    if (!class_name.empty()) {
        name += class_name;
        name += '.';
    }
    name += function_name;
    name += "()";
    return name;
}

PyErr FunctionDescription::too_many_positional_arguments(Py_ssize_t given) const {
    const std::size_t count = positional_parameter_names.size();
    std::string message = full_name() + " takes ";
    if (required_positional_parameters == count) {
        message += std::to_string(count);
    } else {
        message += "from " + std::to_string(required_positional_parameters) + " to " +
                   std::to_string(count);
    }
    message += " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given");
    return PyErr::new_message(PyExc_TypeError, std::move(message));
}

PyErr FunctionDescription::multiple_values_for_argument(std::string_view name) const {
    return PyErr::new_message(PyExc_TypeError, full_name() + " got multiple values for argument '" +
                                                   std::string(name) + "'");
}

PyErr FunctionDescription::unexpected_keyword_argument(PyObject* name) const {
    // str() of the name object, so that a name that cannot be encoded is still shown.
    return PyErr::new_message(PyExc_TypeError, full_name() + " got an unexpected keyword argument '" +
                                                   display_text(name) + "'");
}

PyErr FunctionDescription::positional_only_keyword_arguments(
    std::span<const std::string_view> names) const {
    return PyErr::new_message(PyExc_TypeError,
                              full_name() +
                                  " got some positional-only arguments passed as keyword arguments: " +
                                  parameter_list(names));
}

PyErr FunctionDescription::missing_required_arguments(std::string_view kind,
                                                      std::span<const std::string_view> names) const {
    std::string message = full_name() + " missing " + std::to_string(names.size()) + " required " +
                          std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ") +
                          parameter_list(names);
    return PyErr::new_message(PyExc_TypeError, std::move(message));
}

PyResult<void> FunctionDescription::extract_arguments_fastcall(PyObject* const* args,
                                                               Py_ssize_t nargs, PyObject* kwnames,
                                                               std::span<PyObject*> slots) const {
    const std::size_t positional_count = positional_parameter_names.size();
    const std::size_t given = static_cast<std::size_t>(nargs);

    if (args != nullptr) {
        const std::size_t copied = std::min(given, positional_count);
        for (std::size_t index = 0; index < copied; ++index) slots[index] = args[index];
        if (given > positional_count) return std::unexpected(too_many_positional_arguments(nargs));
    }

    // Today's functions have no keyword-only or positional-only parameters, but the record
    // carries both, so a function added with them binds with CPython's messages as it is.
    std::span<PyObject*> keyword_only_slots = slots.subspan(positional_count);
    // Stays empty (and so unallocated) on every call that binds.
    std::vector<std::string_view> positional_only_passed_by_keyword;
    if (kwnames != nullptr) {
        const Py_ssize_t keyword_count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t keyword = 0; keyword < keyword_count; ++keyword) {
            PyObject* name = PyTuple_GET_ITEM(kwnames, keyword);
            PyObject* value = args[nargs + keyword];
            if (!PyUnicode_Check(name)) return std::unexpected(PyErr::type_mismatch(name, "PyString"));
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) {
                (void)PyErr::take();  // a lone surrogate: no parameter can have that name
                return std::unexpected(unexpected_keyword_argument(name));
            }
            const std::string_view text(utf8, utf8 + size);

            bool bound = false;
            for (std::size_t index = 0; index < keyword_only_parameters.size(); ++index) {
                if (keyword_only_parameters[index].name != text) continue;
                if (keyword_only_slots[index] != nullptr) {
                    return std::unexpected(multiple_values_for_argument(text));
                }
                keyword_only_slots[index] = value;
                bound = true;
                break;
            }
            if (bound) continue;

            for (std::size_t index = 0; index < positional_count; ++index) {
                if (positional_parameter_names[index] != text) continue;
                if (index < positional_only_parameters) {
                    positional_only_passed_by_keyword.push_back(positional_parameter_names[index]);
                } else if (slots[index] != nullptr) {
                    return std::unexpected(multiple_values_for_argument(positional_parameter_names[index]));
                } else {
                    slots[index] = value;
                }
                bound = true;
                break;
            }
            if (!bound) return std::unexpected(unexpected_keyword_argument(name));
        }
    }

    if (!positional_only_passed_by_keyword.empty()) {
        return std::unexpected(positional_only_keyword_arguments(positional_only_passed_by_keyword));
    }

    if (given < required_positional_parameters) {
        bool any_missing = false;
        for (std::size_t index = given; index < required_positional_parameters; ++index) {
            any_missing = any_missing || slots[index] == nullptr;
        }
        if (any_missing) {
            std::vector<std::string_view> missing;
            for (std::size_t index = 0; index < required_positional_parameters; ++index) {
                if (slots[index] == nullptr) missing.push_back(positional_parameter_names[index]);
            }
            return std::unexpected(missing_required_arguments("positional", missing));
        }
    }

    std::vector<std::string_view> missing_keywords;
    for (std::size_t index = 0; index < keyword_only_parameters.size(); ++index) {
        if (keyword_only_parameters[index].required && keyword_only_slots[index] == nullptr) {
            missing_keywords.push_back(keyword_only_parameters[index].name);
        }
    }
    if (!missing_keywords.empty()) {
        return std::unexpected(missing_required_arguments("keyword", missing_keywords));
    }
    return {};
}

PyResult<float> extract_f32(PyObject* object) {
    double value;
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
    } else {
        value = PyFloat_AsDouble(object);
        if (value == -1.0) {
            if (std::optional<PyErr> error = PyErr::take()) return std::unexpected(std::move(*error));
        }
    }
    // Round to nearest, ties to even: the conversion the operations' float32 contract assumes.
    return static_cast<float>(value);
}

PyResult<std::uint32_t> extract_u32(PyObject* object) {
    // An exact int is its own index: reading it directly spares a call and a reference.
    PyRef index;
    if (!PyLong_CheckExact(object)) {
        index = PyRef::steal(PyNumber_Index(object));
        if (!index) return std::unexpected(PyErr::fetch());
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(index ? index.get() : object);
    if (value == static_cast<unsigned long long>(-1)) {
        if (std::optional<PyErr> error = PyErr::take()) return std::unexpected(std::move(*error));
    }
    if (value > 0xFFFFFFFFull) {
        return std::unexpected(
            PyErr::new_message(PyExc_OverflowError, "out of range integral type conversion attempted"));
    }
    return static_cast<std::uint32_t>(value);
}

PyResult<bool> extract_bool(PyObject* object) {
    if (Py_IS_TYPE(object, &PyBool_Type)) return object == Py_True;
    return std::unexpected(PyErr::type_mismatch(object, "PyBool"));
}

PyErr argument_extraction_error(std::string_view parameter, PyErr error) {
    PyObject* instance = error.make_normalized();
    // Identity, not a subclass test: a TypeError subclass is the caller's own and passes untouched.
    if (reinterpret_cast<PyObject*>(Py_TYPE(instance)) != PyExc_TypeError) return error;
    std::string message = "argument '" + std::string(parameter) + "': " + display_text(instance);
    PyErr wrapped = PyErr::new_message(PyExc_TypeError, std::move(message));
    PyObject* cause = PyException_GetCause(instance);
    PyException_SetCause(wrapped.make_normalized(), cause);
    return wrapped;
}

}  // namespace pixalot
