// The functions vexal exports to the engine: they record a run's trades and
// analyse each one as it closes (or at the end of the run).
#include <climits>
#include <cstring>
#include <utility>

#include "native/excursion.hpp"
#include "support/errors.hpp"
#include "support/names.hpp"
#include "vexal/state.hpp"

#include <numpy/arrayscalars.h>

namespace tolvane::vexal {
namespace {

// Runs the body of an exported function, which reports failure by leaving a
// Python exception set.
template <class Body>
void run_exported(const char* function, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        py::raise_current_exception(kModule, function);
    }
}

// One of the module's result lists, looked up by name at each use.
PyObject* result_list(const char* name) { return py::lookup_name(state().module_namespace, name); }

void append(const char* list_name, py::Ref item) {
    PyObject* list = result_list(list_name);
    if (PyList_CheckExact(list)) {
        py::checked_status(PyList_Append(list, item.get()));
    } else {
        py::checked(PyObject_CallMethod(list, "append", "O", item.get()));
    }
}

// Array indexing of the per-stock arrays: negative counts from the end.
npy_intp element_index(const ExportedArray& exported, int sid) {
    const npy_intp size = PyArray_DIM(exported.array, 0);
    const npy_intp index = sid < 0 ? sid + size : sid;
    if (index < 0 || index >= size) throw native::ArrayIndexError(sid, 0, size);
    return index;
}

template <class T>
T& element(const ExportedArray& exported, int sid) {
    return *static_cast<T*>(PyArray_GETPTR1(exported.array, element_index(exported, sid)));
}

// The element as the NumPy scalar that reading it from Python gives. The
// run's own C long (intp) and double arrays get their scalars built directly,
// which is what PyArray_Scalar does for them, without its general dispatch.
py::Ref element_scalar(const ExportedArray& exported, int sid) {
    void* address = PyArray_GETPTR1(exported.array, element_index(exported, sid));
    const PyArray_Descr* descr = PyArray_DESCR(exported.array);
    if (descr->type_num == NPY_LONG && descr->typeobj == &PyLongArrType_Type &&
        PyArray_ISNOTSWAPPED(exported.array)) {
        py::Ref scalar = py::checked(PyArrayScalar_New(Long));
        std::memcpy(&PyArrayScalar_VAL(scalar.get(), Long), address, sizeof(npy_long));
        return scalar;
    }
    if (descr->type_num == NPY_DOUBLE && descr->typeobj == &PyDoubleArrType_Type &&
        PyArray_ISNOTSWAPPED(exported.array)) {
        py::Ref scalar = py::checked(PyArrayScalar_New(Double));
        std::memcpy(&PyArrayScalar_VAL(scalar.get(), Double), address, sizeof(npy_double));
        return scalar;
    }
    return py::checked(PyArray_Scalar(address, PyArray_DESCR(exported.array),
                                      reinterpret_cast<PyObject*>(exported.array)));
}

int to_int(npy_intp value) {
    if (value < INT_MIN || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        throw py::ErrorAlreadySet{};
    }
    return static_cast<int>(value);
}

py::Ref zeros(npy_intp length, int type) {
    return py::checked(PyArray_ZEROS(1, &length, type, 0));
}

native::PriceMatrix price_matrix(const py::Buffer& buffer) {
    return buffer.held() ? native::PriceMatrix(buffer.view2d<double>()) : native::PriceMatrix{};
}

// The excursion profile of one trade, as a new float64 array.
py::Ref vexal_analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                       int i_exit_trasnaction) try {
    AnalysisState& run = state();
    const int price_column = run.pos2price.try_emplace(sid, 0).first->second;
    const native::TradeToAnalyse trade{price_column,       i_entry,
                                       i_exit,             is_long,
                                       i_entry_trasnaction != 0, i_exit_trasnaction != 0};
    const native::AnalysisSettings settings{run.window, run.window_step, run.fee_ratio,
                                            run.tax_ratio};
    const native::TradePath path =
        native::follow_trade(price_matrix(run.price_buffer), price_matrix(run.close_buffer), trade,
                             settings);
    npy_intp length = native::profile_length(run.window, run.window_step);
    // PyArray_NewFromDescr takes over a reference to the dtype.
    auto* dtype = reinterpret_cast<PyArray_Descr*>(py::Ref(run.float64).release());
    py::Ref profile = py::checked(
        PyArray_NewFromDescr(&PyArray_Type, dtype, 1, &length, nullptr, nullptr, 0, nullptr));
    auto* values = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(profile.get())));
    for (npy_intp i = 0; i < length; ++i) values[i] = -1.0;
    native::write_profile(path, native::CheckedArray<double>(values, length));
    return profile;
}
TOLVANE_PASSED_THROUGH("vexal_analysis")

