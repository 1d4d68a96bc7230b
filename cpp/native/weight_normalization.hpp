// Normalising a set of weights for the stock operations a run reports.
#pragma once

#include <span>

namespace tolvane::native {

// Scales the weights down by their absolute total when it is above 1, then
// clips each to [-position_limit, position_limit]: the arithmetic of the
// engine's normalize_weight on a dict of floats, in its order.
void normalize_weights(std::span<double> weights, double position_limit) noexcept;

}  // namespace tolvane::native
