// Pausing Python's cyclic garbage collector for a scope.
#pragma once

#include <Python.h>

namespace tolvane::py {

// Disables the cyclic collector for the life of the object and restores its
// previous state (enabled or not) on every exit path.
class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

}  // namespace tolvane::py