// Records the trade of `sid` (exit bar `exit_bar`, or -1 while open) in the
// result lists and analyses it up to `analysed_until`.
void record_trade(int sid, long exit_bar, int analysed_until, int has_exit_trasnaction) {
    AnalysisState& run = state();
    py::Ref trade = py::checked(PyList_New(3));
    PyList_SET_ITEM(trade.get(), 0, py::checked(PyLong_FromLong(sid)).release());
    PyList_SET_ITEM(trade.get(), 1, element_scalar(run.entry, sid).release());
    PyList_SET_ITEM(trade.get(), 2, py::checked(PyLong_FromLong(exit_bar)).release());
    append("trades", std::move(trade));
    append("trade_positions", element_scalar(run.position, sid));
    const int i_entry = to_int(element<npy_intp>(run.entry, sid));
    const bool is_long = element<double>(run.position, sid) > 0;
    const int entry_trasnaction = to_int(element<npy_intp>(run.entry_trasnaction, sid));
    append("vexal", vexal_analysis(sid, i_entry, analysed_until, is_long, entry_trasnaction,
                                   has_exit_trasnaction));
}

}  // namespace

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_) noexcept {
    run_exported("start_analysis", [&] {
        AnalysisState& run = state();
        PyObject* price = price_ ? reinterpret_cast<PyObject*>(price_) : Py_None;
        PyObject* close = close_ ? reinterpret_cast<PyObject*>(close_) : Py_None;
        py::Buffer price_buffer =
            price == Py_None ? py::Buffer{} : py::Buffer::acquire(price, 2, py::ElementType::Float64);
        py::Buffer close_buffer =
            close == Py_None ? py::Buffer{} : py::Buffer::acquire(close, 2, py::ElementType::Float64);

        run.price = py::Ref::borrow(price);
        run.close = py::Ref::borrow(close);
        run.price_buffer = std::move(price_buffer);
        run.close_buffer = std::move(close_buffer);
        run.pos2price = std::move(pos2price_);
        run.window = window_;
        run.window_step = window_step_;

        for (const char* name : {"trades", "trade_positions", "vexal"}) {
            py::checked(PyObject_CallMethod(result_list(name), "clear", nullptr));
        }
        run.entry.replace(zeros(nstocks, NPY_INTP));
        run.position.replace(zeros(nstocks, NPY_DOUBLE));
        run.entry_trasnaction.replace(zeros(nstocks, NPY_INTP));
        run.fee_ratio = fee_ratio_;
        run.tax_ratio = tax_ratio_;
    });
}

void record_date(int d) noexcept {
    run_exported("record_date", [&] { state().date = d; });
}

void record_entry(int sid, double position_sid, int has_entry_trasnaction) noexcept {
    run_exported("record_entry", [&] {
        AnalysisState& run = state();
        element<npy_intp>(run.entry, sid) = run.date;
        element<double>(run.position, sid) = position_sid;
        element<npy_intp>(run.entry_trasnaction, sid) = has_entry_trasnaction;
    });
}

void record_exit(int sid, int has_exit_trasnaction) noexcept {
    run_exported("record_exit", [&] {
        const int exit_bar = state().date;
        record_trade(sid, exit_bar, exit_bar, has_exit_trasnaction);
    });
}

PyObject* end_analysis(std::map<int, double>& pos) noexcept {
    return py::boundary(kModule, "end_analysis", [&] {
        for (const auto& [sid, value] : pos) {
            if (value == 0.0) continue;
            record_trade(sid, -1, state().date, 0);
        }
        return py::Ref::borrow(Py_None).release();
    });
}

}  // namespace tolvane::vexal
