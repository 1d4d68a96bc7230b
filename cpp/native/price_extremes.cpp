#include "native/price_extremes.hpp"

#include <limits>

namespace tolvane::native {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Running extremes that start beyond every value: a NaN compares false both
// ways and so changes neither (the comparisons compile to the processor's
// min and max instructions, several values at a time).
struct Extremes {
    double lowest = kInfinity;
    double highest = -kInfinity;

    void take(double value) noexcept {
        lowest = value < lowest ? value : lowest;
        highest = value > highest ? value : highest;
    }
    void merge(const Extremes& other) noexcept {
        lowest = other.lowest < lowest ? other.lowest : lowest;
        highest = other.highest > highest ? other.highest : highest;
    }
    // No value seen: both still at their starts (a value of +inf or -inf moves one).
    bool empty() const noexcept { return lowest == kInfinity && highest == -kInfinity; }
};

Extremes of_contiguous(const double* values, std::ptrdiff_t count) noexcept {
    constexpr std::ptrdiff_t kLanes = 8;  // independent chains, so the loads overlap
    Extremes lanes[kLanes];
    std::ptrdiff_t i = 0;
    for (; i + kLanes <= count; i += kLanes) {
        for (std::ptrdiff_t lane = 0; lane < kLanes; ++lane) lanes[lane].take(values[i + lane]);
    }
    for (; i < count; ++i) lanes[0].take(values[i]);
    for (std::ptrdiff_t lane = 1; lane < kLanes; ++lane) lanes[0].merge(lanes[lane]);
    return lanes[0];
}

void store(const Extremes& found, std::ptrdiff_t column, ColumnExtremes& extremes) {
    extremes.lowest[column] = found.empty() ? kNaN : found.lowest;
    extremes.highest[column] = found.empty() ? kNaN : found.highest;
}

}  // namespace

ColumnExtremes column_extremes(StridedView2D<double> prices) {
    const std::ptrdiff_t rows = prices.rows();
    const std::ptrdiff_t columns = prices.columns();
    ColumnExtremes extremes{std::vector<double>(static_cast<std::size_t>(columns), kNaN),
                            std::vector<double>(static_cast<std::size_t>(columns), kNaN)};
    if (rows == 0) return extremes;
    if (prices.columns_are_nearer()) {
        for (std::ptrdiff_t column = 0; column < columns; ++column) {
            const StridedView1D<double> values = prices.column(column);
            Extremes found;
            if (const double* contiguous = values.contiguous_elements()) {
                found = of_contiguous(contiguous, rows);
            } else {
                const CheckedRange<double> range = values.range(0, rows);
                for (std::ptrdiff_t row = 0; row < rows; ++row) found.take(range[row]);
            }
            store(found, column, extremes);
        }
        return extremes;
    }
    std::vector<Extremes> found(static_cast<std::size_t>(columns));
    for (std::ptrdiff_t row = 0; row < rows; ++row) {
        const CheckedRange<double> values = prices.row(row).range(0, columns);
        for (std::ptrdiff_t column = 0; column < columns; ++column) found[column].take(values[column]);
    }
    for (std::ptrdiff_t column = 0; column < columns; ++column) store(found[column], column, extremes);
    return extremes;
}

}  // namespace tolvane::native
