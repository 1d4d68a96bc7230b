// NumPy arrays over the storage of native vectors, without copying elements.
#pragma once

#include <vector>

#include "support/numpy_api.hpp"

namespace tolvane::columns {

namespace detail {
inline constexpr const char kVectorCapsule[] = "tolvane.core._columns.vector";

template <class T>
void free_vector(PyObject* capsule) noexcept {
    delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kVectorCapsule));
}
}  // namespace detail

// An array of `dims` over the elements of `values` (of NumPy type `type`),
// which it takes over: its base is a capsule that owns the vector.
template <class T>
py::Ref array_taking(std::vector<T>&& values, int type, int ndim, npy_intp* dims) {
    // An empty vector may have no storage; the array needs an address.
    if (values.capacity() == 0) values.reserve(1);
    auto* owned = new std::vector<T>(std::move(values));
    py::Ref capsule =
        py::Ref::steal(PyCapsule_New(owned, detail::kVectorCapsule, &detail::free_vector<T>));
    if (!capsule) {
        delete owned;
        throw py::ErrorAlreadySet{};
    }
    py::Ref array = py::checked(PyArray_SimpleNewFromData(ndim, dims, type, owned->data()));
    // The array takes over the reference to its base, also when this fails.
    py::checked_status(PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                                             capsule.release()));
    return array;
}

template <class T>
py::Ref array_taking(std::vector<T>&& values, int type) {
    npy_intp size = static_cast<npy_intp>(values.size());
    return array_taking(std::move(values), type, 1, &size);
}

}  // namespace tolvane::columns
