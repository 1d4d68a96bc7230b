// tolvane.core.ravelin: module initialisation.
#define TOLVANE_IMPORT_NUMPY_API
#include <memory>

#include "ravelin/functions.hpp"
#include "ravelin/state.hpp"
#include "support/errors.hpp"
#include "support/module_setup.hpp"
#include "support/numpy_api.hpp"

namespace tolvane::ravelin {
namespace {

py::ModuleGuard guard{"ravelin"};
EngineState* engine_state = nullptr;

py::Ref imported(const char* name) { return py::checked(PyImport_ImportModule(name)); }

void add_function(PyObject* module, PyMethodDef* definition) {
    py::checked_status(py::add_function(module, definition));
}

// The module body, top to bottom.
void run_module_body(PyObject* module, EngineState& state) {
    set_module_global("org_np", imported("numpy").get());
    set_module_global("vexal", imported(vexal_api::kModuleName).get());
    py::Ref stops = imported("tolvane._stops");
    for (const char* name : {"StopTable", "stop_table"}) {
        set_module_global(name, py::checked(PyObject_GetAttrString(stops.get(), name)).get());
    }
    set_module_global("datetime", imported("datetime").get());
    set_module_global("RETAIN_COST_WHEN_REBALANCE", Py_False);
    set_module_global("RESAMPLE", Py_None);
    state.stock_operations = py::checked(PyDict_New());

    add_function(module, &get_stock_operations_definition);
    add_function(module, &normalize_weight_definition);
    add_function(module, &ioft_definition);

    state.default_fee_ratio = 1.425 / 1000;
    state.default_tax_ratio = 0.003;
    state.default_stop_loss = py::checked(PyFloat_FromDouble(1.0));
    state.default_take_profit =
        py::checked(PyObject_GetAttrString(module_global("org_np"), "inf"));
    state.default_trail_stop = PyFloat_AsDouble(state.default_take_profit.get());
    py::throw_if_error_set();
    add_function(module, &backtest_definition);
    add_function(module, &get_trade_stocks_definition);
}

int populate(PyObject* module) {
    try {
        auto state = std::make_unique<EngineState>();
        state->module_namespace = PyModule_GetDict(module);
        if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
        if (vexal_api::import_api(state->vexal) < 0) throw py::ErrorAlreadySet{};
        engine_state = state.release();
        run_module_body(module, *engine_state);
        return 0;
    } catch (...) {
        delete engine_state;
        engine_state = nullptr;
        py::raise_current_exception(kModule, "<module>");
        return -1;
    }
}

int exec_module(PyObject* module) { return py::exec_guarded(guard, module, kModule, populate); }

void free_module(void* module) {
    if (guard.owns(static_cast<PyObject*>(module))) {
        delete engine_state;
        engine_state = nullptr;
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
    "The backtest engine.\n\n"
    "backtest_ simulates a portfolio that follows target weights over price bars\n"
    "and returns its cumulative-return series; get_trade_stocks and\n"
    "get_stock_operations report the latest run.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    free_module,
};

}  // namespace

EngineState& engine() { return *engine_state; }

PyObject* module_global(const char* name) {
    PyObject* value = PyDict_GetItemWithError(engine().module_namespace, py::interned(name));
    if (!value) {
        py::throw_if_error_set();
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::ErrorAlreadySet{};
    }
    return value;
}

void set_module_global(const char* name, PyObject* value) {
    py::checked_status(PyDict_SetItemString(engine().module_namespace, name, value));
}

}  // namespace tolvane::ravelin

PyMODINIT_FUNC PyInit_ravelin() { return PyModuleDef_Init(&tolvane::ravelin::module_def); }
