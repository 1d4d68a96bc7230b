// Module state of tolvane.core.ravelin: one per process, created when the
// module is executed and destroyed when it is freed.
#pragma once

#include "support/extension_module.hpp"
#include "support/names.hpp"
#include "vexal/vexal_api.h"

namespace tolvane::ravelin {

inline constexpr const char* kModule = "tolvane.core.ravelin";

struct EngineState {
    PyObject* module_namespace = nullptr;  // borrowed: the module dict outlives the state
    vexal_api::Api vexal;                  // bound from tolvane.core.vexal at import
    py::Ref stock_operations;              // the latest run's stock operations (a dict)
    bool run_in_progress = false;          // backtest_ is running (runs cannot nest)

    // Defaults of backtest_, computed once when the module body runs.
    double default_fee_ratio = 0.0;
    double default_tax_ratio = 0.0;
    py::Ref default_stop_loss;    // the float 1.0
    py::Ref default_take_profit;  // org_np.inf
    double default_trail_stop = 0.0;
};

// The module body (module.cpp), top to bottom.
void populate_module(PyObject* module, EngineState& state);

using RavelinModule = py::ExtensionModule<EngineState, populate_module>;

// The live state; raises RuntimeError when the module is not initialised.
inline EngineState& engine() { return RavelinModule::state(); }

// A module global looked up at the moment of use (borrowed); raises
// NameError "name '%s' is not defined" when it is missing.
inline PyObject* module_global(const char* name) {
    return py::lookup_name(engine().module_namespace, name);
}

// Sets a module global.
inline void set_module_global(const char* name, PyObject* value) {
    py::checked_status(PyDict_SetItemString(engine().module_namespace, name, value));
}

}  // namespace tolvane::ravelin
