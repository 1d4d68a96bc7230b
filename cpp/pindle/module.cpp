// tolvane.core.pindle: text to byte array.
#include <array>

#include "support/arguments.hpp"
#include "support/errors.hpp"
#include "support/extension_module.hpp"

namespace tolvane::pindle {
namespace {

constexpr const char* kModule = "tolvane.core.pindle";

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
            py::raise_incorrect_type("text", &PyUnicode_Type, text);
        }
        return str_to_bytearray(text).release();
    });
}

PyMethodDef str_to_bytearray_definition = py::keyword_function("str_to_bytearray", str_to_bytearray_entry,
    "str_to_bytearray($module, text)\n--\n\n"
    "Return a new bytearray holding one byte per character of `text`, the\n"
    "character's code point.\n\n"
    "`text` must be exactly a str. A character above code point 255 raises\n"
    "ValueError.");

struct NothingKept {};  // the module keeps no state between calls

void populate(PyObject* module, NothingKept&) { py::add_function(module, &str_to_bytearray_definition); }

using PindleModule = py::ExtensionModule<NothingKept, populate>;

}  // namespace
}  // namespace tolvane::pindle

PyMODINIT_FUNC PyInit_pindle() {
    return tolvane::pindle::PindleModule::initialise(tolvane::pindle::kModule,
                                                     "Text conversion: str_to_bytearray.");
}
