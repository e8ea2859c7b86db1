// The pixalot module: its definition and its function table.
#include "boundary/function.hpp"
#include "boundary/adapter.hpp"

namespace pixalot {
namespace {

using namespace std::string_view_literals;

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
