// The position book: stock id -> current value of the position (negative for
// a short), iterated in ascending stock id.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <vector>

#include "native/failure.hpp"

namespace tolvane::native {

// Stock ids are position-column indices 0..columns-1, so the book keeps a
// dense value array plus the sorted list of held ids: lookups are O(1) and
// iteration visits only held stocks.
class PositionBook {
public:
    explicit PositionBook(int columns) : values_(columns, 0.0), held_(columns, 0) {}

    bool contains(int sid) const noexcept {
        return sid >= 0 && sid < static_cast<int>(held_.size()) && held_[sid];
    }

    // The value of a held stock.
    double& at(int sid) noexcept { return values_[sid]; }
    double at(int sid) const noexcept { return values_[sid]; }

    // The entry of `sid`, inserted with value 0 if missing.
    double& operator[](int sid) {
        if (!contains(sid)) insert(sid);
        return values_[sid];
    }

    void erase(int sid) {
        if (!contains(sid)) return;
        held_[sid] = 0;
        values_[sid] = 0.0;
        sids_.erase(std::lower_bound(sids_.begin(), sids_.end(), sid));
    }

    // Held stock ids in ascending order.
    const std::vector<int>& sids() const noexcept { return sids_; }

    std::map<int, double> to_map() const {
        std::map<int, double> book;
        for (int sid : sids_) book.emplace_hint(book.end(), sid, values_[sid]);
        return book;
    }

private:
    void insert(int sid) {
        if (sid < 0 || sid >= static_cast<int>(held_.size())) throw BufferIndexError(0);
        held_[sid] = 1;
        values_[sid] = 0.0;
        sids_.insert(std::lower_bound(sids_.begin(), sids_.end(), sid), sid);
    }

    std::vector<double> values_;
    std::vector<std::uint8_t> held_;
    std::vector<int> sids_;
};

}  // namespace tolvane::native
