// run(): arguments checked and held with the GIL, the simulation without it,
// failures and results turned into Python objects with it again.
#include "columns/run.hpp"

#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "columns/owned_array.hpp"
#include "native/columnar_run.hpp"
#include "support/arguments.hpp"
#include "support/buffers.hpp"
#include "support/errors.hpp"
#include "support/gil.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"
#include "support/position_errors.hpp"

namespace tolvane::columns {
namespace {

enum Parameter {
    kPriceValues,
    kCloseValues,
    kHighValues,
    kLowValues,
    kOpenValues,
    kPriceIndex,
    kPos2Price,
    kPosValues,
    kPosIndex,
    kPosColumns,
    kResample,
    kArrays,
    kFeeRatio = kArrays,
    kTaxRatio,
    kStopLoss,
    kTakeProfit,
    kTrailStop,
    kTrailStopActivation,
    kTouchedExit,
    kPositionLimit,
    kRetainCostWhenRebalance,
    kStopTradingNextPeriod,
    kVexalWindow,
    kVexalWindowStep,
    kPeriodicallyRebalance,
    kDelistingBars,
    kParameters
};

constexpr std::array<const char*, kParameters> kNames = {
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "pos2price", "pos_values", "pos_index", "pos_columns", "resample",
    "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
    "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "vexal_window", "vexal_window_step", "periodically_rebalance",
    "delisting_bars"};

struct ArraySpec {
    int ndim;
    py::ElementType type;
};

constexpr std::array<ArraySpec, kArrays> kArraySpecs = {{
    {2, py::ElementType::Float64}, {2, py::ElementType::Float64}, {2, py::ElementType::Float64},
    {2, py::ElementType::Float64}, {2, py::ElementType::Float64}, {1, py::ElementType::Int64},
    {1, py::ElementType::Int64},   {2, py::ElementType::Float64}, {1, py::ElementType::Int64},
    {1, py::ElementType::Object},  {1, py::ElementType::Int64},
}};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

[[noreturn]] void raise_value_error(const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    throw py::ErrorAlreadySet{};
}

// The attribute `name` of `object`, or null if it has none.
py::Ref optional_attribute(PyObject* object, const char* name) {
    py::Ref value = py::Ref::steal(PyObject_GetAttrString(object, name));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::ErrorAlreadySet{};
        PyErr_Clear();
    }
    return value;
}

// A number, or `fallback` when absent or None.
double number_or(PyObject* value, double fallback) {
    return value == Py_None ? fallback : py::to_double(value, fallback);
}

// One stop setting: a level for every bar and position column, or a table
// (an object with `values`, float64 [row, position column], and `rows`, intp
// [bar]: the row of each bar).
class StopSetting {
public:
    // `setting` may be null or None (`fallback` for every bar and column).
    StopSetting(PyObject* setting, double fallback) : level_(fallback) {
        if (!setting || setting == Py_None) return;
        py::Ref values = optional_attribute(setting, "values");
        if (!values) {
            level_ = py::to_double(setting, fallback);
            return;
        }
        py::Ref rows = py::checked(PyObject_GetAttrString(setting, "rows"));
        values_ = py::Buffer::acquire(values.get(), 2, py::ElementType::Float64);
        rows_ = py::Buffer::acquire(rows.get(), 1, py::ElementType::Intp);
    }

    // Raises ValueError unless the table has one column per position column
    // and a valid row for every bar.
    void check(std::ptrdiff_t bars, std::ptrdiff_t positions) const {
        if (!values_.held()) return;
        const native::StridedView2D<double> values = values_.view2d<double>();
        const native::StridedView1D<std::ptrdiff_t> rows = rows_.view1d<std::ptrdiff_t>();
        bool matches = values.columns() == positions && rows.size() == bars;
        for (std::ptrdiff_t bar = 0; matches && bar < rows.size(); ++bar) {
            matches = rows[bar] >= 0 && rows[bar] < values.rows();
        }
        if (!matches) raise_value_error("Stop thresholds do not match the price bars and position columns");
    }

