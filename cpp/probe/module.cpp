// tolvane.core._probe: private hooks that let the test suite reach native
// pieces that have no Python surface of their own. Not part of the API.
#define TOLVANE_IMPORT_NUMPY_API
#include <chrono>
#include <map>

#include "native/trading.hpp"
#include "support/buffers.hpp"
#include "support/errors.hpp"
#include "support/module_setup.hpp"
#include "support/numpy_api.hpp"
#include "vexal/vexal_api.h"

namespace tolvane::probe {
namespace {

constexpr const char* kModule = "tolvane.core._probe";

py::ModuleGuard guard{"_probe"};

// warn_on_version_mismatch(module_name, compiled_major, compiled_minor)
PyObject* warn_on_version_mismatch(PyObject*, PyObject* args) {
    const char* module_name = nullptr;
    int major = 0;
    int minor = 0;
    if (!PyArg_ParseTuple(args, "sii", &module_name, &major, &minor)) return nullptr;
    if (py::warn_on_version_mismatch(module_name, major, minor) < 0) return nullptr;
    Py_RETURN_NONE;
}

// --- vexal's exports, bound the way the engine binds them ---------------

vexal_api::Api vexal;
bool vexal_bound = false;

bool bind_vexal_once() {
    if (!vexal_bound && vexal_api::import_api(vexal) == 0) vexal_bound = true;
    return vexal_bound;
}

// Returns None, or null if the bound function left an exception set.
PyObject* none_unless_error() {
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

template <class Value>
bool dict_to_map(PyObject* dict, std::map<int, Value>& out) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "expected a dict");
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &position, &key, &value)) {
        const long sid = PyLong_AsLong(key);
        if (sid == -1 && PyErr_Occurred()) return false;
        if constexpr (std::is_same_v<Value, int>) {
            const long mapped = PyLong_AsLong(value);
            if (mapped == -1 && PyErr_Occurred()) return false;
            out[static_cast<int>(sid)] = static_cast<int>(mapped);
        } else {
            const double mapped = PyFloat_AsDouble(value);
            if (mapped == -1.0 && PyErr_Occurred()) return false;
            out[static_cast<int>(sid)] = mapped;
        }
    }
    return true;
}

// bind_vexal(module_name): bind the exports of `module_name`; raise on failure.
PyObject* bind_vexal(PyObject*, PyObject* args) {
    const char* module_name = nullptr;
    if (!PyArg_ParseTuple(args, "s", &module_name)) return nullptr;
    vexal_api::Api api;
    if (vexal_api::import_api(api, module_name) < 0) return nullptr;
    Py_RETURN_NONE;
}

// start_analysis(price, close, pos2price: dict, nstocks, fee, tax, window, step)
PyObject* start_analysis(PyObject*, PyObject* args) {
    PyObject* price = nullptr;
    PyObject* close = nullptr;
    PyObject* columns = nullptr;
    int nstocks = 0, window = 0, step = 0;
    double fee = 0, tax = 0;
    if (!PyArg_ParseTuple(args, "OOOiddii", &price, &close, &columns, &nstocks, &fee, &tax,
                          &window, &step)) {
        return nullptr;
    }
    std::map<int, int> pos2price;
    if (!dict_to_map(columns, pos2price) || !bind_vexal_once()) return nullptr;
    vexal.start_analysis(reinterpret_cast<PyArrayObject*>(price),
                         reinterpret_cast<PyArrayObject*>(close), pos2price, nstocks, fee, tax,
                         window, step);
    return none_unless_error();
}

PyObject* record_date(PyObject*, PyObject* args) {
    int d = 0;
    if (!PyArg_ParseTuple(args, "i", &d) || !bind_vexal_once()) return nullptr;
    vexal.record_date(d);
    return none_unless_error();
}

PyObject* record_entry(PyObject*, PyObject* args) {
    int sid = 0, transaction = 0;
    double position = 0;
    if (!PyArg_ParseTuple(args, "idi", &sid, &position, &transaction) || !bind_vexal_once()) {
        return nullptr;
    }
    vexal.record_entry(sid, position, transaction);
    return none_unless_error();
}

PyObject* record_exit(PyObject*, PyObject* args) {
    int sid = 0, transaction = 0;
    if (!PyArg_ParseTuple(args, "ii", &sid, &transaction) || !bind_vexal_once()) return nullptr;
    vexal.record_exit(sid, transaction);
    return none_unless_error();
}

// end_analysis(book: dict sid -> value)
PyObject* end_analysis(PyObject*, PyObject* args) {
    PyObject* book = nullptr;
    if (!PyArg_ParseTuple(args, "O", &book)) return nullptr;
    std::map<int, double> pos;
    if (!dict_to_map(book, pos) || !bind_vexal_once()) return nullptr;
    return vexal.end_analysis(pos);
}

