#include "ravelin/stock_operations.hpp"

#include "ravelin/state.hpp"
#include "support/numpy_api.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
namespace {

py::Ref integer(long long value) { return py::checked(PyLong_FromLongLong(value)); }

// A weight as reading it from pos_values gives it: a NumPy float64 scalar.
py::Ref float64_scalar(double value) {
    py::Ref descriptor = py::checked(reinterpret_cast<PyObject*>(PyArray_DescrFromType(NPY_DOUBLE)));
    return py::checked(
        PyArray_Scalar(&value, reinterpret_cast<PyArray_Descr*>(descriptor.get()), nullptr));
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) {
    py::checked_status(PyDict_SetItem(dict, key, value));
}

// Divides every value of `weights` by `total` with Python's true division:
// the values keep the types that division gives them (a float64 scalar stays
// one, the int 0 of a stock sold since becomes a float) and NumPy's
// floating-point warnings and error settings apply.
void divide_values(PyObject* weights, double total) {
    py::Ref divisor = py::checked(PyFloat_FromDouble(total));
    py::Ref items = py::checked(PyDict_Items(weights));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        py::Ref divided =
            py::checked(PyNumber_TrueDivide(PyTuple_GET_ITEM(item, 1), divisor.get()));
        set_item(weights, PyTuple_GET_ITEM(item, 0), divided.get());
    }
}

py::Ref item(PyObject* operations, const char* key) {
    return py::checked(PyMapping_GetItemString(operations, key));
}

// Replaces stock_operations[key] by normalize_weight(stock_operations[key], limit),
// looking normalize_weight up on the module now.
void normalize(PyObject* operations, const char* key, double position_limit) {
    py::Ref limit = py::checked(PyFloat_FromDouble(position_limit));
    py::Ref normalized = py::checked(PyObject_CallFunctionObjArgs(
        module_global("normalize_weight"), item(operations, key).get(), limit.get(), nullptr));
    py::checked_status(PyDict_SetItemString(operations, key, normalized.get()));
}

// Whether the next weights, whatever normalize_weight returned, hold `sid`
// with a weight other than 0.
bool holds(PyObject* next_weights, PyObject* sid) {
    if (!py::checked_status(PySequence_Contains(next_weights, sid))) return false;
    py::Ref weight = py::checked(PyObject_GetItem(next_weights, sid));
    return py::compare(weight.get(), integer(0).get(), Py_NE);
}

// Labels stocks in `actions` as `decisions` say. `next_weights` answers
// LabelRule::IfNextTargetHolds (null where no decision has that rule).
void apply(PyObject* actions, const std::vector<native::ActionDecision>& decisions,
           PyObject* next_weights) {
    for (const native::ActionDecision& decision : decisions) {
        py::Ref sid = integer(decision.sid);
        if (decision.rule == native::LabelRule::IfNextTargetHolds && !holds(next_weights, sid.get())) {
            continue;
        }
        if (decision.rule == native::LabelRule::UnlessLabelled &&
            py::checked_status(PyDict_Contains(actions, sid.get()))) {
            continue;
        }
        py::Ref label = py::checked(PyUnicode_FromString(native::action_label(decision.action)));
        set_item(actions, sid.get(), label.get());
    }
}

}  // namespace

void publish_stock_operations(const native::RunEndState& end, double position_limit,
                              const InputIntegrity& inputs) {
    py::Ref operations = py::checked(PyDict_New());
    py::Ref actions = py::checked(PyDict_New());
    py::Ref weights = py::checked(PyDict_New());
    py::Ref next_weights = py::checked(PyDict_New());
    py::checked_status(PyDict_SetItemString(operations.get(), "actions", actions.get()));
    py::checked_status(PyDict_SetItemString(operations.get(), "weights", weights.get()));
    py::checked_status(PyDict_SetItemString(operations.get(), "next_weights", next_weights.get()));
    engine().stock_operations = operations;

    const native::WeightReport<native::AppliedWeight> applied = native::applied_weights(end);
    for (const native::AppliedWeight& stock : applied.stocks) {
        py::Ref value = stock.sold_since ? integer(0) : float64_scalar(stock.weight);
        set_item(weights.get(), integer(stock.sid).get(), value.get());
    }
    if (applied.divisor) divide_values(weights.get(), *applied.divisor);

    const native::WeightReport<native::TargetWeight> next = native::next_weights(end);
    for (const native::TargetWeight& stock : next.stocks) {
        set_item(next_weights.get(), integer(stock.sid).get(), float64_scalar(stock.weight).get());
    }
    py::checked_status(
        PyDict_SetItemString(operations.get(), "weight_time", integer(end.current_position_id).get()));
    py::checked_status(
        PyDict_SetItemString(operations.get(), "next_weight_time", integer(end.pos_id).get()));
    if (next.divisor) divide_values(next_weights.get(), *next.divisor);

    normalize(operations.get(), "weights", position_limit);
    normalize(operations.get(), "next_weights", position_limit);
    // normalize_weight may have reallocated an input the decisions read.
    inputs.verify();

    const native::ActionDecisions decisions = native::decide_actions(end);
    apply(actions.get(), decisions.rebalance, nullptr);
    if (!decisions.queued_exits.empty()) {
        const py::Ref normalized_next = item(operations.get(), "next_weights");
        apply(actions.get(), decisions.queued_exits, normalized_next.get());
    }
    apply(actions.get(), decisions.done_exits, nullptr);
}

}  // namespace tolvane::ravelin
