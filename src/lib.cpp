// The pixalot module: its definition, function table, the three image operations and their wrappers.
#include "array/output.hpp"
#include "array/view.hpp"
#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "support/fault.hpp"
#include "boundary/module.hpp"
#include "kernels/clamp.hpp"
#include "kernels/levels.hpp"
#include "kernels/stripes.hpp"

#include <algorithm>
#include <cmath>

namespace pixalot {
namespace {

// ---------------------------------------------------------------------------------------
// sin_patern

/// 3.14 in float32 (0x4048F5C3): the stripes' wave is 6.28 radians, not a full turn.
constexpr float three_point_one_four = 3.14f;

/// A table index within bounds is below the magnitude of the 16-bit period, so never
/// beyond this; entries past it exist only to be out of reach.
constexpr std::uint32_t reachable_entries = 32768;

/// The sine table of `shape_sin` entries. Only its reachable prefix is stored and
/// computed: a table of billions of entries would cost gigabytes and a minute of sinf
/// for values no pixel can read. Its faults are those of the whole table.
struct SineTable {
    OwnedArray stored;
    std::uint32_t length;

    /// Entry `index`; faults "ndarray: index out of bounds" unless below the length.
    float at(std::size_t index) const {
        if (index >= length) index_out_of_bounds();
        return stored.ptr[index];
    }
};

SineTable sine_table(std::uint32_t shape_sin, float alpha) {
    check_zeros_1d(shape_sin);
    SineTable table{zeros_1d(std::min(shape_sin, reachable_entries)), shape_sin};
    if (shape_sin == 0) return table;
    const float half_period = static_cast<float>(shape_sin) * 0.5f;
    float* entries = table.stored.ptr;
    const std::size_t stored = table.stored.len_of(0);
    for (std::uint32_t t = 0; t < stored; ++t) {
        // t times 3.14 first, then divided by the half period: the order fixes the last bit.
        const float angle = static_cast<float>(t) * three_point_one_four / half_period;
        entries[t] = sinf(angle) * alpha;
    }
    return table;
}

/// The stripes pixel by pixel in the defining line order: the zero period, the overflow
/// of the remainder and every out-of-range index fault at the pixel that meets them first.
OwnedArray stripes_by_definition(const ArrayView& view, const SineTable& table, std::int16_t period, bool vertical,
                                 float bias) {
    const std::size_t rows = view.len_of(0), columns = view.len_of(1);
    const std::size_t channels = view.ndim() >= 3 ? view.len_of(2) : 1;
    OwnedArray output = zeros(view.dim);
    const std::size_t lines = vertical ? rows : columns;
    const std::size_t line_length = vertical ? columns : rows;
    for (std::size_t line = 0; line < lines; ++line) {
        if (line_length == 0) continue;
        if (period == 0) panic("attempt to calculate the remainder with a divisor of zero");
        const std::int16_t offset = saturating_i16(static_cast<float>(line) * bias);
        for (std::size_t along = 0; along < line_length; ++along) {
            const std::size_t row = vertical ? line : along;
            const std::size_t column = vertical ? along : line;
            // Phase in 16-bit two's complement: only the low 16 bits of the position count.
            const auto phase = static_cast<std::int16_t>(
                vertical ? static_cast<std::uint16_t>(static_cast<std::uint16_t>(column) - static_cast<std::uint16_t>(offset))
                         : static_cast<std::uint16_t>(static_cast<std::uint16_t>(offset) - static_cast<std::uint16_t>(row)));
            if (period == -1 && phase == -32768) panic("attempt to calculate the remainder with overflow");
            auto remainder = static_cast<std::int16_t>(phase % period);
            if (remainder < 0) remainder = static_cast<std::int16_t>(static_cast<std::uint16_t>(remainder) + static_cast<std::uint16_t>(period));
            const auto table_index = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(remainder));
            if (channels >= 2) {
                for (std::size_t channel = 0; channel < channels; ++channel) {
                    const std::size_t index[3] = {row, column, channel};
                    const float value = view.at(index);
                    output.at(index) = clamp_unit(value + table.at(table_index));
                }
            } else {
                const std::size_t index[2] = {row, column};
                const float value = view.at(index);
                output.at(index) = clamp_unit(value + table.at(table_index));
            }
        }
    }
    return output;
}

PyResult<PyRef> sin_patern(const PyReadonlyArray& input, std::uint32_t shape_sin, float alpha, bool vertical,
                           float bias) {
    InputView source = readable_view(input);
    const ArrayView& view = source.view;
    const SineTable table = sine_table(shape_sin, alpha);

    if (view.ndim() < 2) {
        const std::string n = std::to_string(view.ndim());
        panic("index out of bounds: the len is " + n + " but the index is " + n);
    }
    const std::size_t rows = view.len_of(0), columns = view.len_of(1);
    const std::size_t channels = view.ndim() >= 3 ? view.len_of(2) : 1;
    const auto period = static_cast<std::int16_t>(static_cast<std::uint16_t>(shape_sin));
    const bool pixels_have_channels = channels >= 2 ? view.ndim() == 3 : view.ndim() == 2;
    if (period > 0 && pixels_have_channels) {
        // No pixel of such a call can fault, so it may be computed in memory order,
        // straight into the result.
        checked_element_count(view.dim);
        PlannedResult result = new_result(view.dim, row_major_strides(view.dim));
        if (rows != 0 && columns != 0) add_stripes(view, table.stored.ptr, period, vertical, bias, result.data);
        return std::move(result.array);
    }
    return to_pyarray(stripes_by_definition(view, table, period, vertical, bias));
}

// ---------------------------------------------------------------------------------------
// color_levels

PyResult<PyRef> color_levels(const PyReadonlyArray& input, float in_low, float in_high, float out_low,
                             float out_high, float gamma) {
    InputView source = readable_view(input);
    const ArrayView& view = source.view;
    const LevelsParameters parameters{in_low, in_high - in_low, out_low, out_high - out_low, gamma};
    // The result is laid out as mapping the view would lay it out: a contiguous view keeps
    // its strides, any other becomes row-major. It is computed straight into NumPy's buffer.
    const std::size_t count = view.size();
    check_capacity(count);
    const bool contiguous = is_contiguous(view.dim, view.strides);
    PlannedResult result = new_result(view.dim, contiguous ? view.strides : row_major_strides(view.dim));
    LevelsKernel kernel(parameters, count);
    if (contiguous && result.same_memory_order) {
        kernel.run(view.ptr - lowest_address_offset(view.dim, view.strides), 1, count, result.data);
    } else {
        float* target = result.data;
        for_each_row(view, [&](const float* first, std::ptrdiff_t stride, std::size_t length) {
            kernel.run(first, stride, length, target);
            target += length;
        });
    }
    return std::move(result.array);
}

// ---------------------------------------------------------------------------------------
// gray_or_color

PyResult<PyRef> gray_or_color(const PyReadonlyArray& input, float min) {
    InputView source = readable_view(input);
    ArrayView planes[3];
    for (std::ptrdiff_t channel = 0; channel < 3; ++channel) {
        const SliceItem items[3] = {SliceItem::full(), SliceItem::full(), SliceItem::index(channel)};
        planes[channel] = slice(source.view, items);
    }
    std::optional<float> means[3];
    means_of_planes(planes, means);
    for (const std::optional<float>& plane_mean : means) {
        if (!plane_mean) panic("called `unwrap()` on an empty value");
    }
    const float m0 = *means[0], m1 = *means[1], m2 = *means[2], t = min;
    // Each side of each pair on its own: m1 + t and m0 - t round separately in float32.
    const bool gray = m0 <= m1 + t && m0 >= m1 - t && m0 <= m2 + t && m0 >= m2 - t &&
                      m1 <= m0 + t && m1 >= m0 - t && m1 <= m2 + t && m1 >= m2 - t &&
                      m2 <= m0 + t && m2 >= m0 - t && m2 >= m1 - t && m2 <= m1 + t;
    return PyRef::borrow(gray ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------------------
// Binding records and wrappers

using namespace std::string_view_literals;

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
        // accepted again as it now stands, and a refusal names the input.
        if (PyResult<void> settled = input.settle(); !settled) {
            return std::unexpected(
                argument_extraction_error(description.positional_parameter_names[0], std::move(settled.error())));
        }
        return operation(input, std::move(converted)...);
    }
}

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
            PyResult<PyRef> outcome = convert_and_call<1, operation, conversions...>(description, slots, *input);
            // Every return gives the borrow back here, so a release that faults ends the
            // call as that fault and the result is still given back; only a fault unwinding
            // past leaves the release to the destructor, which may not throw.
            input->release();
            if (!outcome) return std::unexpected(std::move(outcome.error()));
            return outcome->release();
        });
    }
};

