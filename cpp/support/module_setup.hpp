// Module initialisation shared by the extension modules: import guards and
// the creation of module functions (extension_module.hpp puts them together).
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::py {

// One per extension module: the module may be executed once per process, in
// one interpreter.
class ModuleGuard {
public:
    // Call first in the exec slot of the module `module_name`. Returns 1 if
    // `module` was already executed (nothing left to do), 0 if the exec slot
    // should go on, -1 with ImportError (another interpreter) or RuntimeError
    // (another module object) set.
    int admit(PyObject* module, const char* module_name) noexcept;

    // Call from the module's m_free: a later import may then start afresh.
    void release(PyObject* module) noexcept;

    // Whether `module` is the module object that was admitted.
    bool owns(PyObject* module) const noexcept { return module_ == module; }

private:
    PyObject* module_ = nullptr;  // borrowed: cleared by release()
    long long interpreter_id_ = -1;
};

// Warns "compile time Python version ... does not match runtime version ..."
// when the running interpreter is not the one the module was compiled for.
// Returns -1 if the warning was turned into an exception.
int warn_on_version_mismatch(const char* module_name, int compiled_major, int compiled_minor) noexcept;

inline int warn_on_version_mismatch(const char* module_name) noexcept {
    return warn_on_version_mismatch(module_name, PY_MAJOR_VERSION, PY_MINOR_VERSION);
}

// The exec slot of a module: runs the guards of `guard`, warns on a version
// mismatch, then runs `body`. A failed body releases the guard so a later
// import can try again. Returns 0, or -1 with the exception set.
int exec_guarded(ModuleGuard& guard, PyObject* module, const char* module_name,
                 int (*body)(PyObject* module)) noexcept;

// Creates the function described by `definition` (bound to `module`) and
// stores it as a module attribute.
void add_function(PyObject* module, PyMethodDef* definition);

}  // namespace tolvane::py
