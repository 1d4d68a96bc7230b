#include "native/column_recorder.hpp"

#include <cmath>

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
                               std::span<const int> price_column_of, const StockCosts& costs,
                               const RecorderSettings& settings, std::size_t expected_trades)
    : price_(price),
      close_(close),
      price_column_of_(price_column_of),
      costs_(costs),
      settings_(settings),
      entries_(price_column_of.size()),
      carries_(price_column_of.size(), Carry{kNone, kNone, kNone}),
      open_path_of_(price_column_of.size(), -1) {
    if (settings.window < 0 || settings.window_step < 1) {
        throw BrokenInvariant("a profile needs a window >= 0 and a step >= 1");
    }
    trades_.profile_length = profile_length(settings.window, settings.window_step);
    for (auto* column : {&trades_.stock, &trades_.entry_bar, &trades_.exit_bar}) column->reserve(expected_trades);
    for (auto* column : {&trades_.entry_paid, &trades_.exit_paid, &trades_.exit_reason}) {
        column->reserve(expected_trades);
    }
    for (auto* column : {&trades_.entry_weight, &trades_.entry_price, &trades_.exit_price, &trades_.quantity,
                         &trades_.profit, &trades_.costs}) {
        column->reserve(expected_trades);
    }
    trades_.profiles.reserve(expected_trades * static_cast<std::size_t>(trades_.profile_length));
    // An entry and an exit per trade, about.
    const std::size_t expected_orders = 2 * expected_trades;
    orders_.bar.reserve(expected_orders);
    orders_.stock.reserve(expected_orders);
    orders_.side.reserve(expected_orders);
    orders_.reason.reserve(expected_orders);
    for (auto* column : {&orders_.quantity, &orders_.price, &orders_.value, &orders_.fee, &orders_.tax,
                         &orders_.cash}) {
        column->reserve(expected_orders);
    }
}

void ColumnRecorder::entered(int sid, double weight, bool paid) {
    Entry entry;
    entry.bar = bar_;
    entry.weight = weight;
    entry.paid = paid;
    if (!paid) {
        // A split trade continues from the holding carried across the split.
        const Carry& carry = carries_[sid];
        entry.priced = true;
        entry.price = carry.price;
        entry.market_price = carry.price;
        entry.quantity = carry.quantity;
        entry.start_value = carry.value;
    }
    entries_[sid] = entry;
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
    path.sid = sid;
    path.column = price_column_of_[sid];
    path.entry_bar = bar_;
    path.is_long = weight > 0;
    path.entry_paid = paid;
    path.started = false;
    path.waiting_for_price = false;
    path.next_bar = -1;
}

void ColumnRecorder::order(const Order& order) {
    orders_.bar.push_back(bar_);
    orders_.stock.push_back(order.sid);
    orders_.side.push_back(static_cast<std::int8_t>(order.side));
    orders_.reason.push_back(static_cast<std::uint8_t>(order.reason));
    orders_.quantity.push_back(order.quantity);
    orders_.price.push_back(order.price);
    orders_.value.push_back(order.value);
    orders_.fee.push_back(order.fee);
    orders_.tax.push_back(order.tax);
    orders_.cash.push_back(order.cash);

    Entry& entry = entries_[order.sid];
    entry.cash_flow += cash_flow(order);
    entry.costs += order.fee + order.tax;
    if (!entry.priced) {
        entry.priced = true;
        entry.price = order.price;
        entry.market_price = order.market_price;
        entry.quantity = order.quantity;
    }
    entry.last_price = order.price;
    entry.last_market_price = order.market_price;
}

void ColumnRecorder::carried(int sid, const Carry& carry) { carries_[sid] = carry; }

void ColumnRecorder::start(OpenPath& path) {
    const double trade_price = price_(path.entry_bar, path.column);
    const double close = close_(path.entry_bar, path.column);
    double entry_price = trade_price;
    double entry_close = close;
    if (settings_.book_prices) {
        entry_price = entries_[path.sid].market_price;
        // The book values the holding at its entry price at a close it
        // cannot revalue it at.
        if (std::isnan(trade_price) || std::isnan(close)) entry_close = entry_price;
        path.waiting_for_price = std::isnan(trade_price);
    }
    path.follower = PathFollower(entry_price, entry_close, path.is_long, path.entry_paid, costs_.fee_ratio[path.sid]);
    path.started = true;
    path.next_bar = path.follower.failed() ? -1 : path.entry_bar + 1;
    path.samples.clear();
    path.next_sample = settings_.window > 0 ? 0 : kNoSample;
    take_sample(path);
}

double ColumnRecorder::path_close(OpenPath& path, std::int64_t bar, double close) const {
    if (!path.waiting_for_price) return close;
    if (std::isnan(price_(bar, path.column))) return kNone;
    path.waiting_for_price = false;
    return close;
}

void ColumnRecorder::exited(int sid, bool paid, ExitReason reason) {
    if (paid) {
        const Entry& entry = entries_[sid];
        record(sid, bar_, reason, {0.0, entry.last_price, entry.last_market_price, true, false});
    } else {
        const Carry& carry = carries_[sid];
        record(sid, bar_, reason, {carry.value, carry.price, carry.price, false, true});
    }
}

