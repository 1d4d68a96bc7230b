// The object protocol's yes/no questions, with failures thrown.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::py {

// PyObject_RichCompareBool(left, right, operation) (Py_LT, Py_EQ, ...).
inline bool compare(PyObject* left, PyObject* right, int operation) {
    return checked_status(PyObject_RichCompareBool(left, right, operation)) != 0;
}

// The truth of `object`, as bool(object) gives it.
inline bool is_true(PyObject* object) { return checked_status(PyObject_IsTrue(object)) != 0; }

}  // namespace tolvane::py
