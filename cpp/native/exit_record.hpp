// The record of an exit decided by an exit rule.
#pragma once

namespace tolvane::native {

// A stock sold (or queued to be sold) by an exit rule. `positive` is the side
// of the record: the upper threshold of the close test, or a touch on the
// winning side of the position; otherwise the record is negative.
struct ExitRecord {
    int sid;
    bool positive;
};

}  // namespace tolvane::native
