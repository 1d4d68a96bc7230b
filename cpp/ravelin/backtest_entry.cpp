// backtest_: argument parsing and conversion for the run.
#include <array>

#include "ravelin/functions.hpp"
#include "ravelin/run.hpp"
#include "ravelin/state.hpp"
#include "support/arguments.hpp"
#include "support/errors.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
namespace {

enum Parameter {
    kFeeRatio = kArrayArguments,
    kTaxRatio,
    kStopLoss,
    kTakeProfit,
    kTrailStop,
    kTrailStopActivation,
    kTouchedExit,
    kPositionLimit,
    kRetainCostWhenRebalance,
    kStopTradingNextPeriod,
    kVexalWindow,
    kVexalWindowStep,
    kPeriodicallyRebalance,
    kDelistingBars,
    kParameters
};

constexpr std::array<const char*, kParameters> kNames = {
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "price_columns", "pos_values", "pos_index", "pos_columns", "resample",
    "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
    "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "vexal_window", "vexal_window_step", "periodically_rebalance",
    "delisting_bars"};

struct ArraySpec {
    int ndim;
    py::ElementType type;
};

constexpr std::array<ArraySpec, kArrayArguments> kArraySpecs = {{
    {2, py::ElementType::Float64}, {2, py::ElementType::Float64}, {2, py::ElementType::Float64},
    {2, py::ElementType::Float64}, {2, py::ElementType::Float64}, {1, py::ElementType::Int64},
    {1, py::ElementType::Object},  {2, py::ElementType::Float64}, {1, py::ElementType::Int64},
    {1, py::ElementType::Object},  {1, py::ElementType::Int64},
}};

void check_array_type(const char* name, PyObject* value) {
    if (!PyObject_TypeCheck(value, &PyArray_Type)) py::raise_incorrect_type(name, &PyArray_Type, value);
}

PyObject* backtest(PyObject*, PyObject* args, PyObject* kwargs) {
    // Outside the body: the translator reads the position labels after the
    // body has unwound (the slots borrow from args and kwargs).
    std::array<PyObject*, kParameters> slots{};
    const auto name_the_position = [&slots](const native::Failure& failure) {
        return translate_run_failure(slots[kPosColumns], failure);
    };
    return py::boundary(kModule, "backtest_", [&] {
        py::parse_arguments({"backtest_", kNames, kArrayArguments}, args, kwargs, slots);
        const EngineState& state = engine();

        BacktestArguments arguments;
        arguments.fee_ratio = py::to_double(slots[kFeeRatio], state.default_fee_ratio);
        arguments.tax_ratio = py::to_double(slots[kTaxRatio], state.default_tax_ratio);
        arguments.trail_stop = py::to_double(slots[kTrailStop], state.default_trail_stop);
        arguments.trail_stop_activation = py::to_double(slots[kTrailStopActivation], 0.0);
        arguments.touched_exit = py::to_bool(slots[kTouchedExit], false);
        arguments.position_limit = py::to_double(slots[kPositionLimit], 1.0);
        // A NaN limit would clip nothing and a negative one would flip sides.
        if (!(arguments.position_limit >= 0)) {
            PyErr_Format(PyExc_ValueError, "position_limit must be a number >= 0, got %R",
                         py::checked(PyFloat_FromDouble(arguments.position_limit)).get());
            throw py::ErrorAlreadySet{};
        }
        arguments.retain_cost_when_rebalance = py::to_bool(slots[kRetainCostWhenRebalance], false);
        arguments.vexal_window = py::to_int(slots[kVexalWindow], 0);
        arguments.vexal_window_step = py::to_int(slots[kVexalWindowStep], 1);
        arguments.periodically_rebalance = py::to_bool(slots[kPeriodicallyRebalance], true);
        if (slots[kDelistingBars] && slots[kDelistingBars] != Py_None) {
            arguments.delisting_bars =
                py::Buffer::acquire(slots[kDelistingBars], 1, py::ElementType::Int64);
        }
        arguments.stop_loss = slots[kStopLoss] ? slots[kStopLoss] : state.default_stop_loss.get();
        arguments.take_profit =
            slots[kTakeProfit] ? slots[kTakeProfit] : state.default_take_profit.get();
        arguments.stop_trading_next_period =
            slots[kStopTradingNextPeriod] ? slots[kStopTradingNextPeriod] : Py_True;

        // None is refused with the type error: the run needs real arrays.
        for (int i = 0; i < kArrayArguments; ++i) check_array_type(kNames[i], slots[i]);
        for (int i = 0; i < kArrayArguments; ++i) {
            arguments.arrays[i] = slots[i];
            arguments.buffers[i] =
                py::Buffer::acquire(slots[i], kArraySpecs[i].ndim, kArraySpecs[i].type);
        }
        return run_backtest(arguments).release();
    }, name_the_position);
}

}  // namespace

PyMethodDef backtest_definition = py::keyword_function("backtest_", backtest,
    "backtest_($module, price_values, close_values, high_values, low_values, open_values, "
    "price_index, price_columns, pos_values, pos_index, pos_columns, resample, "
    "fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=org_np.inf, "
    "trail_stop=org_np.inf, trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
    "retain_cost_when_rebalance=False, stop_trading_next_period=True, vexal_window=0, "
    "vexal_window_step=1, periodically_rebalance=True, delisting_bars=None)\n"
    "--\n\n"
    "Simulate a portfolio that follows target weights, bar by bar, from a\n"
    "capital of 1.0, and return its value at each bar's close (float64, one\n"
    "value per price bar).\n\n"
    "Price matrices are float64 [bar, price column]; pos_values is float64\n"
    "[target row, position column]; price_index, pos_index and resample are\n"
    "int64 nanosecond timestamps; price_columns and pos_columns are object\n"
    "arrays of labels (matched by their UTF-8 encoding). A target row dated\n"
    "before the next bar is traded at that bar's trade price when the\n"
    "resample calendar allows a rebalance. fee_ratio is paid on every trade,\n"
    "tax_ratio in addition on sales. stop_loss/take_profit are numbers,\n"
    "per-column sequences, (bars, columns) arrays or tolvane._stops.StopTable.\n"
    "The run's trades are left in tolvane.core.vexal and the pending stock\n"
    "operations in get_stock_operations().");

}  // namespace tolvane::ravelin
