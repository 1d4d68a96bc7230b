// tolvane.core._probe: private hooks that let the test suite reach native
// pieces that have no Python surface of their own. Not part of the API.
#include "support/errors.hpp"
#include "support/module_setup.hpp"

namespace tolvane::probe {
namespace {

constexpr const char* kModule = "tolvane.core._probe";

py::ModuleGuard guard{"_probe"};

// warn_on_version_mismatch(module_name, compiled_major, compiled_minor)
PyObject* warn_on_version_mismatch(PyObject*, PyObject* args) {
    const char* module_name = nullptr;
    int major = 0;
    int minor = 0;
    if (!PyArg_ParseTuple(args, "sii", &module_name, &major, &minor)) return nullptr;
    if (py::warn_on_version_mismatch(module_name, major, minor) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"warn_on_version_mismatch", warn_on_version_mismatch, METH_VARARGS,
     "Run the import-time version check as if compiled for major.minor."},
    {nullptr, nullptr, 0, nullptr},
};

int add_attributes(PyObject* module) {
    for (PyMethodDef* function = functions; function->ml_name; ++function) {
        if (py::add_function(module, function) < 0) return -1;
    }
    return 0;
}

int exec_module(PyObject* module) { return py::exec_guarded(guard, module, kModule, add_attributes); }

void free_module(void* module) { guard.release(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModule, "Private test hooks.", 0, nullptr, slots, nullptr, nullptr,
    free_module,
};

}  // namespace
}  // namespace tolvane::probe

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&tolvane::probe::module_def); }
