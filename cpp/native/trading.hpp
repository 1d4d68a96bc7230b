// Trading in the book of fractions (values are shares of a starting capital
// of 1.0): moving one holding to a target value with fees, taxes and
// slippage, and rebalancing the whole book to a row of target weights.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

#include "native/exit_reason.hpp"
#include "native/order.hpp"
#include "native/position_book.hpp"
#include "native/stock_costs.hpp"
#include "native/strided_view.hpp"
#include "native/trade_recorder.hpp"

namespace tolvane::native {

inline constexpr double kNoPrice = std::numeric_limits<double>::quiet_NaN();

struct PositionUpdate {
    bool check_null = true;  // look `sid` up (false: assume it is present)
    bool set_null = false;   // remove the entry when it ends at zero
    double balance = 1.0;    // divisor that turns the target into the recorded weight
    ExitReason exit_reason = ExitReason::Rebalance;  // reported when the position ends
    // The stock's price where the book trades it: its orders fill there, with
    // slippage. Read only for a recorder that keeps the book.
    double price = kNoPrice;
};

// Selling a long holding worth `held` at the market price, or buying back a
// short one, at once: the holding's worth at the fill price (signed as
// `held`) and what the trade brings in cash, less fee and tax.
struct Closing {
    double traded;
    double proceeds;
};

inline Closing closing_trade(double held, const Costs& costs) noexcept {
    // Times 1 exactly when there is no slippage.
    const double traded = held > 0 ? held * (1 - costs.slippage) : held * (1 + costs.slippage);
    return {traded, traded - std::abs(traded) * (costs.fee_ratio + costs.tax_ratio)};
}

// The weight reported with an entry: the target as a share of `balance`
// (raises HostDivisionByZero for a zero balance).
double entry_weight(double position, double balance);

// Tells `recorder` how the holding of `sid` changes (`had`: it held a
// position, `has`: it holds one after the trade, of value `position` of a
// portfolio worth `balance`): an entry, an exit, or, for a position that
// stays, the end of its trade and the start of the next when the recorder
// splits resized positions. A recorder that keeps the book also hears of
// `order` (null: nothing traded) and, at a split, of `carry`.
template <TradeRecorder Recorder>
void report_change(Recorder& recorder, int sid, bool had, bool has, double position, double balance,
                   ExitReason reason, const Order* order, const Carry& carry) {
    const auto tell_order = [&] {
        if constexpr (BookRecorder<Recorder>) {
            if (order) recorder.order(*order);
        }
    };
    if (!had && has) {
        recorder.entered(sid, entry_weight(position, balance), true);
        tell_order();
    } else if (had && !has) {
        tell_order();
        recorder.exited(sid, true, reason);
    } else if (had && has) {
        if (recorder.split_resized_positions()) {
            if constexpr (BookRecorder<Recorder>) recorder.carried(sid, carry);
            recorder.exited(sid, false, ExitReason::Rebalance);
            recorder.entered(sid, entry_weight(position, balance), false);
        }
        tell_order();
    }
}

// A trade of the book of fractions, worked out before the book changes.
struct FractionTrade {
    bool touches_book;   // false: a zero target for a stock not in the book
    double cash_change;  // what the trade adds to cash (x - y is x + (-y), to the bit)
    double held;         // the holding's value after the trade
    int side;           // +1 buy, -1 sale, 0 nothing traded
    double value;       // what changed hands at the fill price
    double fee;
    double tax;
};

// Moving a holding of value `held` to `position`. A buy pays `amount` (the
// target less the holding) from cash; its fee (and tax, when it reduces a
// short) comes out of that amount, and the rest buys at the fill price. A
// sale brings the amount at the fill price less its fee (and tax, unless it
// opens or grows a short). A zero target sells the holding at once (fee and
// tax). Without slippage this is the arithmetic of backtest_, to the bit.
inline FractionTrade fraction_trade(double held, double position, bool exist, const Costs& costs) noexcept {
    if (position == 0) {
        if (!exist) return {false, 0.0, held, 0, 0.0, 0.0, 0.0};
        const Closing closing = closing_trade(held, costs);
        const double value = std::abs(closing.traded);
        return {true, closing.proceeds, 0.0, closing.traded > 0 ? -1 : (closing.traded < 0 ? 1 : 0),
                value, value * costs.fee_ratio, value * costs.tax_ratio};
    }
    const double amount = position - held;
    const bool buy = amount > 0;
    const bool grows_exposure = (position > 0 && amount > 0) || (position < 0 && amount < 0);
    if (buy) {
        const double cost = grows_exposure ? std::abs(amount) * costs.fee_ratio
                                           : std::abs(amount) * (costs.fee_ratio + costs.tax_ratio);
        // Divided by 1 exactly when there is no slippage.
        return {true, -amount, held + (amount - cost) / (1 + costs.slippage), 1, amount - cost,
                std::abs(amount) * costs.fee_ratio, grows_exposure ? 0.0 : std::abs(amount) * costs.tax_ratio};
    }
    // Times 1 exactly when there is no slippage.
    const double sold = (-amount) * (1 - costs.slippage);
    const double cost = grows_exposure ? std::abs(sold) * costs.fee_ratio
                                       : std::abs(sold) * (costs.fee_ratio + costs.tax_ratio);
    return {true, sold - cost, held + amount, sold != 0 ? -1 : 0, std::abs(sold),
            std::abs(sold) * costs.fee_ratio, grows_exposure ? 0.0 : std::abs(sold) * costs.tax_ratio};
}

// The order of a trade of the book of fractions at `market_price`, leaving
// `cash` after it.
inline Order fraction_order(int sid, const FractionTrade& trade, ExitReason reason, double market_price,
                            double cash, const Costs& costs) noexcept {
    const double price = fill_price(market_price, trade.side, costs.slippage);
    return {sid, trade.side, reason, trade.value / price, price, trade.value, trade.fee, trade.tax, cash,
            market_price};
}

// Moves the holding of `sid` to `position`, settles cash and costs
// (fraction_trade) and reports the entry or exit to `recorder`. Returns the
// new cash.
template <TradeRecorder Recorder>
double set_position(PositionBook& book, int sid, double position, double cash, Costs costs,
                    Recorder& recorder, PositionUpdate update = {}) try {
    const bool exist = update.check_null ? book.contains(sid) : true;
    const bool had_position = book.contains(sid) && book.at(sid) != 0;
    const bool has_position = position != 0;  // NaN counts as a position
    const double held = book.contains(sid) ? book.at(sid) : 0.0;
    const FractionTrade trade = fraction_trade(held, position, exist, costs);
    const double new_cash = cash + trade.cash_change;

    if constexpr (BookRecorder<Recorder>) {
        const Order order = fraction_order(sid, trade, update.exit_reason, update.price, new_cash, costs);
        const Carry carry{held, update.price, trade.held / update.price};
        report_change(recorder, sid, had_position, has_position, position, update.balance, update.exit_reason,
                      trade.side != 0 ? &order : nullptr, carry);
    } else {
        report_change(recorder, sid, had_position, has_position, position, update.balance, update.exit_reason,
                      nullptr, Carry{});
    }

    if (!trade.touches_book) return cash;
    if (position == 0) {
        if (update.set_null) {
            book.erase(sid);
        } else {
            book[sid] = 0;
        }
        return new_cash;
    }
    book[sid] = trade.held;
    if (update.set_null && trade.held == 0) book.erase(sid);
    return new_cash;
}
TOLVANE_PASSED_THROUGH("set_position")

// sum(|x|) exactly as NumPy's add reduction computes it (pairwise summation
// in blocks of eight, starting from 0.0).
double absolute_sum(StridedView1D<double> values);

// The targets of a rebalance: each weight times the portfolio value (scaled
// down when the absolute weights add up to more than 1), clipped to
// +-position_limit of the portfolio value.
class RebalanceTargets {
public:
    RebalanceTargets(const PositionBook& book, StridedView1D<double> weights, double cash,
                     double position_limit) noexcept
        : weights_(weights), elements_(weights.contiguous_elements()) {
        balance_ = cash;
        for (int sid : book.sids()) balance_ += book.at(sid);
        const double total = absolute_sum(weights);
        ratio_ = balance_ / (1 > total ? 1.0 : total);
        if (std::isnan(ratio_)) ratio_ = 1.0;
        limit_ = position_limit * balance_;
    }

