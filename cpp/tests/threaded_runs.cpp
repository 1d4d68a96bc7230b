// Several columnar runs at once on std::threads, without Python: each must
// give what it gives alone, byte for byte. Built with ThreadSanitizer by
// scripts/run-tsan, which fails on any report. Each run is also run bar by
// bar (Simulation::run), which must give the same results as the stretch
// walk the columnar run uses. Some runs keep the book in fractions of 1.0,
// some in money (a capital, lots, minimum and fixed fees), with slippage,
// costs per stock and rates.
//
//     threaded_runs [runs] [rounds]      exit status 0: all equal
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "native/columnar_run.hpp"

namespace {

using namespace tolvane::native;

constexpr std::int64_t kDay = 86'400'000'000'000;

// A random market and run options, owning the arrays the views point into.
struct Market {
    std::int64_t bars;
    std::int64_t columns;  // price and position columns, one to one
    std::vector<double> price, close, high, low, open;  // column-major [bar, column]
    std::vector<std::int64_t> dates;
    std::vector<double> targets;  // row-major [row, column]
    std::vector<std::int64_t> target_dates;
    std::vector<std::int64_t> calendar;
    std::vector<int> price_column_of;
    std::vector<std::int64_t> delisting;
    double stop_loss;
    double take_profit;
    std::ptrdiff_t first_row = 0;
    RunOptions options{};
    RecorderSettings recording{};

    explicit Market(unsigned seed) {
        std::mt19937_64 random(seed);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::normal_distribution<double> move(0.0, 0.03);
        bars = 300 + static_cast<std::int64_t>(random() % 400);
        columns = 20 + static_cast<std::int64_t>(random() % 60);
        const auto cells = static_cast<std::size_t>(bars * columns);
        price.resize(cells);
        close.resize(cells);
        high.resize(cells);
        low.resize(cells);
        open.resize(cells);
        for (std::int64_t c = 0; c < columns; ++c) {
            double level = 20.0 + 80.0 * unit(random);
            for (std::int64_t b = 0; b < bars; ++b) {
                level *= std::exp(move(random));
                const std::size_t at = static_cast<std::size_t>(c * bars + b);
                price[at] = unit(random) < 0.01 ? std::nan("") : level;
                close[at] = level * (1 + 0.01 * (unit(random) - 0.5));
                high[at] = std::fmax(price[at], close[at]) * (1 + 0.02 * unit(random));
                low[at] = std::fmin(price[at], close[at]) * (1 - 0.02 * unit(random));
                open[at] = level * (1 + 0.02 * (unit(random) - 0.5));
            }
        }
        for (std::int64_t b = 0; b < bars; ++b) dates.push_back(b * kDay);
        const std::int64_t every = 1 + static_cast<std::int64_t>(random() % 30);
        for (std::int64_t b = 0; b < bars; b += every) {
            target_dates.push_back(dates[b]);
            for (std::int64_t c = 0; c < columns; ++c) {
                const double u = unit(random);
                targets.push_back(u < 0.6 ? 0.0 : (u < 0.9 ? 1.0 : -1.0) * unit(random) / 10);
            }
        }
        for (std::int64_t b = 0; b < bars; ++b) {
            if (unit(random) < 0.5) calendar.push_back(dates[b]);
        }
        for (std::int64_t c = 0; c < columns; ++c) {
            price_column_of.push_back(static_cast<int>(c));
            delisting.push_back(unit(random) < 0.1 ? static_cast<std::int64_t>(random() % bars) : -1);
        }
        stop_loss = unit(random) < 0.5 ? 1.0 : 0.05 + 0.2 * unit(random);
        take_profit = unit(random) < 0.5 ? INFINITY : 0.05 + 0.4 * unit(random);
        options = {{0.001425, 0.003},
                   unit(random) < 0.5 ? INFINITY : 0.1,
                   0.05,
                   unit(random) < 0.3,
                   1.0,
                   unit(random) < 0.3,
                   unit(random) < 0.5,
                   StridedView1D<std::int64_t>(reinterpret_cast<const char*>(delisting.data()), columns, 8)};
        recording = {static_cast<int>(random() % 25), 1 + static_cast<int>(random() % 4), unit(random) < 0.7,
                     unit(random) < 0.5};
        add_money(random);
    }

    // Slippage, fees per stock and rates; about half the runs keep their book
    // in money, most with lots, all with minimum fees.
    void add_money(std::mt19937_64& random) {
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        const auto per_stock = [&](double low, double high) {
            std::vector<double> values;
            for (std::int64_t c = 0; c < columns; ++c) values.push_back(low + (high - low) * unit(random));
            return PerStock(std::move(values));
        };
        options.costs.fee_ratio = per_stock(0.0, 0.003);
        options.costs.slippage = unit(random) < 0.5 ? PerStock(0.0) : per_stock(0.0, 0.002);
        options.rates = {unit(random) < 0.5 ? 0.0 : 0.0002, unit(random) < 0.5 ? 0.0 : 0.0001};
        if (unit(random) < 0.5) return;
        options.capital = 1e6;
        options.costs.fee_min = 20.0;
        options.costs.fee_fixed = unit(random) < 0.5 ? 0.0 : 1.0;
        options.costs.lot_size = unit(random) < 0.3 ? PerStock(0.0) : per_stock(1.0, 100.0);
    }

