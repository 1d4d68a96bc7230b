// Traceback entries for functions implemented in C++.
#pragma once

namespace tolvane::py {

// Adds a traceback entry named `qualified_name` (for example
// "tolvane.core.pindle.str_to_bytearray") to the pending exception.
// Does nothing when no exception is pending.
void add_traceback(const char* qualified_name) noexcept;

}  // namespace tolvane::py
