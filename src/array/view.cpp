// as_view and the packed copy of inputs that element strides cannot describe.
#include "array/view.hpp"

#include "array/numpy_api.hpp"
#include "boundary/fault.hpp"

#include <cstring>

namespace pixalot {
namespace {

constexpr int max_dimensions = 32;

void check_dimensionality(int nd) {
    if (nd > max_dimensions) unexpected_dimensionality();
}

bool readable_in_place(const numpy::ArrayObject* array) {
    for (int axis = 0; axis < array->nd; ++axis) {
        if (array->dimensions[axis] == 0) return true;  // no element is ever read
    }
    if (reinterpret_cast<std::uintptr_t>(array->data) % alignof(float) != 0) return false;
    for (int axis = 0; axis < array->nd; ++axis) {
        if (array->dimensions[axis] > 1 && array->strides[axis] % static_cast<numpy::npy_intp>(sizeof(float)) != 0) {
            return false;
        }
    }
    return true;
}

/// Copies the elements, byte by byte so that no misaligned float is ever formed, in
/// row-major logical order into a zero-filled owned array of the same shape.
OwnedArray packed_copy(const numpy::ArrayObject* array) {
    IxDynImpl shape(static_cast<std::size_t>(array->nd));
    for (int axis = 0; axis < array->nd; ++axis) shape[static_cast<std::size_t>(axis)] = static_cast<std::size_t>(array->dimensions[axis]);
    OwnedArray copy = zeros(shape);
    const std::size_t count = copy.size();
    const int nd = array->nd;
    IxDynImpl index(shape.size());
    const char* source = array->data;
    float* target = copy.ptr;
    for (std::size_t element = 0; element < count; ++element) {
        std::memcpy(target++, source, sizeof(float));
        for (int axis = nd - 1; axis >= 0; --axis) {
            const auto position = static_cast<std::size_t>(axis);
            source += array->strides[axis];
            if (++index[position] < shape[position]) break;
            source -= static_cast<numpy::npy_intp>(shape[position]) * array->strides[axis];
            index[position] = 0;
        }
    }
    return copy;
}

}  // namespace

ArrayView as_view(PyObject* object) {
    const numpy::ArrayObject* array = numpy::as_array(object);
    const int nd = array->nd;
    check_dimensionality(nd);
    const auto ndim = static_cast<std::size_t>(nd);
    IxDynImpl shape(ndim), strides(ndim);
    // Address arithmetic in integers: for an empty axis the first move may point anywhere.
    auto data = reinterpret_cast<std::uintptr_t>(array->data);
    std::uint32_t inverted = 0;
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        const numpy::npy_intp length = array->dimensions[axis];
        const numpy::npy_intp stride = array->strides[axis];
        shape[axis] = static_cast<std::size_t>(length);
        if (stride >= 0) {
            strides[axis] = static_cast<std::size_t>(stride) / sizeof(float);
        } else {
            data += static_cast<std::uintptr_t>(stride) * static_cast<std::uintptr_t>(length - 1);
            strides[axis] = (0 - static_cast<std::size_t>(stride)) / sizeof(float);
            inverted |= std::uint32_t{1} << axis;
        }
    }
    for (std::size_t axis = 0; axis < ndim; ++axis) {
        if ((inverted & (std::uint32_t{1} << axis)) == 0) continue;
        const std::size_t length = shape[axis];
        const std::size_t stride = strides[axis];
        if (length != 0) data += (length - 1) * stride * sizeof(float);
        strides[axis] = 0 - stride;
    }
    return ArrayView{{}, reinterpret_cast<float*>(data), std::move(shape), std::move(strides)};
}

InputView readable_view(const PyReadonlyArray& input) {
    const numpy::ArrayObject* array = numpy::as_array(input.array());
    check_dimensionality(array->nd);
    if (readable_in_place(array)) return {std::nullopt, as_view(input.array())};
    OwnedArray copy = packed_copy(array);
    ArrayView view = view_of(copy);
    return {std::move(copy), std::move(view)};
}

}  // namespace pixalot
