#include "ravelin/vexal_recorder.hpp"

#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
void VexalRecorder::start_analysis(PyObject* price, PyObject* close, std::map<int, int> pos2price,
                                   int nstocks, double fee_ratio, double tax_ratio, int window,
                                   int window_step) {
    api_.start_analysis(reinterpret_cast<PyArrayObject*>(price),
                        reinterpret_cast<PyArrayObject*>(close), std::move(pos2price), nstocks,
                        fee_ratio, tax_ratio, window, window_step);
    py::throw_if_error_set();
}

void VexalRecorder::end_analysis(std::map<int, double>& book) {
    py::checked(api_.end_analysis(book));
}

void VexalRecorder::bar_started(int bar) {
    api_.record_date(bar);
    py::throw_if_error_set();
}

void VexalRecorder::entered(int sid, double weight, bool paid) {
    api_.record_entry(sid, weight, paid ? 1 : 0);
    py::throw_if_error_set();
}

void VexalRecorder::exited(int sid, bool paid, native::ExitReason) {
    api_.record_exit(sid, paid ? 1 : 0);
    py::throw_if_error_set();
}

// The truth of a module flag. The run sets the flags to bools; a flag that a
// callback replaced by another object may run Python code when tested.
bool VexalRecorder::truth(const char* flag) {
    PyObject* value = module_global(flag);
    if (value == Py_True) return true;
    if (value == Py_False || value == Py_None) return false;
    const bool result = py::is_true(value);
    inputs_.verify();
    return result;
}

bool VexalRecorder::split_resized_positions() {
    if (truth("RETAIN_COST_WHEN_REBALANCE")) return false;
    return truth("RESAMPLE");
}

}  // namespace tolvane::ravelin