    // The portfolio value the targets share: cash and the book's values.
    double balance() const noexcept { return balance_; }
    std::ptrdiff_t size() const noexcept { return weights_.size(); }

    // The target value of `sid`. Most columns of a wide row are neither
    // targeted nor held: a contiguous row is read without a check per element.
    double operator[](std::ptrdiff_t sid) const {
        return (elements_ ? elements_[sid] : weights_[sid]) * ratio_;
    }

    // `target` clipped to the position limit.
    double clipped(double target) const noexcept {
        return std::abs(target) > limit_ ? limit_ * (target > 0 ? 1 : -1) : target;
    }

private:
    StridedView1D<double> weights_;
    const double* elements_;
    double balance_;
    double ratio_;
    double limit_;
};

// The prices of a rebalance for a recorder that does not keep the book.
struct NoPrices {
    double operator()(int) const noexcept { return kNoPrice; }
};

// Sets every position column to its target value (RebalanceTargets), in
// column order, each stock paying its own costs; `price_of(sid)` is the
// price the book trades `sid` at (read only for a recorder that keeps the
// book). Returns cash.
template <TradeRecorder Recorder, class PriceOf = NoPrices>
double rebalance(PositionBook& book, StridedView1D<double> weights, double cash, const StockCosts& costs,
                 double position_limit, Recorder& recorder, const PriceOf& price_of = {}) try {
    const RebalanceTargets targets(book, weights, cash, position_limit);
    for (std::ptrdiff_t column = 0; column < targets.size(); ++column) {
        const int sid = static_cast<int>(column);
        const double target = targets[column];
        // A zero target for a stock not held changes nothing (set_position
        // would look it up, find nothing and return the cash unchanged).
        if (target == 0 && !book.contains(sid)) continue;
        PositionUpdate update{true, true, targets.balance(), ExitReason::Rebalance};
        if constexpr (BookRecorder<Recorder>) update.price = price_of(sid);
        cash = set_position(book, sid, targets.clipped(target), cash, costs.of(sid), recorder, update);
    }
    return cash;
}
TOLVANE_PASSED_THROUGH("rebalance")

}  // namespace tolvane::native
