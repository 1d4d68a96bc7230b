// Read-only buffer views of Python objects (arrays), checked for element type
// and number of dimensions, exposed as native strided views.
#pragma once

#include <cstddef>

#include "native/strided_view.hpp"
#include "support/py_ref.hpp"

namespace tolvane::py {

enum class ElementType {
    Float64,  // 8-byte IEEE double, named 'float64_t' in messages
    Int64,    // 8-byte signed integer, 'int64_t'
    Intp,     // pointer-sized signed integer, 'Py_ssize_t'
    Object,   // object references, 'unicode object'
};

// Owns one acquired buffer; released on destruction. An empty Buffer (from
// None) holds nothing.
class Buffer {
public:
    Buffer() noexcept = default;
    Buffer(Buffer&& other) noexcept;
    Buffer& operator=(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer();

    // Acquires a read-only strided buffer of `exporter` with `ndim` dimensions
    // and elements of `type`. Raises ValueError "Buffer has wrong number of
    // dimensions (expected %d, got %d)" or "Buffer dtype mismatch, expected
    // %s%s%s but got %s"; the exporter's own error if it has no buffer.
    static Buffer acquire(PyObject* exporter, int ndim, ElementType type);

    bool held() const noexcept { return held_; }

    // Whether the exporter still exposes the same memory with the same layout.
    // NumPy lets Python code reallocate an array whose buffer is held (resize
    // with refcheck=False); a view is only read after this was confirmed since
    // the last Python code that could have done so.
    bool unchanged() const;
    Py_ssize_t shape(int axis) const noexcept { return view_.shape[axis]; }

    template <class T>
    native::StridedView1D<T> view1d() const noexcept {
        return {static_cast<const char*>(view_.buf), view_.shape[0], view_.strides[0]};
    }
    template <class T>
    native::StridedView2D<T> view2d() const noexcept {
        return {static_cast<const char*>(view_.buf), view_.shape[0], view_.shape[1],
                view_.strides[0], view_.strides[1]};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace tolvane::py
