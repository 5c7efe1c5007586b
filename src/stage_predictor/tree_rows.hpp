#pragma once
// The rows the trees of a stage fit on. Without parts every tree fits on all
// training rows; with P parts (disjoint sets of rows that together hold every
// row) tree t of every stage fits on part t mod P alone. What a tree fit
// needs of x alone, each feature's sort order or its bin codes, is made once
// per part and shared by every tree of every stage on it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "grid_tensor/histogram_binning.hpp"
#include "grid_tensor/params.hpp"
#include "grid_tensor/state.hpp"
#include "matrix_view.hpp"
#include "stage_predictor/combine_grids.hpp"

namespace zun {

// One part: its rows of x (a copy, unless the part is all of x in order) and
// what the tree fits on it share.
class RowPart {
public:
    RowPart(const MatrixView& x, std::vector<std::size_t> rows, std::optional<std::uint32_t> max_bins);
    // All rows of x in order, without a copy.
    RowPart(const MatrixView& x, std::optional<std::uint32_t> max_bins);
    RowPart(RowPart&&) = default;
    RowPart(const RowPart&) = delete;  // x_ may point into values_
    RowPart& operator=(const RowPart&) = delete;

    // Indices into the training rows in this part's order; empty for all rows.
    const std::vector<std::size_t>& rows() const { return rows_; }
    std::size_t size() const { return x_.rows(); }
    const MatrixView& x() const { return x_; }
    const std::shared_ptr<const SortedFeatures>& sorted() const { return sorted_; }
    const std::shared_ptr<const BinnedFeatures>& binned() const { return binned_; }

    // The entries of a training-row vector that belong to this part, in order.
    std::vector<double> gather(const VectorView& values) const;

    // This part's rows in every interval of the split lists (one per feature).
    IntervalCounts count_intervals(const std::vector<std::vector<double>>& splits) const;

private:
    void prepare(std::optional<std::uint32_t> max_bins);

    std::vector<std::size_t> rows_;
    std::vector<double> values_;
    MatrixView x_;
    std::shared_ptr<const SortedFeatures> sorted_;
    std::shared_ptr<const BinnedFeatures> binned_;
};

class TreeRows {
public:
    // One part of all rows: every tree fits on the whole of x.
    TreeRows(const MatrixView& x, std::optional<std::uint32_t> max_bins);
    // The given parts, each a list of row indices of x. Every row of x must
    // lie in exactly one part and no part may be empty (FitError otherwise).
    TreeRows(const MatrixView& x, std::vector<std::vector<std::size_t>> parts, std::optional<std::uint32_t> max_bins);

    std::size_t count() const { return parts_.size(); }
    // Training rows in all parts.
    std::size_t row_count() const { return row_count_; }
    const RowPart& part(std::size_t index) const { return parts_[index]; }
    // The part tree t of a stage fits on.
    const RowPart& part_of_tree(std::size_t tree) const { return parts_[tree % parts_.size()]; }
    bool whole() const { return parts_.size() == 1 && parts_.front().rows().empty(); }

    // The sum of squares of a training-row vector: each part's sum over its
    // rows in its order, then the parts' sums in part order, so that parts
    // summed apart (on other machines) give the same bits.
    double sum_of_squares(const std::vector<double>& values) const;

    // The training rows in every interval of the split lists: the parts' counts added.
    IntervalCounts count_intervals(const std::vector<std::vector<double>>& splits) const;

private:
    std::vector<RowPart> parts_;
    std::size_t row_count_ = 0;
};

// The tree parameters of a tree that fits on `part_rows` of `all_rows`
// training rows. The ridge, the tilt coupling and penalty and the least split
// gain are in the units of sums over the rows, so they are weighed by the
// part's share: the part's objective is then the whole one's, scaled, and a
// tree on a part is regularised as one on all rows. A whole part keeps them.
GridTensorParams params_for_part(const GridTensorParams& params, std::size_t part_rows, std::size_t all_rows);

// `count` parts of near-equal size (they differ by at most one row), drawn
// from `seed`: a random permutation of the rows cut into consecutive runs,
// each run's rows then in ascending order. Precondition: 1 <= count <= rows.
std::vector<std::vector<std::size_t>> random_row_parts(std::size_t rows, std::size_t count, std::uint64_t seed);

}  // namespace zun
