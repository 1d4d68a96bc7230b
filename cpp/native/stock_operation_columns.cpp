#include "native/stock_operation_columns.hpp"

#include "native/weight_normalization.hpp"

namespace tolvane::native {
namespace {

void divide(std::vector<double>& weights, const std::optional<double>& divisor) {
    if (!divisor) return;
    for (double& weight : weights) weight = weight / *divisor;
}

// Action labels set one after another, each stock keeping the place of its
// first label (as in a dict).
class ActionLabels {
public:
    ActionLabels(StockOperationColumns& columns, std::size_t stocks)
        : columns_(columns), place_of_(stocks, -1) {}

    bool labelled(int sid) const { return place_of_[sid] >= 0; }

    void set(int sid, StockAction action) {
        int& place = place_of_[sid];
        if (place < 0) {
            place = static_cast<int>(columns_.action_stocks.size());
            columns_.action_stocks.push_back(sid);
            columns_.actions.push_back(static_cast<std::uint8_t>(action));
        } else {
            columns_.actions[place] = static_cast<std::uint8_t>(action);
        }
    }

private:
    StockOperationColumns& columns_;
    std::vector<int> place_of_;
};

}  // namespace

StockOperationColumns stock_operation_columns(const RunEndState& end, double position_limit) {
    StockOperationColumns columns;
    const WeightReport<AppliedWeight> applied = applied_weights(end);
    for (const AppliedWeight& stock : applied.stocks) {
        columns.weight_stocks.push_back(stock.sid);
        columns.weights.push_back(stock.sold_since ? 0.0 : stock.weight);
    }
    divide(columns.weights, applied.divisor);

    const WeightReport<TargetWeight> next = next_weights(end);
    for (const TargetWeight& stock : next.stocks) {
        columns.next_weight_stocks.push_back(stock.sid);
        columns.next_weights.push_back(stock.weight);
    }
    divide(columns.next_weights, next.divisor);
    columns.weight_row = end.current_position_id;
    columns.next_weight_row = end.pos_id;

    normalize_weights(columns.weights, position_limit);
    normalize_weights(columns.next_weights, position_limit);

    const auto stocks = static_cast<std::size_t>(end.targets.columns());
    // Whether the normalised next weights hold a stock with a weight other than 0.
    std::vector<std::uint8_t> next_holds(stocks, 0);
    for (std::size_t i = 0; i < columns.next_weight_stocks.size(); ++i) {
        next_holds[columns.next_weight_stocks[i]] = columns.next_weights[i] != 0;
    }

    const ActionDecisions decisions = decide_actions(end);
    ActionLabels labels(columns, stocks);
    for (const auto* group : {&decisions.rebalance, &decisions.queued_exits, &decisions.done_exits}) {
        for (const ActionDecision& decision : *group) {
            if (decision.rule == LabelRule::IfNextTargetHolds && !next_holds[decision.sid]) continue;
            if (decision.rule == LabelRule::UnlessLabelled && labels.labelled(decision.sid)) continue;
            labels.set(decision.sid, decision.action);
        }
    }
    return columns;
}

}  // namespace tolvane::native
