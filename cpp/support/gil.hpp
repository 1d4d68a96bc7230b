// Native work with the interpreter lock released.
#pragma once

#include <exception>

#include "support/py_ref.hpp"

namespace tolvane::py {

// Runs `body` with the interpreter lock released, so that other Python
// threads run meanwhile; `body` must touch no Python object. Whatever it
// throws is rethrown here once the lock is held again.
template <class Body>
void run_without_gil(Body&& body) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS
    try {
        body();
    } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (failure) std::rethrow_exception(failure);
}

}  // namespace tolvane::py
