// The skeleton every extension module shares: its definition, the exec slot
// with the import guards, and the module state, owned from the exec slot to
// m_free and handed out through a checked accessor.
#pragma once

#include <memory>

#include "support/errors.hpp"
#include "support/module_setup.hpp"

namespace tolvane::py {

// One extension module, whose state is a `State` and whose body is `populate`:
// it fills the module and the state, throwing on failure. The module can be
// executed once per process, in one interpreter (ModuleGuard); a failed body
// leaves no state and the traceback entry "<module name>.<module>".
template <class State, void (*populate)(PyObject* module, State& state)>
class ExtensionModule {
public:
    // What the module's PyInit_ function returns, for the module `name` with
    // the docstring `doc` (both kept: string literals).
    static PyObject* initialise(const char* name, const char* doc) noexcept {
        definition_.m_name = name;
        definition_.m_doc = doc;
        return PyModuleDef_Init(&definition_);
    }

    // The state of the executed module. Raises RuntimeError "<module name> is
    // not initialised" before the module body runs and after the module is freed.
    static State& state() {
        if (!owner_.state) {
            PyErr_Format(PyExc_RuntimeError, "%s is not initialised", definition_.m_name);
            throw ErrorAlreadySet{};
        }
        return *owner_.state;
    }

private:
    // The body runs with the state in place, so that it can reach it through state().
    static int run_body(PyObject* module) noexcept {
        try {
            owner_.state = std::make_unique<State>();
            populate(module, *owner_.state);
            return 0;
        } catch (...) {
            owner_.state.reset();
            raise_current_exception(definition_.m_name, "<module>");
            return -1;
        }
    }

    static int exec(PyObject* module) noexcept {
        return exec_guarded(guard_, module, definition_.m_name, run_body);
    }

    static void free(void* module) noexcept {
        if (guard_.owns(static_cast<PyObject*>(module))) owner_.state.reset();
        guard_.release(static_cast<PyObject*>(module));
    }

    // The owner of the state is never destroyed itself: at process exit the
    // interpreter may be finalised without having freed the module, and the
    // state's references must not be released then.
    union StateOwner {
        constexpr StateOwner() : state() {}
        ~StateOwner() {}
        std::unique_ptr<State> state;
    };

    inline static ModuleGuard guard_;
    inline static StateOwner owner_;
    inline static PyModuleDef_Slot slots_[] = {
        {Py_mod_exec, reinterpret_cast<void*>(&exec)},
        {0, nullptr},
    };
    inline static PyModuleDef definition_ = {
        PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, slots_, nullptr, nullptr, &free,
    };
};

}  // namespace tolvane::py