constexpr std::string_view sin_patern_name = "sin_patern\0"sv;
constexpr std::string_view sin_patern_parameters[] = {"input", "shape_sin", "alpha", "vertical", "bias"};
using SinPatern =
    Function<sin_patern_name, sin_patern_parameters, sin_patern, extract_u32, extract_f32, extract_bool, extract_f32>;

constexpr std::string_view color_levels_name = "color_levels\0"sv;
constexpr std::string_view color_levels_parameters[] = {"input", "in_low", "in_high", "out_low", "out_high", "gamma"};
using ColorLevels = Function<color_levels_name, color_levels_parameters, color_levels, extract_f32, extract_f32,
                             extract_f32, extract_f32, extract_f32>;

constexpr std::string_view gray_or_color_name = "gray_or_color\0"sv;
constexpr std::string_view gray_or_color_parameters[] = {"input", "min"};
using GrayOrColor = Function<gray_or_color_name, gray_or_color_parameters, gray_or_color, extract_f32>;


// ---------------------------------------------------------------------------------------
// The module

constexpr FunctionRecord function_table[] = {
    SinPatern::record("sin_patern(input, shape_sin, alpha, vertical, bias)\n--\n\n\0"sv),
    ColorLevels::record("color_levels(input, in_low, in_high, out_low, out_high, gamma)\n--\n\n\0"sv),
    GrayOrColor::record("gray_or_color(input, min)\n--\n\n\0"sv),
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "pixalot", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

ModuleDef pixalot_module(&module_definition, function_table);

}  // namespace
}  // namespace pixalot

PyMODINIT_FUNC PyInit_pixalot() {
    return pixalot::call_frame([] { return pixalot::pixalot_module.make_module(); });
}
