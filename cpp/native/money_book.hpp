// The book kept in money: shares per stock and cash, from a capital.
//
// The position book holds each stock's value at its last known trade price
// (shares * price); this class holds the shares and carries out the orders.
// Every order of stock s of `value` (shares * fill price) costs
//     fee = max(fee_min[s], value * fee_ratio[s]) + fee_fixed[s]
//     tax = value * tax_ratio[s]            on sales only (short sales too)
// and fills at price * (1 + slippage[s]) for a buy, price * (1 - slippage[s])
// for a sale. A sale never costs more than it brings: its fee is cut to what
// its value leaves after the tax. A buy takes value + fee from cash, a sale
// brings value - fee - tax (a short sale's proceeds go to cash).
//
// A rebalance (rebalance()) turns each target value (RebalanceTargets) into
// shares at the stock's price, rounded toward zero to whole lots, then sells
// first (ascending stock), then buys (ascending stock). When the purchases
// and their fees would cost more than the cash after the sales, all
// purchases are scaled by one factor k, the largest that the cash pays for
// (purchase_scale()), and then rounded down to whole lots; a purchase that
// rounding still leaves a little above the cash left is cut to what the cash
// pays. So a rebalance never takes cash below zero. An exit sells (or buys
// back) the whole holding; buying back a short is paid even when it takes
// cash below zero.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>
#include <vector>

#include "native/failure.hpp"
#include "native/order.hpp"
#include "native/position_book.hpp"
#include "native/stock_costs.hpp"
#include "native/trade_recorder.hpp"
#include "native/trading.hpp"

namespace tolvane::native {

// The fee and tax of an order of `value` at its fill price (see above).
struct OrderCharges {
    double fee;
    double tax;
};

OrderCharges money_charges(double value, bool sale, const StockCosts& costs, int sid) noexcept;

// `shares` rounded toward zero to whole lots of `lot` (0: as they are). A
// count of lots within a relative 1e-9 of a whole number is that number: the
// division of a target value by a price may fall an ulp short of it.
double whole_lots(double shares, double lot) noexcept;

// A purchase of a rebalance, before scaling: its value at the fill price and
// its stock's fee terms.
struct Purchase {
    double value;
    double fee_ratio;
    double fee_min;
    double fee_fixed;
};

// The largest k in [0, 1] for which the purchases scaled by k and their fees,
// sum over j of (k * value_j + max(fee_min_j, k * value_j * fee_ratio_j) +
// fee_fixed_j), cost no more than `cash`: 1 when they all fit, 0 when even
// their minimum fees do not. The cost grows piecewise linearly in k, bending
// where a proportional fee overtakes its minimum; k is solved on the piece
// where the cost reaches the cash.
double purchase_scale(std::span<const Purchase> purchases, double cash);

// At most `shares` of `sid` at `price` (whole lots), as many as `cash`
// pays for with their fee.
double affordable_purchase(double shares, double price, double cash, const StockCosts& costs, int sid) noexcept;

class MoneyBook {
public:
    explicit MoneyBook(std::size_t columns) : shares_(columns, 0.0) {}

    double shares(int sid) const noexcept { return shares_[sid]; }
    void set_shares(int sid, double shares) noexcept { shares_[sid] = shares; }

    // A holding's value follows its shares at each known trade price (a
    // missing price leaves the value at the last known one).
    static void mark(double& value, double shares, double price) noexcept {
        if (!std::isnan(price)) value = shares * price;
    }

    // Selling (or buying back) `shares` of `sid` at `market_price`.
    static Sale sale_of(int sid, double shares, double market_price, ExitReason reason,
                             const StockCosts& costs) noexcept;

    // Sells the whole holding of `sid` at `market_price` for `reason` and
    // reports it; the book keeps a zero entry (`keep_entry`) or drops it.
    // Returns the new cash.
    template <TradeRecorder Recorder>
    double close(PositionBook& book, int sid, double market_price, ExitReason reason, bool keep_entry,
                 double cash, const StockCosts& costs, Recorder& recorder);

    // Rebalances the book to `weights` (see above); `price_of(sid)` is the
    // price the book trades `sid` at (NaN: none, and a stock not held is not
    // bought). Returns the new cash.
    template <TradeRecorder Recorder, class PriceOf>
    double rebalance(PositionBook& book, StridedView1D<double> weights, double cash, const StockCosts& costs,
                     double position_limit, const PriceOf& price_of, Recorder& recorder);

private:
    // One stock's part in a rebalance.
    struct Planned {
        int sid;
        double price;   // where the book trades it
        double shares;  // the shares it is to hold
    };

