// Module state of tolvane.core.ravelin: one per process, created when the
// module is executed and destroyed when it is freed.
#pragma once

#include "support/py_ref.hpp"
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

// The live state; set while the module is alive.
EngineState& engine();

// A module global looked up at the moment of use (borrowed); raises
// NameError "name '%U' is not defined" when it is missing.
PyObject* module_global(const char* name);

// Sets a module global.
void set_module_global(const char* name, PyObject* value);

}  // namespace tolvane::ravelin
