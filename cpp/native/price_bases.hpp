// The base of each price column's next bar-to-bar ratio.
#pragma once

#include <cstdint>
#include <vector>

#include "native/strided_view.hpp"

namespace tolvane::native {

// Per price column, the last known trade price (1.0 before any). A rebalance
// restarts every base at that bar's trade price: the restart is noted, and a
// column takes its restarted base when it is next used, so a rebalance costs
// nothing for the columns that no position uses.
class PriceBases {
public:
    PriceBases(const StridedView2D<double>& prices, std::ptrdiff_t columns)
        : prices_(&prices),
          bases_(static_cast<std::size_t>(columns), 1.0),
          restart_of_(static_cast<std::size_t>(columns), 0) {}

    // The base of `column` (a column of the price matrix), to read or replace.
    double& operator[](int column) {
        if (restart_of_[column] != restarts_) {
            bases_[column] = (*prices_)(restart_bar_, column);
            restart_of_[column] = restarts_;
        }
        return bases_[column];
    }

    // Every base restarts at the trade price of `bar`.
    void restart_at(std::int64_t bar) noexcept {
        ++restarts_;
        restart_bar_ = bar;
    }

private:
    const StridedView2D<double>* prices_;
    std::vector<double> bases_;
    std::vector<std::uint64_t> restart_of_;  // per column: the restart its base follows
    std::uint64_t restarts_ = 0;
    std::int64_t restart_bar_ = -1;
};

}  // namespace tolvane::native
