// Exit rules: stop-loss, take-profit and trailing-stop thresholds, tested on
// the close (the exit is queued for the next bar) or, with touched exits,
// against the bar's open, high and low (the exit happens inside the bar).
#include <cmath>

#include "native/simulation.hpp"

namespace tolvane::native {

Thresholds Simulation::thresholds(int sid, double entry_pos, BarRows& rows) const {
    const double stop_loss = std::abs(rows.stop_loss[sid]);
    const double take_profit = std::abs(rows.take_profit[sid]);
    Thresholds limits{};
    if (entry_pos > 0) {
        const bool trailing = maxcr_[sid] >= 1 + trail_stop_activation_abs_;
        limits.upper = 1 + take_profit;
        limits.lower = 1 - stop_loss;
        if (trailing && maxcr_[sid] - trail_stop_abs_ > limits.lower) {
            limits.lower = maxcr_[sid] - trail_stop_abs_;
        }
    } else {
        // A short, or a zero book entry left by an exit inside an earlier bar.
        const bool trailing = mincr_[sid] <= 1 - trail_stop_activation_abs_;
        limits.upper = 1 + stop_loss;
        if (trailing && mincr_[sid] + trail_stop_abs_ < limits.upper) {
            limits.upper = mincr_[sid] + trail_stop_abs_;
        }
        limits.lower = 1 - take_profit;
    }
    return limits;
}

// Queues an exit for the next bar when the ratio at the close crosses a
// threshold: the upper one (>=) as a positive record, the lower one (<) as a
// negative record. NaN prices compare false and queue nothing. `quotes` holds
// the stock's gathered prices, if they were gathered.
void Simulation::test_exit_at_close(int sid, int column, const Thresholds& limits, BarRows& rows,
                                    const HeldQuotes* quotes) {
    const double close = quotes ? quotes->close : rows.close[column];
    const double price = quotes ? quotes->price : rows.price[column];
    const double ratio_at_close = cr_[sid] * close / price;
    if (ratio_at_close >= limits.upper) {
        exit_stocks_temp_.push_back({sid, true});
    } else if (ratio_at_close < limits.lower) {
        exit_stocks_temp_.push_back({sid, false});
    }
}

// Sells inside the bar when its range reaches a threshold: at the open if the
// bar gaps through one, else at the upper threshold, else at the lower one.
// The book entry stays at 0 (the caller is iterating over the book).
void Simulation::test_exit_touched(int sid, int column, double r, double entry_pos,
                                   const Thresholds& limits, BarRows& rows,
                                   TradeRecorder& recorder) {
    const double base = previous_price_[column];
    const double ratio_before = cr_[sid] / r;
    const double high_r = ratio_before * (rows.high[column] / base);
    const double low_r = ratio_before * (rows.low[column] / base);
    const double open_r = ratio_before * (rows.open[column] / base);
    const bool touch_low = low_r <= limits.lower;
    const bool touch_high = high_r >= limits.upper;
    const bool touch_open = open_r >= limits.upper || open_r <= limits.lower;
    if (!(touch_low || touch_high || touch_open)) return;

    double& value = book_.at(sid);
    if (touch_open) {
        value = entry_pos * open_r;
    } else if (touch_high) {
        value = entry_pos * limits.upper;
    } else {
        value = entry_pos * limits.lower;
    }
    const bool losing_side = (touch_low && value > 0) || (touch_high && value < 0);
    exited_stocks_.push_back({sid, !losing_side});
    cash_ = set_position(book_, sid, 0, cash_, options_.costs, recorder, {false, false});
}

// Carries out the exits queued at the previous bar, before this bar's
// rebalance. An exit is dropped when the stock is already flat, or when the
// due rebalance may re-enter it and its target still holds it.
void Simulation::execute_queued_exits(TradeRecorder& recorder) {
    for (const ExitRecord& queued : exit_stocks_) {
        const int sid = queued.sid;
        const bool will_be_set_by_rebalance = should_rebalance_ &&
                                              !options_.stop_trading_next_period &&
                                              market_.pos_values(pos_id_, sid) != 0;
        if (!book_.contains(sid) || book_.at(sid) == 0 || will_be_set_by_rebalance) continue;
        cash_ = set_position(book_, sid, 0, cash_, options_.costs, recorder, {false, true});
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

}  // namespace tolvane::native
