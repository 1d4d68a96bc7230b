#include "native/simulation.hpp"

#include <algorithm>
#include <cmath>

#include "native/price_check.hpp"

namespace tolvane::native {
namespace {

bool any_delisting(const std::optional<StridedView1D<std::int64_t>>& delisting_bars) {
    if (!delisting_bars) return false;
    for (std::ptrdiff_t i = 0; i < delisting_bars->size(); ++i) {
        if ((*delisting_bars)[i] >= 0) return true;
    }
    return false;
}

}  // namespace

std::optional<std::ptrdiff_t> first_out_of_order(StridedView1D<std::int64_t> dates) {
    for (std::ptrdiff_t i = 1; i < dates.size(); ++i) {
        if (dates[i] < dates[i - 1]) return i;
    }
    return std::nullopt;
}

Simulation::Simulation(const MarketData& market, const RunOptions& options,
                       const std::map<int, int>& column_map)
    : market_(market),
      options_(options),
      trail_stop_abs_(std::abs(options.trail_stop)),
      trail_stop_activation_abs_(std::abs(options.trail_stop_activation)),
      book_(static_cast<int>(market.pos_values.row(0).size())),
      cr_(market.pos_values.row(0).size(), 1.0),
      maxcr_(cr_),
      mincr_(cr_),
      previous_price_(market.price, market.price.row(0).size()),
      has_delisting_(any_delisting(options.delisting_bars)) {
    price_column_of_.assign(cr_.size(), -1);
    for (const auto& [sid, column] : column_map) {
        if (sid >= 0 && static_cast<std::size_t>(sid) < price_column_of_.size()) {
            price_column_of_[sid] = column;
        }
    }
}

std::optional<int> Simulation::unpriced_traded_column() const {
    const StridedView2D<double>& targets = market_.pos_values;
    for (std::ptrdiff_t sid = 0; sid < targets.columns(); ++sid) {
        if (price_column_of_[sid] >= 0) continue;
        for (std::ptrdiff_t row = 0; row < targets.rows(); ++row) {
            if (targets(row, sid) != 0) return static_cast<int>(sid);  // NaN is != 0
        }
    }
    return std::nullopt;
}

void Simulation::set_stop_levels(StopLevels stop_loss, StopLevels take_profit) {
    stop_loss_ = stop_loss;
    take_profit_ = take_profit;
}

void Simulation::build_rebalance_calendar() {
    const StridedView1D<std::int64_t>& bars = market_.price_index;
    may_rebalance_.assign(static_cast<std::size_t>(bars.size()), 0);
    std::ptrdiff_t bar = 0;
    for (std::ptrdiff_t i = 0; i < market_.resample.size(); ++i) {
        const std::int64_t date = market_.resample[i];
        while (bar + 1 < bars.size() && bars[bar + 1] <= date) ++bar;
        // Without bars there is nothing to mark.
        if (bar >= bars.size()) throw BufferIndexError(0);
        may_rebalance_[bar] = 1;
    }
}

int Simulation::price_column(int sid) const {
    const int column = price_column_of_[sid];
    // Unpriced columns are refused before the run if they hold any weight,
    // so they never enter the book.
    if (column < 0) throw BrokenInvariant("a position without a price column was traded");
    return column;
}

void Simulation::reset_trackers(int sid) {
    cr_[sid] = 1;
    maxcr_[sid] = 1;
    mincr_[sid] = 1;
}

void Simulation::run(TradeRecorder& recorder, CheckedArray<double> creturn) {
    for (std::ptrdiff_t bar = 0; bar < market_.price_index.size(); ++bar) {
        const std::int64_t date = market_.price_index[bar];
        if (date < market_.pos_index[0]) {
            creturn.store(bar, 1.0);
            continue;
        }
        recorder.record_date(static_cast<int>(bar));
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
        execute_queued_exits(recorder);
        exit_stocks_ = exit_stocks_temp_;
        if (should_rebalance_) rebalance_to_target(bar, rows, recorder);
        if (has_delisting_) close_delisted_stocks(bar, recorder);
        creturn.store(bar, value_at_close(bar, rows));
        choose_next_target(bar);
    }
}

// Revalues every held position by the bar's trade price, follows its price
// ratio since entry and applies the exit rules.
void Simulation::revalue_held_stocks(std::int64_t bar, BarRows& rows, TradeRecorder& recorder) {
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
        double& base = previous_price_[column];
        if (std::isnan(base)) base = price;
        double r = price / base;  // the bar's price ratio
        if (std::isnan(r)) r = 1;
        book_.at(sid) *= r;
        cr_[sid] *= r;
        if (cr_[sid] > maxcr_[sid]) maxcr_[sid] = cr_[sid];
        if (cr_[sid] < mincr_[sid]) mincr_[sid] = cr_[sid];

        const double entry_pos = book_.at(sid) / cr_[sid];  // the position valued at its entry price
        const Thresholds limits = thresholds(sid, entry_pos, rows);
        if (options_.touched_exit) {
            test_exit_touched(sid, column, r, entry_pos, limits, rows, recorder);
        } else {
            test_exit_at_close(sid, column, limits, rows, quotes);
        }
    }
}

