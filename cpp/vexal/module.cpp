// tolvane.core.vexal: module initialisation and the export table.
#define TOLVANE_IMPORT_NUMPY_API
#include <memory>
#include <type_traits>

#include "support/errors.hpp"
#include "support/module_setup.hpp"
#include "vexal/state.hpp"
#include "vexal/vexal_api.h"

namespace tolvane::vexal {
namespace {

// The exported functions have exactly the types importers bind.
static_assert(std::is_same_v<decltype(&start_analysis), vexal_api::StartAnalysis>);
static_assert(std::is_same_v<decltype(&record_date), vexal_api::RecordDate>);
static_assert(std::is_same_v<decltype(&record_entry), vexal_api::RecordEntry>);
static_assert(std::is_same_v<decltype(&record_exit), vexal_api::RecordExit>);
static_assert(std::is_same_v<decltype(&end_analysis), vexal_api::EndAnalysis>);

py::ModuleGuard guard{"vexal"};

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
    PyObject* t = table.get();
    publish(t, "entry", &run.entry.array, kEntrySignature);
    publish(t, "position", &run.position.array, kPositionSignature);
    publish(t, "start_analysis", reinterpret_cast<void*>(&start_analysis), kStartAnalysisSignature);
    publish(t, "record_date", reinterpret_cast<void*>(&record_date), kRecordDateSignature);
    publish(t, "record_entry", reinterpret_cast<void*>(&record_entry), kRecordEntrySignature);
    publish(t, "record_exit", reinterpret_cast<void*>(&record_exit), kRecordExitSignature);
    publish(t, "end_analysis", reinterpret_cast<void*>(&end_analysis), kEndAnalysisSignature);
    return table;
}

void add(PyObject* module, const char* name, py::Ref value) {
    py::checked_status(PyModule_AddObjectRef(module, name, value.get()));
}

int populate(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    try {
        add(module, "org_np", py::checked(PyImport_ImportModule("numpy")));
        for (const char* name : {"trades", "trade_positions", "vexal"}) {
            add(module, name, py::checked(PyList_New(0)));
        }
        add(module, "__test__", py::checked(PyDict_New()));
        auto run = std::make_unique<AnalysisState>();
        initialise_state(*run, module);
        add(module, vexal_api::kExportTable, export_table(*run));
        analysis_state = run.release();
        return 0;
    } catch (...) {
        py::raise_current_exception(kModule, "<module>");
        return -1;
    }
}

int exec_module(PyObject* module) { return py::exec_guarded(guard, module, kModule, populate); }

void free_module(void* module) {
    if (guard.owns(static_cast<PyObject*>(module))) {
        delete analysis_state;
        analysis_state = nullptr;
    }
    guard.release(static_cast<PyObject*>(module));
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModule,
    "Trade excursion analysis.\n\n"
    "The engine drives this module through the C functions of its export table;\n"
    "results accumulate in the lists `trades`, `trade_positions` and `vexal`.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    free_module,
};

}  // namespace
}  // namespace tolvane::vexal

PyMODINIT_FUNC PyInit_vexal() { return PyModuleDef_Init(&tolvane::vexal::module_def); }
