// ioft: an int64 nanosecond timestamp as a local date-time.
#include <array>

#include "ravelin/functions.hpp"
#include "ravelin/state.hpp"
#include "support/arguments.hpp"
#include "support/errors.hpp"

namespace tolvane::ravelin {
namespace {

py::Ref ioft(PyObject* nanoseconds) {
    py::Ref per_second = py::checked(PyFloat_FromDouble(1e9));
    py::Ref seconds = py::checked(PyNumber_TrueDivide(nanoseconds, per_second.get()));
    py::Ref datetime_class = py::checked(PyObject_GetAttrString(module_global("datetime"), "datetime"));
    return py::checked(PyObject_CallMethod(datetime_class.get(), "fromtimestamp", "O", seconds.get()));
}

PyObject* ioft_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "ioft", [&] {
        static constexpr std::array<const char*, 1> names{"v"};
        std::array<PyObject*, 1> slots{};
        py::parse_arguments({"ioft", names, 1}, args, kwargs, slots);
        return ioft(slots[0]).release();
    });
}

}  // namespace

PyMethodDef ioft_definition = py::keyword_function("ioft", ioft_entry,
    "ioft($module, v)\n--\n\n"
    "Return the nanosecond timestamp `v` as a naive datetime.datetime in the\n"
    "process's local time zone (datetime.datetime.fromtimestamp(v / 1e9)).");

}  // namespace tolvane::ravelin
