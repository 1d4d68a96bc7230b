#include "ravelin/run_setup.hpp"

#include <string>

#include "native/failure.hpp"
#include "ravelin/state.hpp"
#include "support/object_protocol.hpp"

namespace tolvane::ravelin {
namespace {

std::string encoded_label(PyObject* label) {
    // A plain str encodes as its UTF-8 form without a method call.
    if (PyUnicode_CheckExact(label)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(label, &size);
        if (!utf8) throw py::ErrorAlreadySet{};
        return {utf8, static_cast<std::size_t>(size)};
    }
    py::Ref encoded = py::checked(PyObject_CallMethod(label, "encode", "s", "UTF-8"));
    if (PyBytes_Check(encoded.get())) {
        return {PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
    }
    if (PyByteArray_Check(encoded.get())) {
        return {PyByteArray_AS_STRING(encoded.get()),
                static_cast<std::size_t>(PyByteArray_GET_SIZE(encoded.get()))};
    }
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(encoded.get())->tp_name);
    throw py::ErrorAlreadySet{};
}

// Calls `visit(index, label)` for every label of `labels`, in order.
template <class Visit>
void for_each_label(PyObject* labels, Visit&& visit) {
    py::Ref iterator = py::checked(PyObject_GetIter(labels));
    int index = 0;
    while (py::Ref label = py::Ref::steal(PyIter_Next(iterator.get()))) {
        visit(index++, label.get());
    }
    py::throw_if_error_set();
}

py::Ref attr(PyObject* object, const char* name) {
    return py::checked(PyObject_GetAttrString(object, name));
}

py::Ref item(PyObject* sequence, Py_ssize_t index) {
    return py::checked(PySequence_GetItem(sequence, index));
}

py::Ref call_method(PyObject* object, const char* name) {
    return py::checked(PyObject_CallMethod(object, name, nullptr));
}

}  // namespace

std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns) try {
    std::map<std::string, int> price_column_of;
    for_each_label(price_columns, [&](int index, PyObject* label) {
        price_column_of[encoded_label(label)] = index;
    });
    std::map<int, int> column_map;
    for_each_label(pos_columns, [&](int index, PyObject* label) {
        const auto found = price_column_of.find(encoded_label(label));
        if (found != price_column_of.end()) column_map.emplace_hint(column_map.end(), index, found->second);
    });
    return column_map;
}
TOLVANE_PASSED_THROUGH("map_columns")

py::Ref stop_thresholds(PyObject* threshold, PyObject* price_index, PyObject* pos_columns) try {
    py::Ref table;
    if (py::checked_status(PyObject_IsInstance(threshold, module_global("StopTable")))) {
        table = py::Ref::borrow(threshold);
    } else {
        table = py::checked(PyObject_CallFunctionObjArgs(module_global("stop_table"), threshold,
                                                         price_index, pos_columns, nullptr));
    }
    py::Ref rows = attr(table.get(), "rows");

    auto values_shape = [&](Py_ssize_t axis) {
        return item(attr(attr(table.get(), "values").get(), "shape").get(), axis);
    };
    bool rejected = py::compare(values_shape(1).get(), attr(pos_columns, "size").get(), Py_NE) ||
                    py::compare(item(attr(rows.get(), "shape").get(), 0).get(),
                            attr(price_index, "size").get(), Py_NE);
    if (!rejected && py::is_true(attr(rows.get(), "size").get())) {
        py::Ref zero = py::checked(PyLong_FromLong(0));
        rejected = py::compare(call_method(rows.get(), "min").get(), zero.get(), Py_LT) ||
                   py::compare(call_method(rows.get(), "max").get(), values_shape(0).get(), Py_GE);
    }
    if (rejected) {
        PyErr_SetString(PyExc_ValueError,
                        "Stop thresholds do not match the price bars and position columns");
        throw py::ErrorAlreadySet{};
    }
    return table;
}
TOLVANE_PASSED_THROUGH("stop_thresholds")

}  // namespace tolvane::ravelin
