#include "native/weight_normalization.hpp"

#include <cmath>

namespace tolvane::native {

void normalize_weights(std::span<double> weights, double position_limit) noexcept {
    double total = 0.0;
    for (const double weight : weights) total = total + std::abs(weight);
    if (total > 1) {
        const double factor = 1 / total;
        for (double& weight : weights) weight = weight * factor;
    }
    for (double& weight : weights) {
        if (weight > position_limit) {
            weight = position_limit;
        } else if (weight < -position_limit) {
            weight = -position_limit;
        }
    }
}

}  // namespace tolvane::native
