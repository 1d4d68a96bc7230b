// The Python-visible functions of tolvane.core.ravelin.
#pragma once

#include "support/py_ref.hpp"

namespace tolvane::ravelin {

extern PyMethodDef backtest_definition;
extern PyMethodDef get_trade_stocks_definition;
extern PyMethodDef get_stock_operations_definition;
extern PyMethodDef normalize_weight_definition;
extern PyMethodDef ioft_definition;

}  // namespace tolvane::ravelin
