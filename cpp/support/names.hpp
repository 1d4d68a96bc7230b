// Names: interned str objects for names known at compile time, and lookups of
// names in a module's namespace.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "support/py_ref.hpp"

namespace tolvane::py {

namespace detail {
// One list per extension module (each links its own copy of this library),
// keyed by the literal's address: every call site passes a literal. A
// module's handful of global names fit a short list that is faster to scan
// than to hash; the scan is inline because a run looks names up per trade.
inline std::vector<std::pair<const char*, PyObject*>> interned_names;

PyObject* intern_new(const char* literal);
}  // namespace detail

// The interned str object for a name given as a string literal, created at
// first use and kept for the life of the process (dict lookups by it are as
// fast as by an attribute name).
inline PyObject* interned(const char* literal) {
    for (const auto& [key, name] : detail::interned_names) {
        if (key == literal) return name;
    }
    return detail::intern_new(literal);
}

// The interned str objects of a parameter list kept in a static array, in its
// order; created at first use, kept apart from the single names above so that
// long parameter lists do not lengthen their scan.
std::span<PyObject* const> interned_all(std::span<const char* const> literals);

// The object bound to `name` in the namespace dict `names`, looked up at the
// moment of use (borrowed): a module's globals may be rebound at any time.
// Raises NameError "name '<name>' is not defined" when it is missing.
PyObject* lookup_name(PyObject* names, const char* name);

}  // namespace tolvane::py