    ColumnarRunInputs inputs() const {
        const auto matrix = [&](const std::vector<double>& values) {
            return StridedView2D<double>(reinterpret_cast<const char*>(values.data()), bars, columns, 8,
                                         8 * bars);
        };
        const auto dates_view = [](const std::vector<std::int64_t>& values) {
            return StridedView1D<std::int64_t>(reinterpret_cast<const char*>(values.data()),
                                               static_cast<std::ptrdiff_t>(values.size()), 8);
        };
        const auto level = [&](const double& value) {
            return StopLevels{{reinterpret_cast<const char*>(&value), 1, columns, 0, 0},
                              {reinterpret_cast<const char*>(&first_row), bars, 0}};
        };
        const auto rows = static_cast<std::ptrdiff_t>(target_dates.size());
        return {{matrix(price), matrix(close), matrix(high), matrix(low), matrix(open), dates_view(dates),
                 StridedView2D<double>(reinterpret_cast<const char*>(targets.data()), rows, columns,
                                       8 * columns, 8),
                 dates_view(target_dates), dates_view(calendar)},
                options,
                price_column_of,
                level(stop_loss),
                level(take_profit),
                recording};
    }
};

// A run's results as bytes, or its failure.
struct Outcome {
    std::string bytes;
    std::string failure;

    bool operator==(const Outcome&) const = default;
};

template <class T>
void append(std::string& bytes, const std::vector<T>& values) {
    bytes.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
}

Outcome outcome_of(std::vector<double>& equity, const ColumnarRunResult& result) {
    Outcome outcome;
    append(outcome.bytes, equity);
    const TradeColumns& trades = result.trades;
    for (const auto* column : {&trades.stock, &trades.entry_bar, &trades.exit_bar}) append(outcome.bytes, *column);
    append(outcome.bytes, trades.entry_weight);
    for (const auto* column : {&trades.entry_paid, &trades.exit_paid, &trades.exit_reason}) {
        append(outcome.bytes, *column);
    }
    append(outcome.bytes, trades.profiles);
    for (const auto* column : {&trades.entry_price, &trades.exit_price, &trades.quantity, &trades.profit,
                               &trades.costs}) {
        append(outcome.bytes, *column);
    }
    const OrderColumns& orders = result.orders;
    append(outcome.bytes, orders.bar);
    append(outcome.bytes, orders.stock);
    append(outcome.bytes, orders.side);
    append(outcome.bytes, orders.reason);
    for (const auto* column : {&orders.quantity, &orders.price, &orders.value, &orders.fee, &orders.tax,
                               &orders.cash}) {
        append(outcome.bytes, *column);
    }
    const StockOperationColumns& operations = result.operations;
    append(outcome.bytes, operations.weight_stocks);
    append(outcome.bytes, operations.weights);
    append(outcome.bytes, operations.next_weight_stocks);
    append(outcome.bytes, operations.next_weights);
    append(outcome.bytes, operations.action_stocks);
    append(outcome.bytes, operations.actions);
    return outcome;
}

Outcome columnar(const Market& market) {
    std::vector<double> equity(static_cast<std::size_t>(market.bars));
    try {
        const ColumnarRunResult result =
            run_columnar(market.inputs(), CheckedArray<double>(equity.data(), market.bars));
        return outcome_of(equity, result);
    } catch (const Failure&) {
        return {{}, "failure"};
    }
}

// The same run through the bar loop, one bar after another.
Outcome bar_by_bar(const Market& market) {
    const ColumnarRunInputs inputs = market.inputs();
    std::vector<double> equity(static_cast<std::size_t>(market.bars));
    try {
        Simulation simulation(inputs.market, inputs.options, inputs.price_column_of);
        simulation.set_stop_levels(inputs.stop_loss, inputs.take_profit);
        simulation.build_rebalance_calendar();
        ColumnRecorder recorder(inputs.market.price, inputs.market.close, simulation.price_columns(),
                                inputs.options.costs, inputs.recording, 0);
        simulation.run(recorder, CheckedArray<double>(equity.data(), market.bars));
        recorder.finish(simulation.book(), simulation.closing_values());
        RecordedColumns recorded = std::move(recorder).take();
        return outcome_of(equity, {std::move(recorded.trades), std::move(recorded.orders),
                                   stock_operation_columns(simulation.end_state(),
                                                           inputs.options.position_limit)});
    } catch (const Failure&) {
        return {{}, "failure"};
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 6;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    std::vector<Market> markets;
    for (int run = 0; run < runs; ++run) markets.emplace_back(1000u + static_cast<unsigned>(run));

    std::vector<Outcome> alone;
    int failed = 0;
    for (const Market& market : markets) {
        alone.push_back(columnar(market));
        if (!(bar_by_bar(market) == alone.back())) {
            std::fprintf(stderr, "run %zu: the stretch walk differs from the bar loop\n", alone.size() - 1);
            ++failed;
        }
    }
    for (int round = 0; round < rounds; ++round) {
        std::vector<Outcome> together(markets.size());
        std::vector<std::thread> threads;
        for (std::size_t run = 0; run < markets.size(); ++run) {
            threads.emplace_back([&, run] { together[run] = columnar(markets[run]); });
        }
        for (std::thread& thread : threads) thread.join();
        for (std::size_t run = 0; run < markets.size(); ++run) {
            if (!(together[run] == alone[run])) {
                std::fprintf(stderr, "round %d, run %zu: differs from the run alone\n", round, run);
                ++failed;
            }
        }
    }
    std::size_t trades = 0;
    for (const Outcome& outcome : alone) trades += outcome.bytes.size();
    std::printf("%d runs, %d rounds on %d threads: %s (%zu bytes of results)\n", runs, rounds, runs,
                failed ? "DIFFERENCES" : "all equal", trades);
    return failed ? 1 : 0;
}
