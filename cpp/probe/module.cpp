// tolvane.core._probe: private hooks that let the test suite reach native
// pieces that have no Python surface of their own. Not part of the API; built
// only with TOLVANE_BUILD_TEST_MODULES.
#define TOLVANE_IMPORT_NUMPY_API
#include <array>
#include <chrono>
#include <map>
#include <type_traits>
#include <vector>

#include "native/stock_operations.hpp"
#include "native/trading.hpp"
#include "support/arguments.hpp"
#include "support/buffers.hpp"
#include "support/errors.hpp"
#include "support/extension_module.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"
#include "vexal/vexal_api.h"

namespace tolvane::probe {
namespace {

constexpr const char* kModule = "tolvane.core._probe";

struct ProbeState {
    vexal_api::Api vexal;  // vexal's exports, bound at first use as the engine binds them
    bool vexal_bound = false;
};

void populate(PyObject* module, ProbeState& state);

using ProbeModule = py::ExtensionModule<ProbeState, populate>;

// warn_on_version_mismatch(module_name, compiled_major, compiled_minor)
PyObject* warn_on_version_mismatch(PyObject*, PyObject* args) {
    return py::boundary(kModule, "warn_on_version_mismatch", [&]() -> PyObject* {
        const char* module_name = nullptr;
        int major = 0;
        int minor = 0;
        if (!PyArg_ParseTuple(args, "sii", &module_name, &major, &minor)) return nullptr;
        py::checked_status(py::warn_on_version_mismatch(module_name, major, minor));
        Py_RETURN_NONE;
    });
}

// --- vexal's exports, bound the way the engine binds them ---------------

const vexal_api::Api& vexal() {
    ProbeState& state = ProbeModule::state();
    if (!state.vexal_bound) {
        py::checked_status(vexal_api::import_api(state.vexal));
        state.vexal_bound = true;
    }
    return state.vexal;
}

// None, or null if the bound function left an exception set.
PyObject* none_unless_error() {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

template <class Value>
std::map<int, Value> dict_to_map(PyObject* dict) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        throw py::ErrorAlreadySet{};
    }
    std::map<int, Value> entries;
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const long sid = PyLong_AsLong(key);
        if (sid == -1) py::throw_if_error_set();
        if constexpr (std::is_same_v<Value, int>) {
            const long mapped = PyLong_AsLong(value);
            if (mapped == -1) py::throw_if_error_set();
            entries[static_cast<int>(sid)] = static_cast<int>(mapped);
        } else {
            const double mapped = PyFloat_AsDouble(value);
            if (mapped == -1.0) py::throw_if_error_set();
            entries[static_cast<int>(sid)] = mapped;
        }
    }
    return entries;
}

// bind_vexal(module_name): bind the exports of `module_name`; raise on failure.
PyObject* bind_vexal(PyObject*, PyObject* args) {
    return py::boundary(kModule, "bind_vexal", [&]() -> PyObject* {
        const char* module_name = nullptr;
        if (!PyArg_ParseTuple(args, "s", &module_name)) return nullptr;
        vexal_api::Api api;
        py::checked_status(vexal_api::import_api(api, module_name));
        Py_RETURN_NONE;
    });
}

// start_analysis(price, close, pos2price: dict, nstocks, fee, tax, window, step)
PyObject* start_analysis(PyObject*, PyObject* args) {
    return py::boundary(kModule, "start_analysis", [&]() -> PyObject* {
        PyObject* price = nullptr;
        PyObject* close = nullptr;
        PyObject* columns = nullptr;
        int nstocks = 0, window = 0, step = 0;
        double fee = 0, tax = 0;
        if (!PyArg_ParseTuple(args, "OOOiddii", &price, &close, &columns, &nstocks, &fee, &tax,
                              &window, &step)) {
            return nullptr;
        }
        const std::map<int, int> pos2price = dict_to_map<int>(columns);
        vexal().start_analysis(reinterpret_cast<PyArrayObject*>(price),
                               reinterpret_cast<PyArrayObject*>(close), pos2price, nstocks, fee, tax,
                               window, step);
        return none_unless_error();
    });
}

PyObject* record_date(PyObject*, PyObject* args) {
    return py::boundary(kModule, "record_date", [&]() -> PyObject* {
        int bar = 0;
        if (!PyArg_ParseTuple(args, "i", &bar)) return nullptr;
        vexal().record_date(bar);
        return none_unless_error();
    });
}

PyObject* record_entry(PyObject*, PyObject* args) {
    return py::boundary(kModule, "record_entry", [&]() -> PyObject* {
        int sid = 0, transaction = 0;
        double position = 0;
        if (!PyArg_ParseTuple(args, "idi", &sid, &position, &transaction)) return nullptr;
        vexal().record_entry(sid, position, transaction);
        return none_unless_error();
    });
}