    // A single level is read through views that do not move: one element
    // for every bar and column.
    native::StopLevels levels(std::ptrdiff_t bars, std::ptrdiff_t positions) const {
        if (values_.held()) return {values_.view2d<double>(), rows_.view1d<std::ptrdiff_t>()};
        return {{reinterpret_cast<const char*>(&level_), 1, positions, 0, 0},
                {reinterpret_cast<const char*>(&first_row_), bars, 0}};
    }

private:
    double level_;
    std::ptrdiff_t first_row_ = 0;
    py::Buffer values_;
    py::Buffer rows_;
};

// run()'s arguments, checked, with their buffers held for the whole call.
struct RunArguments {
    std::array<py::Buffer, kArrays> buffers;
    py::Buffer delisting_bars;
    std::optional<StopSetting> stop_loss;
    std::optional<StopSetting> take_profit;
    std::vector<int> price_column_of;
    native::ColumnarRunInputs inputs{};
};

[[noreturn]] void raise_out_of_order(const char* name, std::ptrdiff_t index) {
    PyErr_Format(PyExc_ValueError,
                 "%s must be in ascending order, but element %zd is earlier than element %zd",
                 name, static_cast<Py_ssize_t>(index), static_cast<Py_ssize_t>(index - 1));
    throw py::ErrorAlreadySet{};
}

void check_shapes(const RunArguments& arguments) {
    const auto& buffers = arguments.buffers;
    const native::StridedView2D<double> price = buffers[kPriceValues].view2d<double>();
    for (int matrix = kCloseValues; matrix <= kOpenValues; ++matrix) {
        const native::StridedView2D<double> other = buffers[matrix].view2d<double>();
        if (other.rows() != price.rows() || other.columns() != price.columns()) {
            PyErr_Format(PyExc_ValueError, "%s has shape (%zd, %zd) but price_values has (%zd, %zd)",
                         kNames[matrix], static_cast<Py_ssize_t>(other.rows()),
                         static_cast<Py_ssize_t>(other.columns()), static_cast<Py_ssize_t>(price.rows()),
                         static_cast<Py_ssize_t>(price.columns()));
            throw py::ErrorAlreadySet{};
        }
    }
    if (buffers[kPriceIndex].shape(0) != price.rows()) {
        raise_value_error("price_index must have one date per row of the price matrices");
    }
    const native::StridedView2D<double> targets = buffers[kPosValues].view2d<double>();
    if (buffers[kPosIndex].shape(0) != targets.rows()) {
        raise_value_error("pos_index must have one date per row of pos_values");
    }
    if (buffers[kPosColumns].shape(0) != targets.columns()) {
        raise_value_error("Position values do not match position columns");
    }
    if (buffers[kPos2Price].shape(0) != targets.columns()) {
        raise_value_error("pos2price must have one price column per position column");
    }
    if (arguments.delisting_bars.held() && arguments.delisting_bars.shape(0) != targets.columns()) {
        raise_value_error("delisting_bars must have one bar per position column");
    }
}

// The price column of each position column, each -1 (none) or a column of
// the price matrices.
std::vector<int> price_columns_of(const RunArguments& arguments) {
    const native::StridedView1D<std::int64_t> map = arguments.buffers[kPos2Price].view1d<std::int64_t>();
    const Py_ssize_t columns = arguments.buffers[kPriceValues].shape(1);
    std::vector<int> price_column_of(static_cast<std::size_t>(map.size()));
    for (std::ptrdiff_t sid = 0; sid < map.size(); ++sid) {
        if (map[sid] < -1 || map[sid] >= columns) {
            raise_value_error("pos2price must hold price columns of the price matrices, or -1 for none");
        }
        price_column_of[sid] = static_cast<int>(map[sid]);
    }
    return price_column_of;
}

native::RunOptions run_options(const std::array<PyObject*, kParameters>& slots,
                               const RunArguments& arguments) {
    native::RunOptions options{
        {py::to_double(slots[kFeeRatio], 1.425 / 1000), py::to_double(slots[kTaxRatio], 0.003)},
        number_or(slots[kTrailStop], kInfinity),
        py::to_double(slots[kTrailStopActivation], 0.0),
        py::to_bool(slots[kTouchedExit], false),
        py::to_double(slots[kPositionLimit], 1.0),
        py::to_bool(slots[kRetainCostWhenRebalance], false),
        py::to_bool(slots[kStopTradingNextPeriod], true),
        std::nullopt,
    };
    // A NaN limit would clip nothing and a negative one would flip sides.
    if (!(options.position_limit >= 0)) {
        PyErr_Format(PyExc_ValueError, "position_limit must be a number >= 0, got %R",
                     py::checked(PyFloat_FromDouble(options.position_limit)).get());
        throw py::ErrorAlreadySet{};
    }
    if (arguments.delisting_bars.held()) {
        options.delisting_bars = arguments.delisting_bars.view1d<std::int64_t>();
    }
    return options;
}

// Converts and checks the arguments, leaving `arguments` ready to run.
void prepare(const std::array<PyObject*, kParameters>& slots, RunArguments& arguments) {
    for (int i = 0; i < kArrays; ++i) {
        arguments.buffers[i] = py::Buffer::acquire(slots[i], kArraySpecs[i].ndim, kArraySpecs[i].type);
    }
    if (slots[kDelistingBars] && slots[kDelistingBars] != Py_None) {
        arguments.delisting_bars = py::Buffer::acquire(slots[kDelistingBars], 1, py::ElementType::Int64);
    }
    check_shapes(arguments);
    const auto& buffers = arguments.buffers;
    native::ColumnarRunInputs& inputs = arguments.inputs;
    inputs.market = {buffers[kPriceValues].view2d<double>(), buffers[kCloseValues].view2d<double>(),
                     buffers[kHighValues].view2d<double>(),  buffers[kLowValues].view2d<double>(),
                     buffers[kOpenValues].view2d<double>(),  buffers[kPriceIndex].view1d<std::int64_t>(),
                     buffers[kPosValues].view2d<double>(),   buffers[kPosIndex].view1d<std::int64_t>(),
                     buffers[kResample].view1d<std::int64_t>()};
    inputs.options = run_options(slots, arguments);
    const int window = py::to_int(slots[kVexalWindow], 0);
    const int window_step = py::to_int(slots[kVexalWindowStep], 1);
    if (window < 0 || window_step < 1) raise_value_error("vexal_window must be >= 0 and vexal_window_step >= 1");
    inputs.analysis = {window, window_step, inputs.options.costs.fee_ratio, inputs.options.costs.tax_ratio};
    // A rebalance that resizes a position splits its trade, unless the
    // position keeps its costs across rebalances.
    inputs.split_resized_positions = py::to_bool(slots[kPeriodicallyRebalance], true) &&
                                     !inputs.options.retain_cost_when_rebalance;

    const std::ptrdiff_t bars = inputs.market.price_index.size();
    const std::ptrdiff_t positions = inputs.market.pos_values.columns();
    arguments.stop_loss.emplace(slots[kStopLoss], 1.0);
    arguments.take_profit.emplace(slots[kTakeProfit], kInfinity);
    arguments.stop_loss->check(bars, positions);
    arguments.take_profit->check(bars, positions);
    inputs.stop_loss = arguments.stop_loss->levels(bars, positions);
    inputs.take_profit = arguments.take_profit->levels(bars, positions);

    arguments.price_column_of = price_columns_of(arguments);
    inputs.price_column_of = arguments.price_column_of;
    if (const auto unpriced = native::first_unpriced_traded_column(inputs.market.pos_values,
                                                                   arguments.price_column_of)) {
        py::raise_unpriced_column(slots[kPosColumns], *unpriced);
    }
    if (const auto index = native::first_out_of_order(inputs.market.price_index)) {
        raise_out_of_order("price_index", *index);
    }
    if (const auto index = native::first_out_of_order(inputs.market.pos_index)) {
        raise_out_of_order("pos_index", *index);
    }
}

void set_item(PyObject* dict, const char* key, py::Ref value) {
    py::checked_status(PyDict_SetItemString(dict, key, value.get()));
}

py::Ref results(py::Ref equity, native::ColumnarRunResult&& result) {
    py::Ref columns = py::checked(PyDict_New());
    PyObject* dict = columns.get();
    native::TradeColumns& trades = result.trades;
    set_item(dict, "equity", std::move(equity));
    npy_intp profile_shape[2] = {static_cast<npy_intp>(trades.stock.size()), trades.profile_length};
    set_item(dict, "trade_stock", array_taking(std::move(trades.stock), NPY_INT64));
    set_item(dict, "entry_bar", array_taking(std::move(trades.entry_bar), NPY_INT64));
    set_item(dict, "exit_bar", array_taking(std::move(trades.exit_bar), NPY_INT64));
    set_item(dict, "entry_weight", array_taking(std::move(trades.entry_weight), NPY_DOUBLE));
    set_item(dict, "entry_paid", array_taking(std::move(trades.entry_paid), NPY_BOOL));
    set_item(dict, "exit_paid", array_taking(std::move(trades.exit_paid), NPY_BOOL));
    set_item(dict, "exit_reason", array_taking(std::move(trades.exit_reason), NPY_UINT8));
    set_item(dict, "profiles", array_taking(std::move(trades.profiles), NPY_DOUBLE, 2, profile_shape));

    native::StockOperationColumns& operations = result.operations;
    set_item(dict, "weight_stock", array_taking(std::move(operations.weight_stocks), NPY_INT64));
    set_item(dict, "weight", array_taking(std::move(operations.weights), NPY_DOUBLE));
    set_item(dict, "next_weight_stock", array_taking(std::move(operations.next_weight_stocks), NPY_INT64));
    set_item(dict, "next_weight", array_taking(std::move(operations.next_weights), NPY_DOUBLE));
    set_item(dict, "action_stock", array_taking(std::move(operations.action_stocks), NPY_INT64));
    set_item(dict, "action", array_taking(std::move(operations.actions), NPY_UINT8));
    set_item(dict, "weight_row", py::checked(PyLong_FromLongLong(operations.weight_row)));
    set_item(dict, "next_weight_row", py::checked(PyLong_FromLongLong(operations.next_weight_row)));
    return columns;
}

PyObject* run(PyObject*, PyObject* args, PyObject* kwargs) {
    // Outside the body: the translator reads the position labels after the
    // body has unwound (the slots borrow from args and kwargs).
    std::array<PyObject*, kParameters> slots{};
    const auto name_the_position = [&slots](const native::Failure& failure) {
        return py::set_invalid_trade_price(slots[kPosColumns], failure);
    };
    return py::boundary(kModule, "run", [&] {
        py::parse_arguments({"run", kNames, kArrays}, args, kwargs, slots);
        RunArguments arguments;
        prepare(slots, arguments);
        npy_intp bars = arguments.inputs.market.price_index.size();
        py::Ref equity = py::checked(PyArray_EMPTY(1, &bars, NPY_DOUBLE, 0));
        auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(equity.get())));
        native::ColumnarRunResult result;
        py::run_without_gil([&] {
            result = native::run_columnar(arguments.inputs, native::CheckedArray<double>(values, bars));
        });
        return results(std::move(equity), std::move(result)).release();
    }, name_the_position);
}

}  // namespace

PyMethodDef run_definition = py::keyword_function("run", run,
    "run($module, price_values, close_values, high_values, low_values, open_values, "
    "price_index, pos2price, pos_values, pos_index, pos_columns, resample, "
    "fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, take_profit=None, trail_stop=None, "
    "trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
    "retain_cost_when_rebalance=False, stop_trading_next_period=True, vexal_window=0, "
    "vexal_window_step=1, periodically_rebalance=True, delisting_bars=None)\n"
    "--\n\n"
    "Run the backtest of backtest_ with the interpreter lock released and return\n"
    "its results as arrays in a dict: the equity curve, the trades (stock, entry\n"
    "and exit bar, entry weight, whether entry and exit paid costs, exit reason\n"
    "as an index into EXIT_REASONS, excursion profiles) and the stock operations\n"
    "(weights, next weights, actions as indices into ACTIONS, their target rows).\n\n"
    "pos2price gives the price column of each position column (-1: none);\n"
    "stop_loss and take_profit are numbers or tables with `values` and `rows`\n"
    "(tolvane._stops.StopTable); None stands for no take profit and no trailing\n"
    "stop. The price matrices may have any memory layout;\n"
    "they are read in place. Keeps no state between calls.");

}  // namespace tolvane::columns
