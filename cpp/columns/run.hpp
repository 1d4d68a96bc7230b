// tolvane.core._columns.run: the run for the front door, with the GIL
// released and its results as arrays.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::columns {

inline constexpr const char* kModule = "tolvane.core._columns";

extern PyMethodDef run_definition;

}  // namespace tolvane::columns
