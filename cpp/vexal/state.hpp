// The analysis run state of tolvane.core.vexal: one per process, created when
// the module is executed and destroyed when it is freed.
#pragma once

#include <map>

#include "support/buffers.hpp"
#include "support/extension_module.hpp"
#include "support/numpy_api.hpp"

namespace tolvane::vexal {

inline constexpr const char* kModule = "tolvane.core.vexal";

// A module variable holding an array reference; its address is exported.
class ExportedArray {
public:
    ExportedArray() = default;
    ExportedArray(const ExportedArray&) = delete;
    ExportedArray& operator=(const ExportedArray&) = delete;
    ~ExportedArray() { Py_XDECREF(array); }

    void replace(py::Ref new_array) noexcept {
        Py_XSETREF(array, reinterpret_cast<PyArrayObject*>(new_array.release()));
    }

    PyArrayObject* array = nullptr;
};

struct AnalysisState {
    PyObject* module_namespace = nullptr;  // borrowed: the module dict outlives the state
    py::Ref float64;                       // the float64 dtype of the profiles

    py::Ref price;  // trade prices (rows = bars, columns = price columns), or None
    py::Ref close;  // closes, same layout
    py::Buffer price_buffer;
    py::Buffer close_buffer;
    std::map<int, int> pos2price;  // position column -> price column (own copy)

    ExportedArray entry;              // per sid: bar of the latest entry
    ExportedArray position;           // per sid: position value given at the latest entry
    ExportedArray entry_trasnaction;  // per sid: 1 if the latest entry paid costs

    double fee_ratio = 0.0;
    double tax_ratio = 0.0;
    int window = 0;       // bars after the entry sampled for the profile
    int window_step = 0;  // bars between two samples
    int date = 0;         // the bar last reported by record_date
};

// The module body (module.cpp): the module's attributes and the load-time state.
void populate_module(PyObject* module, AnalysisState& run);

using VexalModule = py::ExtensionModule<AnalysisState, populate_module>;

// The live state; raises RuntimeError when the module is not initialised.
inline AnalysisState& state() { return VexalModule::state(); }

// The exported functions (their types are the signatures of vexal_api.h):
// each reports a failure by leaving a Python exception set.
void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_) noexcept;
void record_date(int d) noexcept;
void record_entry(int sid, double position_sid, int has_entry_trasnaction) noexcept;
void record_exit(int sid, int has_exit_trasnaction) noexcept;
PyObject* end_analysis(std::map<int, double>& pos) noexcept;

}  // namespace tolvane::vexal
