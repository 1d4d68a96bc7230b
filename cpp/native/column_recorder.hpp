// A trade recorder that keeps a run's trades and orders as columns and
// follows the excursion of every open trade bar by bar, from the closes the
// simulation reports, instead of walking each trade's closes again when it
// ends.
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "native/excursion.hpp"
#include "native/exit_reason.hpp"
#include "native/order.hpp"
#include "native/position_book.hpp"
#include "native/stock_costs.hpp"
#include "native/strided_view.hpp"

namespace tolvane::native {

// One element per trade in every column, trades in the order they ended
// (then the trades still open at the end, by stock). The profiles hold
// `profile_length` values per trade, laid out as the excursion analysis
// lays out one trade's profile.
struct TradeColumns {
    std::vector<std::int64_t> stock;
    std::vector<std::int64_t> entry_bar;
    std::vector<std::int64_t> exit_bar;  // -1: still open at the end
    std::vector<double> entry_weight;    // a share of the portfolio value; negative for a short
    std::vector<std::uint8_t> entry_paid;  // 1: the entry was a trade that paid the fee
    std::vector<std::uint8_t> exit_paid;   // 1: the exit was a trade that paid fee and tax
    std::vector<std::uint8_t> exit_reason;  // an ExitReason
    std::vector<double> profiles;
    std::int64_t profile_length = 0;
    // The book's money. A trade continued from a split starts at the split's
    // price, with the quantity held once the rebalance's order is done.
    std::vector<double> entry_price;  // the entry order's fill price
    std::vector<double> exit_price;   // the exit order's fill price, a split's price; NaN while open
    std::vector<double> quantity;     // shares (units of the capital of 1.0 without a capital) at entry
    // Cash from its orders, plus its value where it ends (at the split, or at
    // the last close while open), less its value where it starts (a split's).
    std::vector<double> profit;
    std::vector<double> costs;  // the fees and taxes of its orders
};

// Every order carried out, in the order of the run.
struct OrderColumns {
    std::vector<std::int64_t> bar;
    std::vector<std::int64_t> stock;
    std::vector<std::int8_t> side;      // +1 buy, -1 sale
    std::vector<std::uint8_t> reason;   // an ExitReason (ExitReason::Rebalance: entries and resizes)
    std::vector<double> quantity;
    std::vector<double> price;  // the fill price
    std::vector<double> value;  // quantity * price
    std::vector<double> fee;
    std::vector<double> tax;
    std::vector<double> cash;  // after the order
};

struct RecordedColumns {
    TradeColumns trades;
    OrderColumns orders;
};

struct RecorderSettings {
    int window;       // a profile samples `window` bars every `window_step` bars
    int window_step;
    bool split_resized_positions;  // a resize at a rebalance splits the trade
    // Excursions follow the prices the book used (see ColumnRecorder) rather
    // than the contract's closes.
    bool book_prices;
};

// With `book_prices`, a trade's excursion path differs from the contract's
// in three places:
// - its start: the path starts from the book's entry price (the entry
//   order's market price, or a split's price), and until the first bar from
//   the entry on with a trade price (the entry bar itself, when it has one)
//   its ratio stays at its starting level (1, less the entry fee when the
//   entry paid it): the closes of bars without a trade price do not move it,
//   and neither does the entry bar's close when the bar lacks a trade price
//   or a close;
// - its exit: the exit block's return is the ratio at the exit point
//   revalued at the book's exit price (the exit order's market price: the
//   bar's trade price, the last known one when it is missing, a touched
//   exit's price; or a split's price) in place of the last known close,
//   less the stock's fee and tax when the exit paid them (a split pays
//   none); a window sample taken at the exit point gets the same return;
// - nothing else: no return past the exit is adjusted (the contract adjusts
//   the path's last point, past the exit when the window runs past it).
// So a split record ends at the rebalance's trade price and the next starts
// there: their returns multiply to the position's move.
class ColumnRecorder {
public:
    // `price` and `close` are the run's matrices; `price_column_of` maps its
    // position columns to price columns; `costs` gives each stock's fee and
    // tax ratios, which its profile applies. The caller checks that the
    // window is >= 0 and the step >= 1 (else BrokenInvariant).
    // `expected_trades` sizes the columns.
    ColumnRecorder(StridedView2D<double> price, StridedView2D<double> close,
                   std::span<const int> price_column_of, const StockCosts& costs,
                   const RecorderSettings& settings, std::size_t expected_trades);

    void bar_started(int bar) noexcept { bar_ = bar; }
    void entered(int sid, double weight, bool paid);
    // Raises FloatDivisionError when the trade's path met a zero divisor.
    void exited(int sid, bool paid, ExitReason reason);
    bool split_resized_positions() const noexcept { return settings_.split_resized_positions; }
    void order(const Order& order);
    void carried(int sid, const Carry& carry);

    class CloseFeed;
    CloseFeed closes_of(int sid);

