// tolvane.core._columns.price_extremes: one pass over a price matrix.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::columns {

extern PyMethodDef price_extremes_definition;

}  // namespace tolvane::columns
