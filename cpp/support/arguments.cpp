#include "support/arguments.hpp"

#include <algorithm>
#include <climits>

#include "support/names.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::py {
namespace {

[[noreturn]] void raise_positional_count(const Signature& signature, Py_ssize_t given) {
    const auto total = static_cast<Py_ssize_t>(signature.names.size());
    Py_ssize_t expected = total;
    const char* bound = "at most";
    if (given < signature.required) {
        expected = signature.required;
        bound = "at least";
    }
    if (signature.required == total) bound = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 signature.function, bound, expected, expected == 1 ? "" : "s", given);
    throw ErrorAlreadySet{};
}

Py_ssize_t parameter_index(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = 0; i < signature.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(keyword, signature.names[i]) == 0) {
            return static_cast<Py_ssize_t>(i);
        }
    }
    return -1;
}

// Reports the first keyword that names no free parameter.
[[noreturn]] void raise_bad_keyword(const Signature& signature, PyObject* kwargs,
                                    Py_ssize_t positional) {
    Py_ssize_t position = 0;
    PyObject* keyword = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &keyword, &value)) {
        if (!PyUnicode_Check(keyword)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", signature.function);
            throw ErrorAlreadySet{};
        }
        const Py_ssize_t index = parameter_index(signature, keyword);
        if (index >= positional) continue;
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         signature.function, keyword);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         signature.function, keyword);
        }
        throw ErrorAlreadySet{};
    }
    PyErr_SetString(PyExc_SystemError, "keyword arguments could not be matched");
    throw ErrorAlreadySet{};
}

}  // namespace

void parse_arguments(const Signature& signature, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> slots) {
    const auto total = static_cast<Py_ssize_t>(signature.names.size());
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    std::fill(slots.begin(), slots.end(), nullptr);
    if (positional > total) raise_positional_count(signature, positional);
    for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = PyTuple_GET_ITEM(args, i);

    if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) {
        if (positional < signature.required) raise_positional_count(signature, positional);
        return;
    }
    Py_ssize_t unmatched = PyDict_GET_SIZE(kwargs);
    const std::span<PyObject* const> names = interned_all(signature.names);
    for (Py_ssize_t i = positional; i < total; ++i) {
        PyObject* value = nullptr;
        if (unmatched > 0) {
            value = PyDict_GetItemWithError(kwargs, names[i]);
            if (!value && PyErr_Occurred()) throw ErrorAlreadySet{};
        }
        if (value) {
            slots[i] = value;
            --unmatched;
        } else if (i < signature.required) {
            raise_positional_count(signature, i);
        }
    }
    if (unmatched > 0) raise_bad_keyword(signature, kwargs, positional);
}

void parse_no_arguments(const char* function, PyObject* args, PyObject* kwargs) {
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", function);
        throw ErrorAlreadySet{};
    }
    if (PyTuple_GET_SIZE(args) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", function,
                     PyTuple_GET_SIZE(args));
        throw ErrorAlreadySet{};
    }
}

void raise_incorrect_type(const char* name, PyTypeObject* expected, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected->tp_name, Py_TYPE(value)->tp_name);
    throw ErrorAlreadySet{};
}

double to_double(PyObject* value, double fallback) {
    if (!value) return fallback;
    const double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
    return converted;
}

bool to_bool(PyObject* value, bool fallback) {
    if (!value) return fallback;
    return is_true(value);
}

int to_int(PyObject* value, int fallback) {
    if (!value) return fallback;
    Ref integer;
    if (PyLong_Check(value)) {
        integer = Ref::borrow(value);
    } else if (Py_TYPE(value)->tp_as_number && Py_TYPE(value)->tp_as_number->nb_int) {
        integer = checked(Py_TYPE(value)->tp_as_number->nb_int(value));
        if (!PyLong_Check(integer.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                         Py_TYPE(integer.get())->tp_name);
            throw ErrorAlreadySet{};
        }
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        throw ErrorAlreadySet{};
    }
    int overflow = 0;
    const long long converted = PyLong_AsLongLongAndOverflow(integer.get(), &overflow);
    if (converted == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (overflow != 0 || converted < INT_MIN || converted > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw ErrorAlreadySet{};
    }
    return static_cast<int>(converted);
}

PyMethodDef keyword_function(const char* name, KeywordFunction function, const char* doc) noexcept {
    // PyMethodDef stores every kind of function as a PyCFunction; the flags
    // tell the interpreter how to call it.
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

}  // namespace tolvane::py
