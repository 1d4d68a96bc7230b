// Holds the pending Python exception aside while other C API calls are made.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::py {

// Takes the pending exception out of the interpreter on construction and puts
// it back on destruction, unless discard() was called.
class PendingException {
public:
    PendingException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
    }
    ~PendingException() {
        if (discarded_) return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, exception_, traceback_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;

    // Drops the held exception (another one replaces it).
    void discard() noexcept {
        if (discarded_) return;
        discarded_ = true;
#if PY_VERSION_HEX < 0x030C0000
        Py_XDECREF(type_);
        Py_XDECREF(traceback_);
#endif
        Py_XDECREF(exception_);
    }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exception_ = nullptr;
    bool discarded_ = false;
};

}  // namespace tolvane::py
