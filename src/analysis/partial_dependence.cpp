#include "analysis/partial_dependence.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "analysis/stage_factors.hpp"

namespace zun::analysis {
namespace {

bool has_duplicates(std::span<const std::uint64_t> indices) {
    std::vector<std::uint64_t> sorted(indices.begin(), indices.end());
    std::sort(sorted.begin(), sorted.end());
    return std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
}

// The stage's scalings folded into its lambdas, the minus part negated so
// that plus + minus is the stage's contribution.
ComponentPair scaled_lambdas(const StagePredictor& stage) {
    const GridTensor& grid = stage.primary_grid_tensor;
    return {scaling_plus_or_default(stage) * grid.lambda_plus, -scaling_minus_or_default(stage) * grid.lambda_minus};
}

// The features of the stage that are averaged over data_x: all but the fixed ones.
std::vector<std::size_t> averaged_features(std::size_t features, std::span<const std::uint64_t> fixed_indices) {
    std::vector<char> fixed(features, 0);
    for (const std::uint64_t index : fixed_indices) {
        fixed[index] = 1;
    }
    std::vector<std::size_t> averaged;
    for (std::size_t j = 0; j < features; ++j) {
        if (fixed[j] == 0) {
            averaged.push_back(j);
        }
    }
    return averaged;
}

ComponentPair marginal_constants(const StagePredictor& stage, std::span<const std::uint64_t> fixed_indices,
                                 const MatrixView& data_x) {
    const GridTensor& grid = stage.primary_grid_tensor;
    const std::vector<std::size_t> averaged = averaged_features(feature_count(grid), fixed_indices);
    const ComponentPair start = scaled_lambdas(stage);
    ComponentPair sum{0.0, 0.0};
    for (std::size_t i = 0; i < data_x.rows(); ++i) {
        ComponentPair u = start;
        for (const std::size_t j : averaged) {
            const FactorPair a = factors_at(grid, j, data_x(i, j));
            u.plus = u.plus * a.plus;
            u.minus = u.minus * a.minus;
        }
        sum.plus += u.plus;
        sum.minus += u.minus;
    }
    // Zero rows give 0/0 = NaN on purpose: there is nothing to average over.
    const double n = static_cast<double>(data_x.rows());
    return {sum.plus / n, sum.minus / n};
}

// Product of the fixed features' factors of one row, in fixed_indices order.
FactorPair fixed_product(const GridTensor& grid, std::span<const std::uint64_t> fixed_indices,
                         const MatrixView& fixed_values, std::size_t row) {
    FactorPair product{1.0, 1.0};
    for (std::size_t q = 0; q < fixed_indices.size(); ++q) {
        const FactorPair a = factors_at(grid, fixed_indices[q], fixed_values(row, q));
        product.plus = product.plus * a.plus;
        product.minus = product.minus * a.minus;
    }
    return product;
}

// Prefix and suffix products of one data row's factors, reused across rows.
class LeaveOneOut {
public:
    explicit LeaveOneOut(std::size_t features)
        : factors_(features), prefix_(features + 1), suffix_(features + 1) {}

    // Fills the products for row i; afterwards without(j) is the product of
    // every factor but feature j's.
    void load_row(const GridTensor& grid, const MatrixView& data_x, std::size_t i) {
        const std::size_t p = factors_.size();
        for (std::size_t j = 0; j < p; ++j) {
            factors_[j] = factors_at(grid, j, data_x(i, j));
        }
        prefix_[0] = {1.0, 1.0};
        for (std::size_t j = 0; j < p; ++j) {
            prefix_[j + 1] = {prefix_[j].plus * factors_[j].plus, prefix_[j].minus * factors_[j].minus};
        }
        suffix_[p] = {1.0, 1.0};
        for (std::size_t j = p; j > 0; --j) {
            suffix_[j - 1] = {suffix_[j].plus * factors_[j - 1].plus, suffix_[j].minus * factors_[j - 1].minus};
        }
    }

