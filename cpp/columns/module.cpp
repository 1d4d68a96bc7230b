// tolvane.core._columns: the engine's run as the front door uses it, apart
// from ravelin's contract: re-entrant, without the GIL, results as arrays.
#define TOLVANE_IMPORT_NUMPY_API

#include "columns/price_extremes.hpp"
#include "columns/run.hpp"
#include "native/exit_reason.hpp"
#include "native/stock_operations.hpp"
#include "support/extension_module.hpp"
#include "support/numpy_api.hpp"

namespace tolvane::columns {
namespace {

constexpr const char* kModuleDoc =
    "The engine's run for tolvane's front door (private).\n\n"
    "run() simulates as ravelin.backtest_ does, with the interpreter lock\n"
    "released and no module state, and returns its results as arrays.\n"
    "EXIT_REASONS and ACTIONS name the codes of its exit reasons and actions.\n"
    "price_extremes() reads a price matrix once for its checks.";

struct ModuleState {};

py::Ref labels(int count, const char* (*label)(int)) {
    py::Ref tuple = py::checked(PyTuple_New(count));
    for (int code = 0; code < count; ++code) {
        PyTuple_SET_ITEM(tuple.get(), code, py::checked(PyUnicode_FromString(label(code))).release());
    }
    return tuple;
}

void populate(PyObject* module, ModuleState&) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    py::add_function(module, &run_definition);
    py::add_function(module, &price_extremes_definition);
    py::Ref reasons = labels(native::kExitReasons, [](int code) {
        return native::exit_reason_label(static_cast<native::ExitReason>(code));
    });
    py::checked_status(PyModule_AddObjectRef(module, "EXIT_REASONS", reasons.get()));
    py::Ref actions = labels(native::kStockActions, [](int code) {
        return native::action_label(static_cast<native::StockAction>(code));
    });
    py::checked_status(PyModule_AddObjectRef(module, "ACTIONS", actions.get()));
}

using ColumnsModule = py::ExtensionModule<ModuleState, populate>;

}  // namespace
}  // namespace tolvane::columns

PyMODINIT_FUNC PyInit__columns() {
    using namespace tolvane::columns;
    return ColumnsModule::initialise(kModule, kModuleDoc);
}
