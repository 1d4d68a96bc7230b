// The stock operations a run leaves, as columns: the weights in force, the
// next weights and the action due for each stock, without Python objects.
#pragma once

#include <cstdint>
#include <vector>

#include "native/stock_operations.hpp"

namespace tolvane::native {

struct StockOperationColumns {
    // The weights applied at the latest rebalance (0 for a stock sold since),
    // by stock, normalised.
    std::vector<std::int64_t> weight_stocks;
    std::vector<double> weights;
    // The non-zero weights of the target in force at the end, normalised.
    std::vector<std::int64_t> next_weight_stocks;
    std::vector<double> next_weights;
    // One action per stock concerned, in the order a dict keyed by stock would
    // list them after the labels were set one decision after another.
    std::vector<std::int64_t> action_stocks;
    std::vector<std::uint8_t> actions;  // a StockAction
    std::int64_t weight_row;       // the target row of `weights` (-1: the run never rebalanced)
    std::int64_t next_weight_row;  // the target row in force at the end
};

// The stock operations of the state `end` that a run ends in, with the
// weights normalised natively for `position_limit` (what backtest_ leaves in
// its stock operations, with its normalize_weight).
StockOperationColumns stock_operation_columns(const RunEndState& end, double position_limit);

}  // namespace tolvane::native
