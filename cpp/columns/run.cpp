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
    kFeeMin,
    kFeeFixed,
    kSlippage,
    kLotSize,
    kBorrowRate,
    kCashRate,
    kCapital,
    kBookPrices,
    kEnterDelisted,
    kParameters
};

constexpr std::array<const char*, kParameters> kNames = {
    "price_values", "close_values", "high_values", "low_values", "open_values",
    "price_index", "pos2price", "pos_values", "pos_index", "pos_columns", "resample",
    "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop",
    "trail_stop_activation", "touched_exit", "position_limit", "retain_cost_when_rebalance",
    "stop_trading_next_period", "vexal_window", "vexal_window_step", "periodically_rebalance",
    "delisting_bars", "fee_min", "fee_fixed", "slippage", "lot_size", "borrow_rate", "cash_rate", "capital",
    "book_prices", "enter_delisted"};

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

[[noreturn]] void raise_number_error(const char* name, const char* requirement, double value) {
    PyErr_Format(PyExc_ValueError, "%s must be %s, got %R", name, requirement,
                 py::checked(PyFloat_FromDouble(value)).get());
    throw py::ErrorAlreadySet{};
}

// Whether `value` gives one number per position column (an array of one
// dimension) rather than one number for all.
bool is_per_stock(PyObject* value) {
    if (PyArray_IsAnyScalar(value)) return false;
    if (PyArray_Check(value)) return PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) != 0;
    return PyObject_CheckBuffer(value) != 0;
}

// What a cost of each stock may be.
struct CostRule {
    const char* name;
    double fallback;        // when the argument is absent
    bool ratio;             // a ratio, >= 0 and < 1; else a finite number >= 0
    bool none_is_fallback;  // None stands for the fallback too
};

void check_cost(double value, const CostRule& rule) {
    if (rule.ratio ? !(value >= 0 && value < 1) : !(value >= 0 && value < kInfinity)) {
        raise_number_error(rule.name, rule.ratio ? "a ratio >= 0 and < 1" : "a finite number >= 0", value);
    }
}

