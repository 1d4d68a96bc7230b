// Typed, read-only, bounds-checked views of strided memory.
//
// Strides are in bytes and may be negative or zero; nothing assumes
// contiguity or alignment (elements are loaded with memcpy).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "native/failure.hpp"

namespace tolvane::native {

// Raises BufferIndexError(axis): kept out of line, so that the checked reads
// around it stay small enough to be inlined where they are used.
[[noreturn, gnu::cold, gnu::noinline]] inline void throw_buffer_index_error(int axis) {
    throw BufferIndexError(axis);
}

template <class T>
inline T load(const char* address) noexcept {
    T value;
    std::memcpy(&value, address, sizeof(T));
    return value;
}

// Elements first..end-1 of a view, checked once when the range is taken:
// reading them needs no check of its own. Indices are the view's.
template <class T>
class CheckedRange {
public:
    CheckedRange() noexcept = default;
    CheckedRange(const char* data, std::ptrdiff_t stride) noexcept : data_(data), stride_(stride) {}

    // `index` must lie in the range it was taken for.
    T operator[](std::ptrdiff_t index) const noexcept { return load<T>(data_ + index * stride_); }

private:
    const char* data_ = nullptr;
    std::ptrdiff_t stride_ = 0;
};

template <class T>
class StridedView1D {
public:
    StridedView1D() noexcept = default;
    // `axis` is the axis reported when an index is out of range (1 for a row
    // of a matrix, whose index is the column).
    StridedView1D(const char* data, std::ptrdiff_t size, std::ptrdiff_t stride, int axis = 0) noexcept
        : data_(data), size_(size), stride_(stride), axis_(axis) {}

    std::ptrdiff_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }

    // Checked read: an index outside 0..size-1 raises BufferIndexError.
    T operator[](std::ptrdiff_t index) const {
        if (index < 0 || index >= size_) throw_buffer_index_error(axis_);
        return load<T>(data_ + index * stride_);
    }

    // The elements first..end-1 as a CheckedRange; raises BufferIndexError
    // unless they all lie inside the view.
    CheckedRange<T> range(std::ptrdiff_t first, std::ptrdiff_t end) const {
        if (first < end && (first < 0 || end > size_)) throw_buffer_index_error(axis_);
        return {data_, stride_};
    }

    // Asks the processor to fetch the elements first..end-1 (within the view)
    // into its caches ahead of their reads; reads nothing itself.
    void prefetch(std::ptrdiff_t first, std::ptrdiff_t end) const noexcept {
        constexpr std::ptrdiff_t kLine = 64;
        if (first < 0) first = 0;
        if (end > size_) end = size_;
        const std::ptrdiff_t span = stride_ < 0 ? -stride_ : stride_;
        const std::ptrdiff_t step = span >= kLine || span == 0 ? 1 : kLine / span;
        for (std::ptrdiff_t index = first; index < end; index += step) {
            __builtin_prefetch(data_ + index * stride_);
        }
    }

    // The elements as an array of size() values when they are laid out as one
    // (one element apart and aligned), else null.
    const T* contiguous_elements() const noexcept {
        const bool aligned = reinterpret_cast<std::uintptr_t>(data_) % alignof(T) == 0;
        return stride_ == static_cast<std::ptrdiff_t>(sizeof(T)) && aligned
                   ? reinterpret_cast<const T*>(data_)
                   : nullptr;
    }

private:
    const char* data_ = nullptr;
    std::ptrdiff_t size_ = 0;
    std::ptrdiff_t stride_ = 0;
    int axis_ = 0;
};

template <class T>
class StridedView2D {
public:
    StridedView2D() noexcept = default;
    StridedView2D(const char* data, std::ptrdiff_t rows, std::ptrdiff_t columns,
                  std::ptrdiff_t row_stride, std::ptrdiff_t column_stride) noexcept
        : data_(data),
          rows_(rows),
          columns_(columns),
          row_stride_(row_stride),
          column_stride_(column_stride) {}

    std::ptrdiff_t rows() const noexcept { return rows_; }
    std::ptrdiff_t columns() const noexcept { return columns_; }
    // Whether a column's elements lie nearer each other than a row's: reading
    // column after column then follows the memory.
    bool columns_are_nearer() const noexcept {
        return (row_stride_ < 0 ? -row_stride_ : row_stride_) <= (column_stride_ < 0 ? -column_stride_ : column_stride_);
    }

    // Checked read: the row is checked first (axis 0), then the column (axis 1).
    T operator()(std::ptrdiff_t row, std::ptrdiff_t column) const {
        if (row < 0 || row >= rows_) throw_buffer_index_error(0);
        if (column < 0 || column >= columns_) throw_buffer_index_error(1);
        return load<T>(data_ + row * row_stride_ + column * column_stride_);
    }

    // The checked row `row` as a 1-D view over the columns (a column out of
    // range is reported on axis 1, as for an element read).
    StridedView1D<T> row(std::ptrdiff_t row) const {
        if (row < 0 || row >= rows_) throw_buffer_index_error(0);
        return StridedView1D<T>(data_ + row * row_stride_, columns_, column_stride_, 1);
    }

    // The checked column `column` as a 1-D view over the rows.
    StridedView1D<T> column(std::ptrdiff_t column) const {
        if (column < 0 || column >= columns_) throw_buffer_index_error(1);
        return StridedView1D<T>(data_ + column * column_stride_, rows_, row_stride_);
    }

private:
    const char* data_ = nullptr;
    std::ptrdiff_t rows_ = 0;
    std::ptrdiff_t columns_ = 0;
    std::ptrdiff_t row_stride_ = 0;
    std::ptrdiff_t column_stride_ = 0;
};

// A row of a matrix taken at its first read, so that a row out of range is
// reported where the first element read would report it.
template <class T>
class LazyRow {
public:
    LazyRow(const StridedView2D<T>& matrix, std::ptrdiff_t row) noexcept
        : matrix_(&matrix), row_(row) {}

    T operator[](std::ptrdiff_t column) { return view()[column]; }

    const StridedView1D<T>& view() {
        if (!taken_) {
            view_ = matrix_->row(row_);
            taken_ = true;
        }
        return view_;
    }

private:
    const StridedView2D<T>* matrix_;
    std::ptrdiff_t row_;
    StridedView1D<T> view_{};
    bool taken_ = false;
};

// A contiguous output array written through checked stores.
template <class T>
class CheckedArray {
public:
    CheckedArray(T* data, std::ptrdiff_t size) noexcept : data_(data), size_(size) {}

    std::ptrdiff_t size() const noexcept { return size_; }

    void store(std::ptrdiff_t index, T value) {
        if (index < 0 || index >= size_) throw_buffer_index_error(0);
        data_[index] = value;
    }

private:
    T* data_;
    std::ptrdiff_t size_;
};

}  // namespace tolvane::native
