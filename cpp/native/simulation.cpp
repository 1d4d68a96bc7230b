#include "native/simulation.hpp"

#include <algorithm>
#include <cmath>

#include "native/revaluation.hpp"

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

std::optional<int> first_unpriced_traded_column(const StridedView2D<double>& targets,
                                                std::span<const int> price_column_of) {
    for (std::ptrdiff_t sid = 0; sid < targets.columns(); ++sid) {
        if (static_cast<std::size_t>(sid) < price_column_of.size() && price_column_of[sid] >= 0) continue;
        for (std::ptrdiff_t row = 0; row < targets.rows(); ++row) {
            if (targets(row, sid) != 0) return static_cast<int>(sid);  // NaN is != 0
        }
    }
    return std::nullopt;
}

Simulation::Simulation(const MarketData& market, const RunOptions& options,
                       std::span<const int> price_column_of)
    : market_(market),
      options_(options),
      trailing_{std::abs(options.trail_stop), std::abs(options.trail_stop_activation)},
      book_(static_cast<int>(market.pos_values.row(0).size())),
      cash_(options.capital.value_or(1.0)),
      cr_(market.pos_values.row(0).size(), 1.0),
      maxcr_(cr_),
      mincr_(cr_),
      previous_price_(market.price, market.price.row(0).size()),
      has_delisting_(any_delisting(options.delisting_bars)) {
    if (options.capital) money_.emplace(cr_.size());
    price_column_of_.assign(cr_.size(), -1);
    const std::size_t mapped = std::min(price_column_of.size(), price_column_of_.size());
    std::copy_n(price_column_of.begin(), mapped, price_column_of_.begin());
}

std::optional<int> Simulation::unpriced_traded_column() const {
    return first_unpriced_traded_column(market_.pos_values, price_column_of_);
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

Thresholds Simulation::thresholds(int sid, double entry_pos, BarRows& rows) const {
    const double stop_loss = rows.stop_loss[sid];
    const double take_profit = rows.take_profit[sid];
    return exit_thresholds(entry_pos > 0, maxcr_[sid], mincr_[sid], stop_loss, take_profit, trailing_);
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

// The price the book trades `sid` at, at `bar` (a rebalance, an exit, a
// delisting): the bar's trade price; when it is missing, the last known trade
// price of a column revalued at this bar (the position's value follows it);
// else the column's next known trade price, from which the book follows a
// stock bought now (bar_loop.hpp, restart_price_bases); NaN if there is none.
double Simulation::book_price(int sid, std::int64_t bar) {
    const int column = price_column(sid);
    const double price = market_.price(bar, column);
    if (!std::isnan(price)) return price;
    const bool revalued = std::any_of(prices_seen_.begin(), prices_seen_.end(),
                                      [column](const std::pair<int, double>& seen) { return seen.first == column; });
    return book_price(column, bar, price, revalued ? previous_price_[column] : kNoPrice);
}

// The same from a stock's `price` at `bar` and the last known `base` of its
// column (NaN: none to follow).
double Simulation::book_price(int column, std::int64_t bar, double price, double base) const {
    if (!std::isnan(price)) return price;
    if (!std::isnan(base)) return base;
    const StridedView1D<double> prices = market_.price.column(column);
    for (std::int64_t later = bar + 1; later < prices.size(); ++later) {
        const double known = prices[later];
        if (!std::isnan(known)) return known;
    }
    return kNoPrice;
}

// The sale of a whole holding (worth `value`, of `shares` in a book kept in
// money) at `price`: what it brings and its order, whose cash is not yet known.
Sale Simulation::sale_of(int sid, double value, double shares, double price, ExitReason reason) const {
    if (money_) return MoneyBook::sale_of(sid, shares, price, reason, options_.costs);
    const Costs costs = options_.costs.of(sid);
    const FractionTrade trade = fraction_trade(value, 0, true, costs);
    return {trade.cash_change, fraction_order(sid, trade, reason, price, 0.0, costs)};
}

// The sum of the short holdings' values at the close of the bar of `rows`,
// in book order.
double Simulation::short_value_at_close(BarRows& rows) {
    double shorts = 0.0;
    for (int sid : book_.sids()) {
        const int column = price_column(sid);
        const double value = value_at_close(book_.at(sid), rows.price[column], rows.close[column]);
        if (value < 0) shorts += value;
    }
    return shorts;
}

std::vector<double> Simulation::closing_values() const {
    std::vector<double> values(cr_.size(), 0.0);
    if (last_bar_ < 0) return values;
    for (int sid : book_.sids()) {
        const int column = price_column(sid);
        values[sid] = value_at_close(book_.at(sid), market_.price(last_bar_, column), market_.close(last_bar_, column));
    }
    return values;
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
