// ArrayBase: the n-dimensional float32 array the operations compute on, owned or borrowed.
#pragma once
#include "support/steps.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <utility>

namespace pixalot {

/// The most axes an array may have: NumPy 1.x's limit. It sizes every per-axis buffer on
/// the stack; an input of more axes (NumPy 2 allows 64) is a fault before any is filled.
constexpr std::size_t max_axes = 32;

/// Bytes per element, as a signed word for arithmetic with byte strides.
constexpr Index float_bytes = sizeof(float);

/// The largest element or byte count of one array: a signed machine word, as NumPy and
/// CPython count sizes.
constexpr std::size_t max_count = PTRDIFF_MAX;

/// A list of machine words: axis lengths or element strides. Up to four
/// entries live inline, so arrays of up to four axes need no allocation for them.
template <class Word>
class IxDynImpl {
public:
    static constexpr std::size_t inline_capacity = 4;

    IxDynImpl() noexcept = default;
    explicit IxDynImpl(std::size_t size) : size_(size) {
        if (size > inline_capacity) heap_ = std::make_unique<Word[]>(size);  // zeroed
    }
    IxDynImpl(std::span<const Word> values) : IxDynImpl(values.size()) {
        std::copy(values.begin(), values.end(), data());
    }
    IxDynImpl(const IxDynImpl& other) : IxDynImpl(other.view()) {}
    IxDynImpl& operator=(const IxDynImpl& other) {
        if (this != &other) *this = IxDynImpl(other);
        return *this;
    }
    IxDynImpl(IxDynImpl&&) noexcept = default;
    IxDynImpl& operator=(IxDynImpl&&) noexcept = default;

    std::size_t size() const noexcept { return size_; }
    Word* data() noexcept { return heap_ ? heap_.get() : inline_; }
    const Word* data() const noexcept { return heap_ ? heap_.get() : inline_; }
    Word& operator[](std::size_t axis) noexcept { return data()[axis]; }
    Word operator[](std::size_t axis) const noexcept { return data()[axis]; }
    std::span<const Word> view() const noexcept { return {data(), size_}; }

private:
    std::size_t size_ = 0;
    Word inline_[inline_capacity] = {};
    std::unique_ptr<Word[]> heap_;
};

/// Axis lengths.
using Shape = IxDynImpl<Index>;
/// Element strides: steps between neighbours along each axis, negative for a reversed axis.
using Strides = IxDynImpl<Index>;

/// Storage of an array that borrows memory owned elsewhere (a NumPy array).
struct ViewRepr {};

/// Storage that owns a buffer of float32 from the C allocator.
class OwnedRepr {
public:
    OwnedRepr() noexcept = default;
    explicit OwnedRepr(float* buffer) noexcept : buffer_(buffer) {}
    OwnedRepr(OwnedRepr&& other) noexcept : buffer_(std::exchange(other.buffer_, nullptr)) {}
    OwnedRepr& operator=(OwnedRepr&& other) noexcept {
        std::swap(buffer_, other.buffer_);
        return *this;
    }
    ~OwnedRepr() noexcept { std::free(buffer_); }

    float* buffer() const noexcept { return buffer_; }

private:
    float* buffer_ = nullptr;
};

template <class Repr>
struct ArrayBase {
    Repr storage;
    float* ptr = nullptr;  // the element whose indices are all zero
    Shape dim;
    Strides strides;       // in elements

