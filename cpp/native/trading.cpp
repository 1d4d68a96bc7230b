#include "native/trading.hpp"

#include <cmath>
#include <cstddef>

namespace tolvane::native {
namespace {

// The weight reported with an entry: the target as a share of `balance`.
double entry_weight(double position, double balance) {
    if (balance == 0.0) throw HostDivisionByZero{};
    return position / balance;
}

// NumPy's pairwise summation, here of the magnitudes of the `count` values
// that `at(0 .. count - 1)` reads: blocks of up to 128 values are summed in
// eight interleaved accumulators, longer runs are split in halves (rounded
// down to a multiple of eight).
template <class Reader>
double pairwise_abs_sum(const Reader& at, std::ptrdiff_t first, std::ptrdiff_t count) {
    if (count < 8) {
        double sum = 0.0;
        for (std::ptrdiff_t i = 0; i < count; ++i) sum += std::abs(at(first + i));
        return sum;
    }
    if (count <= 128) {
        double partial[8];
        for (std::ptrdiff_t j = 0; j < 8; ++j) partial[j] = std::abs(at(first + j));
        std::ptrdiff_t i = 8;
        for (; i < count - count % 8; i += 8) {
            for (std::ptrdiff_t j = 0; j < 8; ++j) partial[j] += std::abs(at(first + i + j));
        }
        double sum = ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
                     ((partial[4] + partial[5]) + (partial[6] + partial[7]));
        for (; i < count; ++i) sum += std::abs(at(first + i));
        return sum;
    }
    std::ptrdiff_t half = count / 2;
    half -= half % 8;
    return pairwise_abs_sum(at, first, half) + pairwise_abs_sum(at, first + half, count - half);
}

}  // namespace

double set_position(PositionBook& book, int sid, double position, double cash, Costs costs,
                    TradeRecorder& recorder, PositionUpdate update) try {
    const bool exist = update.check_null ? book.contains(sid) : true;
    const bool had_position = book.contains(sid) && book.at(sid) != 0;
    const bool has_position = position != 0;  // NaN counts as a position

    if (!had_position && has_position) {
        recorder.record_entry(sid, entry_weight(position, update.balance), 1);
    } else if (had_position && !has_position) {
        recorder.record_exit(sid, 1);
    } else if (had_position && has_position && recorder.split_resized_positions()) {
        recorder.record_exit(sid, 0);
        recorder.record_entry(sid, entry_weight(position, update.balance), 0);
    }

    if (position == 0) {
        if (exist) {
            double& held = book[sid];
            cash = cash + (held - std::abs(held) * (costs.fee_ratio + costs.tax_ratio));
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

double rebalance(PositionBook& book, StridedView1D<double> weights, double cash, Costs costs,
                 double position_limit, TradeRecorder& recorder) try {
    double balance = cash;
    for (int sid : book.sids()) balance += book.at(sid);

    const double total = absolute_sum(weights);
    double ratio = balance / (1 > total ? 1.0 : total);
    if (std::isnan(ratio)) ratio = 1.0;

    const double limit = position_limit * balance;
    const PositionUpdate update{true, true, balance};
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

double absolute_sum(StridedView1D<double> values) {
    // Contiguous values (the run's own copy of a target row) are read without
    // a check per element: every index the summation reads is below size().
    if (const double* elements = values.contiguous_elements()) {
        return 0.0 + pairwise_abs_sum([elements](std::ptrdiff_t i) { return elements[i]; }, 0, values.size());
    }
    return 0.0 + pairwise_abs_sum([&values](std::ptrdiff_t i) { return values[i]; }, 0, values.size());
}

}  // namespace tolvane::native
