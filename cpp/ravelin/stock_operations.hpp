// The stock operations a run leaves behind: the weights in force, the next
// weights and the action pending for each stock.
#pragma once

#include "native/simulation.hpp"
#include "ravelin/input_integrity.hpp"

namespace tolvane::ravelin {

// Builds the new stock_operations dict from the final state of `run` and binds
// it to the module state at once (so a failure part-way leaves it partly
// filled): "actions", "weights", "next_weights", "weight_time",
// "next_weight_time". Calls the module's normalize_weight (and verifies
// `inputs` after it).
void publish_stock_operations(const native::Simulation& run, const native::MarketData& market,
                              double position_limit, bool stop_trading_next_period,
                              const InputIntegrity& inputs);

}  // namespace tolvane::ravelin
