// An order the book carries out, as a recorder that keeps the book hears of it.
#pragma once

#include <cmath>

#include "native/exit_reason.hpp"

namespace tolvane::native {

// One order. Quantities are shares in a book kept in money, and units of the
// starting capital of 1.0 (value / price) in the book of fractions.
struct Order {
    int sid;
    int side;           // +1: a buy, -1: a sale
    ExitReason reason;  // why: ExitReason::Rebalance for an entry or a resize
    double quantity;
    double price;         // the fill price: the market price with slippage
    double value;         // what the shares are worth at the fill price
    double fee;
    double tax;
    double cash;          // the book's cash after the order
    double market_price;  // the stock's price where the book trades it, before slippage
};

// The fill price of a buy (`side` +1) or a sale (-1) at `market_price`.
inline double fill_price(double market_price, int side, double slippage) noexcept {
    return side > 0 ? market_price * (1 + slippage) : market_price * (1 - slippage);
}

// What an order moves in cash: a sale brings its value less its costs, a
// buy takes its value and its costs.
inline double cash_flow(const Order& order) noexcept {
    return order.side > 0 ? -(order.value + order.fee + order.tax) : order.value - order.fee - order.tax;
}

// The sale of a whole holding (or the buy-back of a short one), worked out
// before the book changes.
struct Sale {
    double proceeds;  // the change in cash
    Order order;      // its cash not yet known; side 0: nothing traded
};

// A held position where a rebalance splits its trade into two records: the
// old record ends with the holding worth `value` at `price`, the new one
// starts from there, holding `quantity` once the rebalance's order (if any)
// is carried out.
struct Carry {
    double value;
    double price;
    double quantity;
};

}  // namespace tolvane::native
