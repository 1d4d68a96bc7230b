// The stock operations a run leaves behind, as the dict get_stock_operations
// copies: the weights in force, the next weights and the action pending for
// each stock (decided by native/stock_operations.hpp).
#pragma once

#include "native/stock_operations.hpp"
#include "ravelin/input_integrity.hpp"

namespace tolvane::ravelin {

// Builds the new stock_operations dict from the state `end` a run ends in and
// binds it to the module state at once (so a failure part-way leaves it partly
// filled): "actions", "weights", "next_weights", "weight_time",
// "next_weight_time". Passes both weight dicts through the module's
// normalize_weight (and verifies `inputs` after it).
void publish_stock_operations(const native::RunEndState& end, double position_limit,
                              const InputIntegrity& inputs);

}  // namespace tolvane::ravelin
