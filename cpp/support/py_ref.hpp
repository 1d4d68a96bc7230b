// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "native/failure.hpp"

namespace tolvane::py {

// A Python exception is pending; thrown through C++ frames and turned back
// into the pending exception at the binding boundary.
struct ErrorAlreadySet : native::Failure {};

// Throws ErrorAlreadySet if a Python exception is pending.
inline void throw_if_error_set() {
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
}

// Owns one strong reference (or none).
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    ~Ref() { Py_XDECREF(object_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }

    // Takes over a new reference; null stays null.
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference to a borrowed one.
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

// Takes over a new reference returned by the C API; throws if it is null.
inline Ref checked(PyObject* new_reference) {
    if (!new_reference) throw ErrorAlreadySet{};
    return Ref::steal(new_reference);
}

// Checks the status of a C API call that returns -1 on failure.
inline int checked_status(int status) {
    if (status < 0) throw ErrorAlreadySet{};
    return status;
}

}  // namespace tolvane::py
