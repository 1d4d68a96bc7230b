// The analysis run state of tolvane.core.vexal: one per process, created when
// the module is executed and destroyed when it is freed.
#pragma once

#include <map>

#include "support/buffers.hpp"
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
    int window = 0;
    int window_step = 0;
    int date = 0;  // the bar last reported by record_date
};

// The live state, or null before the module is executed / after it is freed.
extern AnalysisState* analysis_state;

// The exported functions (their types are the signatures of vexal_api.h).
void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_);
void record_date(int d);
void record_entry(int sid, double position_sid, int has_entry_trasnaction);
void record_exit(int sid, int has_exit_trasnaction);
PyObject* end_analysis(std::map<int, double>& pos);

}  // namespace tolvane::vexal
