#include "support/module_setup.hpp"

#include <cstring>

namespace tolvane::py {

int ModuleGuard::admit(PyObject* module, const char* module_name) noexcept {
    const long long current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return -1;
    if (interpreter_id_ == -1) {
        interpreter_id_ = current;
    } else if (interpreter_id_ != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return -1;
    }
    if (module_ == module) return 1;
    if (module_) {
        const char* last_dot = std::strrchr(module_name, '.');
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     last_dot ? last_dot + 1 : module_name);
        return -1;
    }
    module_ = module;
    return 0;
}

void ModuleGuard::release(PyObject* module) noexcept {
    if (module_ == module) module_ = nullptr;
}

int warn_on_version_mismatch(const char* module_name, int compiled_major, int compiled_minor) noexcept {
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == compiled_major && runtime_minor == compiled_minor) return 0;
    return PyErr_WarnFormat(nullptr, 1,
                            "compile time Python version %d.%d of module '%.100s' %s runtime "
                            "version %d.%d",
                            compiled_major, compiled_minor, module_name, "does not match",
                            runtime_major, runtime_minor);
}

int exec_guarded(ModuleGuard& guard, PyObject* module, const char* module_name,
                 int (*body)(PyObject* module)) noexcept {
    const int admitted = guard.admit(module, module_name);
    if (admitted != 0) return admitted < 0 ? -1 : 0;
    if (warn_on_version_mismatch(module_name) < 0 || body(module) < 0) {
        guard.release(module);
        return -1;
    }
    return 0;
}

void add_function(PyObject* module, PyMethodDef* definition) {
    Ref name = checked(PyModule_GetNameObject(module));
    Ref function = checked(PyCFunction_NewEx(definition, module, name.get()));
    checked_status(PyModule_AddObjectRef(module, definition->ml_name, function.get()));
}

}  // namespace tolvane::py
