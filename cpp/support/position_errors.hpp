// The engine's errors that name a position column by its label. Labels stay
// on the Python side: the native core names a position column by its index,
// and these look its label up in the run's pos_columns array.
#pragma once

#include "native/failure.hpp"
#include "support/py_ref.hpp"

namespace tolvane::py {

// The label of position column `sid` in the object array `pos_columns`, as
// stored (None for an empty element).
Ref position_label(PyObject* pos_columns, int sid);

// Raises ValueError "Position column '<label>' has no matching price column".
[[noreturn]] void raise_unpriced_column(PyObject* pos_columns, int sid);

// A FailureTranslator for native::InvalidTradePrice: sets ValueError "Invalid
// trading price for <label> at price row <row>: <repr of the price>. Expected
// a positive finite price; check the trading-price dataset." whose attributes
// `stock`, `bar` and `price` hold the position column, the price row and the
// price, and returns true; false for any other failure.
bool set_invalid_trade_price(PyObject* pos_columns, const native::Failure& failure);

}  // namespace tolvane::py
