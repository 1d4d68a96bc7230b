// price_extremes(): the smallest and largest price of each column, read once
// with the GIL released.
#include "columns/price_extremes.hpp"

#include <array>
#include <utility>

#include "columns/owned_array.hpp"
#include "columns/run.hpp"
#include "native/price_extremes.hpp"
#include "support/arguments.hpp"
#include "support/buffers.hpp"
#include "support/errors.hpp"
#include "support/gil.hpp"

namespace tolvane::columns {
namespace {

constexpr std::array<const char*, 1> kNames = {"prices"};

PyObject* price_extremes(PyObject*, PyObject* args, PyObject* kwargs) {
    return py::boundary(kModule, "price_extremes", [&] {
        std::array<PyObject*, 1> slots{};
        py::parse_arguments({"price_extremes", kNames, 1}, args, kwargs, slots);
        const py::Buffer prices = py::Buffer::acquire(slots[0], 2, py::ElementType::Float64);
        native::ColumnExtremes extremes;
        py::run_without_gil([&] { extremes = native::column_extremes(prices.view2d<double>()); });
        py::Ref lowest = array_taking(std::move(extremes.lowest), NPY_DOUBLE);
        py::Ref highest = array_taking(std::move(extremes.highest), NPY_DOUBLE);
        return py::checked(PyTuple_Pack(2, lowest.get(), highest.get())).release();
    });
}

}  // namespace

PyMethodDef price_extremes_definition = py::keyword_function("price_extremes", price_extremes,
    "price_extremes($module, prices)\n"
    "--\n\n"
    "The smallest and the largest value of each column of a float64 matrix,\n"
    "NaN left out (NaN for a column without a value), as two arrays; the\n"
    "matrix is read once, in its own memory order, with the interpreter lock\n"
    "released.");

}  // namespace tolvane::columns
