// Why a trade ended.
#pragma once

#include <cstdint>

namespace tolvane::native {

enum class ExitReason : std::uint8_t {
    Rebalance,     // a rebalance sold the position, or resized it and split its trade
    StopLoss,      // the stop-loss threshold: the lower one of a long, the upper one of a short
    TakeProfit,    // the take-profit threshold: the upper one of a long, the lower one of a short
    TrailingStop,  // the trailing stop, where it was tighter than the stop loss
    Delisting,     // the stock was delisted
    Open,          // the trade was still open when the run ended
};

inline constexpr int kExitReasons = 6;

// The reason's name in results ("rebalance", "stop_loss", ...).
constexpr const char* exit_reason_label(ExitReason reason) noexcept {
    switch (reason) {
        case ExitReason::Rebalance: return "rebalance";
        case ExitReason::StopLoss: return "stop_loss";
        case ExitReason::TakeProfit: return "take_profit";
        case ExitReason::TrailingStop: return "trailing_stop";
        case ExitReason::Delisting: return "delisting";
        case ExitReason::Open: return "open";
    }
    return "";
}

}  // namespace tolvane::native
