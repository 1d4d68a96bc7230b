// Trading: moving one holding to a target value with fees and taxes, and
// rebalancing the whole book to a row of target weights.
#pragma once

#include "native/position_book.hpp"
#include "native/strided_view.hpp"

namespace tolvane::native {

// Receives the trades the engine makes. Implementations may fail by throwing.
class TradeRecorder {
public:
    virtual void record_date(int bar) = 0;
    // A stock goes from no position to a position of `weight` (a share of the
    // portfolio value); `transaction` is 1 for a real trade, 0 for a split.
    virtual void record_entry(int sid, double weight, int transaction) = 0;
    virtual void record_exit(int sid, int transaction) = 0;
    // Whether resizing a held position closes its trade record and opens a
    // new one (read afresh at each resize).
    virtual bool split_resized_positions() = 0;

protected:
    ~TradeRecorder() = default;
};

struct Costs {
    double fee_ratio;  // on every trade
    double tax_ratio;  // in addition, on trades that reduce or close exposure
};

struct PositionUpdate {
    bool check_null = true;  // look `sid` up (false: assume it is present)
    bool set_null = false;   // remove the entry when it ends at zero
    double balance = 1.0;    // divisor that turns the target into the recorded weight
};

// Moves the holding of `sid` to `position`, settles cash and costs (a buy's
// cost comes out of the holding, a sale's out of the proceeds) and reports
// the entry or exit. Returns the new cash.
double set_position(PositionBook& book, int sid, double position, double cash, Costs costs,
                    TradeRecorder& recorder, PositionUpdate update = {});

// Sets every position column to its weight in `weights` times the portfolio
// value (scaled down when the absolute weights add up to more than 1, clipped
// to +-position_limit of the portfolio value), in column order. Returns cash.
double rebalance(PositionBook& book, StridedView1D<double> weights, double cash, Costs costs,
                 double position_limit, TradeRecorder& recorder);

// sum(|x|) exactly as NumPy's add reduction computes it (pairwise summation
// in blocks of eight, starting from 0.0).
double absolute_sum(StridedView1D<double> values);

}  // namespace tolvane::native
