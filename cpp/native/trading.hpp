// Trading: moving one holding to a target value with fees and taxes, and
// rebalancing the whole book to a row of target weights.
#pragma once

#include <cmath>
#include <cstddef>

#include "native/exit_reason.hpp"
#include "native/position_book.hpp"
#include "native/strided_view.hpp"
#include "native/trade_recorder.hpp"

namespace tolvane::native {

struct Costs {
    double fee_ratio;  // on every trade
    double tax_ratio;  // in addition, on trades that reduce or close exposure
};

struct PositionUpdate {
    bool check_null = true;  // look `sid` up (false: assume it is present)
    bool set_null = false;   // remove the entry when it ends at zero
    double balance = 1.0;    // divisor that turns the target into the recorded weight
    ExitReason exit_reason = ExitReason::Rebalance;  // reported when the position ends
};

// What selling a holding of value `held` brings in cash: its value less fee and tax.
inline double sale_proceeds(double held, Costs costs) noexcept {
    return held - std::abs(held) * (costs.fee_ratio + costs.tax_ratio);
}

// The weight reported with an entry: the target as a share of `balance`
// (raises HostDivisionByZero for a zero balance).
double entry_weight(double position, double balance);

// Moves the holding of `sid` to `position`, settles cash and costs (a buy's
// cost comes out of the holding, a sale's out of the proceeds) and reports
// the entry or exit to `recorder`. Returns the new cash.
template <TradeRecorder Recorder>
double set_position(PositionBook& book, int sid, double position, double cash, Costs costs,
                    Recorder& recorder, PositionUpdate update = {}) try {
    const bool exist = update.check_null ? book.contains(sid) : true;
    const bool had_position = book.contains(sid) && book.at(sid) != 0;
    const bool has_position = position != 0;  // NaN counts as a position

    if (!had_position && has_position) {
        recorder.entered(sid, entry_weight(position, update.balance), true);
    } else if (had_position && !has_position) {
        recorder.exited(sid, true, update.exit_reason);
    } else if (had_position && has_position && recorder.split_resized_positions()) {
        recorder.exited(sid, false, ExitReason::Rebalance);
        recorder.entered(sid, entry_weight(position, update.balance), false);
    }

    if (position == 0) {
        if (exist) {
            double& held = book[sid];
            cash = cash + sale_proceeds(held, costs);
            if (update.set_null) {
                book.erase(sid);
            } else {
                held = 0;
            }
        }
        return cash;
    }

    double& held = book[sid];
    const double amount = position - held;
    const bool buy = amount > 0;
    const bool grows_exposure = (position > 0 && amount > 0) || (position < 0 && amount < 0);
    const double cost = grows_exposure ? std::abs(amount) * costs.fee_ratio
                                       : std::abs(amount) * (costs.fee_ratio + costs.tax_ratio);
    if (buy) {
        cash = cash - amount;
        held = held + (amount - cost);
    } else {
        cash = cash + (-amount - cost);
        held = held + amount;
    }
    if (update.set_null && held == 0) book.erase(sid);
    return cash;
}
TOLVANE_PASSED_THROUGH("set_position")

// sum(|x|) exactly as NumPy's add reduction computes it (pairwise summation
// in blocks of eight, starting from 0.0).
double absolute_sum(StridedView1D<double> values);

// Sets every position column to its weight in `weights` times the portfolio
// value (scaled down when the absolute weights add up to more than 1, clipped
// to +-position_limit of the portfolio value), in column order. Returns cash.
template <TradeRecorder Recorder>
double rebalance(PositionBook& book, StridedView1D<double> weights, double cash, Costs costs,
                 double position_limit, Recorder& recorder) try {
    double balance = cash;
    for (int sid : book.sids()) balance += book.at(sid);

    const double total = absolute_sum(weights);
    double ratio = balance / (1 > total ? 1.0 : total);
    if (std::isnan(ratio)) ratio = 1.0;

    const double limit = position_limit * balance;
    const PositionUpdate update{true, true, balance, ExitReason::Rebalance};
    // Most columns of a wide row are neither targeted nor held: read a
    // contiguous row without a check per element.
    const double* elements = weights.contiguous_elements();
    for (std::ptrdiff_t sid = 0; sid < weights.size(); ++sid) {
        double target = (elements ? elements[sid] : weights[sid]) * ratio;
        // A zero target for a stock not held changes nothing (set_position
        // would look it up, find nothing and return the cash unchanged).
        if (target == 0 && !book.contains(static_cast<int>(sid))) continue;
        if (std::abs(target) > limit) target = limit * (target > 0 ? 1 : -1);
        cash = set_position(book, static_cast<int>(sid), target, cash, costs, recorder, update);
    }
    return cash;
}
TOLVANE_PASSED_THROUGH("rebalance")

}  // namespace tolvane::native
