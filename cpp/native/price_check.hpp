// The check made before a trade price is used.
#pragma once

#include <cmath>
#include <limits>

#include "native/failure.hpp"

namespace tolvane::native {

// A trade would execute at a price that is zero, negative or infinite.
struct InvalidTradePrice : Failure {
    InvalidTradePrice(int sid_, int row_, double value_) : sid(sid_), row(row_), value(value_) {}
    int sid;      // the position column whose price it is
    int row;      // the price bar
    double value;
};

// A missing price (NaN) passes: the run values the position at its book value.
inline void validate_trade_price(double value, int sid, int row) {
    if (std::isnan(value)) return;
    if (std::abs(value) > std::numeric_limits<double>::max() || value <= 0) {
        InvalidTradePrice failure(sid, row, value);
        failure.passed_through("validate_trade_price");
        throw failure;
    }
}

}  // namespace tolvane::native
