// Moving through memory by signed element strides.
#pragma once
#include <cstddef>

namespace pixalot {

/// The element `k` steps of `stride` elements from `first` (a stride may be negative).
template <class T>
constexpr T* stepped(T* first, std::size_t k, std::ptrdiff_t stride) noexcept {
    return first + static_cast<std::ptrdiff_t>(k) * stride;
}

}  // namespace pixalot
