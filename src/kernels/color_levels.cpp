// color_levels: the result's layout and the walk that feeds the levels kernel.
#include "array/output.hpp"
#include "array/view.hpp"
#include "kernels/levels.hpp"
#include "kernels/operations.hpp"

namespace pixalot {

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

}  // namespace pixalot
