#include <utility>
#include <vector>

#include "support/py_ref.hpp"

namespace tolvane::py {

PyObject* interned(const char* literal) {
    // Keyed by the literal's address (every call site passes a literal); the
    // few names fit a short list that is faster to scan than to hash.
    static std::vector<std::pair<const char*, PyObject*>> names;
    for (const auto& [key, name] : names) {
        if (key == literal) return name;
    }
    PyObject* name = PyUnicode_InternFromString(literal);
    if (!name) throw ErrorAlreadySet{};
    names.emplace_back(literal, name);
    return name;
}

}  // namespace tolvane::py
