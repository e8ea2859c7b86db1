// The one adapter between the module's functions and the operations: it makes the input's
// view, allocates the result the operation plans, and hands the Python object back.
#include "boundary/adapter.hpp"

#include "array/output.hpp"
#include "array/view.hpp"
#include "boundary/settings.hpp"
#include "kernels/operations.hpp"

namespace pixalot {
namespace {

/// Plans the result from the input's view, allocates a NumPy array for its layout and has
/// the operation fill it. Every fault of the operation is met before the allocation.
template <class Result, class... Parameters>
PyRef new_array(const PyReadonlyArray& input, Parameters... parameters) {
    const InputView source = readable_view(input);
    const Result planned(source.view, parameters...);
    PlannedResult result = new_result(planned.shape(), planned.strides());
    {
        // With the lock let go, the input is held by a reference of the call's own, so that
        // NumPy refuses to resize it meanwhile; its borrow is held by the caller's frame.
        const bool release = releases_lock() && source.view.size() >= release_minimum_elements;
        const PyRef held = release ? PyRef::borrow(input.array()) : PyRef();
        const LockReleased computing(release);
        planned.write({result.data, result.same_memory_order});
    }
    return std::move(result.array);
}

}  // namespace

PyRef sin_patern(const PyReadonlyArray& input, std::uint32_t shape_sin, float alpha, bool vertical, float bias) {
    return new_array<SinPaternResult>(input, shape_sin, alpha, vertical, bias);
}

PyRef color_levels(const PyReadonlyArray& input, float in_low, float in_high, float out_low, float out_high,
                   float gamma) {
    return new_array<ColorLevelsResult>(input, in_low, in_high, out_low, out_high, gamma);
}

PyRef gray_or_color(const PyReadonlyArray& input, float min) {
    const InputView source = readable_view(input);
    bool gray = false;
    {
        const bool release = releases_lock() && source.view.size() >= release_minimum_elements;
        const PyRef held = release ? PyRef::borrow(input.array()) : PyRef();
        const LockReleased computing(release);
        gray = pixalot::gray_or_color(source.view, min);
    }
    return PyRef::borrow(gray ? Py_True : Py_False);
}

}  // namespace pixalot
