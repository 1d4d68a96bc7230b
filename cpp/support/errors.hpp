// The boundary between C++ and Python: no C++ exception crosses it.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::py {

// Translates failures that only one module knows; returns true if it set the
// Python exception for `failure`.
using FailureTranslator = bool (*)(const native::Failure& failure);

// Adds the traceback entry "<module>.<function>" to the pending exception.
void add_function_traceback(const char* module, const char* function) noexcept;

// Turns the exception being handled into a pending Python exception and adds
// traceback entries "<module>.<frame>" for every function the failure passed
// through, innermost first, then "<module>.<function>". Call only inside a
// catch block.
void raise_current_exception(const char* module, const char* function,
                             FailureTranslator translate = nullptr) noexcept;

// Runs `body`, which returns a new reference, or null with a Python exception
// set; any C++ exception becomes a Python exception with its traceback entries.
template <class Body>
PyObject* boundary(const char* module, const char* function, Body&& body,
                   FailureTranslator translate = nullptr) noexcept {
    try {
        PyObject* result = body();
        if (!result) add_function_traceback(module, function);
        return result;
    } catch (...) {
        raise_current_exception(module, function, translate);
        return nullptr;
    }
}

}  // namespace tolvane::py
