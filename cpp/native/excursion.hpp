// Excursion profile of one trade: how far its value went against it (MAE),
// in its favour (MFE), its drawdown, bars in profit and return, sampled
// along a window of bars after the entry and at the exit.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "native/strided_view.hpp"

namespace tolvane::native {

// A price matrix read with array-indexing rules: a negative index counts
// from the end; an index still outside its axis raises ArrayIndexError. An
// absent matrix (None on the Python side) raises MissingMatrix when read.
class PriceMatrix {
public:
    PriceMatrix() noexcept = default;
    explicit PriceMatrix(StridedView2D<double> view) noexcept : view_(view) {}

    std::int64_t rows() const;
    double element(std::int64_t row, std::int64_t column) const;

    // The column as a view over its rows when rows first..last and the column
    // are all inside the matrix without counting from the end; else nothing.
    std::optional<StridedView1D<double>> column_between(std::int64_t first, std::int64_t last,
                                                        std::int64_t column) const;

private:
    std::optional<StridedView2D<double>> view_;
};

struct TradeToAnalyse {
    int price_column;
    std::int64_t entry_bar;
    std::int64_t exit_bar;
    bool is_long;
    bool entry_paid_costs;  // the entry was a transaction: the fee applies
    bool exit_paid_costs;   // the exit was a transaction: fee, tax and exit price apply
};

struct AnalysisSettings {
    int window;
    int window_step;
    double fee_ratio;
    double tax_ratio;
};

// The six statistics of one point of a trade's path, in profile order.
struct ProfileBlock {
    double mae;            // running minimum of the value ratio - 1
    double gmfe;           // running maximum - 1
    double bmfe;           // maximum reached up to where the running minimum was set - 1
    double mdd;            // maximum drawdown from the running peak
    double profit_period;  // points with the ratio above 1
    double ret;            // value ratio - 1
};

// The running statistics of a trade's path up to its latest point.
struct PathState {
    double ratio;          // the trade's value relative to its entry trade price
    double running_max;    // cummax
    double running_min;    // cummin
    double max_at_min;     // cummax at the point recorded as where the minimum was set
    double drawdown;       // mdd
    double profit_points;  // profit_period

    ProfileBlock block() const noexcept {
        return {running_min - 1, running_max - 1, max_at_min - 1, drawdown, profit_points, ratio - 1};
    }
};

// Follows a trade's value along its path, one point per bar: the entry bar,
// then each later bar's close in turn. A zero divisor (a zero entry price, or
// a zero close followed by a known one) stops the path for good: failed()
// then reports it, and the trade's analysis fails with FloatDivisionError.
class PathFollower {
public:
    // A path not started yet.
    PathFollower() noexcept = default;

    // Point 0: the entry bar's close over its trade price (mirrored around 2
    // for a short), less the fee when the entry paid costs.
    PathFollower(double entry_price, double entry_close, bool is_long, bool entry_paid_costs,
                 double fee_ratio) noexcept;

    // The next point, from its bar's close (NaN: missing, the ratio stays).
    void follow(double close) noexcept {
        if (failed_) return;
        const bool has_close = !std::isnan(close);
        if (has_close) {
            if (last_close_ == 0.0) {
                failed_ = true;
                return;
            }
            const double move = close / last_close_;
            last_close_ = close;
            if (!std::isnan(move)) {
                state_.ratio = is_long_ ? state_.ratio * move : 2 - (2 - state_.ratio) * move;
            }
        }
        const double previous_max = state_.running_max;
        if (state_.ratio > state_.running_max) state_.running_max = state_.ratio;
        if (state_.running_min > state_.ratio) {
            state_.running_min = state_.ratio;
            // The marker names the point before this one; its maximum is the previous one.
            state_.max_at_min = previous_max;
        }
        const double drawdown = state_.ratio / state_.running_max - 1;
        if (state_.drawdown > drawdown) state_.drawdown = drawdown;
        if (has_close && state_.ratio > 1) state_.profit_points += 1;
        ++points_;
    }

    // The return ratio of the latest point with the exit's costs: valued at
    // the exit trade price instead of the close when the path has left its
    // entry bar, then less fee and tax. A zero exit close fails the path.
    double exit_ratio(bool left_entry_bar, double exit_price, double exit_close, double fee_ratio,
                      double tax_ratio) noexcept {
        double ratio = state_.ratio;
        if (left_entry_bar) {
            if (exit_close == 0.0) {
                failed_ = true;
                return ratio;
            }
            ratio = is_long_ ? ratio * (exit_price / exit_close)
                             : 2 - ((2 - ratio) * exit_price) / exit_close;
        }
        return ratio * (1 - fee_ratio - tax_ratio);
    }

    // The return ratio of the latest point revalued at `price` (the trade
    // price the book sold or split the trade at) in place of the last known
    // close, less `costs` (a ratio of its value). A zero last close fails the
    // path.
    double ratio_at_price(double price, double costs) noexcept {
        if (last_close_ == 0.0) {
            failed_ = true;
            return state_.ratio;
        }
        const double move = price / last_close_;
        const double ratio = is_long_ ? state_.ratio * move : 2 - (2 - state_.ratio) * move;
        return ratio * (1 - costs);
    }

    bool failed() const noexcept { return failed_; }
    std::uint64_t points() const noexcept { return points_; }
    const PathState& state() const noexcept { return state_; }

private:
    bool is_long_ = true;
    bool failed_ = false;
    double last_close_ = 1.0;  // the last known close, base of the next move
    PathState state_{};
    std::uint64_t points_ = 1;
};

// The blocks that a profile needs, taken while following the trade's path.
struct TradePath {
    std::uint64_t points = 0;                 // N: bars from the entry to the path's end
    std::vector<ProfileBlock> window_samples;  // at offsets 0, step, 2 step, ... below min(window, N)
    ProfileBlock exit{};                       // at min(exit - entry, N - 1)
    bool exit_taken = false;                   // false only for an empty path
};

// Follows the trade's value bar by bar over closes from the entry to the later
// of the exit and entry + window (cut at the last row of `price`), applying
// the entry fee and, at the path's last point, the exit price, fee and tax.
// Raises NegativeSizeError for a negative path length, ArrayIndexError or
// MissingMatrix for unreadable prices, FloatDivisionError for a zero divisor.
TradePath follow_trade(const PriceMatrix& price, const PriceMatrix& close,
                       const TradeToAnalyse& trade, const AnalysisSettings& settings);

// Elements of a profile: 6 * floor((window - 1) / window_step) + 12.
// Raises IntegerDivisionError for a zero step. May be negative.
std::int64_t profile_length(int window, int window_step);

// Writes the sampled blocks from the front and the exit block into the last
// six elements; elements not written keep their value. Raises
// BufferIndexError(0) for a write outside `profile`.
void write_profile(const TradePath& path, CheckedArray<double> profile);

}  // namespace tolvane::native