// A cost of every stock: a number, or a one-dimensional float64 array with
// one number per position column (checked by `rule`; a number too when
// `check_number`).
native::PerStock stock_cost(PyObject* slot, const CostRule& rule, std::ptrdiff_t positions, bool check_number) {
    if (!slot || (rule.none_is_fallback && slot == Py_None)) return rule.fallback;
    if (!is_per_stock(slot)) {
        const double value = py::to_double(slot, rule.fallback);
        if (check_number) check_cost(value, rule);
        return value;
    }
    const py::Buffer buffer = py::Buffer::acquire(slot, 1, py::ElementType::Float64);
    if (buffer.shape(0) != positions) {
        PyErr_Format(PyExc_ValueError, "%s must be a number or have one number per position column (%zd), got %zd",
                     rule.name, static_cast<Py_ssize_t>(positions), buffer.shape(0));
        throw py::ErrorAlreadySet{};
    }
    const native::StridedView1D<double> view = buffer.view1d<double>();
    std::vector<double> values(static_cast<std::size_t>(positions));
    for (std::ptrdiff_t sid = 0; sid < positions; ++sid) {
        values[sid] = view[sid];
        check_cost(values[sid], rule);
    }
    return native::PerStock(std::move(values));
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

// The money of a run: the costs of each stock, the rates and the capital.
// Without a capital, fee_min, fee_fixed and lot_size are refused, and the fee
// and tax ratios given as numbers are taken as they are (as backtest_ takes
// them).
void money_options(const std::array<PyObject*, kParameters>& slots, std::ptrdiff_t positions,
                   native::RunOptions& options) {
    if (slots[kCapital] && slots[kCapital] != Py_None) {
        const double capital = py::to_double(slots[kCapital], 1.0);
        if (!(capital > 0 && capital < kInfinity)) raise_number_error("capital", "a finite number > 0", capital);
        options.capital = capital;
    }
    const bool money = options.capital.has_value();
    native::StockCosts& costs = options.costs;
    costs.fee_ratio = stock_cost(slots[kFeeRatio], {"fee_ratio", 1.425 / 1000, true, false}, positions, money);
    costs.tax_ratio = stock_cost(slots[kTaxRatio], {"tax_ratio", 0.003, true, false}, positions, money);
    costs.slippage = stock_cost(slots[kSlippage], {"slippage", 0.0, true, true}, positions, true);
    costs.fee_min = stock_cost(slots[kFeeMin], {"fee_min", 0.0, false, true}, positions, true);
    costs.fee_fixed = stock_cost(slots[kFeeFixed], {"fee_fixed", 0.0, false, true}, positions, true);
    costs.lot_size = stock_cost(slots[kLotSize], {"lot_size", 0.0, false, true}, positions, true);
    if (!money && !(costs.fee_min.all_zero() && costs.fee_fixed.all_zero())) {
        raise_value_error("fee_min and fee_fixed are amounts of money: they need a capital");
    }
    if (!money && !costs.lot_size.all_zero()) raise_value_error("lot_size counts shares: it needs a capital");
    for (const auto& [slot, name] : {std::pair{kBorrowRate, "borrow_rate"}, std::pair{kCashRate, "cash_rate"}}) {
        const double rate = number_or(slots[slot], 0.0);
        if (!(rate >= 0 && rate < kInfinity)) raise_number_error(name, "a rate per bar, a finite number >= 0", rate);
        (slot == kBorrowRate ? options.rates.borrow : options.rates.cash) = rate;
    }
}

native::RunOptions run_options(const std::array<PyObject*, kParameters>& slots,
                               const RunArguments& arguments) {
    native::RunOptions options{{1.425 / 1000, 0.003}, kInfinity, 0.0, false, 1.0, false, true, std::nullopt};
    money_options(slots, arguments.buffers[kPosValues].shape(1), options);
    options.trail_stop = number_or(slots[kTrailStop], kInfinity);
    options.trail_stop_activation = py::to_double(slots[kTrailStopActivation], 0.0);
    options.touched_exit = py::to_bool(slots[kTouchedExit], false);
    options.position_limit = py::to_double(slots[kPositionLimit], 1.0);
    options.retain_cost_when_rebalance = py::to_bool(slots[kRetainCostWhenRebalance], false);
    options.stop_trading_next_period = py::to_bool(slots[kStopTradingNextPeriod], true);
    options.enter_delisted = py::to_bool(slots[kEnterDelisted], true);
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
    // A rebalance that resizes a position splits its trade, unless the
    // position keeps its costs across rebalances.
    const bool split = py::to_bool(slots[kPeriodicallyRebalance], true) && !inputs.options.retain_cost_when_rebalance;
    inputs.recording = {window, window_step, split, py::to_bool(slots[kBookPrices], false)};

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
    set_item(dict, "entry_price", array_taking(std::move(trades.entry_price), NPY_DOUBLE));
    set_item(dict, "exit_price", array_taking(std::move(trades.exit_price), NPY_DOUBLE));
    set_item(dict, "quantity", array_taking(std::move(trades.quantity), NPY_DOUBLE));
    set_item(dict, "profit", array_taking(std::move(trades.profit), NPY_DOUBLE));
    set_item(dict, "costs", array_taking(std::move(trades.costs), NPY_DOUBLE));

    native::OrderColumns& orders = result.orders;
    set_item(dict, "order_bar", array_taking(std::move(orders.bar), NPY_INT64));
    set_item(dict, "order_stock", array_taking(std::move(orders.stock), NPY_INT64));
    set_item(dict, "order_side", array_taking(std::move(orders.side), NPY_INT8));
    set_item(dict, "order_reason", array_taking(std::move(orders.reason), NPY_UINT8));
    set_item(dict, "order_quantity", array_taking(std::move(orders.quantity), NPY_DOUBLE));
    set_item(dict, "order_price", array_taking(std::move(orders.price), NPY_DOUBLE));
    set_item(dict, "order_value", array_taking(std::move(orders.value), NPY_DOUBLE));
    set_item(dict, "order_fee", array_taking(std::move(orders.fee), NPY_DOUBLE));
    set_item(dict, "order_tax", array_taking(std::move(orders.tax), NPY_DOUBLE));
    set_item(dict, "order_cash", array_taking(std::move(orders.cash), NPY_DOUBLE));

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
    "vexal_window_step=1, periodically_rebalance=True, delisting_bars=None, fee_min=0.0, "
    "fee_fixed=0.0, slippage=0.0, lot_size=None, borrow_rate=0.0, cash_rate=0.0, capital=None, "
    "book_prices=False, enter_delisted=True)\n"
    "--\n\n"
    "Run the backtest of backtest_ with the interpreter lock released and return\n"
    "its results as arrays in a dict: the equity curve, the trades (stock, entry\n"
    "and exit bar, entry weight, whether entry and exit paid costs, exit reason\n"
    "as an index into EXIT_REASONS, excursion profiles; entry and exit fill\n"
    "price, quantity, profit and costs), the orders (order_bar, order_stock,\n"
    "order_side, order_reason, order_quantity, order_price, order_value,\n"
    "order_fee, order_tax, order_cash) and the stock operations (weights, next\n"
    "weights, actions as indices into ACTIONS, their target rows).\n\n"
    "pos2price gives the price column of each position column (-1: none);\n"
    "stop_loss and take_profit are numbers or tables with `values` and `rows`\n"
    "(tolvane._stops.StopTable); None stands for no take profit and no trailing\n"
    "stop. The price matrices may have any memory layout;\n"
    "they are read in place. Keeps no state between calls.\n\n"
    "fee_ratio, tax_ratio and slippage (a ratio of the trade price: buys fill\n"
    "above it, sales below) are numbers or float64 arrays with one number per\n"
    "position column; borrow_rate (paid on shorts' value) and cash_rate (earned\n"
    "on positive cash) are rates per bar, accrued at each bar's close before its\n"
    "valuation. With a capital the book counts shares and cash in money, from the\n"
    "capital: each order pays max(fee_min, value * fee_ratio) + fee_fixed, and\n"
    "tax_ratio on sales; lot_size rounds shares toward zero to whole lots; a\n"
    "rebalance sells first, then scales its purchases to the cash. Without one,\n"
    "the values are fractions of a capital of 1.0 and fee_min, fee_fixed and\n"
    "lot_size are refused. book_prices: excursions follow the prices the book\n"
    "traded at. enter_delisted=False: a rebalance on or after a stock's delisting\n"
    "bar does not buy it (its target weight stays in cash). With these options\n"
    "at their defaults the results are\n"
    "backtest_'s.");

}  // namespace tolvane::columns
