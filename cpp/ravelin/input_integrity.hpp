// Guards the views of a run against Python code that reallocates an input
// array while the run holds its buffer (NumPy allows resize(refcheck=False)).
#pragma once

#include <vector>

#include "support/buffers.hpp"

namespace tolvane::ravelin {

class InputIntegrity {
public:
    void watch(const py::Buffer& buffer) { buffers_.push_back(&buffer); }

    // Call after any Python code that the run called back into. Raises
    // RuntimeError if a watched array no longer has the memory the run views.
    void verify() const;

private:
    std::vector<const py::Buffer*> buffers_;
};

}  // namespace tolvane::ravelin