// time_trades(price, trades, bars_held) -> seconds per trade: records `trades`
// trades of one stock through the bound exports, each entered at bar 0 and
// closed `bars_held` bars later (both transactions paid, window 0), and times
// them with the exports called natively, as the engine calls them.
PyObject* time_trades(PyObject*, PyObject* args) {
    PyObject* price = nullptr;
    int trades = 0, held = 0;
    if (!PyArg_ParseTuple(args, "Oii", &price, &trades, &held) || !bind_vexal_once()) return nullptr;
    vexal.start_analysis(reinterpret_cast<PyArrayObject*>(price),
                         reinterpret_cast<PyArrayObject*>(price), {{0, 0}}, 1, 0.001, 0.003, 0, 1);
    if (PyErr_Occurred()) return nullptr;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < trades; ++i) {
        vexal.record_date(0);
        vexal.record_entry(0, 1.0, 1);
        vexal.record_date(held);
        vexal.record_exit(0, 1);
        if (PyErr_Occurred()) return nullptr;
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    return PyFloat_FromDouble(elapsed.count() / trades);
}

// exported_arrays() -> (entry, position): the arrays the exported variables hold now.
PyObject* exported_arrays(PyObject*, PyObject*) {
    if (!bind_vexal_once()) return nullptr;
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(*vexal.entry),
                         reinterpret_cast<PyObject*>(*vexal.position));
}

// --- the core's trading functions, with a recorder that lists its calls ---

class ListRecorder final : public native::TradeRecorder {
public:
    ListRecorder(PyObject* calls, bool split) : calls_(calls), split_(split) {}
    void record_date(int) override {}
    void record_entry(int sid, double weight, int transaction) override {
        append(py::checked(Py_BuildValue("(sidi)", "entry", sid, weight, transaction)));
    }
    void record_exit(int sid, int transaction) override {
        append(py::checked(Py_BuildValue("(sii)", "exit", sid, transaction)));
    }
    bool split_resized_positions() override { return split_; }

private:
    void append(py::Ref call) { py::checked_status(PyList_Append(calls_, call.get())); }
    PyObject* calls_;
    bool split_;
};

native::PositionBook book_from_dict(PyObject* dict, int columns) {
    std::map<int, double> entries;
    if (!dict_to_map(dict, entries)) throw py::ErrorAlreadySet{};
    native::PositionBook book(columns);
    for (const auto& [sid, value] : entries) book[sid] = value;
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
    return py::boundary(kModule, "set_position", [&] {
        PyObject* book_dict = nullptr;
        int sid = 0, check_null = 1, set_null = 0, split = 1;
        double position = 0, cash = 0, fee = 0, tax = 0, balance = 1;
        if (!PyArg_ParseTuple(args, "Oiddddppdp", &book_dict, &sid, &position, &cash, &fee, &tax,
                              &check_null, &set_null, &balance, &split)) {
            return static_cast<PyObject*>(nullptr);
        }
        native::PositionBook book = book_from_dict(book_dict, 64);
        py::Ref calls = py::checked(PyList_New(0));
        ListRecorder recorder(calls.get(), split);
        const double new_cash = native::set_position(book, sid, position, cash, {fee, tax}, recorder,
                                                     {check_null != 0, set_null != 0, balance});
        return Py_BuildValue("(dNN)", new_cash, dict_from_book(book).release(), calls.release());
    });
}

// rebalance(book, weights, cash, fee, tax, position_limit, split) -> (cash, book, calls)
PyObject* rebalance(PyObject*, PyObject* args) {
    return py::boundary(kModule, "rebalance", [&] {
        PyObject* book_dict = nullptr;
        PyObject* weights = nullptr;
        int split = 1;
        double cash = 0, fee = 0, tax = 0, limit = 0;
        if (!PyArg_ParseTuple(args, "OOddddp", &book_dict, &weights, &cash, &fee, &tax, &limit,
                              &split)) {
            return static_cast<PyObject*>(nullptr);
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

PyMethodDef functions[] = {
    {"set_position", set_position, METH_VARARGS, nullptr},
    {"rebalance", rebalance, METH_VARARGS, nullptr},
    {"absolute_sum", absolute_sum, METH_O, nullptr},
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

int add_attributes(PyObject* module) {
    if (PyArray_ImportNumPyAPI() < 0) return -1;
    for (PyMethodDef* function = functions; function->ml_name; ++function) {
        if (py::add_function(module, function) < 0) return -1;
    }
    return 0;
}

int exec_module(PyObject* module) { return py::exec_guarded(guard, module, kModule, add_attributes); }

void free_module(void* module) { guard.release(static_cast<PyObject*>(module)); }

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, kModule, "Private test hooks.", 0, nullptr, slots, nullptr, nullptr,
    free_module,
};

}  // namespace
}  // namespace tolvane::probe

PyMODINIT_FUNC PyInit__probe() { return PyModuleDef_Init(&tolvane::probe::module_def); }
