// The bar loop, one bar after another: the simulation's steps within a bar
// for every held stock at once. Included by simulation.hpp.
#pragma once

#include <algorithm>
#include <cmath>

#include "native/price_check.hpp"
#include "native/revaluation.hpp"
#include "native/simulation.hpp"

namespace tolvane::native {

template <TradeRecorder Recorder>
void Simulation::run(Recorder& recorder, CheckedArray<double> creturn) {
    for (std::ptrdiff_t bar = 0; bar < market_.price_index.size(); ++bar) {
        const std::int64_t date = market_.price_index[bar];
        if (date < market_.pos_index[0]) {
            creturn.store(bar, starting_value());
            continue;
        }
        simulate_bar(bar, recorder, creturn);
    }
}

// Within a bar: revaluation and exit tests, the exits queued at the previous
// bar, the rebalance when one is due, delisting, the rates' accrual and the
// value at the close, and the choice of the target row for the next bar.
template <TradeRecorder Recorder>
void Simulation::simulate_bar(std::int64_t bar, Recorder& recorder, CheckedArray<double>& creturn) {
    recorder.bar_started(static_cast<int>(bar));
    last_bar_ = bar;
    BarRows rows{{market_.price, bar},
                 {market_.close, bar},
                 {market_.high, bar},
                 {market_.low, bar},
                 {market_.open, bar},
                 {stop_loss_.values, stop_loss_.rows[bar]},
                 {take_profit_.values, take_profit_.rows[bar]}};
    exit_stocks_temp_.clear();
    revalue_held_stocks(bar, rows, recorder);
    move_price_bases();
    execute_queued_exits(bar, recorder);
    exit_stocks_ = exit_stocks_temp_;
    if (should_rebalance_) rebalance_to_target(bar, rows, recorder);
    if (has_delisting_) close_delisted_stocks(bar, recorder);
    creturn.store(bar, value_portfolio_at_close(bar, rows, recorder));
    choose_next_target(bar);
}

// Revalues every held position by the bar's trade price (in a book kept in
// money, its shares at the price), follows its price ratio since entry and
// applies the exit rules: a close-based exit is queued for the next bar, a
// touched exit sells now (the book entry stays at 0: the loop is iterating
// over the book).
template <TradeRecorder Recorder>
void Simulation::revalue_held_stocks(std::int64_t bar, BarRows& rows, Recorder& recorder) {
    gather_held_quotes(bar);
    prices_seen_.clear();
    std::size_t held = 0;
    for (int sid : book_.sids()) {
        const int column = price_column(sid);
        const HeldQuotes* quotes = held < held_quotes_.size() ? &held_quotes_[held] : nullptr;
        ++held;
        const double price = quotes ? quotes->price : rows.price[column];
        validate_trade_price(price, sid, static_cast<int>(bar));
        prices_seen_.push_back({column, price});
        double& value = book_.at(sid);
        const double r = revalue(value, cr_[sid], maxcr_[sid], mincr_[sid], previous_price_[column], price);
        if (money_) MoneyBook::mark(value, money_->shares(sid), price);
        const double entry_pos = value / cr_[sid];  // the position valued at its entry price
        const Thresholds limits = thresholds(sid, entry_pos, rows);
        if (options_.touched_exit) {
            const double base = previous_price_[column];
            const double high = rows.high[column];
            const double low = rows.low[column];
            const double open = rows.open[column];
            const auto sale = exit_touched(sid, cr_[sid], r, entry_pos, limits, high, low, open, base);
            if (!sale) continue;
            if (money_) {
                exited_stocks_.push_back(sale->record);
                cash_ = money_->close(book_, sid, sale->price, sale->record.reason, true, cash_, options_.costs,
                                      recorder);
                continue;
            }
            value = sale->value;
            exited_stocks_.push_back(sale->record);
            cash_ = set_position(book_, sid, 0, cash_, options_.costs.of(sid), recorder,
                                 {false, false, 1.0, sale->record.reason, sale->price});
        } else {
            const double close = quotes ? quotes->close : rows.close[column];
            const double close_price = quotes ? quotes->price : rows.price[column];
            const Crossing crossing = crossing_at_close(cr_[sid], close, close_price, limits);
            if (crossing != Crossing::None) exit_stocks_temp_.push_back(exit_record(sid, crossing, limits));
        }
    }
}

// Carries out the exits queued at the previous bar, before this bar's
// rebalance. An exit is dropped when the stock is already flat, or when the
// due rebalance may re-enter it and its target still holds it.
template <TradeRecorder Recorder>
void Simulation::execute_queued_exits(std::int64_t bar, Recorder& recorder) {
    for (const ExitRecord& queued : exit_stocks_) {
        const int sid = queued.sid;
        const bool will_be_set_by_rebalance = should_rebalance_ &&
                                              !options_.stop_trading_next_period &&
                                              market_.pos_values(pos_id_, sid) != 0;
        if (!book_.contains(sid) || book_.at(sid) == 0 || will_be_set_by_rebalance) continue;
        sell_holding(sid, bar, queued.reason, recorder);
        exited_stocks_.push_back(queued);
        reset_trackers(sid);
        // The close test of this bar may have queued the stock just sold.
        for (auto pending = exit_stocks_temp_.begin(); pending != exit_stocks_temp_.end(); ++pending) {
            if (pending->sid == sid) {
                exit_stocks_temp_.erase(pending);
                break;
            }
        }
    }
}

template <TradeRecorder Recorder>
void Simulation::rebalance_to_target(std::int64_t bar, BarRows& rows, Recorder& recorder) {
    const StridedView1D<double> target = market_.pos_values.row(pos_id_);
    // Without retained costs every stock's trackers restart at 1. Only the
    // stocks in the book read theirs, and a stock enters the book only at a
    // rebalance: resetting those the rebalance leaves in the book (below) is
    // the same as resetting all.
    if (options_.retain_cost_when_rebalance) {
        // A new entry or a change of side starts afresh; a held position that
        // keeps its side keeps its history.
        for (std::ptrdiff_t sid = 0; sid < target.size(); ++sid) {
            const double weight = target[sid];
            const int id = static_cast<int>(sid);
            if (weight != 0 && (!book_.contains(id) || book_.at(id) * weight <= 0)) reset_trackers(id);
        }
    }

    rebalance_row_.resize(static_cast<std::size_t>(target.size()));
    if (const double* weights = target.contiguous_elements()) {
        std::copy(weights, weights + target.size(), rebalance_row_.begin());
    } else {
        const CheckedRange<double> row = target.range(0, target.size());
        for (std::ptrdiff_t sid = 0; sid < target.size(); ++sid) rebalance_row_[sid] = row[sid];
    }
    // A stock stopped out since the latest rebalance is not bought back now.
    if (options_.stop_trading_next_period) {
        for (const ExitRecord& exited : exited_stocks_) rebalance_row_[exited.sid] = 0;
    }
    // A delisted stock is not entered: buying it would only sell it again.
    if (has_delisting_ && !options_.enter_delisted) {
        for (std::ptrdiff_t sid = 0; sid < target.size(); ++sid) {
            const std::int64_t delisted_at = (*options_.delisting_bars)[sid];
            const int id = static_cast<int>(sid);
            if (delisted_at >= 0 && delisted_at <= bar && !(book_.contains(id) && book_.at(id) != 0)) {
                rebalance_row_[sid] = 0;
            }
        }
    }
    const StridedView1D<double> weights(reinterpret_cast<const char*>(rebalance_row_.data()),
                                        target.size(), sizeof(double));
    const auto price_of = [this, bar](int sid) { return book_price(sid, bar); };
    if (money_) {
        cash_ = money_->rebalance(book_, weights, cash_, options_.costs, options_.position_limit, price_of,
                                  recorder);
    } else {
        cash_ = rebalance(book_, weights, cash_, options_.costs, options_.position_limit, recorder, price_of);
    }
    if (!options_.retain_cost_when_rebalance) {
        for (int sid : book_.sids()) reset_trackers(sid);
    }

    latest_rebalanced_sids_ = book_.sids();
    rows.price.view();  // the bar's row of trade prices must exist: the bases restart from it
    restart_price_bases(bar);
    exited_stocks_.clear();
    current_position_id_ = pos_id_;
}

// Sells, after the rebalance, every held stock delisted at this bar.
template <TradeRecorder Recorder>
void Simulation::close_delisted_stocks(std::int64_t bar, Recorder& recorder) {
    std::vector<int> delisted;
    for (int sid : book_.sids()) {
        if ((*options_.delisting_bars)[sid] == bar && book_.at(sid) != 0) delisted.push_back(sid);
    }
    for (int sid : delisted) {
        sell_holding(sid, bar, ExitReason::Delisting, recorder);
        reset_trackers(sid);
    }
}

// Sells the whole holding of `sid` at the price the book trades it at, and
// drops it from the book.
template <TradeRecorder Recorder>
void Simulation::sell_holding(int sid, std::int64_t bar, ExitReason reason, Recorder& recorder) {
    // Only a book kept in money, or a recorder of its orders, needs the price.
    const double price = money_ || BookRecorder<Recorder> ? book_price(sid, bar) : kNoPrice;
    if (money_) {
        cash_ = money_->close(book_, sid, price, reason, false, cash_, options_.costs, recorder);
    } else {
        cash_ = set_position(book_, sid, 0, cash_, options_.costs.of(sid), recorder, {false, true, 1.0, reason, price});
    }
}

// The portfolio value at the close (the book itself stays at trade prices),
// after the rates' accrual; the recorder sees each held stock's close.
template <TradeRecorder Recorder>
double Simulation::value_portfolio_at_close(std::int64_t bar, BarRows& rows, Recorder& recorder) {
    if (options_.rates.any()) {
        cash_ = accrue_at_close(cash_, options_.rates.borrow != 0 ? short_value_at_close(rows) : 0.0,
                                options_.rates);
    }
    double balance = cash_;
    for (int sid : book_.sids()) {
        const int column = price_column(sid);
        const double trade_price = rows.price[column];
        validate_trade_price(trade_price, sid, static_cast<int>(bar));
        const double close_price = rows.close[column];
        balance += value_at_close(book_.at(sid), trade_price, close_price);
        recorder.closes_of(sid).seen(static_cast<int>(bar), close_price);
    }
    return balance;
}

}  // namespace tolvane::native
