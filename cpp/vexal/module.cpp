// tolvane.core.vexal: module initialisation and the export table.
#define TOLVANE_IMPORT_NUMPY_API
#include <type_traits>

#include "vexal/state.hpp"
#include "vexal/vexal_api.h"

namespace tolvane::vexal {
namespace {

constexpr const char* kModuleDoc =
    "Trade excursion analysis.\n\n"
    "The engine drives this module through the C functions of its export table;\n"
    "results accumulate in the lists `trades`, `trade_positions` and `vexal`.";

// The exported functions have exactly the types importers bind, noexcept
// included: no C++ exception crosses a capsule.
static_assert(std::is_same_v<decltype(&start_analysis), vexal_api::StartAnalysis>);
static_assert(std::is_same_v<decltype(&record_date), vexal_api::RecordDate>);
static_assert(std::is_same_v<decltype(&record_entry), vexal_api::RecordEntry>);
static_assert(std::is_same_v<decltype(&record_exit), vexal_api::RecordExit>);
static_assert(std::is_same_v<decltype(&end_analysis), vexal_api::EndAnalysis>);

py::Ref zeros(int ndim, npy_intp* shape, int type) {
    return py::checked(PyArray_ZEROS(ndim, shape, type, 0));
}

// The load-time state: empty matrices and per-stock arrays, zero parameters.
void initialise_state(AnalysisState& run, PyObject* module) {
    run.module_namespace = PyModule_GetDict(module);
    run.float64 = py::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    npy_intp empty_matrix[2] = {0, 0};
    npy_intp empty_vector[1] = {0};
    run.price = zeros(2, empty_matrix, NPY_DOUBLE);
    run.close = zeros(2, empty_matrix, NPY_DOUBLE);
    run.price_buffer = py::Buffer::acquire(run.price.get(), 2, py::ElementType::Float64);
    run.close_buffer = py::Buffer::acquire(run.close.get(), 2, py::ElementType::Float64);
    run.entry.replace(zeros(1, empty_vector, NPY_INTP));
    run.position.replace(zeros(1, empty_vector, NPY_DOUBLE));
    run.entry_trasnaction.replace(zeros(1, empty_vector, NPY_INTP));
}

void publish(PyObject* table, const char* name, void* pointer, const char* signature) {
    py::Ref capsule = py::checked(PyCapsule_New(pointer, signature, nullptr));
    py::checked_status(PyDict_SetItemString(table, name, capsule.get()));
}

// The export table, entries in their published order.
py::Ref export_table(AnalysisState& run) {
    using namespace vexal_api;
    py::Ref table = py::checked(PyDict_New());
    PyObject* exports = table.get();
    publish(exports, "entry", &run.entry.array, kEntrySignature);
    publish(exports, "position", &run.position.array, kPositionSignature);
    publish(exports, "start_analysis", reinterpret_cast<void*>(&start_analysis), kStartAnalysisSignature);
    publish(exports, "record_date", reinterpret_cast<void*>(&record_date), kRecordDateSignature);
    publish(exports, "record_entry", reinterpret_cast<void*>(&record_entry), kRecordEntrySignature);
    publish(exports, "record_exit", reinterpret_cast<void*>(&record_exit), kRecordExitSignature);
    publish(exports, "end_analysis", reinterpret_cast<void*>(&end_analysis), kEndAnalysisSignature);
    return table;
}

void add(PyObject* module, const char* name, py::Ref value) {
    py::checked_status(PyModule_AddObjectRef(module, name, value.get()));
}

}  // namespace

void populate_module(PyObject* module, AnalysisState& run) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    add(module, "org_np", py::checked(PyImport_ImportModule("numpy")));
    for (const char* name : {"trades", "trade_positions", "vexal"}) {
        add(module, name, py::checked(PyList_New(0)));
    }
    add(module, "__test__", py::checked(PyDict_New()));
    initialise_state(run, module);
    add(module, vexal_api::kExportTable, export_table(run));
}

}  // namespace tolvane::vexal

PyMODINIT_FUNC PyInit_vexal() {
    using namespace tolvane::vexal;
    return VexalModule::initialise(kModule, kModuleDoc);
}