PyObject* record_exit(PyObject*, PyObject* args) {
    return py::boundary(kModule, "record_exit", [&]() -> PyObject* {
        int sid = 0, transaction = 0;
        if (!PyArg_ParseTuple(args, "ii", &sid, &transaction)) return nullptr;
        vexal().record_exit(sid, transaction);
        return none_unless_error();
    });
}

// end_analysis(book: dict sid -> value)
PyObject* end_analysis(PyObject*, PyObject* args) {
    return py::boundary(kModule, "end_analysis", [&]() -> PyObject* {
        PyObject* book = nullptr;
        if (!PyArg_ParseTuple(args, "O", &book)) return nullptr;
        std::map<int, double> pos = dict_to_map<double>(book);
        return vexal().end_analysis(pos);
    });
}

// time_trades(price, trades, bars_held) -> seconds per trade: records `trades`
// trades of one stock through the bound exports, each entered at bar 0 and
// closed `bars_held` bars later (both transactions paid, window 0), and times
// them with the exports called natively, as the engine calls them.
PyObject* time_trades(PyObject*, PyObject* args) {
    return py::boundary(kModule, "time_trades", [&]() -> PyObject* {
        PyObject* price = nullptr;
        int trades = 0, held = 0;
        if (!PyArg_ParseTuple(args, "Oii", &price, &trades, &held)) return nullptr;
        const vexal_api::Api& exports = vexal();
        exports.start_analysis(reinterpret_cast<PyArrayObject*>(price),
                               reinterpret_cast<PyArrayObject*>(price), {{0, 0}}, 1, 0.001, 0.003,
                               0, 1);
        py::throw_if_error_set();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < trades; ++i) {
            exports.record_date(0);
            exports.record_entry(0, 1.0, 1);
            exports.record_date(held);
            exports.record_exit(0, 1);
            py::throw_if_error_set();
        }
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
        return PyFloat_FromDouble(elapsed.count() / trades);
    });
}

// exported_arrays() -> (entry, position): the arrays the exported variables hold now.
PyObject* exported_arrays(PyObject*, PyObject*) {
    return py::boundary(kModule, "exported_arrays", [&] {
        const vexal_api::Api& exports = vexal();
        return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(*exports.entry),
                             reinterpret_cast<PyObject*>(*exports.position));
    });
}

// --- the core's trading functions, with a recorder that lists its calls ---

class ListRecorder {
public:
    ListRecorder(PyObject* calls, bool split) : calls_(calls), split_(split) {}
    void bar_started(int) {}
    void entered(int sid, double weight, bool paid) {
        append(py::checked(Py_BuildValue("(sidi)", "entry", sid, weight, paid ? 1 : 0)));
    }
    void exited(int sid, bool paid, native::ExitReason) {
        append(py::checked(Py_BuildValue("(sii)", "exit", sid, paid ? 1 : 0)));
    }
    bool split_resized_positions() const { return split_; }
    native::IgnoredCloses closes_of(int) const noexcept { return {}; }

private:
    void append(py::Ref call) { py::checked_status(PyList_Append(calls_, call.get())); }
    PyObject* calls_;
    bool split_;
};

native::PositionBook book_from_dict(PyObject* dict, int columns) {
    native::PositionBook book(columns);
    for (const auto& [sid, value] : dict_to_map<double>(dict)) book[sid] = value;
    return book;
}

py::Ref dict_from_book(const native::PositionBook& book) {
    py::Ref dict = py::checked(PyDict_New());
    for (int sid : book.sids()) {
        py::Ref key = py::checked(PyLong_FromLong(sid));
        py::Ref value = py::checked(PyFloat_FromDouble(book.at(sid)));
        py::checked_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
    }
    return dict;
}

// set_position(book, sid, position, cash, fee, tax, check_null, set_null, balance, split)
//   -> (cash, book, calls)
PyObject* set_position(PyObject*, PyObject* args) {
    return py::boundary(kModule, "set_position", [&]() -> PyObject* {
        PyObject* book_dict = nullptr;
        int sid = 0, check_null = 1, set_null = 0, split = 1;
        double position = 0, cash = 0, fee = 0, tax = 0, balance = 1;
        if (!PyArg_ParseTuple(args, "Oiddddppdp", &book_dict, &sid, &position, &cash, &fee, &tax,
                              &check_null, &set_null, &balance, &split)) {
            return nullptr;
        }
        native::PositionBook book = book_from_dict(book_dict, 64);
        py::Ref calls = py::checked(PyList_New(0));
        ListRecorder recorder(calls.get(), split);
        const double new_cash = native::set_position(book, sid, position, cash, {fee, tax}, recorder,
                                                     {check_null != 0, set_null != 0, balance,
                                                      native::ExitReason::Rebalance});
        return Py_BuildValue("(dNN)", new_cash, dict_from_book(book).release(), calls.release());
    });
}

