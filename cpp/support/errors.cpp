#include "support/errors.hpp"

#include <cstdio>
#include <exception>
#include <new>

#include "support/traceback.hpp"

namespace tolvane::py {
namespace {

void set_failure_exception(const native::Failure& failure) noexcept {
    if (dynamic_cast<const ErrorAlreadySet*>(&failure)) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "error return without exception set");
        }
    } else if (auto* index = dynamic_cast<const native::BufferIndexError*>(&failure)) {
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", index->axis);
    } else if (auto* array = dynamic_cast<const native::ArrayIndexError*>(&failure)) {
        PyErr_Format(PyExc_IndexError, "index %lld is out of bounds for axis %d with size %lld",
                     static_cast<long long>(array->index), array->axis,
                     static_cast<long long>(array->size));
    } else if (dynamic_cast<const native::MissingMatrix*>(&failure)) {
        PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    } else if (dynamic_cast<const native::FloatDivisionError*>(&failure)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division");
    } else if (dynamic_cast<const native::IntegerDivisionError*>(&failure)) {
        PyErr_SetString(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    } else if (dynamic_cast<const native::NegativeSizeError*>(&failure)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
    } else if (dynamic_cast<const native::HostDivisionByZero*>(&failure)) {
        // The interpreter's own message for float division by zero.
        Ref one = Ref::steal(PyFloat_FromDouble(1.0));
        Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
        if (one && zero) Ref::steal(PyNumber_TrueDivide(one.get(), zero.get()));
    } else if (auto* broken = dynamic_cast<const native::BrokenInvariant*>(&failure)) {
        PyErr_SetString(PyExc_SystemError, broken->what);
    } else {
        PyErr_SetString(PyExc_SystemError, "unrecognised native failure");
    }
}

}  // namespace

void add_function_traceback(const char* module, const char* function) noexcept {
    char name[256];
    std::snprintf(name, sizeof name, "%s.%s", module, function);
    add_traceback(name);
}

void raise_current_exception(const char* module, const char* function,
                             const FailureTranslator& translate) noexcept {
    try {
        throw;
    } catch (const native::Failure& failure) {
        bool translated = false;
        try {
            translated = translate && translate(failure);
        } catch (...) {
            raise_current_exception(module, function);
            return;
        }
        if (!translated) set_failure_exception(failure);
        for (const char* frame : failure.frames()) add_function_traceback(module, frame);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    add_function_traceback(module, function);
}

}  // namespace tolvane::py
