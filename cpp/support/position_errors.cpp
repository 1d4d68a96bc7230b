#include "support/position_errors.hpp"

#include "native/price_check.hpp"
#include "support/buffers.hpp"

namespace tolvane::py {

Ref position_label(PyObject* pos_columns, int sid) {
    const Buffer labels = Buffer::acquire(pos_columns, 1, ElementType::Object);
    PyObject* label = labels.view1d<PyObject*>()[sid];
    return Ref::borrow(label ? label : Py_None);
}

void raise_unpriced_column(PyObject* pos_columns, int sid) {
    Ref label = checked(PyObject_Str(position_label(pos_columns, sid).get()));
    Ref message = checked(
        PyUnicode_FromFormat("Position column '%U' has no matching price column", label.get()));
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw ErrorAlreadySet{};
}

bool set_invalid_trade_price(PyObject* pos_columns, const native::Failure& failure) {
    const auto* bad = dynamic_cast<const native::InvalidTradePrice*>(&failure);
    if (!bad) return false;
    Ref symbol = checked(PyObject_Str(position_label(pos_columns, bad->sid).get()));
    Ref price = checked(PyFloat_FromDouble(bad->value));
    Ref value = checked(PyObject_Repr(price.get()));
    Ref message = checked(PyUnicode_FromFormat(
        "Invalid trading price for %U at price row %d: %U. Expected a positive finite price; "
        "check the trading-price dataset.",
        symbol.get(), bad->row, value.get()));
    Ref error = checked(PyObject_CallOneArg(PyExc_ValueError, message.get()));
    Ref stock = checked(PyLong_FromLong(bad->sid));
    Ref bar = checked(PyLong_FromLong(bad->row));
    checked_status(PyObject_SetAttrString(error.get(), "stock", stock.get()));
    checked_status(PyObject_SetAttrString(error.get(), "bar", bar.get()));
    checked_status(PyObject_SetAttrString(error.get(), "price", price.get()));
    PyErr_SetObject(PyExc_ValueError, error.get());
    return true;
}

}  // namespace tolvane::py
