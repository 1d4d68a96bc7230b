#include "native/excursion.hpp"

#include <algorithm>
#include <cmath>

namespace tolvane::native {
namespace {

std::int64_t wrap_index(std::int64_t index, std::int64_t size) {
    const std::int64_t wrapped = index < 0 ? index + size : index;
    // Both axes of an element read report axis 0: the column is read from a row.
    if (wrapped < 0 || wrapped >= size) throw ArrayIndexError(index, 0, size);
    return wrapped;
}

// Python's floor division of integers.
std::int64_t floor_divide(std::int64_t numerator, std::int64_t denominator) {
    if (denominator == 0) throw IntegerDivisionError{};
    std::int64_t quotient = numerator / denominator;
    if (numerator % denominator != 0 && ((numerator < 0) != (denominator < 0))) --quotient;
    return quotient;
}

// The offsets of the path at which the profile takes a block: every
// window_step-th offset below min(window, N), and the exit offset.
class SamplePlan {
public:
    static constexpr std::uint64_t kNever = ~std::uint64_t{0};

    SamplePlan(const AnalysisSettings& settings, std::uint64_t points, std::int64_t exit_offset)
        : step_(static_cast<std::uint64_t>(settings.window_step)),
          limit_(std::min(static_cast<std::uint64_t>(static_cast<std::int64_t>(settings.window)), points)),
          exit_offset_(std::min(static_cast<std::uint64_t>(exit_offset), points - 1)),
          next_sample_(settings.window_step > 0 && limit_ > 0 ? 0 : kNever),
          next_exit_(exit_offset_) {}

    // The next offset at which a block is due.
    std::uint64_t next_event() const { return std::min(next_sample_, next_exit_); }

    // Takes the blocks due at `offset` (the current next_event()).
    void take(std::uint64_t offset, const ProfileBlock& block, TradePath& path) {
        if (offset == next_sample_) {
            path.window_samples.push_back(block);
            last_sampled_ = offset;
            next_sample_ = offset + step_ < limit_ ? offset + step_ : kNever;
        }
        if (offset == next_exit_) {
            path.exit = block;
            path.exit_taken = true;
            next_exit_ = kNever;
        }
    }

