// What trading each stock costs: fee and tax ratios and slippage, and, for a
// book kept in money, a minimum fee, a fixed fee per order and lot sizes.
#pragma once

#include <utility>
#include <vector>

namespace tolvane::native {

// One value for every position column, or one value each.
class PerStock {
public:
    // Implicit: a number stands for every stock.
    PerStock(double value = 0.0) noexcept : single_(value) {}
    explicit PerStock(std::vector<double> values) noexcept : values_(std::move(values)) {}

    // The value of position column `sid` (one of those given, when given each).
    double operator[](int sid) const noexcept { return values_.empty() ? single_ : values_[sid]; }

    // Whether every stock's value is 0.
    bool all_zero() const noexcept {
        if (values_.empty()) return single_ == 0;
        for (double value : values_) {
            if (value != 0) return false;
        }
        return true;
    }

private:
    double single_ = 0.0;
    std::vector<double> values_;
};

// The costs of trading one stock, as ratios of what changes hands: a fee on
// every trade, a tax in addition on trades that reduce or close exposure (in
// the book of fractions) or on sales (in the book kept in money), and the
// slippage: a buy fills at price * (1 + slippage), a sale at
// price * (1 - slippage).
struct Costs {
    double fee_ratio;
    double tax_ratio;
    double slippage = 0.0;
};

// The costs of every stock of a run.
struct StockCosts {
    // Every stock pays `fee_ratio` and `tax_ratio` and nothing else. Implicit,
    // so that the two ratios of backtest_ initialise a run's options.
    StockCosts(double fee_ratio_, double tax_ratio_) noexcept
        : fee_ratio(fee_ratio_), tax_ratio(tax_ratio_) {}
    // Trading costs nothing.
    StockCosts() noexcept : StockCosts(0.0, 0.0) {}

    PerStock fee_ratio;
    PerStock tax_ratio;
    PerStock slippage;
    PerStock fee_min;    // money: the least fee of an order (a book kept in money only)
    PerStock fee_fixed;  // money: added to the fee of every order (likewise)
    PerStock lot_size;   // shares per lot (likewise); 0: fractional shares

    Costs of(int sid) const noexcept { return {fee_ratio[sid], tax_ratio[sid], slippage[sid]}; }
};

}  // namespace tolvane::native
