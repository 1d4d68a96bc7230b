// normalize_weight: scale a weight mapping down to an absolute total of 1 and
// clip every weight to +-position_limit, through the generic object protocol.
#include <array>

#include "ravelin/functions.hpp"
#include "ravelin/state.hpp"
#include "support/arguments.hpp"
#include "support/errors.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
namespace {

[[noreturn]] void raise_too_few_values(Py_ssize_t found) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 1 ? "" : "s");
    throw py::ErrorAlreadySet{};
}

[[noreturn]] void raise_too_many_values() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    throw py::ErrorAlreadySet{};
}

// The key of a (key, value) item.
py::Ref unpack_key(PyObject* item) {
    if (PyTuple_CheckExact(item)) {
        const Py_ssize_t size = PyTuple_GET_SIZE(item);
        if (size > 2) raise_too_many_values();
        if (size < 2) raise_too_few_values(size);
        return py::Ref::borrow(PyTuple_GET_ITEM(item, 0));
    }
    py::Ref iterator = py::checked(PyObject_GetIter(item));
    py::Ref values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        values[i] = py::Ref::steal(PyIter_Next(iterator.get()));
        if (!values[i]) {
            py::throw_if_error_set();
            raise_too_few_values(i);
        }
    }
    if (py::Ref::steal(PyIter_Next(iterator.get()))) raise_too_many_values();
    py::throw_if_error_set();
    return values[0];
}

// Calls `visit(key)` for each key of `weights` (key iteration).
template <class Visit>
void for_each_key(PyObject* weights, Visit&& visit) {
    py::Ref iterator = py::checked(PyObject_GetIter(weights));
    while (py::Ref key = py::Ref::steal(PyIter_Next(iterator.get()))) visit(key.get());
    py::throw_if_error_set();
}

py::Ref normalize_weight(PyObject* weights, PyObject* position_limit) {
    py::Ref weight_sum = py::checked(PyFloat_FromDouble(0.0));
    py::Ref items = py::checked(PyObject_CallMethod(weights, "items", nullptr));
    py::Ref item_iterator = py::checked(PyObject_GetIter(items.get()));
    while (py::Ref item = py::Ref::steal(PyIter_Next(item_iterator.get()))) {
        py::Ref key = unpack_key(item.get());
        py::Ref weight = py::checked(PyObject_GetItem(weights, key.get()));
        py::Ref magnitude = py::checked(PyNumber_Absolute(weight.get()));
        weight_sum = py::checked(PyNumber_Add(weight_sum.get(), magnitude.get()));
    }
    py::throw_if_error_set();

    py::Ref one = py::checked(PyLong_FromLong(1));
    for_each_key(weights, [&](PyObject* key) {
        if (!py::compare(weight_sum.get(), one.get(), Py_GT)) return;
        py::Ref weight = py::checked(PyObject_GetItem(weights, key));
        py::Ref factor = py::checked(PyNumber_TrueDivide(one.get(), weight_sum.get()));
        py::Ref scaled = py::checked(PyNumber_Multiply(weight.get(), factor.get()));
        py::checked_status(PyObject_SetItem(weights, key, scaled.get()));
    });

    for_each_key(weights, [&](PyObject* key) {
        py::Ref weight = py::checked(PyObject_GetItem(weights, key));
        if (py::compare(weight.get(), position_limit, Py_GT)) {
            py::checked_status(PyObject_SetItem(weights, key, position_limit));
            return;
        }
        weight = py::checked(PyObject_GetItem(weights, key));
        py::Ref lower_limit = py::checked(PyNumber_Negative(position_limit));
        if (py::compare(weight.get(), lower_limit.get(), Py_LT)) {
            py::checked_status(PyObject_SetItem(weights, key, lower_limit.get()));
        }
    });
    return py::Ref::borrow(weights);
}

PyObject* normalize_weight_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "normalize_weight", [&] {
        static constexpr std::array<const char*, 2> names{"weights", "position_limit"};
        std::array<PyObject*, 2> slots{};
        py::parse_arguments({"normalize_weight", names, 2}, args, kwargs, slots);
        return normalize_weight(slots[0], slots[1]).release();
    });
}

}  // namespace

PyMethodDef normalize_weight_definition = py::keyword_function("normalize_weight", normalize_weight_entry,
    "normalize_weight($module, weights, position_limit)\n--\n\n"
    "Scale the weights of a mapping down so that their absolute values add up\n"
    "to 1 when they add up to more (multiplying by 1 / total), then clip each\n"
    "weight to [-position_limit, position_limit]. Changes `weights` in place\n"
    "and returns it.");

}  // namespace tolvane::ravelin
