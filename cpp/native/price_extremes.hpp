// The smallest and largest price of each column of a price matrix, missing
// prices (NaN) left out: what the front door needs to know that every price
// is positive and finite, or missing, read in one pass over the matrix.
#pragma once

#include <vector>

#include "native/strided_view.hpp"

namespace tolvane::native {

struct ColumnExtremes {
    std::vector<double> lowest;   // per column; NaN when the column has no price
    std::vector<double> highest;  // per column; NaN when the column has no price
};

// Reads the matrix in the order its memory holds it (columns of a
// column-major matrix, rows of a row-major one), each element once.
ColumnExtremes column_extremes(StridedView2D<double> prices);

}  // namespace tolvane::native
