// Failures raised by the Python-free core.
//
// The core reports every failure by throwing one of these types. A failure
// remembers the names of the core functions it unwound through (innermost
// first), so the binding layer can rebuild the call chain as traceback entries
// when it turns the failure into a Python exception.
#pragma once

#include <cstdint>
#include <vector>

namespace tolvane::native {

class Failure {
public:
    virtual ~Failure() = default;

    void passed_through(const char* function) { frames_.push_back(function); }
    const std::vector<const char*>& frames() const noexcept { return frames_; }

private:
    std::vector<const char*> frames_;
};

// A checked strided view was indexed outside its extent.
struct BufferIndexError : Failure {
    explicit BufferIndexError(int axis_) : axis(axis_) {}
    int axis;
};

// An array was indexed with array-indexing rules (negative counts from the
// end) and the index is still outside the axis.
struct ArrayIndexError : Failure {
    ArrayIndexError(std::int64_t index_, int axis_, std::int64_t size_)
        : index(index_), axis(axis_), size(size_) {}
    std::int64_t index;
    int axis;
    std::int64_t size;
};

// A matrix that is absent (None) was indexed.
struct MissingMatrix : Failure {};

// Division of doubles by zero where the arithmetic is checked.
struct FloatDivisionError : Failure {};

// Division of integers by zero.
struct IntegerDivisionError : Failure {};

// A length computed as negative where a size is required.
struct NegativeSizeError : Failure {};

// The interpreter's own float division by zero (its message depends on the
// interpreter version, so the binding reproduces it by dividing).
struct HostDivisionByZero : Failure {};

// The core found its own state inconsistent: a defect of the core, not of
// its inputs.
struct BrokenInvariant : Failure {
    explicit BrokenInvariant(const char* what_) : what(what_) {}
    const char* what;
};

// Catch clause helper: records `function` on the failure and rethrows.
#define TOLVANE_PASSED_THROUGH(function)                                        \
    catch (::tolvane::native::Failure & failure_in_flight) {                   \
        failure_in_flight.passed_through(function);                            \
        throw;                                                                 \
    }

}  // namespace tolvane::native
