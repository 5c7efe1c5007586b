#pragma once
// Turns the trees of one stage into its combined grid tensor: align them on
// their union grid, normalise each tree's shape, optionally keep only the
// trees nearest the medoid tree, and merge the kept ones geometrically.
#include <vector>

#include "grid_tensor.hpp"
#include "matrix_view.hpp"

namespace zun {

// trim_percentage: the share of trees to keep (1 or more keeps all of them
// without computing distances). Fails with "Cannot aggregate empty grid list"
// for no trees.
GridTensor aggregate_bagged(const std::vector<GridTensor>& grids, const MatrixView& x, double trim_percentage);

}  // namespace zun