    // Records the trades still open in the final `book` (every entry whose
    // value is not 0, by ascending stock), followed up to the last bar;
    // `closing_values[sid]` is each one's value at the last close.
    void finish(const PositionBook& book, std::span<const double> closing_values);

    RecordedColumns take() && { return {std::move(trades_), std::move(orders_)}; }

private:
    static constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

    // A stock's latest entry (zeros before any, as for a trade never
    // entered), and the money of its trade so far.
    struct Entry {
        std::int64_t bar = 0;
        double weight = 0.0;
        bool paid = false;
        bool priced = false;  // its entry order, or the split it continues, set price and quantity
        double price = kNone;
        double market_price = kNone;  // the book's price at entry, before slippage
        double quantity = kNone;
        double start_value = 0.0;  // the value it continues from (a split's)
        double cash_flow = 0.0;
        double costs = 0.0;
        double last_price = kNone;  // the fill price of its latest order
        double last_market_price = kNone;
    };

    // Where a trade's record ends: its value there and the prices the book
    // ended it at (NaN for a trade still open).
    struct Ending {
        double value;
        double price;
        double market_price;  // with book prices, the exit point is revalued here
        bool paid;            // an exit that paid fee and tax
        bool split;           // a split at a rebalance
    };

    // The path of an open trade, followed up to the latest close seen. It
    // starts (reading the entry bar's price and close) at its first close or
    // at its end: by then the simulation has read the stock's prices near
    // the entry bar, which a read at the entry would have had to fetch.
    struct OpenPath {
        int sid = 0;
        int column = 0;
        std::int64_t entry_bar = 0;
        bool is_long = false;
        bool entry_paid = false;
        bool started = false;
        bool waiting_for_price = false;  // with book prices: no trade price seen since the entry
        std::int64_t next_bar = -1;  // the bar whose close comes next (-1: not started, or failed)
        PathFollower follower;
        std::vector<ProfileBlock> samples;  // at offsets 0, step, 2 step, ... below the window
        std::uint64_t next_sample = 0;
    };

    // Starts the path at its entry bar.
    void start(OpenPath& path);
    // The close of `bar` as the path follows it: with book prices, none while
    // the path waits for a trade price.
    double path_close(OpenPath& path, std::int64_t bar, double close) const;
    // Keeps the block of the path's latest point when it is a window sample.
    void take_sample(OpenPath& path) {
        if (path.follower.points() - 1 == path.next_sample) add_sample(path);
    }
    void add_sample(OpenPath& path);
    void record(int sid, std::int64_t recorded_exit, ExitReason reason, const Ending& ending);
    void complete_path(OpenPath& path, std::int64_t exit, const Ending& ending, double* profile);
    void analyse_anew(int sid, std::int64_t exit, bool paid, double* profile) const;
    AnalysisSettings analysis_of(int sid) const noexcept {
        return {settings_.window, settings_.window_step, costs_.fee_ratio[sid], costs_.tax_ratio[sid]};
    }

    StridedView2D<double> price_;
    StridedView2D<double> close_;
    std::span<const int> price_column_of_;
    StockCosts costs_;
    RecorderSettings settings_;
    int bar_ = 0;
    std::vector<Entry> entries_;    // per stock
    std::vector<Carry> carries_;    // per stock: the holding carried across its latest split
    std::vector<int> open_path_of_;  // per stock: its open trade's index in paths_, or -1
    std::vector<OpenPath> paths_;
    std::vector<int> free_paths_;
    TradeColumns trades_;
    OrderColumns orders_;
};

// The closes of one stock for its open trade, if it has one: each bar's
// close moves the trade's path by a point.
class ColumnRecorder::CloseFeed {
public:
    CloseFeed(ColumnRecorder& recorder, OpenPath* path) noexcept : recorder_(recorder), path_(path) {}

    void seen(int bar, double close) {
        if (!path_) return;
        OpenPath& path = *path_;
        if (bar != path.next_bar && !resumes_at(bar)) return;
        path.follower.follow(recorder_.path_close(path, bar, close));
        if (path.follower.failed()) {
            path.next_bar = -1;  // the path has stopped
            return;
        }
        ++path.next_bar;
        recorder_.take_sample(path);
    }

private:
    // Whether the close of `bar`, not the one expected next, moves the path:
    // not the entry bar's own (the path's first point), but the first close
    // of a path not started; nothing moves a path that has stopped.
    bool resumes_at(int bar) {
        OpenPath& path = *path_;
        if (bar == path.entry_bar) return false;
        if (!path.started) {
            recorder_.start(path);
            if (bar == path.next_bar) return true;
        }
        if (path.follower.failed()) return false;
        throw BrokenInvariant("an open trade's closes must come one bar after another");
    }

    ColumnRecorder& recorder_;
    OpenPath* path_;
};

inline ColumnRecorder::CloseFeed ColumnRecorder::closes_of(int sid) {
    const int index = open_path_of_[sid];
    return {*this, index < 0 ? nullptr : &paths_[index]};
}

}  // namespace tolvane::native
