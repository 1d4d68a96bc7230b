// A held position between trades: it follows its stock's trade price bar by
// bar, and is valued at the bar's close for the portfolio's value.
#pragma once

#include <cmath>

namespace tolvane::native {

// Moves `value` (the position) and `cr` (its price ratio since entry, with
// its extremes `maxcr` and `mincr`) by the bar's price ratio `price / base`,
// and returns that ratio. A missing base takes the bar's price; a missing
// ratio counts as 1. `base` is the stock's last known trade price.
inline double revalue(double& value, double& cr, double& maxcr, double& mincr, double& base,
                      double price) noexcept {
    if (std::isnan(base)) base = price;
    double r = price / base;
    if (std::isnan(r)) r = 1;
    value *= r;
    cr *= r;
    if (cr > maxcr) maxcr = cr;
    if (cr < mincr) mincr = cr;
    return r;
}

// The position's value at the close: the book holds it at the trade price.
// With a missing price or close it counts at its book value.
inline double value_at_close(double value, double price, double close) noexcept {
    if (std::isnan(price) || std::isnan(close)) return value;
    return value * close / price;
}

}  // namespace tolvane::native