// rebalance(book, weights, cash, fee, tax, position_limit, split) -> (cash, book, calls)
PyObject* rebalance(PyObject*, PyObject* args) {
    return py::boundary(kModule, "rebalance", [&]() -> PyObject* {
        PyObject* book_dict = nullptr;
        PyObject* weights = nullptr;
        int split = 1;
        double cash = 0, fee = 0, tax = 0, limit = 0;
        if (!PyArg_ParseTuple(args, "OOddddp", &book_dict, &weights, &cash, &fee, &tax, &limit,
                              &split)) {
            return nullptr;
        }
        const py::Buffer buffer = py::Buffer::acquire(weights, 1, py::ElementType::Float64);
        native::PositionBook book = book_from_dict(book_dict, static_cast<int>(buffer.shape(0)));
        py::Ref calls = py::checked(PyList_New(0));
        ListRecorder recorder(calls.get(), split);
        const double new_cash = native::rebalance(book, buffer.view1d<double>(), cash, {fee, tax},
                                                  limit, recorder);
        return Py_BuildValue("(dNN)", new_cash, dict_from_book(book).release(), calls.release());
    });
}

// absolute_sum(weights) -> the engine's sum of |weights|
PyObject* absolute_sum(PyObject*, PyObject* weights) {
    return py::boundary(kModule, "absolute_sum", [&] {
        const py::Buffer buffer = py::Buffer::acquire(weights, 1, py::ElementType::Float64);
        return PyFloat_FromDouble(native::absolute_sum(buffer.view1d<double>()));
    });
}

// --- the stock operations decided from a hand-built end state -------------

