#include "native/columnar_run.hpp"

#include <algorithm>

namespace tolvane::native {
namespace {

// Room for the trade records: one per held stock and target row, counting
// the stocks of the first row. Unused room costs address space only.
std::size_t expected_trades(const StridedView2D<double>& targets) {
    const StridedView1D<double> first = targets.row(0);
    std::size_t held = 1;
    for (std::ptrdiff_t sid = 0; sid < first.size(); ++sid) held += first[sid] != 0;
    return held * static_cast<std::size_t>(targets.rows());
}

}  // namespace

ColumnarRunResult run_columnar(const ColumnarRunInputs& inputs, CheckedArray<double> equity) {
    Simulation simulation(inputs.market, inputs.options, inputs.price_column_of);
    simulation.set_stop_levels(inputs.stop_loss, inputs.take_profit);
    simulation.build_rebalance_calendar();
    ColumnRecorder recorder(inputs.market.price, inputs.market.close, simulation.price_columns(),
                            inputs.options.costs, inputs.recording, expected_trades(inputs.market.pos_values));
    simulation.run_by_stretches(recorder, equity);
    recorder.finish(simulation.book(), simulation.closing_values());
    RecordedColumns recorded = std::move(recorder).take();
    return {std::move(recorded.trades), std::move(recorded.orders),
            stock_operation_columns(simulation.end_state(), inputs.options.position_limit)};
}

}  // namespace tolvane::native
