// The boundary between C++ and Python: no C++ exception crosses it.
//
// How each layer reports a failure:
// - the native core throws a typed failure (native/failure.hpp);
// - binding code throws too: ErrorAlreadySet once it has set a Python
//   exception, or lets a native failure pass;
// - every function Python calls runs its body in `boundary`, which turns what
//   was thrown into the pending Python exception with its traceback entries
//   (a module's own failures through a FailureTranslator);
// - functions exported through capsules (vexal_api.h) are noexcept and leave
//   a Python exception pending instead.
#pragma once

#include <functional>

#include "support/py_ref.hpp"

namespace tolvane::py {

// Sets the Python exception for a failure that only the caller can describe
// (it needs the call's arguments) and returns true; returns false for any
// other failure. May throw if describing the failure fails: that failure is
// then reported instead.
using FailureTranslator = std::function<bool(const native::Failure& failure)>;

// Adds the traceback entry "<module>.<function>" to the pending exception.
void add_function_traceback(const char* module, const char* function) noexcept;

// Turns the exception being handled into a pending Python exception and adds
// traceback entries "<module>.<frame>" for every function the failure passed
// through, innermost first, then "<module>.<function>". Call only inside a
// catch block.
void raise_current_exception(const char* module, const char* function,
                             const FailureTranslator& translate = {}) noexcept;

// Runs `body`, which returns a new reference, or null with a Python exception
// set; any C++ exception becomes a Python exception with its traceback entries.
template <class Body>
PyObject* boundary(const char* module, const char* function, Body&& body,
                   const FailureTranslator& translate = {}) noexcept {
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