void ColumnRecorder::finish(const PositionBook& book, std::span<const double> closing_values) {
    for (int sid : book.sids()) {
        // NaN counts as open
        if (book.at(sid) != 0) record(sid, -1, ExitReason::Open, {closing_values[sid], kNone, kNone, false, false});
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
void ColumnRecorder::record(int sid, std::int64_t recorded_exit, ExitReason reason, const Ending& ending) {
    const Entry entry = entries_[sid];
    const std::size_t first = trades_.profiles.size();
    trades_.profiles.resize(first + static_cast<std::size_t>(trades_.profile_length), -1.0);
    double* profile = trades_.profiles.data() + first;
    const int index = open_path_of_[sid];
    if (index >= 0) {
        complete_path(paths_[index], bar_, ending, profile);
        open_path_of_[sid] = -1;
        free_paths_.push_back(index);
    } else {
        // A stock that ends a trade it did not open since (a zero book entry
        // sold again) is analysed from its latest entry, as the contract does.
        analyse_anew(sid, bar_, ending.paid, profile);
    }
    trades_.stock.push_back(sid);
    trades_.entry_bar.push_back(entry.bar);
    trades_.exit_bar.push_back(recorded_exit);
    trades_.entry_weight.push_back(entry.weight);
    trades_.entry_paid.push_back(entry.paid ? 1 : 0);
    trades_.exit_paid.push_back(ending.paid ? 1 : 0);
    trades_.exit_reason.push_back(static_cast<std::uint8_t>(reason));
    trades_.entry_price.push_back(entry.price);
    trades_.exit_price.push_back(ending.price);
    trades_.quantity.push_back(entry.quantity);
    trades_.profit.push_back(entry.cash_flow + ending.value - entry.start_value);
    trades_.costs.push_back(entry.costs);
}

// Follows the rest of the path: to the later of `exit` and the end of the
// window (cut at the last bar), taking the exit block at `exit`; the exit's
// costs apply to the path's last point (with book prices: to the exit
// point, at the book's exit price). Writes the profile.
void ColumnRecorder::complete_path(OpenPath& path, std::int64_t exit, const Ending& ending, double* profile) {
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
    const auto step = static_cast<std::uint64_t>(settings_.window_step);
    const AnalysisSettings stock = analysis_of(path.sid);

    // With book prices, the block at the exit point (and a window sample
    // there) gets the book's exit return: a sale's or a split's.
    const bool book_exit = settings_.book_prices && (ending.paid || ending.split);
    ProfileBlock exit_block{};
    const auto take_exit_block = [&] {
        exit_block = follower.state().block();
        if (!book_exit) return;
        const double exit_costs = ending.paid ? stock.fee_ratio + stock.tax_ratio : 0.0;
        exit_block.ret = follower.ratio_at_price(ending.market_price, exit_costs) - 1;
        if (follower.failed()) throw FloatDivisionError{};
        if (!path.samples.empty() && (path.samples.size() - 1) * step == exit_offset) {
            path.samples.back().ret = exit_block.ret;
        }
    };

    // The closes are seen up to the bar before the exit, or up to the exit
    // itself when the trade ends after the last bar's close.
    if (follower.points() == exit_offset + 1) {
        take_exit_block();
    } else if (follower.points() != exit_offset) {
        throw BrokenInvariant("a trade ended before its closes were seen");
    }
    if (follower.points() < points) {
        const CheckedRange<double> closes =
            close_.column(path.column).range(entry + static_cast<std::int64_t>(follower.points()), path_end + 1);
        const auto window = static_cast<std::uint64_t>(settings_.window);
        std::uint64_t next_sample = path.next_sample;
        while (follower.points() < points) {
            const std::int64_t bar = entry + static_cast<std::int64_t>(follower.points());
            follower.follow(path_close(path, bar, closes[bar]));
            if (follower.failed()) throw FloatDivisionError{};
            const std::uint64_t offset = follower.points() - 1;
            if (offset == next_sample) {
                path.samples.push_back(follower.state().block());
                next_sample = offset + step < window ? offset + step : kNoSample;
            }
            if (offset == exit_offset) take_exit_block();
        }
    }

    if (ending.paid && !settings_.book_prices) {
        const bool left_entry_bar = entry != path_end;
        double exit_price = 0.0;
        double exit_close = 0.0;
        if (left_entry_bar) {
            exit_price = price_(path_end, path.column);
            exit_close = close_(path_end, path.column);
        }
        const double exit_ratio =
            follower.exit_ratio(left_entry_bar, exit_price, exit_close, stock.fee_ratio, stock.tax_ratio);
        if (follower.failed()) throw FloatDivisionError{};
        // Only the last point's return changes; the other statistics stay.
        const std::uint64_t last = points - 1;
        if (!path.samples.empty() && (path.samples.size() - 1) * step == last) {
            path.samples.back().ret = exit_ratio - 1;
        }
        if (exit_offset == last) exit_block.ret = exit_ratio - 1;
    }
    for (std::size_t j = 0; j < path.samples.size(); ++j) {
        write_block(profile, static_cast<std::int64_t>(6 * j), path.samples[j]);
    }
    write_block(profile, trades_.profile_length - 6, exit_block);
}

void ColumnRecorder::analyse_anew(int sid, std::int64_t exit, bool paid, double* profile) const {
    const Entry& entry = entries_[sid];
    const TradeToAnalyse trade{price_column_of_[sid], entry.bar, exit, entry.weight > 0,
                               entry.paid, paid};
    const TradePath path = follow_trade(PriceMatrix(price_), PriceMatrix(close_), trade, analysis_of(sid));
    write_profile(path, CheckedArray<double>(profile, trades_.profile_length));
}

}  // namespace tolvane::native
