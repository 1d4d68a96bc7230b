#include "ravelin/input_integrity.hpp"

namespace tolvane::ravelin {

void InputIntegrity::verify() const {
    for (const py::Buffer* buffer : buffers_) {
        if (buffer->unchanged()) continue;
        PyErr_SetString(PyExc_RuntimeError,
                        "an input array was reallocated while backtest_ was using it "
                        "(a callback resized it)");
        throw py::ErrorAlreadySet{};
    }
}

}  // namespace tolvane::ravelin
