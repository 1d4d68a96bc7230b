// The speed-of-light reference for the backtest benchmarks: only the work a
// monthly-rebalanced portfolio cannot avoid, in a plain loop over contiguous
// arrays. Each bar: revalue every held stock by its trade price, rebalance
// every column at rebalance bars (target = weight x portfolio value; a
// purchase pays its fee out of the holding, a sale out of the proceeds),
// value the portfolio at the close. No argument checks, no
// exit rules, no trade records, no Python inside the loop.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <vector>

namespace {

struct Holding {
    int column;
    double value;
    double base;  // the last valid trade price
};

// run(price, close, weights, rebalance_row, fee) -> list of values per bar.
// price, close: C-contiguous float64 [bars x columns]; weights: [rows x columns];
// rebalance_row: int64 per bar, the weights row traded at that bar or -1.
PyObject* run(PyObject*, PyObject* args) {
    Py_buffer price{}, close{}, weights{}, schedule{};
    double fee = 0;
    if (!PyArg_ParseTuple(args, "y*y*y*y*d", &price, &close, &weights, &schedule, &fee)) return nullptr;
    const auto* p = static_cast<const double*>(price.buf);
    const auto* c = static_cast<const double*>(close.buf);
    const auto* w = static_cast<const double*>(weights.buf);
    const auto* row_of_bar = static_cast<const long long*>(schedule.buf);
    const Py_ssize_t bars = schedule.len / static_cast<Py_ssize_t>(sizeof(long long));
    const Py_ssize_t columns = bars ? price.len / static_cast<Py_ssize_t>(sizeof(double)) / bars : 0;

    std::vector<double> values(bars);
    std::vector<Holding> held;
    std::vector<double> target(columns);
    double cash = 1.0;
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t d = 0; d < bars; ++d) {
        const double* prices = p + d * columns;
        for (Holding& h : held) {
            const double now = prices[h.column];
            if (h.base != h.base) h.base = now;
            if (now == now) {
                h.value *= now / h.base;
                h.base = now;
            }
        }
        if (row_of_bar[d] >= 0) {
            const double* row = w + row_of_bar[d] * columns;
            double balance = cash, total = 0;
            for (const Holding& h : held) balance += h.value;
            for (Py_ssize_t k = 0; k < columns; ++k) total += std::abs(row[k]);
            const double scale = balance / (total > 1 ? total : 1);
            std::fill(target.begin(), target.end(), 0.0);
            for (const Holding& h : held) target[h.column] -= h.value;  // amount = target - held
            std::vector<Holding> next;
            for (Py_ssize_t k = 0; k < columns; ++k) {
                const double goal = row[k] * scale;
                const double amount = target[k] + goal;
                double value = goal;
                if (amount > 0) {  // a purchase pays its fee out of the holding
                    cash -= amount;
                    value -= amount * fee;
                } else {  // a sale pays it out of the proceeds
                    cash -= amount * (1 - fee);
                }
                if (goal != 0) next.push_back({static_cast<int>(k), value, prices[k]});
            }
            held.swap(next);
        }
        double value = cash;
        const double* closes = c + d * columns;
        for (const Holding& h : held) {
            const double ratio = closes[h.column] / prices[h.column];
            value += ratio == ratio ? h.value * ratio : h.value;
        }
        values[d] = value;
    }
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&price);
    PyBuffer_Release(&close);
    PyBuffer_Release(&weights);
    PyBuffer_Release(&schedule);
    PyObject* result = PyList_New(bars);
    if (!result) return nullptr;
    for (Py_ssize_t d = 0; d < bars; ++d) PyList_SET_ITEM(result, d, PyFloat_FromDouble(values[d]));
    return result;
}

PyMethodDef functions[] = {
    {"run", run, METH_VARARGS, "Run the reference loop; returns the value at each bar's close."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot slots[] = {{0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tolvane.core._speed_of_light",
                          "Benchmark reference loop (private).", 0, functions, slots,
                          nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__speed_of_light() { return PyModuleDef_Init(&module_def); }
