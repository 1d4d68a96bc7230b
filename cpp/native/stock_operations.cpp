#include "native/stock_operations.hpp"

#include <algorithm>
#include <cmath>

namespace tolvane::native {
namespace {

bool holds_position(const PositionBook& book, int sid) {
    return book.contains(sid) && book.at(sid) != 0;
}

bool lists(std::span<const ExitRecord> records, int sid) {
    return std::any_of(records.begin(), records.end(),
                       [sid](const ExitRecord& record) { return record.sid == sid; });
}

}  // namespace

WeightReport<AppliedWeight> applied_weights(const RunEndState& end) {
    WeightReport<AppliedWeight> report;
    double total = 0;
    for (int sid : end.latest_rebalanced_sids) {
        const double weight = end.targets(end.current_position_id, sid);
        report.stocks.push_back({sid, weight, !end.book->contains(sid)});
        total += std::abs(weight);
    }
    if (total > 1) report.divisor = total;
    return report;
}

WeightReport<TargetWeight> next_weights(const RunEndState& end) {
    std::vector<double> newer_row;
    std::span<const double> target = end.rebalance_row;
    if (end.pos_id != end.current_position_id) {
        const StridedView1D<double> row = end.targets.row(end.pos_id);
        for (std::ptrdiff_t sid = 0; sid < row.size(); ++sid) newer_row.push_back(row[sid]);
        target = newer_row;
    }
    WeightReport<TargetWeight> report;
    double total = 0;
    for (std::size_t column = 0; column < target.size(); ++column) {
        const int sid = static_cast<int>(column);
        const double weight = target[column];
        bool reported = true;
        bool sits_out = false;  // the due rebalance leaves the stock out
        if (end.stop_trading_next_period) {
            if (lists(end.exited_stocks, sid)) {
                reported = false;
                sits_out = true;
            } else if (lists(end.exit_stocks, sid)) {
                // A queued exit of a stock already flat will be dropped, so it
                // does not bar the stock from the rebalance.
                reported = false;
                sits_out = holds_position(*end.book, sid);
            }
        }
        if (!(sits_out && end.should_rebalance)) total += std::abs(weight);
        if (reported && weight != 0) report.stocks.push_back({sid, weight});
    }
    if (total > 1) report.divisor = total;
    return report;
}

const char* action_label(StockAction action) noexcept {
    switch (action) {
        case StockAction::Enter: return "enter";
        case StockAction::Exit: return "exit";
        case StockAction::Hold: return "hold";
        case StockAction::TakeProfit: return "tp";
        case StockAction::StopLoss: return "sl";
        case StockAction::TakeProfitAndEnter: return "tp_enter";
        case StockAction::StopLossAndEnter: return "sl_enter";
        case StockAction::TookProfit: return "tp_";
        case StockAction::StoppedOut: return "sl_";
    }
    return "";
}

ActionDecisions decide_actions(const RunEndState& end) {
    ActionDecisions decisions;
    if (end.should_rebalance) {
        const StridedView1D<double> row = end.targets.row(end.pos_id);
        for (std::ptrdiff_t column = 0; column < row.size(); ++column) {
            const int sid = static_cast<int>(column);
            const double weight = row[column];
            if (holds_position(*end.book, sid)) {
                const StockAction action = weight == 0 ? StockAction::Exit : StockAction::Hold;
                decisions.rebalance.push_back({sid, action, LabelRule::Always});
            } else if (weight != 0) {
                decisions.rebalance.push_back({sid, StockAction::Enter, LabelRule::Always});
            }
        }
    }

    if (!end.exit_stocks.empty()) {
        // A stock sold at the next bar can be bought back there only by a
        // target row dated on the last bar, and only when stopped stocks may trade.
        const std::int64_t last_date = end.bar_dates[end.bar_dates.size() - 1];
        const bool row_is_stale = last_date > end.target_dates[end.pos_id];
        const bool may_reenter = !end.stop_trading_next_period && !row_is_stale;
        for (const ExitRecord& exit : end.exit_stocks) {
            if (may_reenter) {
                const StockAction action =
                    exit.positive ? StockAction::TakeProfitAndEnter : StockAction::StopLossAndEnter;
                decisions.queued_exits.push_back({exit.sid, action, LabelRule::IfNextTargetHolds});
            } else {
                const StockAction action = exit.positive ? StockAction::TakeProfit : StockAction::StopLoss;
                decisions.queued_exits.push_back({exit.sid, action, LabelRule::Always});
            }
        }
    }

    const LabelRule done_rule =
        end.stop_trading_next_period ? LabelRule::Always : LabelRule::UnlessLabelled;
    for (const ExitRecord& exit : end.exited_stocks) {
        const StockAction action = exit.positive ? StockAction::TookProfit : StockAction::StoppedOut;
        decisions.done_exits.push_back({exit.sid, action, done_rule});
    }
    return decisions;
}

}  // namespace tolvane::native
