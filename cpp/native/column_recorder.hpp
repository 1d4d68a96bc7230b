// A trade recorder that keeps a run's trades as columns and follows the
// excursion of every open trade bar by bar, from the closes the simulation
// reports, instead of walking each trade's closes again when it ends.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "native/excursion.hpp"
#include "native/exit_reason.hpp"
#include "native/position_book.hpp"
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
};

class ColumnRecorder {
public:
    // `price` and `close` are the run's matrices; `price_column_of` maps its
    // position columns to price columns. A profile samples `settings.window`
    // bars every `settings.window_step` bars; the caller checks that the
    // window is >= 0 and the step >= 1 (else BrokenInvariant).
    // `expected_trades` sizes the columns.
    ColumnRecorder(StridedView2D<double> price, StridedView2D<double> close,
                   std::span<const int> price_column_of, const AnalysisSettings& settings,
                   bool split_resized_positions, std::size_t expected_trades);

    void bar_started(int bar) noexcept { bar_ = bar; }
    void entered(int sid, double weight, bool paid);
    // Raises FloatDivisionError when the trade's path met a zero divisor.
    void exited(int sid, bool paid, ExitReason reason);
    bool split_resized_positions() const noexcept { return split_; }

    class CloseFeed;
    CloseFeed closes_of(int sid);

    // Records the trades still open in the final `book` (every entry whose
    // value is not 0, by ascending stock), followed up to the last bar.
    void finish(const PositionBook& book);

    TradeColumns take() && { return std::move(columns_); }

private:
    // A stock's latest entry (zeros before any, as for a trade never entered).
    struct Entry {
        std::int64_t bar = 0;
        double weight = 0.0;
        bool paid = false;
    };

    // The path of an open trade, followed up to the latest close seen. It
    // starts (reading the entry bar's price and close) at its first close or
    // at its end: by then the simulation has read the stock's prices near
    // the entry bar, which a read at the entry would have had to fetch.
    struct OpenPath {
        int column = 0;
        std::int64_t entry_bar = 0;
        bool is_long = false;
        bool entry_paid = false;
        bool started = false;
        std::int64_t next_bar = -1;  // the bar whose close comes next (-1: not started, or failed)
        PathFollower follower;
        std::vector<ProfileBlock> samples;  // at offsets 0, step, 2 step, ... below the window
        std::uint64_t next_sample = 0;
    };

    // Starts the path at its entry bar.
    void start(OpenPath& path);
    // Keeps the block of the path's latest point when it is a window sample.
    void take_sample(OpenPath& path) {
        if (path.follower.points() - 1 == path.next_sample) add_sample(path);
    }
    void add_sample(OpenPath& path);
    void record(int sid, std::int64_t recorded_exit, bool paid, ExitReason reason);
    void complete_path(OpenPath& path, std::int64_t exit, bool paid, double* profile);
    void analyse_anew(int sid, std::int64_t exit, bool paid, double* profile) const;

    StridedView2D<double> price_;
    StridedView2D<double> close_;
    std::span<const int> price_column_of_;
    AnalysisSettings settings_;
    bool split_;
    int bar_ = 0;
    std::vector<Entry> entries_;    // per stock
    std::vector<int> open_path_of_;  // per stock: its open trade's index in paths_, or -1
    std::vector<OpenPath> paths_;
    std::vector<int> free_paths_;
    TradeColumns columns_;
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
        path.follower.follow(close);
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
