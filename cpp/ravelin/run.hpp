// One run of backtest_: set-up, the bar loop and the run's results.
#pragma once

#include <array>

#include "support/buffers.hpp"

namespace tolvane::ravelin {

// The array arguments of backtest_, in parameter order.
enum ArrayArgument {
    kPriceValues,
    kCloseValues,
    kHighValues,
    kLowValues,
    kOpenValues,
    kPriceIndex,
    kPriceColumns,
    kPosValues,
    kPosIndex,
    kPosColumns,
    kResample,
    kArrayArguments
};

// backtest_'s arguments after checking and conversion.
struct BacktestArguments {
    std::array<PyObject*, kArrayArguments> arrays{};  // borrowed
    std::array<py::Buffer, kArrayArguments> buffers;
    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    PyObject* stop_loss = nullptr;  // borrowed
    PyObject* take_profit = nullptr;
    double trail_stop = 0.0;
    double trail_stop_activation = 0.0;
    bool touched_exit = false;
    double position_limit = 1.0;
    bool retain_cost_when_rebalance = false;
    PyObject* stop_trading_next_period = nullptr;
    int vexal_window = 0;
    int vexal_window_step = 1;
    bool periodically_rebalance = true;
    py::Buffer delisting_bars;  // not held when None
};

// Runs the backtest; returns the cumulative-return series.
py::Ref run_backtest(const BacktestArguments& arguments);

// backtest_'s FailureTranslator: sets ValueError "Invalid trading price for
// <label> at price row <row>: <value>. Expected a positive finite price; check
// the trading-price dataset." for an invalid trade price, the position column
// named by its label in `pos_columns`, with the attributes `stock`, `bar` and
// `price`; false for any other failure.
bool translate_run_failure(PyObject* pos_columns, const native::Failure& failure);

}  // namespace tolvane::ravelin
