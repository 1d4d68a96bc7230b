// Rates that accrue with time: the borrow cost of short positions and the
// interest on cash. This is the one place where they apply.
#pragma once

namespace tolvane::native {

// Rates per bar (the caller converts yearly rates with its bars per year).
struct Rates {
    double borrow = 0.0;  // paid on the value of every short position
    double cash = 0.0;    // earned on cash, when cash is positive

    bool any() const noexcept { return borrow != 0 || cash != 0; }
};

// Cash after one bar's accrual, taken at the bar's close: after the bar's
// trades (exits, rebalance, delisting) and before its valuation, on every
// bar the run simulates (from the first target row on). `short_value` is the
// sum of the short positions' values at the close (<= 0), as the valuation
// counts them. Interest is earned on the cash left after the bar's trades,
// short-sale proceeds included; cash at or below 0 earns nothing.
inline double accrue_at_close(double cash, double short_value, const Rates& rates) noexcept {
    const double interest = cash > 0 ? cash * rates.cash : 0.0;
    const double borrow_cost = -short_value * rates.borrow;
    return cash + interest - borrow_cost;
}

}  // namespace tolvane::native