    bool is_last_sample(std::uint64_t offset) const { return last_sampled_ == offset; }
    bool is_exit(std::uint64_t offset) const { return offset == exit_offset_; }

private:
    std::uint64_t step_;
    std::uint64_t limit_;
    std::uint64_t exit_offset_;
    std::uint64_t next_sample_;
    std::uint64_t next_exit_;
    std::uint64_t last_sampled_ = kNever;
};

}  // namespace

std::int64_t PriceMatrix::rows() const {
    if (!view_) throw MissingMatrix{};
    return view_->rows();
}

double PriceMatrix::element(std::int64_t row, std::int64_t column) const {
    if (!view_) throw MissingMatrix{};
    const std::int64_t wrapped_row = wrap_index(row, view_->rows());
    const std::int64_t wrapped_column = wrap_index(column, view_->columns());
    return (*view_)(wrapped_row, wrapped_column);
}

std::optional<StridedView1D<double>> PriceMatrix::column_between(std::int64_t first,
                                                               std::int64_t last,
                                                               std::int64_t column) const {
    if (!view_ || first < 0 || last >= view_->rows() || column < 0 || column >= view_->columns()) {
        return std::nullopt;
    }
    return view_->column(column);
}

PathFollower::PathFollower(double entry_price, double entry_close, bool is_long,
                           bool entry_paid_costs, double fee_ratio) noexcept
    : is_long_(is_long), last_close_(entry_close) {
    if (entry_price == 0.0) {
        failed_ = true;
        return;
    }
    const double entry_move = entry_close / entry_price;
    double ratio = is_long ? entry_move : 2 - entry_move;
    if (entry_paid_costs) ratio = (1 - fee_ratio) * ratio;
    state_.ratio = ratio;
    state_.running_max = 1.0 > ratio ? 1.0 : ratio;
    state_.running_min = ratio > 1.0 ? 1.0 : ratio;
    state_.max_at_min = state_.running_max;
    state_.drawdown = ratio - 1 < 0 ? ratio - 1 : 0.0;
    state_.profit_points = ratio > 1 ? 1.0 : 0.0;
}

TradePath follow_trade(const PriceMatrix& price, const PriceMatrix& close,
                       const TradeToAnalyse& trade, const AnalysisSettings& settings) {
    const std::int64_t entry = trade.entry_bar;
    const int column = trade.price_column;

    std::int64_t path_end = trade.exit_bar;
    if (entry + settings.window > path_end) path_end = entry + settings.window;
    const std::int64_t price_rows = price.rows();
    if (path_end >= price_rows) path_end = price_rows - 1;
    const std::int64_t signed_points = path_end - entry + 1;
    if (signed_points < 0) throw NegativeSizeError{};

    const double entry_price = price.element(entry, column);
    const double entry_close = close.element(entry, column);
    PathFollower follower(entry_price, entry_close, trade.is_long, trade.entry_paid_costs,
                          settings.fee_ratio);
    if (follower.failed()) throw FloatDivisionError{};

    TradePath path;
    path.points = static_cast<std::uint64_t>(signed_points);
    SamplePlan plan(settings, path.points, trade.exit_bar - entry);
    std::uint64_t next_event = plan.next_event();
    auto take_samples = [&](std::uint64_t offset) {
        if (offset != next_event) return;
        plan.take(offset, follower.state().block(), path);
        next_event = plan.next_event();
    };
    take_samples(0);

    // Reads along the path: directly down the column when the whole path lies
    // inside the matrix, else element by element with array-indexing rules.
    const auto closes = close.column_between(entry, path_end, column);
    auto close_at = [&](std::int64_t row) {
        return closes ? (*closes)[row] : close.element(row, column);
    };
    for (std::uint64_t offset = 1; offset < path.points; ++offset) {
        follower.follow(close_at(entry + static_cast<std::int64_t>(offset)));
        if (follower.failed()) throw FloatDivisionError{};
        take_samples(offset);
    }

    if (trade.exit_paid_costs && path.points > 0) {
        const bool left_entry_bar = entry != path_end;
        double exit_price = 0.0;
        double exit_close = 0.0;
        if (left_entry_bar) {
            exit_price = price.element(path_end, column);
            exit_close = close.element(path_end, column);
        }
        const double exit_ratio = follower.exit_ratio(left_entry_bar, exit_price, exit_close,
                                                      settings.fee_ratio, settings.tax_ratio);
        if (follower.failed()) throw FloatDivisionError{};
        // Only the last point's return changes; the other statistics stay.
        const std::uint64_t last = path.points - 1;
        if (plan.is_last_sample(last)) path.window_samples.back().ret = exit_ratio - 1;
        if (plan.is_exit(last)) path.exit.ret = exit_ratio - 1;
    }
    return path;
}

std::int64_t profile_length(int window, int window_step) {
    return 6 * floor_divide(static_cast<std::int64_t>(window) - 1, window_step) + 12;
}

void write_profile(const TradePath& path, CheckedArray<double> profile) {
    auto write_block = [&](std::ptrdiff_t first, const ProfileBlock& block) {
        const double values[6] = {block.mae, block.gmfe, block.bmfe,
                                  block.mdd, block.profit_period, block.ret};
        for (std::ptrdiff_t i = 0; i < 6; ++i) profile.store(first + i, values[i]);
    };
    std::ptrdiff_t next = 0;
    for (const ProfileBlock& block : path.window_samples) {
        write_block(next, block);
        next += 6;
    }
    // With an empty path the exit offset names no point.
    if (!path.exit_taken) throw BufferIndexError(0);
    write_block(profile.size() - 6, path.exit);
}

}  // namespace tolvane::native
