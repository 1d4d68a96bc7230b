// The bar loop by stretches: between two rebalances nothing couples the held
// stocks but cash and the portfolio's value, so a stretch of bars without a
// rebalance is walked one held stock at a time, down its columns, with its
// state in locals. The stock's sales and values are then settled in the bar
// loop's order: cash, the exits since the latest rebalance, the recorder's
// exits, the portfolio's value at each close, and the earliest failure.
// Included by simulation.hpp.
#pragma once

#include <algorithm>
#include <cmath>

#include "native/price_check.hpp"
#include "native/revaluation.hpp"
#include "native/simulation.hpp"

namespace tolvane::native {
namespace stretch_detail {

// At most this many values at the close are kept at once: a longer stretch
// is walked in parts, so that they stay in cache.
inline constexpr std::size_t kCloseValuesPerPart = std::size_t{1} << 16;

// How many bars of a stock's columns are fetched ahead, while the stock
// before it is walked: enough for the processor to follow on its own.
inline constexpr std::ptrdiff_t kBarsFetchedAhead = 32;

}  // namespace stretch_detail

template <TradeRecorder Recorder>
void Simulation::run_by_stretches(Recorder& recorder, CheckedArray<double> creturn) {
    const std::ptrdiff_t bars = market_.price_index.size();
    std::ptrdiff_t bar = 0;
    // The bars dated before the first target row lead (the dates ascend).
    for (; bar < bars && market_.price_index[bar] < market_.pos_index[0]; ++bar) {
        creturn.store(bar, starting_value());
    }
    while (bar < bars) {
        if (should_rebalance_) {
            simulate_bar(bar, recorder, creturn);
            ++bar;
            continue;
        }
        // The stretch runs up to the bar that rebalances; the target rows
        // chosen on the way depend on the dates only.
        const std::ptrdiff_t first = bar;
        do {
            choose_next_target(bar);
            ++bar;
        } while (bar < bars && !should_rebalance_);
        const std::size_t held = std::max<std::size_t>(book_.sids().size(), 1);
        const auto part = static_cast<std::ptrdiff_t>(
            std::max<std::size_t>(stretch_detail::kCloseValuesPerPart / held, 1));
        for (std::ptrdiff_t start = first; start < bar; start += part) {
            walk_stretch(start, std::min(start + part, bar), recorder, creturn);
        }
    }
}

template <TradeRecorder Recorder>
void Simulation::walk_stretch(std::int64_t first, std::int64_t end, Recorder& recorder,
                              CheckedArray<double>& creturn) {
    const auto bars = static_cast<std::size_t>(end - first);
    const std::vector<int>& held = book_.sids();
    stretch_.stocks.resize(held.size());
    stretch_.close_values.resize(held.size() * bars);
    stretch_.sales.clear();
    stretch_.cash.resize(bars);
    stretch_.short_values.assign(options_.rates.any() ? bars : 0, 0.0);
    stretch_.failure.reset();
    // Each stock's walk starts where its columns are far from the last
    // stock's: their first bars are fetched while the stock before walks.
    const auto fetch_ahead = [&](std::size_t slot) {
        if (slot >= held.size()) return;
        const int column = price_column_of_[held[slot]];
        if (column < 0 || column >= market_.price.columns()) return;
        const std::ptrdiff_t until = std::min(end, first + stretch_detail::kBarsFetchedAhead);
        for (const StridedView2D<double>* matrix : {&market_.price, &market_.close}) {
            matrix->column(column).prefetch(first, until);
        }
        if (options_.touched_exit) {
            for (const StridedView2D<double>* matrix : {&market_.high, &market_.low, &market_.open}) {
                if (column < matrix->columns()) matrix->column(column).prefetch(first, until);
            }
        }
    };
    fetch_ahead(0);
    auto queued = exit_stocks_.begin();  // both ascend by stock
    for (std::size_t slot = 0; slot < held.size(); ++slot) {
        fetch_ahead(slot + 1);
        const int sid = held[slot];
        while (queued != exit_stocks_.end() && queued->sid < sid) ++queued;
        std::optional<ExitRecord> queued_exit;
        if (queued != exit_stocks_.end() && queued->sid == sid) queued_exit = *queued;
        walk_stock(stretch_.stocks[slot], sid, queued_exit, first, end,
                   stretch_.close_values.data() + slot * bars, recorder);
    }
    settle_stretch(first, end, recorder, creturn);
}

// One held stock across the stretch: the bar loop's steps for it, bar after
// bar (walk_bars), then its open trade's excursion over the closes it was
// held at. A sale is kept for settling; a failure ends the stock's walk and
// is kept if it comes first in the run's order. A failure is placed at its
// bar's revaluation, where the failures of valid inputs arise (an invalid
// trade price).
template <TradeRecorder Recorder>
void Simulation::walk_stock(StockWalk& stock, int sid, std::optional<ExitRecord> queued,
                            std::int64_t first, std::int64_t end, double* close_values,
                            Recorder& recorder) {
    std::int64_t bar = first;
    stock.sid = sid;
    stock.walked = {first - 1, first - 1, end, false};
    CheckedRange<double> closes;
    const auto keep_failure = [&] {
        const RunOrder at{bar, BarStep::Revaluation, sid};
        if (!stretch_.failure || at < stretch_.failure->when) {
            stretch_.failure = StretchFailure{at, std::current_exception()};
        }
    };
    try {
        stock.column = price_column(sid);
        const int column = stock.column;
        stock.state = {book_.at(sid),
                       cr_[sid],
                       maxcr_[sid],
                       mincr_[sid],
                       previous_price_[column],
                       money_ ? money_->shares(sid) : 0.0,
                       queued.has_value(),
                       queued.value_or(ExitRecord{sid, false, ExitReason::Rebalance})};
        // Each stock reads its columns over the stretch's bars only.
        closes = market_.close.column(column).range(first, end);
        const StockColumns columns{
            market_.price.column(column).range(first, end),
            closes,
            options_.touched_exit ? market_.high.column(column).range(first, end) : CheckedRange<double>{},
            options_.touched_exit ? market_.low.column(column).range(first, end) : CheckedRange<double>{},
            options_.touched_exit ? market_.open.column(column).range(first, end) : CheckedRange<double>{},
            stop_loss_.rows.range(first, end),
            take_profit_.rows.range(first, end),
            has_delisting_ ? (*options_.delisting_bars)[sid] : -1,
            column,
        };
        double* short_values = options_.rates.borrow != 0 ? stretch_.short_values.data() - first : nullptr;
        if (options_.touched_exit) {
            walk_bars<true>(stock.state, sid, bar, end, columns, close_values - first, short_values, stock.walked);
        } else {
            walk_bars<false>(stock.state, sid, bar, end, columns, close_values - first, short_values, stock.walked);
        }
    } catch (...) {
        keep_failure();
    }
    // The open trade follows the closes seen while it was open (up to a
    // failure, too: the sales before it are settled).
    const std::int64_t trade_end = std::min(stock.walked.trade_end, stock.walked.last_held + 1);
    if (trade_end <= first) return;
    try {
        auto closes_seen = recorder.closes_of(sid);
        for (std::int64_t seen = first; seen < trade_end; ++seen) {
            closes_seen.seen(static_cast<int>(seen), closes[seen]);
        }
    } catch (...) {
        keep_failure();
    }
}

// The bar loop's steps for one stock from `bar` up to `end`: revaluation and
// exit tests (on the close, or touched inside the bar), the exit queued at
// the previous bar, delisting, the value at each close (into
// `close_values[bar]`, and, if short, added to `short_values[bar]` when they
// are given). `bar` follows the loop, for the failure's place, and `walked`
// where it stands. The state lives in locals: the loop's values stay in
// registers.
template <bool kTouched>
void Simulation::walk_bars(StockState& carried, int sid, std::int64_t& bar, std::int64_t end,
                           const StockColumns& columns, double* close_values, double* short_values,
                           StockWalkEnd& walked) {
    StockState state = carried;
    const bool in_money = money_.has_value();
    // A sale at the price the book trades the stock at, after the revaluation.
    const auto sale_at_book_price = [&](ExitReason reason) {
        const double price = book_price(columns.column, bar, columns.prices[bar], state.base);
        return sale_of(sid, state.value, state.shares, price, reason);
    };
    // The stop levels of the latest row read: most tables keep one row for many bars.
    std::ptrdiff_t stop_loss_row = -1;
    std::ptrdiff_t take_profit_row = -1;
    double stop_loss = 0.0;
    double take_profit = 0.0;
    for (; bar < end; ++bar) {
        // Revaluation and exit tests.
        const double price = columns.prices[bar];
        validate_trade_price(price, sid, static_cast<int>(bar));
        const double r = revalue(state.value, state.cr, state.maxcr, state.mincr, state.base, price);
        if (in_money) MoneyBook::mark(state.value, state.shares, price);
        const std::ptrdiff_t loss_row = columns.stop_loss_rows[bar];
        if (loss_row != stop_loss_row) {
            stop_loss = stop_loss_.values(loss_row, sid);
            stop_loss_row = loss_row;
        }
        const std::ptrdiff_t profit_row = columns.take_profit_rows[bar];
        if (profit_row != take_profit_row) {
            take_profit = take_profit_.values(profit_row, sid);
            take_profit_row = profit_row;
        }
        const Thresholds limits = exit_thresholds(long_side(state.value, state.cr), state.maxcr,
                                                  state.mincr, stop_loss, take_profit, trailing_);
        Crossing crossing = Crossing::None;
        double close = 0.0;
        if constexpr (kTouched) {
            const double high = columns.highs[bar];
            const double low = columns.lows[bar];
            const double open = columns.opens[bar];
            const double entry_pos = state.value / state.cr;  // the position valued at its entry price
            if (const auto sale = exit_touched(sid, state.cr, r, entry_pos, limits, high, low, open, state.base)) {
                // The trade ends if the stock held anything: a book kept in
                // money sells its shares, the book of fractions the sale's value.
                const bool ends_trade = (in_money ? state.value : sale->value) != 0;
                const Sale sold = sale_of(sid, sale->value, state.shares, sale->price, sale->record.reason);
                stretch_.sales.push_back({{bar, BarStep::Revaluation, sid}, sold.proceeds, ends_trade,
                                          sale->record.reason, sale->record, sold.order});
                if (ends_trade && walked.trade_end == end) walked.trade_end = bar;
                state.value = 0;  // the entry stays in the book
                state.shares = 0;
            }
        } else {
            close = columns.closes[bar];
            crossing = crossing_at_close(state.cr, close, price, limits);
        }
        if (!std::isnan(price)) state.base = price;
        walked.last_revalued = bar;

        // The exit queued at the previous bar.
        if (state.has_queued && state.value != 0) {
            const Sale sale = sale_at_book_price(state.queued.reason);
            stretch_.sales.push_back({{bar, BarStep::QueuedExits, sid}, sale.proceeds, true, state.queued.reason,
                                      state.queued, sale.order});
            state.cr = state.maxcr = state.mincr = 1;
            state.value = 0;
            state.shares = 0;
            state.has_queued = false;  // and the exit this bar decided is dropped
            walked.sold = true;
            walked.trade_end = bar;
            break;
        }
        state.has_queued = crossing != Crossing::None;
        if (state.has_queued) state.queued = exit_record(sid, crossing, limits);

        // Delisting, after the (absent) rebalance.
        if (bar == columns.delisting_bar && state.value != 0) {
            const Sale sale = sale_at_book_price(ExitReason::Delisting);
            stretch_.sales.push_back({{bar, BarStep::Delisting, sid}, sale.proceeds, true, ExitReason::Delisting,
                                      std::nullopt, sale.order});
            state.cr = state.maxcr = state.mincr = 1;
            state.value = 0;
            state.shares = 0;
            walked.sold = true;
            walked.trade_end = bar;
            break;
        }

        // The value at the close.
        if constexpr (kTouched) close = columns.closes[bar];
        const double value = value_at_close(state.value, price, close);
        close_values[bar] = value;
        if (short_values && value < 0) short_values[bar] += value;
        walked.last_held = bar;
    }
    carried = state;
}

// Settles the stretch in the bar loop's order: per bar, the sales in the
// order the bar loop makes them (up to the earliest failure, which is raised
// there), the rates' accrual, then the value at the close; then the stocks'
// state goes back to the book and the trackers.
template <TradeRecorder Recorder>
void Simulation::settle_stretch(std::int64_t first, std::int64_t end, Recorder& recorder,
                                CheckedArray<double>& creturn) {
    std::vector<StretchSale>& sales = stretch_.sales;
    std::sort(sales.begin(), sales.end(),
              [](const StretchSale& a, const StretchSale& b) { return a.when < b.when; });
    const std::optional<StretchFailure>& failure = stretch_.failure;
    std::size_t next = 0;
    for (std::int64_t bar = first; bar < end; ++bar) {
        recorder.bar_started(static_cast<int>(bar));
        for (; next < sales.size() && sales[next].when.bar == bar; ++next) {
            const StretchSale& sale = sales[next];
            if (failure && !(sale.when < failure->when)) break;
            const double cash = cash_ + sale.proceeds;
            if constexpr (BookRecorder<Recorder>) {
                if (sale.order.side != 0) {
                    Order order = sale.order;
                    order.cash = cash;
                    recorder.order(order);
                }
            }
            if (sale.ends_trade) recorder.exited(sale.when.sid, true, sale.reason);
            cash_ = cash;
            if (sale.exited) exited_stocks_.push_back(*sale.exited);
        }
        if (failure && failure->when.bar == bar) std::rethrow_exception(failure->error);
        if (options_.rates.any()) {
            cash_ = accrue_at_close(cash_, stretch_.short_values[bar - first], options_.rates);
        }
        stretch_.cash[bar - first] = cash_;
    }

    // A price column priced by two stocks takes the base of the one revalued last.
    std::vector<StockWalk>& stocks = stretch_.stocks;
    std::vector<const StockWalk*> by_last_revaluation;
    exit_stocks_.clear();
    for (const StockWalk& stock : stocks) {
        by_last_revaluation.push_back(&stock);
        if (stock.walked.last_revalued == end - 1 && stock.state.has_queued) {
            exit_stocks_.push_back(stock.state.queued);
        }
    }
    std::stable_sort(by_last_revaluation.begin(), by_last_revaluation.end(),
                     [](const StockWalk* a, const StockWalk* b) {
                         return a->walked.last_revalued < b->walked.last_revalued;
                     });
    for (const StockWalk* stock : by_last_revaluation) previous_price_[stock->column] = stock->state.base;

    // Each close's value adds the stocks held at it to cash, by ascending
    // stock: here one stock at a time over all the bars it was held at.
    const auto bars = static_cast<std::size_t>(end - first);
    std::vector<double>& balance = stretch_.cash;
    for (std::size_t slot = 0; slot < stocks.size(); ++slot) {
        const double* values = stretch_.close_values.data() + slot * bars;
        const auto held_bars = static_cast<std::size_t>(stocks[slot].walked.last_held + 1 - first);
        for (std::size_t t = 0; t < held_bars; ++t) balance[t] += values[t];
    }
    for (std::size_t t = 0; t < bars; ++t) creturn.store(first + static_cast<std::int64_t>(t), balance[t]);

    last_bar_ = end - 1;
    for (const StockWalk& stock : stocks) {
        cr_[stock.sid] = stock.state.cr;
        maxcr_[stock.sid] = stock.state.maxcr;
        mincr_[stock.sid] = stock.state.mincr;
        if (money_) money_->set_shares(stock.sid, stock.state.shares);
        if (stock.walked.sold) {
            book_.erase(stock.sid);
        } else {
            book_.at(stock.sid) = stock.state.value;
        }
    }
}

}  // namespace tolvane::native
