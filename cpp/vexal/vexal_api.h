// The C API of tolvane.core.vexal, for its exporter and its importers.
//
// vexal publishes its entries in the module attribute `__capi__`, a dict that
// maps each export name to a capsule whose pointer is the exported object and
// whose name is the signature text below. An importer binds an entry only if
// the capsule name equals the expected signature text byte for byte.
//
// Errors: the exported functions are noexcept. A failure leaves a Python
// exception set (with its traceback entries "tolvane.core.vexal.<function>"),
// and end_analysis also returns null; a caller checks PyErr_Occurred() after
// every call. import_api follows the C API: -1 with the exception set.
#pragma once

#include <map>

#include "support/numpy_api.hpp"

namespace tolvane::vexal_api {

inline constexpr const char kModuleName[] = "tolvane.core.vexal";
inline constexpr const char kExportTable[] = "__capi__";

// Starts a run's analysis: clears the result lists and sizes the per-stock
// arrays for `nstocks` position columns; `pos2price` maps them to price columns.
using StartAnalysis = void (*)(PyArrayObject* price, PyArrayObject* close,
                               std::map<int, int> pos2price, int nstocks, double fee_ratio,
                               double tax_ratio, int window, int window_step) noexcept;
// `d` is the bar the trades recorded next happen at.
using RecordDate = void (*)(int d) noexcept;
// `position_sid` is the entry's weight (its sign the side); the flag is 1 when
// the entry was a transaction that paid costs.
using RecordEntry = void (*)(int sid, double position_sid, int has_entry_trasnaction) noexcept;
using RecordExit = void (*)(int sid, int has_exit_trasnaction) noexcept;
// Records the trades still open in the final book `pos` (sid -> value).
using EndAnalysis = PyObject* (*)(std::map<int, double>& pos) noexcept;

// Signature texts, in the order the entries are published.
inline constexpr const char kEntrySignature[] = "PyArrayObject *";
inline constexpr const char kPositionSignature[] = "PyArrayObject *";
inline constexpr const char kStartAnalysisSignature[] =
    "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)";
inline constexpr const char kRecordDateSignature[] = "void (int)";
inline constexpr const char kRecordEntrySignature[] = "void (int, double, int)";
inline constexpr const char kRecordExitSignature[] = "void (int, int)";
inline constexpr const char kEndAnalysisSignature[] = "PyObject *(std::map<int,double>  &)";

// Everything an importer binds.
struct Api {
    PyArrayObject** entry = nullptr;     // the module variable `entry` (bound, not read)
    PyArrayObject** position = nullptr;  // the module variable `position`
    StartAnalysis start_analysis = nullptr;
    RecordDate record_date = nullptr;
    RecordEntry record_entry = nullptr;
    RecordExit record_exit = nullptr;
    EndAnalysis end_analysis = nullptr;
};

namespace detail {

// Looks `name` up in the export table of `module` and returns the capsule's
// pointer if its signature text is `signature`; null with ImportError or
// TypeError set otherwise. `kind` is "function" or "variable".
inline void* bind_entry(PyObject* module, PyObject* table, const char* kind, const char* name,
                        const char* signature) {
    const char* module_name = PyModule_GetName(module);
    if (!module_name) return nullptr;
    PyObject* capsule = PyDict_GetItemString(table, name);  // borrowed
    if (!capsule) {
        PyErr_Format(PyExc_ImportError, "%.200s does not export expected C %s %.200s", module_name,
                     kind, name);
        return nullptr;
    }
    if (!PyCapsule_IsValid(capsule, signature)) {
        const char* exported = PyCapsule_GetName(capsule);
        if (!exported && PyErr_Occurred()) return nullptr;
        PyErr_Format(PyExc_TypeError,
                     "C %s %.200s.%.200s has wrong signature (expected %.500s, got %.500s)", kind,
                     module_name, name, signature, exported ? exported : "NULL");
        return nullptr;
    }
    return PyCapsule_GetPointer(capsule, signature);
}

template <class Function>
inline bool bind_function(PyObject* module, PyObject* table, const char* name,
                          const char* signature, Function& function) {
    void* pointer = bind_entry(module, table, "function", name, signature);
    function = reinterpret_cast<Function>(pointer);
    return pointer != nullptr;
}

inline bool bind_variable(PyObject* module, PyObject* table, const char* name,
                          const char* signature, PyArrayObject**& variable) {
    void* pointer = bind_entry(module, table, "variable", name, signature);
    variable = static_cast<PyArrayObject**>(pointer);
    return pointer != nullptr;
}

}  // namespace detail

// Imports `module_name` and binds the two variables, then the five functions.
// Returns 0, or -1 with the exception set: the import's own error,
// AttributeError for a module without an export table, ImportError "%.200s
// does not export expected C function %.200s" (or "C variable"), TypeError "C
// function %.200s.%.200s has wrong signature (expected %.500s, got %.500s)"
// (or "C variable"). On failure `api` is left unchanged.
inline int import_api(Api& api, const char* module_name = kModuleName) {
    py::Ref module = py::Ref::steal(PyImport_ImportModule(module_name));
    if (!module) return -1;
    py::Ref table = py::Ref::steal(PyObject_GetAttrString(module.get(), kExportTable));
    if (!table) return -1;
    PyObject* exporter = module.get();
    PyObject* exports = table.get();
    Api bound;
    const bool complete =
        detail::bind_variable(exporter, exports, "entry", kEntrySignature, bound.entry) &&
        detail::bind_variable(exporter, exports, "position", kPositionSignature, bound.position) &&
        detail::bind_function(exporter, exports, "start_analysis", kStartAnalysisSignature,
                              bound.start_analysis) &&
        detail::bind_function(exporter, exports, "record_date", kRecordDateSignature, bound.record_date) &&
        detail::bind_function(exporter, exports, "record_entry", kRecordEntrySignature,
                              bound.record_entry) &&
        detail::bind_function(exporter, exports, "record_exit", kRecordExitSignature, bound.record_exit) &&
        detail::bind_function(exporter, exports, "end_analysis", kEndAnalysisSignature,
                              bound.end_analysis);
    if (!complete) return -1;
    api = bound;
    return 0;
}

}  // namespace tolvane::vexal_api
