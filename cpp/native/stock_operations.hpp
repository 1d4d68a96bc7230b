// The stock operations a run leaves for the bar after its last: the weights
// applied at the latest rebalance, the weights of the target in force and the
// action due for each stock, decided from the state the run ends in.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "native/exit_record.hpp"
#include "native/position_book.hpp"
#include "native/strided_view.hpp"

namespace tolvane::native {

// The state a run ends in, as its stock operations read it.
struct RunEndState {
    const PositionBook* book;                     // the holdings after the last bar
    StridedView2D<double> targets;                // pos_values: [target row, position column]
    StridedView1D<std::int64_t> bar_dates;        // price_index
    StridedView1D<std::int64_t> target_dates;     // pos_index
    std::int64_t current_position_id;             // the target row applied at the latest rebalance (-1: none)
    std::int64_t pos_id;                          // the target row in force after the last bar
    bool should_rebalance;                        // pos_id is due at the bar after the last
    std::span<const int> latest_rebalanced_sids;  // the stocks held right after the latest rebalance
    std::span<const double> rebalance_row;        // the weights it applied (stopped stocks zeroed)
    std::span<const ExitRecord> exit_stocks;      // exits queued for the bar after the last
    std::span<const ExitRecord> exited_stocks;    // exits carried out since the latest rebalance
    bool stop_trading_next_period;                // stopped stocks sit out the next rebalance
};

// A weight applied at the latest rebalance, as pos_values gives it.
struct AppliedWeight {
    int sid;
    double weight;
    bool sold_since;  // the stock left the book after the rebalance: reported as 0
};

// A weight of the target in force.
struct TargetWeight {
    int sid;
    double weight;
};

// Weights in report order, and what scales them down to an absolute total of 1.
template <class Weight>
struct WeightReport {
    std::vector<Weight> stocks;
    std::optional<double> divisor;  // their absolute total, when it is above 1
};

// One weight per stock held right after the latest rebalance, in stock order;
// the total counts the stocks sold since too.
WeightReport<AppliedWeight> applied_weights(const RunEndState& end);

// The non-zero weights of the row in force (of the latest rebalance's own
// weights when it is still that row). When stopped stocks sit out a period,
// stocks exited since the rebalance and stocks with a queued exit are left
// out, and the total leaves out those that the due rebalance will not hold.
// Raises BufferIndexError when the row in force is not in pos_values.
WeightReport<TargetWeight> next_weights(const RunEndState& end);

enum class StockAction {
    Enter,               // "enter": the due rebalance buys a stock not held
    Exit,                // "exit": it sells a held stock
    Hold,                // "hold": it keeps a held stock
    TakeProfit,          // "tp": an exit queued on the upper threshold
    StopLoss,            // "sl": an exit queued on the lower threshold
    TakeProfitAndEnter,  // "tp_enter": queued, and the next target holds the stock again
    StopLossAndEnter,    // "sl_enter"
    TookProfit,          // "tp_": an exit on the upper threshold carried out since the rebalance
    StoppedOut,          // "sl_": one on the lower threshold
};

inline constexpr int kStockActions = 9;

// The action's label in the stock operations ("enter", "tp_", ...).
const char* action_label(StockAction action) noexcept;

// When a decided action becomes the stock's label.
enum class LabelRule {
    Always,             // replacing any earlier label
    IfNextTargetHolds,  // if the next weights, as normalize_weight returned them, hold the
                        // stock with a weight other than 0
    UnlessLabelled,     // if the stock has no label yet
};

struct ActionDecision {
    int sid;
    StockAction action;
    LabelRule rule;
};

// The decisions, each group in the order its labels are applied.
struct ActionDecisions {
    std::vector<ActionDecision> rebalance;     // of the rebalance due at the bar after the last
    std::vector<ActionDecision> queued_exits;  // of the exits queued for that bar
    std::vector<ActionDecision> done_exits;    // of the exits carried out since the latest rebalance
};

ActionDecisions decide_actions(const RunEndState& end);

}  // namespace tolvane::native