    // Moves `plan.sid` to `plan.shares` by an order of `change` shares (none
    // when it is 0) and reports it. Returns the new cash. The change is
    // passed, not taken as plan.shares minus the shares held: that
    // difference may round an ulp above the purchase the cash was checked
    // to pay for.
    template <TradeRecorder Recorder>
    double trade(PositionBook& book, const Planned& plan, double change, double cash, double balance,
                 const StockCosts& costs, Recorder& recorder);

    std::vector<double> shares_;  // per position column
    std::vector<Planned> plan_;   // the rebalance under way
    std::vector<Purchase> purchases_;
};

template <TradeRecorder Recorder>
double MoneyBook::close(PositionBook& book, int sid, double market_price, ExitReason reason, bool keep_entry,
                        double cash, const StockCosts& costs, Recorder& recorder) {
    Sale sale = sale_of(sid, shares_[sid], market_price, reason, costs);
    sale.order.cash = cash + sale.proceeds;
    report_change(recorder, sid, book.at(sid) != 0, false, 0.0, 1.0, reason,
                  sale.order.side != 0 ? &sale.order : nullptr, Carry{});
    shares_[sid] = 0;
    if (keep_entry) {
        book.at(sid) = 0;
    } else {
        book.erase(sid);
    }
    return sale.order.cash;
}

template <TradeRecorder Recorder>
double MoneyBook::trade(PositionBook& book, const Planned& plan, double change, double cash, double balance,
                        const StockCosts& costs, Recorder& recorder) {
    const int sid = plan.sid;
    const double held = book.contains(sid) ? book.at(sid) : 0.0;
    Order order{sid, 0, ExitReason::Rebalance, std::abs(change), 0.0, 0.0, 0.0, 0.0, cash, plan.price};
    if (change != 0) {
        order.side = change > 0 ? 1 : -1;
        order.price = fill_price(plan.price, order.side, costs.slippage[sid]);
        order.value = order.quantity * order.price;
        const OrderCharges charges = money_charges(order.value, order.side < 0, costs, sid);
        order.fee = charges.fee;
        order.tax = charges.tax;
        order.cash = cash + cash_flow(order);
    }
    const double value = plan.shares * plan.price;
    report_change(recorder, sid, held != 0, plan.shares != 0, value, balance, ExitReason::Rebalance,
                  order.side != 0 ? &order : nullptr, Carry{held, plan.price, plan.shares});
    shares_[sid] = plan.shares;
    if (plan.shares == 0) {
        book.erase(sid);
    } else if (change != 0) {
        book[sid] = value;
    }
    return order.cash;
}

template <TradeRecorder Recorder, class PriceOf>
double MoneyBook::rebalance(PositionBook& book, StridedView1D<double> weights, double cash,
                            const StockCosts& costs, double position_limit, const PriceOf& price_of,
                            Recorder& recorder) try {
    const RebalanceTargets targets(book, weights, cash, position_limit);
    plan_.clear();
    for (std::ptrdiff_t column = 0; column < targets.size(); ++column) {
        const int sid = static_cast<int>(column);
        const double target = targets[column];
        const bool held = book.contains(sid);
        if (target == 0 && !held) continue;
        const double price = price_of(sid);
        if (std::isnan(price)) {
            // Without a price the book can trade at, a stock not held stays
            // out (its target value stays in cash); a held one is kept.
            if (held) plan_.push_back({sid, price, shares_[sid]});
            continue;
        }
        plan_.push_back({sid, price, whole_lots(targets.clipped(target) / price, costs.lot_size[sid])});
    }

    // Sales first, and the holdings that stay as they are.
    for (const Planned& plan : plan_) {
        if (!(plan.shares > shares_[plan.sid])) {
            cash = trade(book, plan, plan.shares - shares_[plan.sid], cash, targets.balance(), costs, recorder);
        }
    }

    // Then the purchases, scaled to the cash.
    purchases_.clear();
    for (const Planned& plan : plan_) {
        const double more = plan.shares - shares_[plan.sid];
        if (!(more > 0)) continue;
        const double value = more * fill_price(plan.price, 1, costs.slippage[plan.sid]);
        purchases_.push_back({value, costs.fee_ratio[plan.sid], costs.fee_min[plan.sid], costs.fee_fixed[plan.sid]});
    }
    const double scale = purchases_.empty() ? 1.0 : purchase_scale(purchases_, cash);
    for (const Planned& plan : plan_) {
        const int sid = plan.sid;
        const double held_shares = shares_[sid];
        double more = plan.shares - held_shares;
        if (!(more > 0)) continue;
        if (scale < 1) more = whole_lots(scale * more, costs.lot_size[sid]);
        more = affordable_purchase(more, plan.price, cash, costs, sid);
        cash = trade(book, {sid, plan.price, held_shares + more}, more, cash, targets.balance(), costs, recorder);
    }
    return cash;
}
TOLVANE_PASSED_THROUGH("rebalance")

}  // namespace tolvane::native
