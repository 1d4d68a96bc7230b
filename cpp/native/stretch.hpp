// What a walk over a stretch of bars without a rebalance keeps: each held
// stock's state as the walk leaves it, the sales it made, the stocks' values
// at each close, and the earliest failure.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <tuple>
#include <vector>

#include "native/exit_record.hpp"
#include "native/order.hpp"

namespace tolvane::native {

// Where in a bar a sale happens, in the bar's order.
enum class BarStep : std::uint8_t {
    Revaluation,  // revaluation and exit tests (a touched exit sells here)
    QueuedExits,  // the exits queued at the previous bar
    Delisting,    // after the (absent) rebalance
};

// A point in a run's order of events: bar, step, then stock.
struct RunOrder {
    std::int64_t bar;
    BarStep step;
    int sid;

    friend bool operator<(const RunOrder& a, const RunOrder& b) {
        return std::tie(a.bar, a.step, a.sid) < std::tie(b.bar, b.step, b.sid);
    }
};

// What a stock's walk carries from one bar to the next.
struct StockState {
    double value;  // its book value
    double cr;
    double maxcr;
    double mincr;
    double base;  // its price column's last known trade price
    double shares;  // in a book kept in money
    bool has_queued;
    ExitRecord queued;  // the exit decided at the previous bar, when has_queued
};

// Where a stock's walk over its bars ended.
struct StockWalkEnd {
    std::int64_t last_revalued;  // the last bar it was revalued at
    std::int64_t last_held;      // the last bar at whose close it is in the book
    std::int64_t trade_end;      // the bar at which the walk ended its trade (else the stretch's end)
    bool sold;                   // it left the book
};

// One held stock walked across a stretch.
struct StockWalk {
    int sid;
    int column;
    StockState state;     // as the walk leaves it
    StockWalkEnd walked;
};

// A sale made by the walk (or a touched exit of a zero entry, which sells
// nothing), to be settled in the run's order.
struct StretchSale {
    RunOrder when;
    double proceeds;                  // added to cash
    bool ends_trade;                  // the stock held a position: the recorder hears of it
    ExitReason reason;
    std::optional<ExitRecord> exited;  // recorded among the exits since the latest rebalance
    Order order;                      // its cash set when settled; side 0: nothing sold
};

struct StretchFailure {
    RunOrder when;
    std::exception_ptr error;
};

struct StretchScratch {
    std::vector<StockWalk> stocks;     // the stocks held when the stretch begins, by sid
    std::vector<double> close_values;  // [stock * bars + bar]: each stock's value at each close
    std::vector<double> short_values;  // per bar, with rates: the short holdings' values at the close
    std::vector<StretchSale> sales;
    std::vector<double> cash;          // at each close; then the portfolio's value there
    std::optional<StretchFailure> failure;  // the earliest in the run's order
};

}  // namespace tolvane::native
