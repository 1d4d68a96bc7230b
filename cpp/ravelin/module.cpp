// tolvane.core.ravelin: module initialisation.
#define TOLVANE_IMPORT_NUMPY_API

#include "ravelin/functions.hpp"
#include "ravelin/state.hpp"
#include "support/numpy_api.hpp"

namespace tolvane::ravelin {
namespace {

constexpr const char* kModuleDoc =
    "The backtest engine.\n\n"
    "backtest_ simulates a portfolio that follows target weights over price bars\n"
    "and returns its cumulative-return series; get_trade_stocks and\n"
    "get_stock_operations report the latest run.";

py::Ref imported(const char* name) { return py::checked(PyImport_ImportModule(name)); }

}  // namespace

void populate_module(PyObject* module, EngineState& state) {
    state.module_namespace = PyModule_GetDict(module);
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    if (vexal_api::import_api(state.vexal) < 0) throw py::ErrorAlreadySet{};

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

    py::add_function(module, &get_stock_operations_definition);
    py::add_function(module, &normalize_weight_definition);
    py::add_function(module, &ioft_definition);

    state.default_fee_ratio = 1.425 / 1000;
    state.default_tax_ratio = 0.003;
    state.default_stop_loss = py::checked(PyFloat_FromDouble(1.0));
    state.default_take_profit =
        py::checked(PyObject_GetAttrString(module_global("org_np"), "inf"));
    state.default_trail_stop = PyFloat_AsDouble(state.default_take_profit.get());
    py::throw_if_error_set();
    py::add_function(module, &backtest_definition);
    py::add_function(module, &get_trade_stocks_definition);
}

}  // namespace tolvane::ravelin

PyMODINIT_FUNC PyInit_ravelin() {
    using namespace tolvane::ravelin;
    return RavelinModule::initialise(kModule, kModuleDoc);
}
