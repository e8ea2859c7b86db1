// The pixalot module: its definition, function table, the three image operations and their wrappers.
#include "array/output.hpp"
#include "array/view.hpp"
#include "boundary/binding.hpp"
#include "boundary/call_frame.hpp"
#include "boundary/fault.hpp"
#include "boundary/module.hpp"
#include "kernels/clamp.hpp"
#include "kernels/levels.hpp"
#include "kernels/stripes.hpp"

#include <algorithm>
#include <cmath>

namespace pixalot {
namespace {

/// Ends the enclosing wrapper with the error when `expression` failed.
#define PIXALOT_TRY(name, expression)                                              \
    auto name##_result = (expression);                                             \
    if (!name##_result) return std::unexpected(std::move(name##_result.error())); \
    auto name = std::move(*name##_result)

/// Ends the enclosing wrapper with the error when the binding failed.
#define PIXALOT_BIND(description, slots)                                                        \
    if (auto bound = description.extract_arguments_fastcall(args, nargs, kwnames, slots); !bound) \
    return std::unexpected(std::move(bound.error()))

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

constexpr std::string_view sin_patern_parameters[] = {"input", "shape_sin", "alpha", "vertical", "bias"};
constexpr std::string_view color_levels_parameters[] = {"input", "in_low", "in_high", "out_low", "out_high", "gamma"};
constexpr std::string_view gray_or_color_parameters[] = {"input", "min"};

constexpr FunctionDescription sin_patern_description{{}, "sin_patern", sin_patern_parameters, {}, 0, 5};
constexpr FunctionDescription color_levels_description{{}, "color_levels", color_levels_parameters, {}, 0, 6};
constexpr FunctionDescription gray_or_color_description{{}, "gray_or_color", gray_or_color_parameters, {}, 0, 2};

/// Converts `input`, runs `body` on it (the other conversions and the operation) and gives
/// its borrow back. Every return releases explicitly, so a release that faults ends the call
/// as that fault and the result is still given back; only a fault unwinding past leaves the
/// release to the destructor, which may not throw.
template <class Body>
PyResult<PyObject*> with_input(PyObject* object, Body&& body) {
    PIXALOT_TRY(input, extract_argument(object, "input", PyReadonlyArray::extract));
    PyResult<PyRef> outcome = body(input);
    input.release();
    if (!outcome) return std::unexpected(std::move(outcome.error()));
    return outcome->release();
}

/// Python code run by the conversions after `input` may have changed the array; it is
/// accepted again as it now stands, and a refusal names `input`.
#define PIXALOT_SETTLE(input)                                                                     \
    if (auto settled = (input).settle(); !settled)                                                \
    return std::unexpected(argument_extraction_error("input", std::move(settled.error())))

PyResult<PyObject*> sin_patern_wrapper(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[5] = {};
    PIXALOT_BIND(sin_patern_description, slots);
    return with_input(slots[0], [&](PyReadonlyArray& input) -> PyResult<PyRef> {
        PIXALOT_TRY(shape_sin, extract_argument(slots[1], "shape_sin", extract_u32));
        PIXALOT_TRY(alpha, extract_argument(slots[2], "alpha", extract_f32));
        PIXALOT_TRY(vertical, extract_argument(slots[3], "vertical", extract_bool));
        PIXALOT_TRY(bias, extract_argument(slots[4], "bias", extract_f32));
        PIXALOT_SETTLE(input);
        return sin_patern(input, shape_sin, alpha, vertical, bias);
    });
}

PyResult<PyObject*> color_levels_wrapper(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[6] = {};
    PIXALOT_BIND(color_levels_description, slots);
    return with_input(slots[0], [&](PyReadonlyArray& input) -> PyResult<PyRef> {
        PIXALOT_TRY(in_low, extract_argument(slots[1], "in_low", extract_f32));
        PIXALOT_TRY(in_high, extract_argument(slots[2], "in_high", extract_f32));
        PIXALOT_TRY(out_low, extract_argument(slots[3], "out_low", extract_f32));
        PIXALOT_TRY(out_high, extract_argument(slots[4], "out_high", extract_f32));
        PIXALOT_TRY(gamma, extract_argument(slots[5], "gamma", extract_f32));
        PIXALOT_SETTLE(input);
        return color_levels(input, in_low, in_high, out_low, out_high, gamma);
    });
}

PyResult<PyObject*> gray_or_color_wrapper(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* slots[2] = {};
    PIXALOT_BIND(gray_or_color_description, slots);
    return with_input(slots[0], [&](PyReadonlyArray& input) -> PyResult<PyRef> {
        PIXALOT_TRY(min, extract_argument(slots[1], "min", extract_f32));
        PIXALOT_SETTLE(input);
        return gray_or_color(input, min);
    });
}

PyObject* sin_patern_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] { return sin_patern_wrapper(args, nargs, kwnames); });
}

PyObject* color_levels_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] { return color_levels_wrapper(args, nargs, kwnames); });
}

PyObject* gray_or_color_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_frame([&] { return gray_or_color_wrapper(args, nargs, kwnames); });
}

// ---------------------------------------------------------------------------------------
// The module

using namespace std::string_view_literals;

constexpr FunctionRecord function_table[] = {
    {"sin_patern\0"sv, "sin_patern(input, shape_sin, alpha, vertical, bias)\n--\n\n\0"sv, sin_patern_entry},
    {"color_levels\0"sv, "color_levels(input, in_low, in_high, out_low, out_high, gamma)\n--\n\n\0"sv,
     color_levels_entry},
    {"gray_or_color\0"sv, "gray_or_color(input, min)\n--\n\n\0"sv, gray_or_color_entry},
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
