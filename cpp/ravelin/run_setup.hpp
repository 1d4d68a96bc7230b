// Set-up steps of a run that work on Python objects: matching position
// columns to price columns by label, and resolving stop settings into tables.
#pragma once

#include <map>

#include "support/py_ref.hpp"

namespace tolvane::ravelin {

// Position column -> price column for every position column whose label,
// encoded with the label's encode("UTF-8"), equals a price column's (a label
// that occurs twice among the price columns keeps its last index).
std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns);

// The stop table of one setting: `threshold` itself if it is a StopTable,
// else stop_table(threshold, price_index, pos_columns). Raises ValueError "Stop
// thresholds do not match the price bars and position columns" unless the
// table has one column per position column and one valid row index per bar.
py::Ref stop_thresholds(PyObject* threshold, PyObject* price_index, PyObject* pos_columns);

}  // namespace tolvane::ravelin