// Reads the trade price and close of every held stock back to back, before
// any is used: the reads hit scattered columns, and issued together their
// cache misses overlap instead of waiting one by one. A read outside the
// matrices stops the gathering; the revaluation then reads that stock itself
// and raises where it reaches it.
void Simulation::gather_held_quotes(std::int64_t bar) {
    held_quotes_.clear();
    if (bar >= market_.price.rows() || bar >= market_.close.rows()) return;
    const StridedView1D<double> prices = market_.price.row(bar);
    const StridedView1D<double> closes = market_.close.row(bar);
    for (int sid : book_.sids()) {
        const int column = price_column_of_[sid];
        if (column < 0 || column >= prices.size() || column >= closes.size()) return;
        held_quotes_.push_back({prices[column], closes[column]});
    }
}

// Moves the price bases of the held stocks to this bar's trade prices. Done
// after all held stocks are revalued, so that two position columns priced by
// the same price column both see this bar's ratio.
void Simulation::move_price_bases() {
    for (const auto& [column, price] : prices_seen_) {
        if (!std::isnan(price)) previous_price_[column] = price;
    }
}

void Simulation::rebalance_to_target(std::int64_t bar, BarRows& rows, TradeRecorder& recorder) {
    const StridedView1D<double> target = market_.pos_values.row(pos_id_);
    if (!options_.retain_cost_when_rebalance) {
        std::fill(cr_.begin(), cr_.end(), 1.0);
        std::fill(maxcr_.begin(), maxcr_.end(), 1.0);
        std::fill(mincr_.begin(), mincr_.end(), 1.0);
    } else {
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
        for (std::ptrdiff_t sid = 0; sid < target.size(); ++sid) rebalance_row_[sid] = target[sid];
    }
    // A stock stopped out since the latest rebalance is not bought back now.
    if (options_.stop_trading_next_period) {
        for (const ExitRecord& exited : exited_stocks_) rebalance_row_[exited.sid] = 0;
    }
    const StridedView1D<double> weights(reinterpret_cast<const char*>(rebalance_row_.data()),
                                        target.size(), sizeof(double));
    cash_ = rebalance(book_, weights, cash_, options_.costs, options_.position_limit, recorder);

    latest_rebalanced_sids_ = book_.sids();
    rows.price.view();  // the bar's row of trade prices must exist: the bases restart from it
    restart_price_bases(bar);
    exited_stocks_.clear();
    current_position_id_ = pos_id_;
}

// Every price base restarts at this bar's trade price, except that a column
// revalued this bar whose price is missing keeps its last known price: its
// position then follows the price when it comes back. Any other column with a
// missing price gets a NaN base, so a stock bought now starts from its next
// known price rather than counting moves from before the purchase.
void Simulation::restart_price_bases(std::int64_t bar) {
    std::vector<std::pair<int, double>> kept;
    for (const auto& [column, price] : prices_seen_) {
        if (std::isnan(price)) kept.push_back({column, previous_price_[column]});
    }
    previous_price_.restart_at(bar);
    for (const auto& [column, base] : kept) previous_price_[column] = base;
}

// Sells, after the rebalance, every held stock delisted at this bar.
void Simulation::close_delisted_stocks(std::int64_t bar, TradeRecorder& recorder) {
    std::vector<int> delisted;
    for (int sid : book_.sids()) {
        if ((*options_.delisting_bars)[sid] == bar && book_.at(sid) != 0) delisted.push_back(sid);
    }
    for (int sid : delisted) {
        cash_ = set_position(book_, sid, 0, cash_, options_.costs, recorder, {false, true});
        reset_trackers(sid);
    }
}

// The portfolio value at the close; the book itself stays at trade prices.
double Simulation::value_at_close(std::int64_t bar, BarRows& rows) const {
    double balance = cash_;
    for (int sid : book_.sids()) {
        const int column = price_column(sid);
        const double trade_price = rows.price[column];
        validate_trade_price(trade_price, sid, static_cast<int>(bar));
        const double close_price = rows.close[column];
        const double value = book_.at(sid);
        if (std::isnan(trade_price) || std::isnan(close_price)) {
            balance += value;
        } else {
            balance += value * close_price / trade_price;
        }
    }
    return balance;
}

RunEndState Simulation::end_state() const noexcept {
    return {&book_,
            market_.pos_values,
            market_.price_index,
            market_.pos_index,
            current_position_id_,
            pos_id_,
            should_rebalance_,
            latest_rebalanced_sids_,
            rebalance_row_,
            exit_stocks_,
            exited_stocks_,
            options_.stop_trading_next_period};
}

// A target row dated before the next bar is in force at the end of this bar
// and is traded at the next bar; the last bar takes the last row.
void Simulation::choose_next_target(std::int64_t bar) {
    const StridedView1D<std::int64_t>& bars = market_.price_index;
    const bool last_bar = bar == bars.size() - 1;
    const std::int64_t next_bar = last_bar ? 0 : bars[bar + 1];
    while (pos_id_ < market_.pos_index.size() - 1 &&
           (last_bar || market_.pos_index[pos_id_ + 1] < next_bar)) {
        ++pos_id_;
    }
    should_rebalance_ = pos_id_ != current_position_id_ && may_rebalance_[bar] != 0;
}

}  // namespace tolvane::native
