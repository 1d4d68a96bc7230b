#include "support/names.hpp"

namespace tolvane::py {

PyObject* detail::intern_new(const char* literal) {
    PyObject* name = PyUnicode_InternFromString(literal);
    if (!name) throw ErrorAlreadySet{};
    interned_names.emplace_back(literal, name);
    return name;
}

std::span<PyObject* const> interned_all(std::span<const char* const> literals) {
    // Keyed by the array's address; a module has a few such lists.
    static std::vector<std::pair<const char* const*, std::vector<PyObject*>>> lists;
    for (const auto& [key, names] : lists) {
        if (key == literals.data()) return names;
    }
    std::vector<PyObject*> names;
    names.reserve(literals.size());
    for (const char* literal : literals) {
        PyObject* name = PyUnicode_InternFromString(literal);
        if (!name) {
            for (PyObject* made : names) Py_DECREF(made);
            throw ErrorAlreadySet{};
        }
        names.push_back(name);
    }
    return lists.emplace_back(literals.data(), std::move(names)).second;
}

PyObject* lookup_name(PyObject* names, const char* name) {
    PyObject* value = PyDict_GetItemWithError(names, interned(name));
    if (!value) {
        throw_if_error_set();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw ErrorAlreadySet{};
    }
    return value;
}

}  // namespace tolvane::py
