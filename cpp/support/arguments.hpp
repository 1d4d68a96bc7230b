// Module functions taking positional-or-keyword parameters: their method
// definitions, argument parsing and argument type errors.
#pragma once

#include <span>

#include "support/py_ref.hpp"

namespace tolvane::py {

struct Signature {
    const char* function;                // name used in error messages
    std::span<const char* const> names;  // parameter names, in order
    Py_ssize_t required;                 // how many leading parameters are required
};

// Collects (args, kwargs) of a METH_VARARGS | METH_KEYWORDS call into one
// borrowed reference per parameter (null where an optional one is omitted).
// Raises TypeError (thrown as ErrorAlreadySet) for a positional count out of
// range, a missing required argument, an unknown, duplicate or non-text keyword.
void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots);

// For functions without parameters.
void parse_no_arguments(const char* function, PyObject* args, PyObject* kwargs);

// Raises TypeError "Argument '<name>' has incorrect type (expected <expected
// type's name>, got <value's type name>)".
[[noreturn]] void raise_incorrect_type(const char* name, PyTypeObject* expected, PyObject* value);

// Conversions of an optional argument (null: `fallback`): float(value) to a
// double; the truth of value; int(value) to a 32-bit int (an int as is, other
// numbers through their integer conversion: a float is truncated toward zero),
// raising OverflowError "value too large to convert to int" outside the range.
double to_double(PyObject* value, double fallback);
bool to_bool(PyObject* value, bool fallback);
int to_int(PyObject* value, int fallback);

using KeywordFunction = PyObject* (*)(PyObject* module, PyObject* args, PyObject* kwargs);

// The method definition of a module function called with (args, kwargs);
// `doc` starts with its signature line ("name($module, ...)\n--\n\n").
PyMethodDef keyword_function(const char* name, KeywordFunction function, const char* doc) noexcept;

}  // namespace tolvane::py
