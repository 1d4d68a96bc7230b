// A whole run with the column recorder: the equity curve, the trades with
// their excursions, the orders and the stock operations, in plain C++ (no
// Python).
#pragma once

#include <span>

#include "native/column_recorder.hpp"
#include "native/simulation.hpp"
#include "native/stock_operation_columns.hpp"

namespace tolvane::native {

struct ColumnarRunInputs {
    MarketData market;
    RunOptions options;
    std::span<const int> price_column_of;  // per position column; -1: none
    StopLevels stop_loss;
    StopLevels take_profit;
    RecorderSettings recording;  // the excursion window, split trades, book prices
};

struct ColumnarRunResult {
    TradeColumns trades;
    OrderColumns orders;
    StockOperationColumns operations;
};

// Runs the simulation (by stretches) and writes the portfolio value at each
// bar's close into `equity` (one element per bar). The caller has checked the
// inputs: every matrix covers the bars and columns it is read at, the dates
// ascend, no unpriced position column is traded. Raises the run's failures
// (an invalid trade price, a zero divisor in an excursion) as the contract's
// run would.
ColumnarRunResult run_columnar(const ColumnarRunInputs& inputs, CheckedArray<double> equity);

}  // namespace tolvane::native
