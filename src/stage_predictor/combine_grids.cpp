#include "stage_predictor/combine_grids.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"
#include "float_format.hpp"
#include "grid_tensor/identification.hpp"
#include "logging/simple.hpp"

namespace zun {

namespace {

constexpr const char* log_target = "zun::stage_predictor::combine_grids";
constexpr double ratio_floor = 1e-10;
constexpr double ratio_ceiling = 1e10;

struct CellValues {
    double backbone;
    double tilt;
};

// Ascending, with -0 before +0 so the order of equal-valued points is fixed.
bool total_less(double a, double b) { return a < b || (a == b && std::signbit(a) && !std::signbit(b)); }

std::size_t usable_features(const GridTensor& grid_tensor) {
    return std::min({grid_tensor.splits.size(), grid_tensor.intervals.size(), grid_tensor.backbone_values.size(),
                     grid_tensor.tilt_values.size()});
}

void require_features(const std::vector<GridTensor>& grid_tensors, std::size_t features) {
    for (std::size_t g = 0; g < grid_tensors.size(); ++g) {
        if (usable_features(grid_tensors[g]) < features) {
            throw InternalError(fmt::format("grid tensor {} has complete lists for {} features but the first has {}",
                                            g, usable_features(grid_tensors[g]), features));
        }
    }
}

std::vector<double> feature_union(const std::vector<GridTensor>& grid_tensors, std::size_t feature) {
    std::vector<double> points;
    for (const GridTensor& grid_tensor : grid_tensors) {
        const auto& splits = grid_tensor.splits[feature];
        points.insert(points.end(), splits.begin(), splits.end());
    }
    try {
        return union_splits(std::move(points));
    } catch (const FitError& error) {
        throw FitError(fmt::format("Cannot build the union grid of feature {}: {}", feature, error.what()));
    }
}

// The first interval of the feature that contains `child`; the neutral pair
// when a dropped near-duplicate split leaves none.
CellValues parent_values(const GridTensor& grid_tensor, std::size_t feature, const Interval& child) {
    const auto& parents = grid_tensor.intervals[feature];
    for (std::size_t m = 0; m < parents.size(); ++m) {
        if (parents[m].first <= child.first && child.second <= parents[m].second) {
            const auto& backbone = grid_tensor.backbone_values[feature];
            const auto& tilt = grid_tensor.tilt_values[feature];
            if (m >= backbone.size() || m >= tilt.size()) {
                throw InternalError(fmt::format("interval {} of feature {} has no value: {} backbone and {} tilt "
                                                "values",
                                                m, feature, backbone.size(), tilt.size()));
            }
            return {backbone[m], tilt[m]};
        }
    }
    logging::log_fmt(logging::Level::Warn, log_target, "Could not find parent interval for union interval [{}, {})",
                     format_positional(child.first), format_positional(child.second));
    return {1.0, 0.0};
}

GridTensor align(const GridTensor& grid_tensor, const std::vector<std::vector<double>>& splits,
                 const std::vector<std::vector<Interval>>& intervals) {
    GridTensor aligned;
    aligned.splits = splits;
    aligned.intervals = intervals;
    aligned.scaling = 1.0;
    aligned.lambda_plus = grid_tensor.lambda_plus;
    aligned.lambda_minus = grid_tensor.lambda_minus;
    for (std::size_t j = 0; j < intervals.size(); ++j) {
        aligned.observation_counts.emplace_back(intervals[j].size(), 0);
        auto& backbone = aligned.backbone_values.emplace_back();
        auto& tilt = aligned.tilt_values.emplace_back();
        for (const Interval& child : intervals[j]) {
            const CellValues values = parent_values(grid_tensor, j, child);
            backbone.push_back(values.backbone);
            tilt.push_back(values.tilt);
        }
    }
    return aligned;
}

double total_weight(const std::vector<double>& weights) {
    double total = 0.0;
    for (const double weight : weights) {
        total += weight;
    }
    if (!(total > 0.0)) {
        throw FitError("Total weight must be positive");
    }
    return total;
}

void require_weight_per_member(std::size_t members, const std::vector<double>& weights) {
    if (weights.size() != members) {
        throw InternalError(fmt::format("{} weights given for {} members", weights.size(), members));
    }
}

// Every member must hold a backbone and a tilt for each cell of the first.
void require_cells(const std::vector<GridTensor>& aligned) {
    const auto& shape = aligned.front().backbone_values;
    for (std::size_t g = 0; g < aligned.size(); ++g) {
        const GridTensor& member = aligned[g];
        for (std::size_t j = 0; j < shape.size(); ++j) {
            const bool complete = j < member.backbone_values.size() && j < member.tilt_values.size() &&
                                  member.backbone_values[j].size() >= shape[j].size() &&
                                  member.tilt_values[j].size() >= shape[j].size();
            if (!complete) {
                throw InternalError(fmt::format(
                    "aligned grid tensor {} lacks values for the {} intervals of feature {} of the first", g,
                    shape[j].size(), j));
            }
        }
    }
}

// Geometric means of the members' f+ and f- factors of one cell, written
// back as backbone and tilt.
CellValues merge_cell(const std::vector<GridTensor>& aligned, const std::vector<double>& weights, double total,
                      std::size_t feature, std::size_t interval) {
    double log_plus = 0.0;
    double log_minus = 0.0;
    for (std::size_t g = 0; g < aligned.size(); ++g) {
        const double a = std::fmax(aligned[g].backbone_values[feature][interval], log_floor);
        const double t = aligned[g].tilt_values[feature][interval];
        log_plus += weights[g] * clamped_log(a * std::exp(std::fmin(t, tilt_exponent_cap)));
        log_minus += weights[g] * clamped_log(a * std::exp(std::fmin(-t, tilt_exponent_cap)));
    }
    const double plus = std::fmax(std::exp(log_plus / total), log_floor);
    const double minus = std::fmax(std::exp(log_minus / total), log_floor);
    const double ratio = std::clamp(plus / minus, ratio_floor, ratio_ceiling);
    return {std::sqrt(plus * minus), 0.5 * std::log(ratio)};
}

std::vector<double> member_lambdas(const std::vector<GridTensor>& aligned, double GridTensor::*lambda) {
    std::vector<double> lambdas;
    lambdas.reserve(aligned.size());
    for (const GridTensor& member : aligned) {
        lambdas.push_back(member.*lambda);
    }
    return lambdas;
}

}  // namespace

double clamped_log(double value) { return std::clamp(std::log(std::fmax(value, log_floor)), -log_limit, log_limit); }

std::vector<double> union_splits(std::vector<double> points) {
    for (const double point : points) {
        if (std::isnan(point)) {
            throw FitError("a split point is NaN and cannot be ordered");
        }
    }
    std::sort(points.begin(), points.end(), total_less);
    std::vector<double> kept;
    for (const double point : points) {
        if (kept.empty() || std::abs(point - kept.back()) >= union_split_tolerance) {
            kept.push_back(point);
        }
    }
    return kept;
}

std::vector<Interval> union_intervals(const std::vector<double>& splits) {
    constexpr double infinity = std::numeric_limits<double>::infinity();
    std::vector<Interval> intervals;
    intervals.reserve(splits.size() + 1);
    double low = -infinity;
    for (const double split : splits) {
        intervals.emplace_back(low, split);
        low = split;
    }
    intervals.emplace_back(low, infinity);
    return intervals;
}

std::vector<GridTensor> combine_grids(const std::vector<GridTensor>& grid_tensors) {
    if (grid_tensors.empty()) {
        return {};
    }
    const std::size_t features = grid_tensors.front().intervals.size();
    require_features(grid_tensors, features);
    std::vector<std::vector<double>> splits;
    std::vector<std::vector<Interval>> intervals;
    for (std::size_t j = 0; j < features; ++j) {
        splits.push_back(feature_union(grid_tensors, j));
        intervals.push_back(union_intervals(splits.back()));
    }
    std::vector<GridTensor> aligned;
    aligned.reserve(grid_tensors.size());
    for (const GridTensor& grid_tensor : grid_tensors) {
        aligned.push_back(align(grid_tensor, splits, intervals));
    }
    return aligned;
}

GridTensor merge_weighted_grids(const std::vector<GridTensor>& aligned, const std::vector<double>& weights,
                                const IntervalCounts& interval_counts) {
    if (aligned.empty()) {
        throw FitError("Cannot combine empty candidate grids");
    }
    require_weight_per_member(aligned.size(), weights);
    const double total = total_weight(weights);
    require_cells(aligned);
    const GridTensor& first = aligned.front();
    GridTensor merged;
    merged.splits = first.splits;
    merged.intervals = first.intervals;
    merged.observation_counts = interval_counts;
    merged.scaling = 1.0;
    for (std::size_t j = 0; j < first.backbone_values.size(); ++j) {
        auto& backbone = merged.backbone_values.emplace_back();
        auto& tilt = merged.tilt_values.emplace_back();
        for (std::size_t k = 0; k < first.backbone_values[j].size(); ++k) {
            const CellValues cell = merge_cell(aligned, weights, total, j, k);
            backbone.push_back(cell.backbone);
            tilt.push_back(cell.tilt);
        }
    }
    // Identification only normalises the shapes here; the scale and centre it
    // would move into the coefficients are dropped, the coefficients are the
    // members' geometric means.
    double discarded_plus = 1.0;
    double discarded_minus = 1.0;
    identify(merged.backbone_values, merged.tilt_values, interval_counts, discarded_plus, discarded_minus);
    merged.lambda_plus = geometric_mean_of_lambdas(member_lambdas(aligned, &GridTensor::lambda_plus), weights);
    merged.lambda_minus = geometric_mean_of_lambdas(member_lambdas(aligned, &GridTensor::lambda_minus), weights);
    return merged;
}

GridTensor merge_aligned_grids(const std::vector<GridTensor>& aligned, const IntervalCounts& interval_counts) {
    return merge_weighted_grids(aligned, std::vector<double>(aligned.size(), 1.0), interval_counts);
}

double geometric_mean_of_lambdas(const std::vector<double>& lambdas, const std::vector<double>& weights) {
    if (lambdas.empty()) {
        throw FitError("Cannot combine empty lambda list");
    }
    require_weight_per_member(lambdas.size(), weights);
    const double total = total_weight(weights);
    double weighted_log = 0.0;
    for (std::size_t i = 0; i < lambdas.size(); ++i) {
        weighted_log += weights[i] * clamped_log(lambdas[i]);
    }
    return std::exp(weighted_log / total);
}

}  // namespace zun
