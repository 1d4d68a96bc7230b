// The engine's trade recorder: reports trades to tolvane.core.vexal through
// the functions bound from its export table (a native::TradeRecorder).
#pragma once

#include "native/exit_reason.hpp"
#include "native/trade_recorder.hpp"
#include "ravelin/input_integrity.hpp"
#include "ravelin/state.hpp"

namespace tolvane::ravelin {

class VexalRecorder {
public:
    VexalRecorder(const vexal_api::Api& api, const InputIntegrity& inputs) noexcept
        : api_(api), inputs_(inputs) {}

    void start_analysis(PyObject* price, PyObject* close, std::map<int, int> pos2price,
                        int nstocks, double fee_ratio, double tax_ratio, int window,
                        int window_step);
    void end_analysis(std::map<int, double>& book);

    void bar_started(int bar);
    void entered(int sid, double weight, bool paid);
    // vexal has no exit reasons.
    void exited(int sid, bool paid, native::ExitReason);
    // RETAIN_COST_WHEN_REBALANCE is falsy and RESAMPLE truthy (module globals).
    bool split_resized_positions();
    // vexal analyses a trade from the close matrix when it ends.
    native::IgnoredCloses closes_of(int) const noexcept { return {}; }

private:
    bool truth(const char* flag);

    const vexal_api::Api& api_;
    const InputIntegrity& inputs_;
};

}  // namespace tolvane::ravelin
