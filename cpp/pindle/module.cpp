// tolvane.core.pindle: text to byte array.
#include <array>

#include "support/arguments.hpp"
#include "support/errors.hpp"
#include "support/module_setup.hpp"

namespace tolvane::pindle {
namespace {

constexpr const char* kModule = "tolvane.core.pindle";

py::ModuleGuard guard{"pindle"};

// One byte per character, the byte being the character's code point.
py::Ref str_to_bytearray(PyObject* text) {
    if (text == Py_None) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' is not iterable");
        throw py::ErrorAlreadySet{};
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    py::Ref code_points = py::checked(PyList_New(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject* code_point = PyLong_FromUnsignedLong(PyUnicode_READ(kind, data, i));
        if (!code_point) throw py::ErrorAlreadySet{};
        PyList_SET_ITEM(code_points.get(), i, code_point);
    }
    // The interpreter's own bytearray() decides what fits in a byte.
    return py::checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type),
                                           code_points.get()));
}

PyObject* str_to_bytearray_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "str_to_bytearray", [&] {
        static constexpr std::array<const char*, 1> names{"text"};
        std::array<PyObject*, 1> slots{};
        py::parse_arguments({"str_to_bytearray", names, 1}, args, kwargs, slots);
        PyObject* text = slots[0];
        if (text != Py_None && Py_TYPE(text) != &PyUnicode_Type) {
            PyErr_Format(PyExc_TypeError,
                         "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                         "text", PyUnicode_Type.tp_name, Py_TYPE(text)->tp_name);
            throw py::ErrorAlreadySet{};
        }
        return str_to_bytearray(text).release();
    });
}

PyMethodDef str_to_bytearray_def = {
    "str_to_bytearray", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(str_to_bytearray_entry)),
    METH_VARARGS | METH_KEYWORDS,
    "str_to_bytearray($module, text)\n--\n\n"
    "Return a new bytearray holding one byte per character of `text`, the\n"
    "character's code point.\n\n"
    "`text` must be exactly a str. A character above code point 255 raises\n"
    "ValueError."};

int add_attributes(PyObject* module) { return py::add_function(module, &str_to_bytearray_def); }

int exec_module(PyObject* module) {
    return py::exec_guarded(guard, module, kModule, add_attributes);
}

void free_module(void* module) { guard.release(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tolvane.core.pindle",
    "Text conversion: str_to_bytearray.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    free_module,
};

}  // namespace
}  // namespace tolvane::pindle

PyMODINIT_FUNC PyInit_pindle() { return PyModuleDef_Init(&tolvane::pindle::module_def); }
