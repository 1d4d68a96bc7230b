#include "native/trading.hpp"

#include <cmath>
#include <cstddef>

namespace tolvane::native {
namespace {

// NumPy's pairwise summation, here of the magnitudes of the `count` values
// that `at(0 .. count - 1)` reads: blocks of up to 128 values are summed in
// eight interleaved accumulators, longer runs are split in halves (rounded
// down to a multiple of eight).
template <class Reader>
double pairwise_abs_sum(const Reader& at, std::ptrdiff_t first, std::ptrdiff_t count) {
    if (count < 8) {
        double sum = 0.0;
        for (std::ptrdiff_t i = 0; i < count; ++i) sum += std::abs(at(first + i));
        return sum;
    }
    if (count <= 128) {
        double partial[8];
        for (std::ptrdiff_t j = 0; j < 8; ++j) partial[j] = std::abs(at(first + j));
        std::ptrdiff_t i = 8;
        for (; i < count - count % 8; i += 8) {
            for (std::ptrdiff_t j = 0; j < 8; ++j) partial[j] += std::abs(at(first + i + j));
        }
        double sum = ((partial[0] + partial[1]) + (partial[2] + partial[3])) +
                     ((partial[4] + partial[5]) + (partial[6] + partial[7]));
        for (; i < count; ++i) sum += std::abs(at(first + i));
        return sum;
    }
    std::ptrdiff_t half = count / 2;
    half -= half % 8;
    return pairwise_abs_sum(at, first, half) + pairwise_abs_sum(at, first + half, count - half);
}

}  // namespace

double entry_weight(double position, double balance) {
    if (balance == 0.0) throw HostDivisionByZero{};
    return position / balance;
}

double absolute_sum(StridedView1D<double> values) {
    // Contiguous values (the run's own copy of a target row) are read without
    // a check per element: every index the summation reads is below size().
    if (const double* elements = values.contiguous_elements()) {
        return 0.0 + pairwise_abs_sum([elements](std::ptrdiff_t i) { return elements[i]; }, 0, values.size());
    }
    return 0.0 + pairwise_abs_sum([&values](std::ptrdiff_t i) { return values[i]; }, 0, values.size());
}

}  // namespace tolvane::native