    std::size_t ndim() const noexcept { return dim.size(); }
    Index len_of(std::size_t axis) const noexcept { return dim[axis]; }
    Index stride_of(std::size_t axis) const noexcept { return strides[axis]; }
    /// The number of elements: the product of the axis lengths.
    Index size() const noexcept {
        Index count = 1;
        for (Index length : dim.view()) count *= length;
        return count;
    }
    /// The element at one index per axis; faults "ndarray: index out of bounds".
    float& at(std::span<const Index> index) const;
};

using ArrayView = ArrayBase<ViewRepr>;
using OwnedArray = ArrayBase<OwnedRepr>;

[[noreturn]] void index_out_of_bounds();

template <class Repr>
float& ArrayBase<Repr>::at(std::span<const Index> index) const {
    if (index.size() != ndim()) index_out_of_bounds();
    Index offset = 0;
    for (std::size_t axis = 0; axis < index.size(); ++axis) {
        if (index[axis] < 0 || index[axis] >= dim[axis]) index_out_of_bounds();
        offset += index[axis] * stride_of(axis);
    }
    return ptr[offset];
}

/// A borrowing view of any array.
template <class Repr>
ArrayView view_of(const ArrayBase<Repr>& array) {
    return ArrayView{{}, array.ptr, array.dim, array.strides};
}

/// Row-major element strides of a shape; all zero when any axis is empty.
Strides row_major_strides(const Shape& shape);

/// Whether `strides` are `row_major_strides(shape)`, compared without making them: tiny
/// calls ask this several times.
bool has_row_major_strides(const Shape& shape, const Strides& strides);

/// Whether the elements fill one gap-free block (any axis order, any signs).
bool is_contiguous(const Shape& shape, const Strides& strides);

/// Elements below the data pointer that the lowest-addressed element lies.
Index lowest_address_offset(const Shape& shape, const Strides& strides);

/// The fault for an array of more axes than NumPy allows.
[[noreturn]] void unexpected_dimensionality();

/// The element count of a new array of `shape`, with the faults of making one: the
/// product of the non-zero lengths must fit a signed machine word, and its size in bytes
/// too ("capacity overflow").
Index checked_element_count(const Shape& shape);

/// A zero-filled owned array of `shape` with row-major strides.
OwnedArray zeros(const Shape& shape);
/// A zero-filled one-axis owned array of `length` elements.
OwnedArray zeros_1d(Index length);

/// The faults of `zeros_1d(length)`, without making the array.
void check_zeros_1d(std::uint64_t length);

/// The fault of a buffer of `count` float32: "capacity overflow" when its size in bytes
/// exceeds the largest signed machine word.
void check_capacity(Index count);

/// Calls `visit(first, stride, length)` for rows that hold every element once, in row-major
/// logical order; a 0-d view is one row of one element. A row is the innermost axis of more
/// than one element, joined with the axes around it for as long as one stride carries on
/// across them (a vertically flipped image is one row per image row, not per pixel), so
/// rows are as long as the layout allows. Nothing is visited for an empty view.
template <class Visit>
void for_each_row(const ArrayView& view, Visit&& visit) {
    for (Index length : view.dim.view()) {
        if (length == 0) return;
    }
    std::size_t outer = view.ndim();  // axes [0, outer) are walked around the row
    Index row_length = 1;
    Index row_stride = 1;
    for (; outer > 0; --outer) {
        const Index length = view.len_of(outer - 1);
        if (length == 1) continue;
        const Index stride = view.stride_of(outer - 1);
        Index carried_on;
        if (row_length == 1) {
            row_stride = stride;
        } else if (__builtin_mul_overflow(row_stride, row_length, &carried_on) ||
                   carried_on != stride) {
            break;
        }
        row_length *= length;
    }
    Shape index(outer);
    const float* row = view.ptr;
    while (true) {
        visit(row, row_stride, row_length);
        // Advance the outer indices like an odometer.
        std::size_t axis = outer;
        while (true) {
            if (axis == 0) return;
            --axis;
            row += view.stride_of(axis);
            if (++index[axis] < view.len_of(axis)) break;
            row -= view.len_of(axis) * view.stride_of(axis);
            index[axis] = 0;
        }
    }
}

/// Calls `visit(element)` for each element in row-major logical order (last index fastest).
template <class Visit>
void for_each_logical(const ArrayView& view, Visit&& visit) {
    for_each_row(view, [&](const float* first, Index stride, Index length) {
        for (Index column = 0; column < length; ++column) visit(*stepped(first, column, stride));
    });
}

/// One item of a slice descriptor: a range of an axis, or a single index that removes it.
struct SliceItem {
    bool is_index;
    std::ptrdiff_t start;              // the index, for an index item
    std::optional<std::ptrdiff_t> end;
    std::ptrdiff_t step;

    static SliceItem full() { return {false, 0, std::nullopt, 1}; }
    static SliceItem index(std::ptrdiff_t at) { return {true, at, std::nullopt, 1}; }
};

/// A view of part of the same memory; one item per axis.
ArrayView slice(const ArrayView& view, std::span<const SliceItem> items);

}  // namespace pixalot
