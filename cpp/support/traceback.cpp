#include "support/traceback.hpp"

#include "support/pending_exception.hpp"

#include <frameobject.h>

namespace tolvane::py {

void add_traceback(const char* qualified_name) noexcept {
    if (!PyErr_Occurred()) return;
    Ref frame;
    {
        PendingException pending;
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