std::vector<int> int_list(PyObject* sequence) {
    std::vector<int> values;
    py::Ref items = py::checked(PySequence_Fast(sequence, "expected a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        const long value = PyLong_AsLong(PySequence_Fast_GET_ITEM(items.get(), i));
        if (value == -1) py::throw_if_error_set();
        values.push_back(static_cast<int>(value));
    }
    return values;
}

// (sid, positive) pairs.
std::vector<native::ExitRecord> exit_records(PyObject* sequence) {
    std::vector<native::ExitRecord> records;
    py::Ref items = py::checked(PySequence_Fast(sequence, "expected a sequence"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        int sid = 0, positive = 0;
        if (!PyArg_ParseTuple(PySequence_Fast_GET_ITEM(items.get(), i), "ip", &sid, &positive)) {
            throw py::ErrorAlreadySet{};
        }
        records.push_back({sid, positive != 0, native::ExitReason::Rebalance});
    }
    return records;
}

py::Ref optional_float(const std::optional<double>& value) {
    return value ? py::checked(PyFloat_FromDouble(*value)) : py::Ref::borrow(Py_None);
}

const char* rule_name(native::LabelRule rule) {
    switch (rule) {
        case native::LabelRule::Always: return "always";
        case native::LabelRule::IfNextTargetHolds: return "if next target holds";
        case native::LabelRule::UnlessLabelled: return "unless labelled";
    }
    return "";
}

py::Ref decision_list(const std::vector<native::ActionDecision>& decisions) {
    py::Ref list = py::checked(PyList_New(0));
    for (const native::ActionDecision& decision : decisions) {
        py::Ref entry = py::checked(Py_BuildValue("(iss)", decision.sid,
                                                  native::action_label(decision.action),
                                                  rule_name(decision.rule)));
        py::checked_status(PyList_Append(list.get(), entry.get()));
    }
    return list;
}

constexpr std::array<const char*, 12> kEndStateNames = {
    "book", "targets", "bar_dates", "target_dates", "current_position_id", "pos_id",
    "should_rebalance", "latest_rebalanced_sids", "rebalance_row", "exit_stocks",
    "exited_stocks", "stop_trading_next_period"};

// stock_operations(**end_state) -> {"weights": [(sid, weight, sold_since)],
//   "weights_divisor", "next_weights": [(sid, weight)], "next_weights_divisor",
//   "actions": {"rebalance" | "queued_exits" | "done_exits": [(sid, label, rule)]}}
PyObject* stock_operations(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "stock_operations", [&] {
        std::array<PyObject*, kEndStateNames.size()> slots{};
        py::parse_arguments({"stock_operations", kEndStateNames, kEndStateNames.size()}, args, kwargs,
                            slots);
        const py::Buffer targets = py::Buffer::acquire(slots[1], 2, py::ElementType::Float64);
        const py::Buffer bar_dates = py::Buffer::acquire(slots[2], 1, py::ElementType::Int64);
        const py::Buffer target_dates = py::Buffer::acquire(slots[3], 1, py::ElementType::Int64);
        const py::Buffer rebalance_row = py::Buffer::acquire(slots[8], 1, py::ElementType::Float64);
        const native::PositionBook book =
            book_from_dict(slots[0], static_cast<int>(targets.shape(1)));
        const std::vector<int> rebalanced = int_list(slots[7]);
        std::vector<double> applied_row;
        const auto row = rebalance_row.view1d<double>();
        for (std::ptrdiff_t i = 0; i < row.size(); ++i) applied_row.push_back(row[i]);
        const std::vector<native::ExitRecord> queued = exit_records(slots[9]);
        const std::vector<native::ExitRecord> done = exit_records(slots[10]);
        const long long current_row = PyLong_AsLongLong(slots[4]);
        const long long next_row = PyLong_AsLongLong(slots[5]);
        py::throw_if_error_set();

        const native::RunEndState end{&book,
                                      targets.view2d<double>(),
                                      bar_dates.view1d<std::int64_t>(),
                                      target_dates.view1d<std::int64_t>(),
                                      current_row,
                                      next_row,
                                      py::is_true(slots[6]),
                                      rebalanced,
                                      applied_row,
                                      queued,
                                      done,
                                      py::is_true(slots[11])};
        const auto applied = native::applied_weights(end);
        py::Ref weights = py::checked(PyList_New(0));
        for (const native::AppliedWeight& stock : applied.stocks) {
            py::Ref entry = py::checked(Py_BuildValue("(idO)", stock.sid, stock.weight,
                                                      stock.sold_since ? Py_True : Py_False));
            py::checked_status(PyList_Append(weights.get(), entry.get()));
        }
        const auto next = native::next_weights(end);
        py::Ref next_weights = py::checked(PyList_New(0));
        for (const native::TargetWeight& stock : next.stocks) {
            py::Ref entry = py::checked(Py_BuildValue("(id)", stock.sid, stock.weight));
            py::checked_status(PyList_Append(next_weights.get(), entry.get()));
        }
        const native::ActionDecisions decisions = native::decide_actions(end);
        return Py_BuildValue("{sNsNsNsNs{sNsNsN}}", "weights", weights.release(), "weights_divisor",
                             optional_float(applied.divisor).release(), "next_weights",
                             next_weights.release(), "next_weights_divisor",
                             optional_float(next.divisor).release(), "actions", "rebalance",
                             decision_list(decisions.rebalance).release(), "queued_exits",
                             decision_list(decisions.queued_exits).release(), "done_exits",
                             decision_list(decisions.done_exits).release());
    });
}

PyMethodDef functions[] = {
    {"set_position", set_position, METH_VARARGS, nullptr},
    {"rebalance", rebalance, METH_VARARGS, nullptr},
    {"absolute_sum", absolute_sum, METH_O, nullptr},
    py::keyword_function("stock_operations", stock_operations,
                         "Decide a run's stock operations from the end state given."),
    {"bind_vexal", bind_vexal, METH_VARARGS, "Bind the vexal exports of a module; raise on failure."},
    {"start_analysis", start_analysis, METH_VARARGS, nullptr},
    {"record_date", record_date, METH_VARARGS, nullptr},
    {"record_entry", record_entry, METH_VARARGS, nullptr},
    {"record_exit", record_exit, METH_VARARGS, nullptr},
    {"end_analysis", end_analysis, METH_VARARGS, nullptr},
    {"exported_arrays", exported_arrays, METH_NOARGS, nullptr},
    {"time_trades", time_trades, METH_VARARGS, nullptr},
    {"warn_on_version_mismatch", warn_on_version_mismatch, METH_VARARGS,
     "Run the import-time version check as if compiled for major.minor."},
    {nullptr, nullptr, 0, nullptr},
};

void populate(PyObject* module, ProbeState&) {
    if (PyArray_ImportNumPyAPI() < 0) throw py::ErrorAlreadySet{};
    for (PyMethodDef* function = functions; function->ml_name; ++function) {
        py::add_function(module, function);
    }
}

}  // namespace
}  // namespace tolvane::probe

PyMODINIT_FUNC PyInit__probe() {
    return tolvane::probe::ProbeModule::initialise(tolvane::probe::kModule, "Private test hooks.");
}
