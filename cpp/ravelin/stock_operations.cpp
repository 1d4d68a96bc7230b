#include "ravelin/stock_operations.hpp"

#include <algorithm>
#include <cmath>

#include "ravelin/state.hpp"
#include "support/numpy_api.hpp"

namespace tolvane::ravelin {
namespace {

using native::ExitRecord;

py::Ref integer(long long value) { return py::checked(PyLong_FromLongLong(value)); }

// A weight as reading it from pos_values gives it: a NumPy float64 scalar.
py::Ref float64_scalar(double value) {
    py::Ref descriptor = py::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    return py::checked(
        PyArray_Scalar(&value, reinterpret_cast<PyArray_Descr*>(descriptor.get()), nullptr));
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    py::checked_status(PyDict_SetItem(dict, key, value));
}

void set_label(PyObject* actions, int sid, const char* label) {
    py::Ref text = py::checked(PyUnicode_FromString(label));
    set_item(actions, integer(sid).get(), text.get());
}

// Divides every value of `weights` by `total` (Python true division).
void divide_values(PyObject* weights, double total) {
    py::Ref divisor = py::checked(PyFloat_FromDouble(total));
    py::Ref items = py::checked(PyDict_Items(weights));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        py::Ref divided =
            py::checked(PyNumber_TrueDivide(PyTuple_GET_ITEM(item, 1), divisor.get()));
        set_item(weights, PyTuple_GET_ITEM(item, 0), divided.get());
    }
}

bool holds_position(const native::PositionBook& book, int sid) {
    return book.contains(sid) && book.at(sid) != 0;
}

bool lists(const std::vector<ExitRecord>& records, int sid) {
    return std::any_of(records.begin(), records.end(),
                       [sid](const ExitRecord& record) { return record.sid == sid; });
}

py::Ref item(PyObject* operations, const char* key) {
    return py::checked(PyMapping_GetItemString(operations, key));
}

// Replaces stock_operations[key] by normalize_weight(stock_operations[key], limit),
// looking normalize_weight up on the module now.
void normalize(PyObject* operations, const char* key, double position_limit) {
    py::Ref limit = py::checked(PyFloat_FromDouble(position_limit));
    py::Ref normalized = py::checked(PyObject_CallFunctionObjArgs(
        module_global("normalize_weight"), item(operations, key).get(), limit.get(), nullptr));
    py::checked_status(PyDict_SetItemString(operations, key, normalized.get()));
}

}  // namespace

void publish_stock_operations(const native::Simulation& run, const native::MarketData& market,
                              double position_limit, bool stop_trading_next_period,
                              const InputIntegrity& inputs) {
    py::Ref operations = py::checked(PyDict_New());
    py::Ref actions = py::checked(PyDict_New());
    py::Ref weights = py::checked(PyDict_New());
    py::Ref next_weights = py::checked(PyDict_New());
    py::checked_status(PyDict_SetItemString(operations.get(), "actions", actions.get()));
    py::checked_status(PyDict_SetItemString(operations.get(), "weights", weights.get()));
    py::checked_status(PyDict_SetItemString(operations.get(), "next_weights", next_weights.get()));
    engine().stock_operations = operations;

    const native::PositionBook& book = run.book();
    const std::int64_t current_row = run.current_position_id();
    const std::int64_t next_row = run.pos_id();

    // The weights of the latest rebalance.
    double latest_weight_sum = 0;
    for (int sid : run.latest_rebalanced_sids()) {
        const double weight = market.pos_values(current_row, sid);
        py::Ref value = book.contains(sid) ? float64_scalar(weight) : integer(0);
        set_item(weights.get(), integer(sid).get(), value.get());
        latest_weight_sum += std::abs(weight);
    }
    if (latest_weight_sum > 1) divide_values(weights.get(), latest_weight_sum);

    // The weights of the next target, without stocks that are (or are being)
    // stopped out when stopped stocks sit out a period.
    std::vector<double> target;
    if (next_row != current_row) {
        const native::StridedView1D<double> row = market.pos_values.row(next_row);
        for (std::ptrdiff_t sid = 0; sid < row.size(); ++sid) target.push_back(row[sid]);
    } else {
        target = run.rebalance_row();
    }
    double total_next_weight_sum = 0;
    for (std::size_t column = 0; column < target.size(); ++column) {
        const int sid = static_cast<int>(column);
        const double weight = target[column];
        bool dropped = false;
        bool skip = false;
        if (stop_trading_next_period) {
            if (lists(run.exited_stocks(), sid)) {
                dropped = skip = true;
            } else if (lists(run.exit_stocks(), sid)) {
                skip = true;
                dropped = holds_position(book, sid);
            }
        }
        if (!(dropped && run.should_rebalance())) total_next_weight_sum += std::abs(weight);
        if (!skip && weight != 0) {
            set_item(next_weights.get(), integer(sid).get(), float64_scalar(weight).get());
        }
    }
    py::checked_status(
        PyDict_SetItemString(operations.get(), "weight_time", integer(current_row).get()));
    py::checked_status(
        PyDict_SetItemString(operations.get(), "next_weight_time", integer(next_row).get()));
    if (total_next_weight_sum > 1) divide_values(next_weights.get(), total_next_weight_sum);

    normalize(operations.get(), "weights", position_limit);
    normalize(operations.get(), "next_weights", position_limit);
    inputs.verify();

    // Labels of the rebalance due at the bar after the last one.
    if (run.should_rebalance()) {
        const native::StridedView1D<double> row = market.pos_values.row(next_row);
        for (std::ptrdiff_t column = 0; column < row.size(); ++column) {
            const int sid = static_cast<int>(column);
            const double weight = row[column];
            if (!holds_position(book, sid)) {
                if (weight != 0) set_label(actions.get(), sid, "enter");
            } else {
                set_label(actions.get(), sid, weight == 0 ? "exit" : "hold");
            }
        }
    }

    // Labels of the exits queued for the next bar.
    const std::vector<ExitRecord>& queued = run.exit_stocks();
    if (!queued.empty()) {
        const std::int64_t last_date = market.price_index[market.price_index.size() - 1];
        const bool row_is_stale = last_date > market.pos_index[next_row];
        const py::Ref next = item(operations.get(), "next_weights");
        const py::Ref zero = integer(0);
        for (const ExitRecord& exit : queued) {
            if (stop_trading_next_period || row_is_stale) {
                set_label(actions.get(), exit.sid, exit.positive ? "tp" : "sl");
                continue;
            }
            // Re-entered by the next target: the stock is sold and bought back.
            py::Ref key = integer(exit.sid);
            if (!py::checked_status(PySequence_Contains(next.get(), key.get()))) continue;
            py::Ref weight = py::checked(PyObject_GetItem(next.get(), key.get()));
            if (py::checked_status(PyObject_RichCompareBool(weight.get(), zero.get(), Py_NE))) {
                set_label(actions.get(), exit.sid, exit.positive ? "tp_enter" : "sl_enter");
            }
        }
    }

    // Labels of the exits carried out since the latest rebalance.
    for (const ExitRecord& exit : run.exited_stocks()) {
        py::Ref key = integer(exit.sid);
        const int labelled = py::checked_status(PyDict_Contains(actions.get(), key.get()));
        if (stop_trading_next_period || !labelled) {
            set_label(actions.get(), exit.sid, exit.positive ? "tp_" : "sl_");
        }
    }
}

}  // namespace tolvane::ravelin
