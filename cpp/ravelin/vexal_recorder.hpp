// The engine's trade recorder: reports trades to tolvane.core.vexal through
// the functions bound from its export table.
#pragma once

#include "native/trading.hpp"
#include "ravelin/input_integrity.hpp"
#include "ravelin/state.hpp"

namespace tolvane::ravelin {

class VexalRecorder final : public native::TradeRecorder {
public:
    VexalRecorder(const vexal_api::Api& api, const InputIntegrity& inputs) noexcept
        : api_(api), inputs_(inputs) {}

    void start_analysis(PyObject* price, PyObject* close, std::map<int, int> pos2price,
                        int nstocks, double fee_ratio, double tax_ratio, int window,
                        int window_step);
    void end_analysis(std::map<int, double>& book);

    void record_date(int bar) override;
    void record_entry(int sid, double weight, int transaction) override;
    void record_exit(int sid, int transaction) override;
    // RETAIN_COST_WHEN_REBALANCE is falsy and RESAMPLE truthy (module globals).
    bool split_resized_positions() override;

private:
    bool truth(const char* flag);

    const vexal_api::Api& api_;
    const InputIntegrity& inputs_;
};

}  // namespace tolvane::ravelin
