#pragma once
// Turns the trees of one stage into its combined grid tensor: align them on
// their union grid, normalise each tree's shape, optionally keep only the
// trees nearest the medoid tree, and merge the kept ones geometrically.
#include <functional>
#include <vector>

#include "grid_tensor.hpp"
#include "matrix_view.hpp"
#include "stage_predictor/combine_grids.hpp"

namespace zun {

// The training rows in every interval of the given split lists, one list per
// feature: what the aggregation needs of the rows, whichever way they are held.
using IntervalCounter = std::function<IntervalCounts(const std::vector<std::vector<double>>& splits)>;

// trim_percentage: the share of trees to keep (1 or more keeps all of them
// without computing distances). Fails with "Cannot aggregate empty grid list"
// for no trees.
GridTensor aggregate_bagged(const std::vector<GridTensor>& grids, const IntervalCounter& count_rows,
                            double trim_percentage);
// Counting the rows of x one by one.
GridTensor aggregate_bagged(const std::vector<GridTensor>& grids, const MatrixView& x, double trim_percentage);

// Rows of x per interval: each value counts in the interval holding it (the
// number of splits at or below it). Throws FitError on NaN in a counted column.
IntervalCounts count_rows(const std::vector<std::vector<double>>& splits, const MatrixView& x);

}  // namespace zun
