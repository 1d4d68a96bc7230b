#include "native/column_recorder.hpp"

namespace tolvane::native {
namespace {

constexpr std::uint64_t kNoSample = ~std::uint64_t{0};

// Writes the six values of `block` from `first` on, in profile order.
void write_block(double* profile, std::int64_t first, const ProfileBlock& block) {
    double* values = profile + first;
    values[0] = block.mae;
    values[1] = block.gmfe;
    values[2] = block.bmfe;
    values[3] = block.mdd;
    values[4] = block.profit_period;
    values[5] = block.ret;
}

}  // namespace

ColumnRecorder::ColumnRecorder(StridedView2D<double> price, StridedView2D<double> close,
                               std::span<const int> price_column_of,
                               const AnalysisSettings& settings, bool split_resized_positions,
                               std::size_t expected_trades)
    : price_(price),
      close_(close),
      price_column_of_(price_column_of),
      settings_(settings),
      split_(split_resized_positions),
      entries_(price_column_of.size()),
      open_path_of_(price_column_of.size(), -1) {
    if (settings.window < 0 || settings.window_step < 1) {
        throw BrokenInvariant("a profile needs a window >= 0 and a step >= 1");
    }
    columns_.profile_length = profile_length(settings.window, settings.window_step);
    columns_.stock.reserve(expected_trades);
    columns_.entry_bar.reserve(expected_trades);
    columns_.exit_bar.reserve(expected_trades);
    columns_.entry_weight.reserve(expected_trades);
    columns_.entry_paid.reserve(expected_trades);
    columns_.exit_paid.reserve(expected_trades);
    columns_.exit_reason.reserve(expected_trades);
    columns_.profiles.reserve(expected_trades * static_cast<std::size_t>(columns_.profile_length));
}

void ColumnRecorder::entered(int sid, double weight, bool paid) {
    entries_[sid] = {bar_, weight, paid};
    int& index = open_path_of_[sid];
    if (index < 0) {
        if (free_paths_.empty()) {
            index = static_cast<int>(paths_.size());
            paths_.emplace_back();
        } else {
            index = free_paths_.back();
            free_paths_.pop_back();
        }
    }
    OpenPath& path = paths_[index];
    path.column = price_column_of_[sid];
    path.entry_bar = bar_;
    path.is_long = weight > 0;
    path.entry_paid = paid;
    path.started = false;
    path.next_bar = -1;
}

void ColumnRecorder::start(OpenPath& path) {
    path.follower = PathFollower(price_(path.entry_bar, path.column), close_(path.entry_bar, path.column),
                                 path.is_long, path.entry_paid, settings_.fee_ratio);
    path.started = true;
    path.next_bar = path.follower.failed() ? -1 : path.entry_bar + 1;
    path.samples.clear();
    path.next_sample = settings_.window > 0 ? 0 : kNoSample;
    take_sample(path);
}

void ColumnRecorder::exited(int sid, bool paid, ExitReason reason) {
    record(sid, bar_, paid, reason);
}

void ColumnRecorder::finish(const PositionBook& book) {
    for (int sid : book.sids()) {
        if (book.at(sid) != 0) record(sid, -1, false, ExitReason::Open);  // NaN counts as open
    }
}

// Window samples are taken at offsets 0, step, 2 step, ... below the window.
void ColumnRecorder::add_sample(OpenPath& path) {
    path.samples.push_back(path.follower.state().block());
    const std::uint64_t next = path.next_sample + static_cast<std::uint64_t>(settings_.window_step);
    path.next_sample = next < static_cast<std::uint64_t>(settings_.window) ? next : kNoSample;
}

// Ends the trade of `sid` at the current bar: `recorded_exit` is the exit bar
// the columns show (-1 for a trade still open).
void ColumnRecorder::record(int sid, std::int64_t recorded_exit, bool paid, ExitReason reason) {
    const Entry entry = entries_[sid];
    const std::size_t first = columns_.profiles.size();
    columns_.profiles.resize(first + static_cast<std::size_t>(columns_.profile_length), -1.0);
    double* profile = columns_.profiles.data() + first;
    const int index = open_path_of_[sid];
    if (index >= 0) {
        complete_path(paths_[index], bar_, paid, profile);
        open_path_of_[sid] = -1;
        free_paths_.push_back(index);
    } else {
        // A stock that ends a trade it did not open since (a zero book entry
        // sold again) is analysed from its latest entry, as the contract does.
        analyse_anew(sid, bar_, paid, profile);
    }
    columns_.stock.push_back(sid);
    columns_.entry_bar.push_back(entry.bar);
    columns_.exit_bar.push_back(recorded_exit);
    columns_.entry_weight.push_back(entry.weight);
    columns_.entry_paid.push_back(entry.paid ? 1 : 0);
    columns_.exit_paid.push_back(paid ? 1 : 0);
    columns_.exit_reason.push_back(static_cast<std::uint8_t>(reason));
}

// Follows the rest of the path: to the later of `exit` and the end of the
// window (cut at the last bar), taking the exit block at `exit`; the exit's
// costs apply to the path's last point. Writes the profile.
void ColumnRecorder::complete_path(OpenPath& path, std::int64_t exit, bool paid, double* profile) {
    if (!path.started) start(path);
    if (path.follower.failed()) throw FloatDivisionError{};
    // A copy whose state stays in registers while it follows the closes.
    PathFollower follower = path.follower;
    const std::int64_t entry = path.entry_bar;
    std::int64_t path_end = exit;
    if (entry + settings_.window > path_end) path_end = entry + settings_.window;
    if (path_end >= price_.rows()) path_end = price_.rows() - 1;
    const auto points = static_cast<std::uint64_t>(path_end - entry + 1);
    const auto exit_offset = static_cast<std::uint64_t>(exit - entry);

    // The closes are seen up to the bar before the exit, or up to the exit
    // itself when the trade ends after the last bar's close.
    ProfileBlock exit_block{};
    if (follower.points() == exit_offset + 1) {
        exit_block = follower.state().block();
    } else if (follower.points() != exit_offset) {
        throw BrokenInvariant("a trade ended before its closes were seen");
    }
    if (follower.points() < points) {
        const CheckedRange<double> closes =
            close_.column(path.column).range(entry + static_cast<std::int64_t>(follower.points()), path_end + 1);
        const auto step = static_cast<std::uint64_t>(settings_.window_step);
        const auto window = static_cast<std::uint64_t>(settings_.window);
        std::uint64_t next_sample = path.next_sample;
        while (follower.points() < points) {
            follower.follow(closes[entry + static_cast<std::int64_t>(follower.points())]);
            if (follower.failed()) throw FloatDivisionError{};
            const std::uint64_t offset = follower.points() - 1;
            if (offset == next_sample) {
                path.samples.push_back(follower.state().block());
                next_sample = offset + step < window ? offset + step : kNoSample;
            }
            if (offset == exit_offset) exit_block = follower.state().block();
        }
    }

    if (paid) {
        const bool left_entry_bar = entry != path_end;
        double exit_price = 0.0;
        double exit_close = 0.0;
        if (left_entry_bar) {
            exit_price = price_(path_end, path.column);
            exit_close = close_(path_end, path.column);
        }
        const double exit_ratio = follower.exit_ratio(left_entry_bar, exit_price, exit_close,
                                                      settings_.fee_ratio, settings_.tax_ratio);
        if (follower.failed()) throw FloatDivisionError{};
        // Only the last point's return changes; the other statistics stay.
        const std::uint64_t last = points - 1;
        const auto step = static_cast<std::uint64_t>(settings_.window_step);
        if (!path.samples.empty() && (path.samples.size() - 1) * step == last) {
            path.samples.back().ret = exit_ratio - 1;
        }
        if (exit_offset == last) exit_block.ret = exit_ratio - 1;
    }
    for (std::size_t j = 0; j < path.samples.size(); ++j) {
        write_block(profile, static_cast<std::int64_t>(6 * j), path.samples[j]);
    }
    write_block(profile, columns_.profile_length - 6, exit_block);
}

void ColumnRecorder::analyse_anew(int sid, std::int64_t exit, bool paid, double* profile) const {
    const Entry& entry = entries_[sid];
    const TradeToAnalyse trade{price_column_of_[sid], entry.bar, exit, entry.weight > 0,
                               entry.paid, paid};
    const TradePath path = follow_trade(PriceMatrix(price_), PriceMatrix(close_), trade, settings_);
    write_profile(path, CheckedArray<double>(profile, columns_.profile_length));
}

}  // namespace tolvane::native
