// get_trade_stocks and get_stock_operations: what the latest run left behind.
#include <array>

#include "ravelin/functions.hpp"
#include "ravelin/state.hpp"
#include "support/arguments.hpp"
#include "support/buffers.hpp"
#include "support/errors.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
namespace {

py::Ref subscript(PyObject* container, PyObject* key) {
    return py::checked(PyObject_GetItem(container, key));
}

py::Ref item_at(PyObject* container, Py_ssize_t index) {
    py::Ref key = py::checked(PyLong_FromSsize_t(index));
    return subscript(container, key.get());
}

py::Ref minus(PyObject* left, PyObject* right) {
    return py::checked(PyNumber_Subtract(left, right));
}

// vexal.trade_positions, looked up once per call, when the first row needs it.
class TradePositions {
public:
    py::Ref at(Py_ssize_t k) {
        if (!list_) list_ = py::checked(PyObject_GetAttrString(module_global("vexal"), "trade_positions"));
        return item_at(list_.get(), k);
    }

private:
    py::Ref list_;
};

// One row of the trade table, from trade entry `trade` (index `k`).
py::Ref trade_row(PyObject* trade, Py_ssize_t k, PyObject* pos_columns, PyObject* price_index,
                  bool touched_exit, TradePositions& positions, PyObject* minus_one, PyObject* one) {
    auto is_closed = [&] { return py::compare(item_at(trade, 2).get(), minus_one, Py_NE); };
    std::array<py::Ref, 9> row;
    row[0] = subscript(pos_columns, item_at(trade, 0).get());
    row[1] = subscript(price_index, item_at(trade, 1).get());
    row[2] = is_closed() ? subscript(price_index, item_at(trade, 2).get()) : py::Ref::borrow(minus_one);
    row[3] = subscript(price_index, minus(item_at(trade, 1).get(), one).get());
    if (!is_closed()) {
        row[4] = py::Ref::borrow(minus_one);
    } else if (touched_exit) {
        row[4] = subscript(price_index, item_at(trade, 2).get());
    } else {
        row[4] = subscript(price_index, minus(item_at(trade, 2).get(), one).get());
    }
    row[5] = positions.at(k);
    if (is_closed()) {
        row[6] = minus(item_at(trade, 2).get(), item_at(trade, 1).get());
    } else {
        const Py_ssize_t bars = PyObject_Size(price_index);
        if (bars < 0) throw py::ErrorAlreadySet{};
        py::Ref length = py::checked(PyLong_FromSsize_t(bars));
        row[6] = minus(length.get(), item_at(trade, 1).get());
    }
    row[7] = item_at(trade, 1);
    row[8] = item_at(trade, 2);

    py::Ref list = py::checked(PyList_New(9));
    for (Py_ssize_t i = 0; i < 9; ++i) PyList_SET_ITEM(list.get(), i, row[i].release());
    return list;
}

void check_array_or_none(const char* name, PyObject* value) {
    if (value == Py_None || PyObject_TypeCheck(value, &PyArray_Type)) return;
    py::raise_incorrect_type(name, &PyArray_Type, value);
}

py::Buffer buffer_unless_none(PyObject* value, py::ElementType type) {
    return value == Py_None ? py::Buffer{} : py::Buffer::acquire(value, 1, type);
}

PyObject* get_trade_stocks(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "get_trade_stocks", [&] {
        static constexpr std::array<const char*, 3> names{"pos_columns", "price_index", "touched_exit"};
        std::array<PyObject*, 3> slots{};
        py::parse_arguments({"get_trade_stocks", names, 3}, args, kwargs, slots);
        PyObject* pos_columns = slots[0];
        PyObject* price_index = slots[1];
        const bool touched_exit = py::is_true(slots[2]);
        check_array_or_none("pos_columns", pos_columns);
        check_array_or_none("price_index", price_index);
        const py::Buffer labels = buffer_unless_none(pos_columns, py::ElementType::Object);
        const py::Buffer dates = buffer_unless_none(price_index, py::ElementType::Int64);

        py::Ref minus_one = py::checked(PyLong_FromLong(-1));
        py::Ref one = py::checked(PyLong_FromLong(1));
        py::Ref rows = py::checked(PyList_New(0));
        py::Ref trades = py::checked(PyObject_GetAttrString(module_global("vexal"), "trades"));
        TradePositions positions;
        py::Ref iterator = py::checked(PyObject_GetIter(trades.get()));
        Py_ssize_t k = 0;
        while (py::Ref trade = py::Ref::steal(PyIter_Next(iterator.get()))) {
            py::Ref row = trade_row(trade.get(), k++, pos_columns, price_index, touched_exit,
                                    positions, minus_one.get(), one.get());
            py::checked_status(PyList_Append(rows.get(), row.get()));
        }
        py::throw_if_error_set();
        PyObject* operations = engine().stock_operations ? engine().stock_operations.get() : Py_None;
        return py::checked(PyTuple_Pack(2, rows.get(), operations)).release();
    });
}

PyObject* get_stock_operations(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "get_stock_operations", [&] {
        py::parse_no_arguments("get_stock_operations", args, kwargs);
        PyObject* operations = engine().stock_operations ? engine().stock_operations.get() : Py_None;
        return py::checked(PyObject_CallMethod(operations, "copy", nullptr)).release();
    });
}

}  // namespace

PyMethodDef get_trade_stocks_definition = py::keyword_function("get_trade_stocks", get_trade_stocks,
    "get_trade_stocks($module, pos_columns, price_index, touched_exit)\n--\n\n"
    "Return (rows, stock_operations) for the latest run: one row per trade in\n"
    "tolvane.core.vexal.trades, [stock, entry date, exit date or -1, date of\n"
    "the bar before entry, exit reference date (the exit bar's when\n"
    "touched_exit, the bar before it otherwise; -1 while open), position,\n"
    "bars held, entry bar, exit bar], and the module's stock_operations dict\n"
    "itself. Pass the pos_columns and price_index given to backtest_.");

PyMethodDef get_stock_operations_definition = py::keyword_function("get_stock_operations", get_stock_operations,
    "get_stock_operations($module)\n--\n\n"
    "Return a shallow copy of the latest run's stock operations: \"actions\",\n"
    "\"weights\", \"next_weights\", \"weight_time\", \"next_weight_time\".");

}  // namespace tolvane::ravelin
