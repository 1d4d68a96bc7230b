// The record of an exit decided by an exit rule.
#pragma once

#include "native/exit_reason.hpp"

namespace tolvane::native {

// A stock sold (or queued to be sold) by an exit rule. `positive` is the side
// of the record: the upper threshold of the close test, or a touch on the
// winning side of the position; otherwise the record is negative. `reason`
// is the threshold that was crossed.
struct ExitRecord {
    int sid;
    bool positive;
    ExitReason reason;
};

}  // namespace tolvane::native
