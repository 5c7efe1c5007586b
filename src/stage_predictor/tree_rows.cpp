#include "stage_predictor/tree_rows.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <numeric>
#include <utility>
#include <variant>

#include "checked_size.hpp"
#include "error.hpp"
#include "parallel.hpp"
#include "random.hpp"
#include "stage_predictor/aggregate_bagged.hpp"

namespace zun {
namespace {

// Each row of x in exactly one part, no part empty.
void require_partition(std::size_t rows, const std::vector<std::vector<std::size_t>>& parts) {
    if (parts.empty()) {
        throw FitError("row parts: at least one part is needed");
    }
    std::vector<std::uint8_t> seen(rows, 0);
    for (std::size_t p = 0; p < parts.size(); ++p) {
        if (parts[p].empty()) {
            throw FitError(fmt::format("row parts: part {} holds no row", p));
        }
        for (const std::size_t row : parts[p]) {
            if (row >= rows) {
                throw FitError(fmt::format("row parts: part {} names row {} of a matrix of {} rows", p, row, rows));
            }
            if (seen[row] != 0) {
                throw FitError(fmt::format("row parts: row {} lies in more than one part", row));
            }
            seen[row] = 1;
        }
    }
    const auto missing = std::find(seen.begin(), seen.end(), std::uint8_t{0});
    if (missing != seen.end()) {
        throw FitError(fmt::format("row parts: row {} lies in no part", missing - seen.begin()));
    }
}

// Rows per interval from a feature's sort order: the rows below split k are
// the sorted positions before the first value at or above it.
std::vector<std::uint64_t> count_sorted(const std::vector<double>& splits, const FeatureOrder& order,
                                        const MatrixView& x, std::size_t j) {
    const std::vector<std::size_t>& sorted = order.sorted_order;
    std::vector<std::uint64_t> counts(splits.size() + 1, 0);
    std::size_t below = 0;
    for (std::size_t k = 0; k < splits.size(); ++k) {
        const auto first_at_or_above = std::partition_point(
            sorted.begin() + static_cast<std::ptrdiff_t>(below), sorted.end(),
            [&](std::size_t sample) { return x(sample, j) < splits[k]; });
        const auto position = static_cast<std::size_t>(first_at_or_above - sorted.begin());
        counts[k] = position - below;
        below = position;
    }
    counts[splits.size()] = sorted.size() - below;
    return counts;
}

}  // namespace

RowPart::RowPart(const MatrixView& x, std::vector<std::size_t> rows, std::optional<std::uint32_t> max_bins)
    : rows_(std::move(rows)),
      values_(checked_count({rows_.size(), x.cols()}, "a part of the training rows")),
      x_(MatrixView::contiguous(values_.data(), rows_.size(), x.cols())) {
    const std::size_t cols = x.cols();
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            values_[i * cols + j] = x(rows_[i], j);
        }
    }
    prepare(max_bins);
}

RowPart::RowPart(const MatrixView& x, std::optional<std::uint32_t> max_bins) : x_(x) { prepare(max_bins); }

void RowPart::prepare(std::optional<std::uint32_t> max_bins) {
    if (bins_requested(max_bins)) {
        binned_ = bin_features(x_, *max_bins);
    } else {
        sorted_ = sort_features(x_);
    }
}

std::vector<double> RowPart::gather(const VectorView& values) const {
    if (rows_.empty()) {
        std::vector<double> all(values.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = values[i];
        }
        return all;
    }
    std::vector<double> part(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        part[i] = values[rows_[i]];
    }
    return part;
}

IntervalCounts RowPart::count_intervals(const std::vector<std::vector<double>>& splits) const {
    if (!sorted_) {
        return count_rows(splits, x_);
    }
    require(sorted_->size() >= splits.size(), "count_intervals: more split lists than sorted features");
    IntervalCounts counts(splits.size());
    for (std::size_t j = 0; j < splits.size(); ++j) {
        counts[j] = count_sorted(splits[j], (*sorted_)[j], x_, j);
    }
    return counts;
}

double TreeRows::sum_of_squares(const std::vector<double>& values) const {
    if (whole()) {
        double sum = 0.0;
        for (const double v : values) {
            sum += v * v;
        }
        return sum;
    }
    double total = 0.0;
    for (const RowPart& part : parts_) {
        double sum = 0.0;
        for (const std::size_t row : part.rows()) {
            sum += values[row] * values[row];
        }
        total += sum;
    }
    return total;
}

IntervalCounts TreeRows::count_intervals(const std::vector<std::vector<double>>& splits) const {
    IntervalCounts total = parts_.front().count_intervals(splits);
    for (std::size_t p = 1; p < parts_.size(); ++p) {
        const IntervalCounts counts = parts_[p].count_intervals(splits);
        for (std::size_t j = 0; j < total.size(); ++j) {
            for (std::size_t k = 0; k < total[j].size(); ++k) {
                total[j][k] += counts[j][k];
            }
        }
    }
    return total;
}

TreeRows::TreeRows(const MatrixView& x, std::optional<std::uint32_t> max_bins) : row_count_(x.rows()) {
    parts_.emplace_back(x, max_bins);
}

TreeRows::TreeRows(const MatrixView& x, std::vector<std::vector<std::size_t>> parts,
                   std::optional<std::uint32_t> max_bins)
    : row_count_(x.rows()) {
    require_partition(x.rows(), parts);
    parts_ = parallel_map<RowPart>(parts.size(), [&](std::size_t p) { return RowPart(x, std::move(parts[p]), max_bins); });
}

GridTensorParams params_for_part(const GridTensorParams& params, std::size_t part_rows, std::size_t all_rows) {
    if (part_rows == all_rows) {
        return params;
    }
    const double share = static_cast<double>(part_rows) / static_cast<double>(all_rows);
    GridTensorParams scaled = params;
    RefinementStrategyParams& refinement = scaled.refinement_strategy_params;
    refinement.alpha *= share;
    refinement.tilt_tau *= share;
    refinement.tilt_rho *= share;
    std::visit([share](auto& split) { split.min_split_loss *= share; }, scaled.split_strategy_params);
    return scaled;
}

std::vector<std::vector<std::size_t>> random_row_parts(std::size_t rows, std::size_t count, std::uint64_t seed) {
    require(count >= 1 && count <= rows, "random_row_parts: the part count must lie in 1 .. rows");
    std::vector<std::size_t> order(rows);
    std::iota(order.begin(), order.end(), std::size_t{0});
    Rng rng(seed);
    // Fisher-Yates from the last position down.
    for (std::size_t i = rows; i > 1; --i) {
        std::swap(order[i - 1], order[rng.uniform_below(i)]);
    }
    std::vector<std::vector<std::size_t>> parts(count);
    // Consecutive runs: the first rows % count of them one row longer.
    const std::size_t base = rows / count;
    const std::size_t longer = rows % count;
    std::size_t start = 0;
    for (std::size_t p = 0; p < count; ++p) {
        const std::size_t length = base + (p < longer ? 1 : 0);
        const auto begin = order.begin() + static_cast<std::ptrdiff_t>(start);
        parts[p].assign(begin, begin + static_cast<std::ptrdiff_t>(length));
        start += length;
        std::sort(parts[p].begin(), parts[p].end());
    }
    return parts;
}

}  // namespace zun
