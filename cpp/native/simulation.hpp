// The bar-by-bar simulation of a portfolio that follows rows of target
// weights, from a capital of 1.0 (the book of fractions) or from a capital in
// money (the book kept in money: shares and cash).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "native/accrual.hpp"
#include "native/exit_record.hpp"
#include "native/exit_rules.hpp"
#include "native/money_book.hpp"
#include "native/position_book.hpp"
#include "native/price_bases.hpp"
#include "native/stock_costs.hpp"
#include "native/stock_operations.hpp"
#include "native/stretch.hpp"
#include "native/strided_view.hpp"
#include "native/trade_recorder.hpp"
#include "native/trading.hpp"

namespace tolvane::native {

// The caller's arrays: price matrices are [bar, price column], targets are
// [target row, position column]; timestamps are int64 nanoseconds.
struct MarketData {
    StridedView2D<double> price;
    StridedView2D<double> close;
    StridedView2D<double> high;
    StridedView2D<double> low;
    StridedView2D<double> open;
    StridedView1D<std::int64_t> price_index;
    StridedView2D<double> pos_values;
    StridedView1D<std::int64_t> pos_index;
    StridedView1D<std::int64_t> resample;
};

// Stop levels of one kind: the level of bar i and position column j is
// values(rows[i], j).
struct StopLevels {
    StridedView2D<double> values;
    StridedView1D<std::ptrdiff_t> rows;
};

struct RunOptions {
    StockCosts costs;
    double trail_stop;
    double trail_stop_activation;
    bool touched_exit;
    double position_limit;
    bool retain_cost_when_rebalance;
    bool stop_trading_next_period;
    std::optional<StridedView1D<std::int64_t>> delisting_bars;  // per position column
    Rates rates{};                    // accrued at each simulated bar's close (accrual.hpp)
    std::optional<double> capital{};  // keep the book in money from this capital (money_book.hpp)
    // A rebalance on or after a stock's delisting bar buys it when it is not
    // held (the contract's rule); false keeps its target weight in cash.
    bool enter_delisted = true;
};

// The rows of one bar, each taken at its first read.
struct BarRows {
    LazyRow<double> price;
    LazyRow<double> close;
    LazyRow<double> high;
    LazyRow<double> low;
    LazyRow<double> open;
    LazyRow<double> stop_loss;    // the stop-loss levels in force at the bar
    LazyRow<double> take_profit;  // the take-profit levels in force at the bar
};

// The trade price and close of a held stock at one bar.
struct HeldQuotes {
    double price;
    double close;
};

// The first element of `dates` that is earlier than the one before it.
std::optional<std::ptrdiff_t> first_out_of_order(StridedView1D<std::int64_t> dates);

// The first position column without a price column (-1 in `price_column_of`,
// or beyond it) whose target weight is non-zero (or NaN) in some row of
// `targets`: such a column could not be priced.
std::optional<int> first_unpriced_traded_column(const StridedView2D<double>& targets,
                                                std::span<const int> price_column_of);

class Simulation {
public:
    // `price_column_of` maps position columns to price columns (-1: none;
    // columns beyond it have none). Sizes the per-stock trackers from the
    // first target row and the first price bar (raising BufferIndexError when
    // either matrix has no rows).
    Simulation(const MarketData& market, const RunOptions& options,
               std::span<const int> price_column_of);

    // first_unpriced_traded_column() of the run.
    std::optional<int> unpriced_traded_column() const;

    void set_stop_levels(StopLevels stop_loss, StopLevels take_profit);

    // Marks, for every resample date, the last bar dated on or before it.
    void build_rebalance_calendar();

    // Runs the bar loop one bar after another, writing the portfolio value
    // at each bar's close and reporting the trades to `recorder`.
    template <TradeRecorder Recorder>
    void run(Recorder& recorder, CheckedArray<double> creturn);

    // Runs the same bar loop, walking each stretch of bars without a
    // rebalance one held stock at a time, then settling the stretch in the
    // bar loop's order: the results, the recorder's events and the failure
    // raised are run()'s, but a stock may report its closes before another
    // stock's earlier ones. Needs ascending price dates, price matrices with
    // a row for every bar and stop tables with a level for every bar and
    // position column (its callers check them; a stretch beyond them raises
    // BufferIndexError at its first bar).
    template <TradeRecorder Recorder>
    void run_by_stretches(Recorder& recorder, CheckedArray<double> creturn);

