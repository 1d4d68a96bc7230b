#include "support/traceback.hpp"

#include "support/py_ref.hpp"

#include <frameobject.h>

namespace tolvane::py {
namespace {

// Holds the pending exception aside while the frame objects are built.
class SetAsideException {
public:
    SetAsideException() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exception_, &traceback_);
#endif
    }
    ~SetAsideException() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exception_);
#else
        PyErr_Restore(type_, exception_, traceback_);
#endif
    }
    SetAsideException(const SetAsideException&) = delete;
    SetAsideException& operator=(const SetAsideException&) = delete;

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exception_ = nullptr;
};

}  // namespace

void add_traceback(const char* qualified_name) noexcept {
    if (!PyErr_Occurred()) return;
    Ref frame;
    {
        SetAsideException pending;
        Ref globals = Ref::steal(PyDict_New());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(
            PyCode_NewEmpty("<native>", qualified_name, 0)));
        if (globals && code) {
            frame = Ref::steal(reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                            globals.get(), nullptr)));
        }
        // The entry is best effort: the original exception wins over a failure here.
        PyErr_Clear();
    }
    if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tolvane::py
