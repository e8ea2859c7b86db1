// Moving through memory by signed element strides.
#pragma once
#include <cstddef>
#include <memory>

namespace pixalot {

/// Element positions, counts, axis lengths and strides: signed machine words, as NumPy's
/// npy_intp and CPython's Py_ssize_t, so that lengths meet strides without a conversion.
using Index = std::ptrdiff_t;

/// The element `k` steps of `stride` elements from `first` (a stride may be negative).
template <class T>
constexpr T* stepped(T* first, Index k, Index stride) noexcept {
    return first + k * stride;
}

/// A zero-filled heap buffer of `count` values, indexed by Index like the arrays it serves.
template <class T>
class Buffer {
public:
    Buffer() noexcept = default;
    explicit Buffer(Index count)
        : values_(count > 0 ? std::make_unique<T[]>(static_cast<std::size_t>(count)) : nullptr), count_(count) {}

    T* data() const noexcept { return values_.get(); }
    Index size() const noexcept { return count_; }
    T& operator[](Index k) const noexcept { return values_.get()[k]; }
    T* begin() const noexcept { return values_.get(); }
    T* end() const noexcept { return values_.get() + count_; }

private:
    std::unique_ptr<T[]> values_;
    Index count_ = 0;
};

}  // namespace pixalot