    // The price column of each position column (-1: none).
    std::span<const int> price_columns() const noexcept { return price_column_of_; }
    // The holdings after the last bar.
    const PositionBook& book() const noexcept { return book_; }
    // Per position column, its holding's value at the close of the last bar
    // simulated, as the portfolio's value counts it (0 where none is held).
    std::vector<double> closing_values() const;
    // The portfolio's value before any trade: the capital, else 1.0.
    double starting_value() const noexcept { return options_.capital.value_or(1.0); }
    // The state the run ends in, as its stock operations read it.
    RunEndState end_state() const noexcept;

private:
    template <TradeRecorder Recorder>
    void simulate_bar(std::int64_t bar, Recorder& recorder, CheckedArray<double>& creturn);
    template <TradeRecorder Recorder>
    void revalue_held_stocks(std::int64_t bar, BarRows& rows, Recorder& recorder);
    template <TradeRecorder Recorder>
    void execute_queued_exits(std::int64_t bar, Recorder& recorder);
    template <TradeRecorder Recorder>
    void rebalance_to_target(std::int64_t bar, BarRows& rows, Recorder& recorder);
    template <TradeRecorder Recorder>
    void close_delisted_stocks(std::int64_t bar, Recorder& recorder);
    template <TradeRecorder Recorder>
    double value_portfolio_at_close(std::int64_t bar, BarRows& rows, Recorder& recorder);

    template <TradeRecorder Recorder>
    void walk_stretch(std::int64_t first, std::int64_t end, Recorder& recorder,
                      CheckedArray<double>& creturn);
    template <TradeRecorder Recorder>
    void walk_stock(StockWalk& stock, int sid, std::optional<ExitRecord> queued, std::int64_t first,
                    std::int64_t end, double* close_values, Recorder& recorder);
    // The columns one stock's walk reads over a stretch.
    struct StockColumns {
        CheckedRange<double> prices;
        CheckedRange<double> closes;
        CheckedRange<double> highs;  // with touched exits only
        CheckedRange<double> lows;
        CheckedRange<double> opens;
        CheckedRange<std::ptrdiff_t> stop_loss_rows;
        CheckedRange<std::ptrdiff_t> take_profit_rows;
        std::int64_t delisting_bar;  // -1: none
        int column;                  // the price column
    };
    template <bool kTouched>
    void walk_bars(StockState& carried, int sid, std::int64_t& bar, std::int64_t end,
                   const StockColumns& columns, double* close_values, double* short_values,
                   StockWalkEnd& walked);
    template <TradeRecorder Recorder>
    void settle_stretch(std::int64_t first, std::int64_t end, Recorder& recorder,
                        CheckedArray<double>& creturn);

    template <TradeRecorder Recorder>
    void sell_holding(int sid, std::int64_t bar, ExitReason reason, Recorder& recorder);
    double book_price(int sid, std::int64_t bar);
    double book_price(int column, std::int64_t bar, double price, double base) const;
    Sale sale_of(int sid, double value, double shares, double price, ExitReason reason) const;
    double short_value_at_close(BarRows& rows);

    Thresholds thresholds(int sid, double entry_pos, BarRows& rows) const;
    void gather_held_quotes(std::int64_t bar);
    void move_price_bases();
    void restart_price_bases(std::int64_t bar);
    void choose_next_target(std::int64_t bar);
    void reset_trackers(int sid);
    int price_column(int sid) const;

    const MarketData& market_;
    RunOptions options_;
    std::vector<int> price_column_of_;  // per position column; -1: no price column
    StopLevels stop_loss_{};
    StopLevels take_profit_{};
    TrailingStop trailing_;
    std::vector<std::uint8_t> may_rebalance_;  // per bar: marked by the calendar

    PositionBook book_;
    double cash_;
    std::optional<MoneyBook> money_;  // the shares, when the book is kept in money
    std::vector<double> cr_;     // per stock: price ratio since entry (its cumulative return)
    std::vector<double> maxcr_;  // per stock: highest cr since entry (a long's trailing stop)
    std::vector<double> mincr_;  // per stock: lowest cr since entry (a short's trailing stop)
    PriceBases previous_price_;  // per price column: base of the next bar-to-bar ratio
    bool has_delisting_;         // some stock has a delisting bar (>= 0)
    std::int64_t pos_id_ = 0;                // the target row in force: the next rebalance trades it
    std::int64_t current_position_id_ = -1;  // the target row last applied by a rebalance (-1: none)
    bool should_rebalance_ = false;          // pos_id_ is traded at the next bar
    std::int64_t last_bar_ = -1;             // the last bar simulated
    std::vector<double> rebalance_row_;        // the weights the latest rebalance applied
    std::vector<int> latest_rebalanced_sids_;  // the stocks held right after the latest rebalance
    std::vector<ExitRecord> exit_stocks_temp_;  // exits decided on this bar's close
    std::vector<ExitRecord> exit_stocks_;       // exits queued at the previous close, carried out at this bar
    std::vector<ExitRecord> exited_stocks_;     // exits carried out since the latest rebalance
    // The quotes of the leading held stocks at the current bar, in book order.
    std::vector<HeldQuotes> held_quotes_;
    // The trade prices read for the stocks held when the current bar began.
    std::vector<std::pair<int, double>> prices_seen_;
    StretchScratch stretch_;  // the stretch being walked
};

}  // namespace tolvane::native

#include "native/bar_loop.hpp"
#include "native/stretch_walk.hpp"