    const FactorPair& prefix(std::size_t j) const { return prefix_[j]; }
    const FactorPair& suffix(std::size_t j) const { return suffix_[j]; }

private:
    std::vector<FactorPair> factors_;
    std::vector<FactorPair> prefix_;  // prefix_[j]: product of factors 0 .. j-1
    std::vector<FactorPair> suffix_;  // suffix_[j]: product of factors j .. p-1
};

// (C+_j, C-_j) for every feature j of one stage: the mean over data_x of the
// stage's components without feature j's factor.
std::vector<ComponentPair> leave_one_out_constants(const StagePredictor& stage, const MatrixView& data_x) {
    const GridTensor& grid = stage.primary_grid_tensor;
    const std::size_t p = data_x.cols();
    const ComponentPair scale = scaled_lambdas(stage);
    std::vector<ComponentPair> sums(p, ComponentPair{0.0, 0.0});
    LeaveOneOut products(p);
    for (std::size_t i = 0; i < data_x.rows(); ++i) {
        products.load_row(grid, data_x, i);
        for (std::size_t j = 0; j < p; ++j) {
            sums[j].plus += scale.plus * products.prefix(j).plus * products.suffix(j + 1).plus;
            sums[j].minus += scale.minus * products.prefix(j).minus * products.suffix(j + 1).minus;
        }
    }
    const double n = static_cast<double>(data_x.rows());
    for (ComponentPair& sum : sums) {
        sum = {sum.plus / n, sum.minus / n};
    }
    return sums;
}

}  // namespace

std::optional<std::string> partial_dependence_problem(std::span<const StagePredictor> stages,
                                                      std::span<const std::uint64_t> fixed_indices,
                                                      std::size_t fixed_columns, std::size_t data_columns) {
    if (fixed_columns != fixed_indices.size()) {
        return fmt::format("fixed_values must have {} columns (one per fixed_indices), got {}", fixed_indices.size(),
                           fixed_columns);
    }
    if (has_duplicates(fixed_indices)) {
        return "fixed_indices must contain unique values";
    }
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const std::size_t features = feature_count(stages[l].primary_grid_tensor);
        for (const std::uint64_t index : fixed_indices) {
            if (index >= features) {
                return fmt::format("Feature index {} out of bounds (n_features={})", index, features);
            }
        }
        // Every feature of the stage is read from data_x, fixed ones aside.
        if (data_columns < features) {
            return fmt::format("Feature count mismatch: data_x has {} columns but the grid of stage {} has {}",
                               data_columns, l, features);
        }
        if (auto problem = stage_factor_problem(stages[l], l)) {
            return problem;
        }
    }
    return std::nullopt;
}

std::vector<ComponentPair> partial_dependence(std::span<const StagePredictor> stages,
                                              std::span<const std::uint64_t> fixed_indices,
                                              const MatrixView& fixed_values, const MatrixView& data_x,
                                              std::span<double> values) {
    const std::size_t width = 2 * stages.size();
    std::vector<ComponentPair> constants;
    constants.reserve(stages.size());
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const ComponentPair c = marginal_constants(stages[l], fixed_indices, data_x);
        constants.push_back(c);
        for (std::size_t i = 0; i < fixed_values.rows(); ++i) {
            const FactorPair x = fixed_product(stages[l].primary_grid_tensor, fixed_indices, fixed_values, i);
            values[i * width + 2 * l] = c.plus * x.plus;
            values[i * width + 2 * l + 1] = c.minus * x.minus;
        }
    }
    return constants;
}

std::optional<std::string> first_order_problem(std::span<const StagePredictor> stages, std::size_t value_columns,
                                               std::size_t data_rows, std::size_t data_columns) {
    if (data_rows == 0) {
        return "data_x must contain at least one sample";
    }
    if (value_columns != data_columns) {
        return fmt::format("values_x and data_x must have the same number of columns, got {} and {}", value_columns,
                           data_columns);
    }
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const std::size_t features = feature_count(stages[l].primary_grid_tensor);
        if (features != value_columns) {
            return fmt::format("Feature count mismatch: values_x has {} columns but grid has {}", value_columns,
                               features);
        }
        if (auto problem = stage_factor_problem(stages[l], l)) {
            return problem;
        }
    }
    return std::nullopt;
}

std::vector<std::vector<ComponentPair>> first_order_partial_dependence(std::span<const StagePredictor> stages,
                                                                       const MatrixView& values_x,
                                                                       const MatrixView& data_x,
                                                                       std::span<const std::span<double>> values) {
    const std::size_t p = data_x.cols();
    const std::size_t width = 2 * stages.size();
    std::vector<std::vector<ComponentPair>> constants(p);
    for (std::size_t l = 0; l < stages.size(); ++l) {
        const GridTensor& grid = stages[l].primary_grid_tensor;
        const std::vector<ComponentPair> c = leave_one_out_constants(stages[l], data_x);
        for (std::size_t j = 0; j < p; ++j) {
            constants[j].push_back(c[j]);
        }
        for (std::size_t r = 0; r < values_x.rows(); ++r) {
            for (std::size_t j = 0; j < p; ++j) {
                const FactorPair a = factors_at(grid, j, values_x(r, j));
                values[j][r * width + 2 * l] = a.plus * c[j].plus;
                values[j][r * width + 2 * l + 1] = a.minus * c[j].minus;
            }
        }
    }
    return constants;
}

}  // namespace zun::analysis
