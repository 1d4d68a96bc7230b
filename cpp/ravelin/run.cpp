#include "ravelin/run.hpp"

#include <optional>
#include <vector>

#include "native/simulation.hpp"
#include "ravelin/input_integrity.hpp"
#include "ravelin/run_setup.hpp"
#include "ravelin/state.hpp"
#include "ravelin/stock_operations.hpp"
#include "ravelin/vexal_recorder.hpp"
#include "support/collector_pause.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"
#include "support/position_errors.hpp"

namespace tolvane::ravelin {
namespace {

native::MarketData market_views(const BacktestArguments& arguments) {
    const auto& buffers = arguments.buffers;
    return {buffers[kPriceValues].view2d<double>(),       buffers[kCloseValues].view2d<double>(),
            buffers[kHighValues].view2d<double>(),        buffers[kLowValues].view2d<double>(),
            buffers[kOpenValues].view2d<double>(),        buffers[kPriceIndex].view1d<std::int64_t>(),
            buffers[kPosValues].view2d<double>(),         buffers[kPosIndex].view1d<std::int64_t>(),
            buffers[kResample].view1d<std::int64_t>()};
}

[[noreturn]] void raise_value_error(py::Ref message) {
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw py::ErrorAlreadySet{};
}

// A resolved stop table and the views the bar loop reads from it.
struct StopTableViews {
    py::Ref table;
    py::Ref values;
    py::Ref rows;
    py::Buffer values_buffer;
    py::Buffer rows_buffer;

    native::StopLevels levels() const {
        return {values_buffer.view2d<double>(), rows_buffer.view1d<std::ptrdiff_t>()};
    }
};

// Marks the engine busy for the length of a run: a callback (stop_table,
// encode, normalize_weight, ...) must not start another run, which would
// replace the state this one is using.
class RunInProgress {
public:
    explicit RunInProgress(EngineState& engine) : engine_(engine) {
        if (engine_.run_in_progress) {
            PyErr_SetString(PyExc_RuntimeError,
                            "backtest_ is already running: a callback cannot start another run");
            throw py::ErrorAlreadySet{};
        }
        engine_.run_in_progress = true;
    }
    ~RunInProgress() { engine_.run_in_progress = false; }
    RunInProgress(const RunInProgress&) = delete;
    RunInProgress& operator=(const RunInProgress&) = delete;

private:
    EngineState& engine_;
};

[[noreturn]] void raise_out_of_order(const char* name, std::ptrdiff_t index) {
    PyErr_Format(PyExc_ValueError,
                 "%s must be in ascending order, but element %zd is earlier than element %zd",
                 name, static_cast<Py_ssize_t>(index), static_cast<Py_ssize_t>(index - 1));
    throw py::ErrorAlreadySet{};
}

// The price column of each position column (-1: none), from the column map.
std::vector<int> price_columns_of(const std::map<int, int>& column_map,
                                  const native::StridedView2D<double>& pos_values) {
    std::vector<int> columns(static_cast<std::size_t>(pos_values.columns()), -1);
    for (const auto& [sid, column] : column_map) {
        if (sid >= 0 && static_cast<std::size_t>(sid) < columns.size()) columns[sid] = column;
    }
    return columns;
}

StopTableViews view_stop_table(py::Ref table) {
    StopTableViews views;
    views.values = py::checked(PyObject_GetAttrString(table.get(), "values"));
    views.rows = py::checked(PyObject_GetAttrString(table.get(), "rows"));
    views.values_buffer = py::Buffer::acquire(views.values.get(), 2, py::ElementType::Float64);
    views.rows_buffer = py::Buffer::acquire(views.rows.get(), 1, py::ElementType::Intp);
    views.table = std::move(table);
    return views;
}

}  // namespace

py::Ref run_backtest(const BacktestArguments& arguments) {
    const RunInProgress running(engine());
    // A run creates a trade record (a list, two scalars and an array) for every
    // entry and resize: tens of thousands of young objects, none of them in a
    // reference cycle. Collecting them mid-run frees nothing and costs time.
    const py::CollectorPause collector_paused;
    const auto& arrays = arguments.arrays;
    const native::MarketData market = market_views(arguments);
    native::RunOptions options{
        {arguments.fee_ratio, arguments.tax_ratio},
        arguments.trail_stop,
        arguments.trail_stop_activation,
        arguments.touched_exit,
        arguments.position_limit,
        arguments.retain_cost_when_rebalance,
        py::is_true(arguments.stop_trading_next_period),
        std::nullopt,
    };
    if (arguments.delisting_bars.held()) {
        options.delisting_bars = arguments.delisting_bars.view1d<std::int64_t>();
    }

    set_module_global("RETAIN_COST_WHEN_REBALANCE",
                      arguments.retain_cost_when_rebalance ? Py_True : Py_False);
    set_module_global("RESAMPLE", arguments.periodically_rebalance ? Py_True : Py_False);

    std::map<int, int> column_map = map_columns(arrays[kPriceColumns], arrays[kPosColumns]);
    npy_intp bars = market.price_index.size();
    py::Ref creturn = py::checked(PyArray_EMPTY(1, &bars, NPY_DOUBLE, 0));
    native::Simulation simulation(market, options, price_columns_of(column_map, market.pos_values));

    const auto position_columns = arguments.buffers[kPosColumns].view1d<PyObject*>().size();
    if (market.pos_values.columns() != position_columns) {
        raise_value_error(
            py::checked(PyUnicode_FromString("Position values do not match position columns")));
    }
    if (const std::optional<int> unpriced = simulation.unpriced_traded_column()) {
        py::raise_unpriced_column(arrays[kPosColumns], *unpriced);
    }
    if (const auto index = native::first_out_of_order(market.price_index)) {
        raise_out_of_order("price_index", *index);
    }
    if (const auto index = native::first_out_of_order(market.pos_index)) {
        raise_out_of_order("pos_index", *index);
    }

    const StopTableViews stop_loss = view_stop_table(
        stop_thresholds(arguments.stop_loss, arrays[kPriceIndex], arrays[kPosColumns]));
    const StopTableViews take_profit = view_stop_table(
        stop_thresholds(arguments.take_profit, arrays[kPriceIndex], arrays[kPosColumns]));
    simulation.set_stop_levels(stop_loss.levels(), take_profit.levels());
    simulation.build_rebalance_calendar();

    InputIntegrity inputs;
    for (const py::Buffer& buffer : arguments.buffers) inputs.watch(buffer);
    for (const py::Buffer* buffer : {&arguments.delisting_bars, &stop_loss.values_buffer,
                                     &stop_loss.rows_buffer, &take_profit.values_buffer,
                                     &take_profit.rows_buffer}) {
        inputs.watch(*buffer);
    }
    // Label encoding and the stop-table builders ran Python code.
    inputs.verify();

    VexalRecorder recorder(engine().vexal, inputs);
    recorder.start_analysis(arrays[kPriceValues], arrays[kCloseValues], column_map,
                            static_cast<int>(market.pos_values.columns()), arguments.fee_ratio,
                            arguments.tax_ratio, arguments.vexal_window,
                            arguments.vexal_window_step);
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
    simulation.run(recorder, native::CheckedArray<double>(values, bars));
    std::map<int, double> final_book = simulation.book().to_map();
    recorder.end_analysis(final_book);
    publish_stock_operations(simulation.end_state(), arguments.position_limit, inputs);
    return creturn;
}

bool translate_run_failure(PyObject* pos_columns, const native::Failure& failure) {
    return py::set_invalid_trade_price(pos_columns, failure);
}

}  // namespace tolvane::ravelin
