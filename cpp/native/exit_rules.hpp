// Exit rules for one held stock at one bar: stop-loss, take-profit and
// trailing-stop thresholds, tested on the close (the exit is queued for the
// next bar) or, with touched exits, against the bar's open, high and low (the
// exit happens inside the bar). Every traversal of the bars applies them
// through these functions.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "native/exit_record.hpp"

namespace tolvane::native {

// The trailing stop of a run, as absolute values.
struct TrailingStop {
    double distance;    // how far below the highest ratio (above the lowest, for a short)
    double activation;  // the gain from which it applies
};

// The thresholds of one held stock at one bar, as ratios of its price ratio
// since entry, and the exit reason of each.
struct Thresholds {
    double upper;  // max_r
    double lower;  // min_r
    ExitReason upper_reason;
    ExitReason lower_reason;
};

// Whether `value / cr`, the position valued at its entry price, is above 0
// (a long; a zero entry left by an exit inside an earlier bar counts as a
// short), without dividing where the signs decide: a non-positive value over
// a positive ratio never is, and a positive one is unless the quotient
// underflows, which needs value < cr * 2^-1074 (here: fewer than cr * 2^-1000).
inline bool long_side(double value, double cr) noexcept {
    if (cr > 0 && cr <= std::numeric_limits<double>::max()) {
        if (!(value > 0)) return false;
        if (value >= cr * 0x1p-1000) return true;
    }
    return value / cr > 0;
}

// The thresholds of a long (`is_long`) or a short position, from `maxcr` and
// `mincr`, the extremes of its ratio; the stop levels count by magnitude.
inline Thresholds exit_thresholds(bool is_long, double maxcr, double mincr,
                                  double stop_loss_level, double take_profit_level,
                                  const TrailingStop& trailing) noexcept {
    const double stop_loss = std::abs(stop_loss_level);
    const double take_profit = std::abs(take_profit_level);
    Thresholds limits{};
    if (is_long) {
        const bool trailing_active = maxcr >= 1 + trailing.activation;
        limits.upper = 1 + take_profit;
        limits.upper_reason = ExitReason::TakeProfit;
        limits.lower = 1 - stop_loss;
        limits.lower_reason = ExitReason::StopLoss;
        if (trailing_active && maxcr - trailing.distance > limits.lower) {
            limits.lower = maxcr - trailing.distance;
            limits.lower_reason = ExitReason::TrailingStop;
        }
    } else {
        const bool trailing_active = mincr <= 1 - trailing.activation;
        limits.upper = 1 + stop_loss;
        limits.upper_reason = ExitReason::StopLoss;
        if (trailing_active && mincr + trailing.distance < limits.upper) {
            limits.upper = mincr + trailing.distance;
            limits.upper_reason = ExitReason::TrailingStop;
        }
        limits.lower = 1 - take_profit;
        limits.lower_reason = ExitReason::TakeProfit;
    }
    return limits;
}

// The threshold the ratio at the close crosses, deciding an exit to be
// carried out at the next bar: the upper one (>=) or the lower one (<). NaN
// prices compare false and decide nothing.
enum class Crossing : std::uint8_t { None, Upper, Lower };

inline Crossing crossing_at_close(double cr, double close, double price, const Thresholds& limits) noexcept {
    const double ratio_at_close = cr * close / price;
    if (ratio_at_close >= limits.upper) return Crossing::Upper;
    if (ratio_at_close < limits.lower) return Crossing::Lower;
    return Crossing::None;
}

// The record of a crossing: positive for the upper threshold, negative for
// the lower one.
inline ExitRecord exit_record(int sid, Crossing crossing, const Thresholds& limits) noexcept {
    return crossing == Crossing::Upper ? ExitRecord{sid, true, limits.upper_reason}
                                       : ExitRecord{sid, false, limits.lower_reason};
}

// A sale inside the bar: the value the position is sold at, the price that
// value stands for (the open, or the price at the touched threshold) and its
// record.
struct TouchedExit {
    double value;
    double price;
    ExitRecord record;
};

// The bar's intrabar prices relative to the entry (`cr / r` is the ratio at
// the previous trade price `base`): the position is sold at the open if the
// bar gaps through a threshold, else at the upper threshold if the high
// reaches it, else at the lower one if the low does. A touch on the losing
// side (the low of a long, the high of a short) gives a negative record.
inline std::optional<TouchedExit> exit_touched(int sid, double cr, double r, double entry_pos,
                                               const Thresholds& limits, double high, double low,
                                               double open, double base) noexcept {
    const double ratio_before = cr / r;
    const double high_r = ratio_before * (high / base);
    const double low_r = ratio_before * (low / base);
    const double open_r = ratio_before * (open / base);
    const bool touch_low = low_r <= limits.lower;
    const bool touch_high = high_r >= limits.upper;
    const bool touch_open = open_r >= limits.upper || open_r <= limits.lower;
    if (!(touch_low || touch_high || touch_open)) return std::nullopt;

    TouchedExit sale{};
    if (touch_open) {
        sale.value = entry_pos * open_r;
        sale.price = open;
        sale.record.reason = open_r >= limits.upper ? limits.upper_reason : limits.lower_reason;
    } else if (touch_high) {
        sale.value = entry_pos * limits.upper;
        sale.price = base * (limits.upper / ratio_before);
        sale.record.reason = limits.upper_reason;
    } else {
        sale.value = entry_pos * limits.lower;
        sale.price = base * (limits.lower / ratio_before);
        sale.record.reason = limits.lower_reason;
    }
    const bool losing_side = (touch_low && sale.value > 0) || (touch_high && sale.value < 0);
    sale.record.sid = sid;
    sale.record.positive = !losing_side;
    return sale;
}

}  // namespace tolvane::native
