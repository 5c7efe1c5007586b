#include "stage_predictor/aggregate_bagged.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <fmt/format.h>

#include "error.hpp"
#include "grid_tensor.hpp"
#include "logging/buffers.hpp"
#include "logging/manager.hpp"
#include "logging/simple.hpp"
#include "parallel.hpp"
#include "stage_predictor/combine_grids.hpp"

namespace zun {
namespace {

constexpr const char* log_target = "zun::stage_predictor::aggregate_bagged";
constexpr double empty_interval_weight = 1e-12;

// Count-weighted geometric mean 1 for the backbone, mean 0 for the tilt.
void normalise_shape(GridTensor& bag, const IntervalCounts& counts) {
    const std::size_t features = std::min(counts.size(), bag.backbone_values.size());
    for (std::size_t j = 0; j < features; ++j) {
        const double total = static_cast<double>(std::accumulate(counts[j].begin(), counts[j].end(), std::uint64_t{0}));
        if (!(total > 1e-12)) {
            continue;
        }
        std::vector<double>& backbone = bag.backbone_values[j];
        const std::size_t shared = std::min(counts[j].size(), backbone.size());
        double log_sum = 0.0;
        for (std::size_t k = 0; k < shared; ++k) {
            log_sum += static_cast<double>(counts[j][k]) * clamped_log(backbone[k]);
        }
        const double mu = log_sum / total;
        for (double& b : backbone) {
            b = std::exp(clamped_log(b) - mu);
        }
        if (j >= bag.tilt_values.size()) {
            continue;
        }
        std::vector<double>& tilt = bag.tilt_values[j];
        const std::size_t shared_tilt = std::min(counts[j].size(), tilt.size());
        double tilt_sum = 0.0;
        for (std::size_t k = 0; k < shared_tilt; ++k) {
            tilt_sum += static_cast<double>(counts[j][k]) * tilt[k];
        }
        const double tau = tilt_sum / total;
        for (double& t : tilt) {
            t -= tau;
        }
    }
}

// ln of the f+ and f- factor of every interval, flattened feature by feature.
struct LogComponents {
    std::vector<double> plus;
    std::vector<double> minus;
};

double limited(double value) { return std::clamp(value, -log_limit, log_limit); }

LogComponents log_components(const GridTensor& bag) {
    LogComponents logs;
    for (std::size_t j = 0; j < bag.backbone_values.size(); ++j) {
        const std::vector<double>& backbone = bag.backbone_values[j];
        for (std::size_t k = 0; k < backbone.size(); ++k) {
            const double log_a = std::log(std::max(backbone[k], log_floor));
            const double t = bag.tilt_values[j][k];
            logs.plus.push_back(limited(log_a + std::min(t, tilt_exponent_cap)));
            logs.minus.push_back(limited(log_a + std::min(-t, tilt_exponent_cap)));
        }
    }
    return logs;
}

std::vector<double> flat_weights(const GridTensor& bag, const IntervalCounts& counts) {
    std::vector<double> weights;
    for (std::size_t j = 0; j < bag.backbone_values.size(); ++j) {
        for (std::size_t k = 0; k < bag.backbone_values[j].size(); ++k) {
            const std::uint64_t count = k < counts[j].size() ? counts[j][k] : 0;
            weights.push_back(count == 0 ? empty_interval_weight : static_cast<double>(count));
        }
    }
    return weights;
}

double shape_distance(const LogComponents& a, const LogComponents& b, const std::vector<double>& weights) {
    double sum = 0.0;
    for (std::size_t q = 0; q < weights.size(); ++q) {
        const double dm = a.minus[q] - b.minus[q];
        const double dp = a.plus[q] - b.plus[q];
        sum += weights[q] * (dm * dm + dp * dp);
    }
    return std::sqrt(sum);
}

using DistanceMatrix = std::vector<std::vector<double>>;

DistanceMatrix pairwise_distances(const std::vector<GridTensor>& bags, const IntervalCounts& counts) {
    const std::size_t n = bags.size();
    const std::vector<double> weights = flat_weights(bags[0], counts);
    std::vector<LogComponents> logs;
    logs.reserve(n);
    for (const GridTensor& bag : bags) {
        logs.push_back(log_components(bag));
        require(logs.back().plus.size() == weights.size(), "aggregate_bagged: aligned bags differ in interval counts");
    }
    logging::log_fmt(logging::Level::Info, log_target, "Computing pairwise component-shape distances for {} bags (parallel)",
                     n);
    const std::vector<std::vector<double>> rows = parallel_map<std::vector<double>>(n, [&](std::size_t i) {
        std::vector<double> row;
        for (std::size_t j = i + 1; j < n; ++j) {
            row.push_back(shape_distance(logs[i], logs[j], weights));
        }
        return row;
    });
    DistanceMatrix distances(n, std::vector<double>(n, 0.0));
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            distances[i][j] = distances[j][i] = rows[i][j - i - 1];
        }
    }
    return distances;
}

std::size_t find_medoid(const DistanceMatrix& distances) {
    if (distances.empty()) {
        throw FitError("Cannot select median from empty grid list");
    }
    std::size_t best = 0;
    double best_total = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < distances.size(); ++i) {
        double total = 0.0;
        for (const double d : distances[i]) {
            total += d;
        }
        if (std::isnan(total)) {
            throw FitError(fmt::format("Cannot select the medoid grid: total distance of grid {} is NaN", i));
        }
        if (i == 0 || total < best_total) {
            best = i;
            best_total = total;
        }
    }
    logging::log_fmt(logging::Level::Info, log_target, "Selected grid {} as median (medoid) with total distance {:.6f}",
                     best, best_total);
    return best;
}

std::size_t keep_count(double trim_percentage, std::size_t n) {
    const double wanted = std::ceil(trim_percentage * static_cast<double>(n));
    if (!(wanted > 0.0)) {  // negative or NaN
        return 0;
    }
    return wanted >= static_cast<double>(n) ? n : static_cast<std::size_t>(wanted);
}

// The bags nearest the medoid, nearest first (ties keep index order).
std::vector<std::size_t> select_near_medoid(const DistanceMatrix& distances, std::size_t medoid, std::size_t keep) {
    std::vector<std::size_t> order(distances.size());
    std::iota(order.begin(), order.end(), 0);
    for (const std::size_t g : order) {
        if (std::isnan(distances[g][medoid])) {
            throw FitError(fmt::format("Cannot order grids by distance: distance of grid {} to the medoid is NaN", g));
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return distances[a][medoid] < distances[b][medoid]; });
    order.resize(keep);
    return order;
}

// Records which bags were merged, with their scores, in the run log.
template <class Score>
void send_choice(std::optional<std::uint64_t> best_index, const std::vector<std::size_t>& selected,
                 const Score& score) {
    if (!logging::is_logging_active()) {
        return;
    }
    std::vector<logging::CombinationCandidate> candidates;
    candidates.reserve(selected.size());
    for (const std::size_t g : selected) {
        candidates.push_back({g, score(g)});
    }
    logging::send_combination_choice("BaggedTwoTensor", best_index, std::move(candidates));
}

std::vector<std::size_t> select_bags(const std::vector<GridTensor>& aligned, const IntervalCounts& counts,
                                     double trim_percentage) {
    const std::size_t n = aligned.size();
    if (trim_percentage >= 1.0) {
        logging::log_fmt(logging::Level::Info, log_target,
                         "trim_percentage is {:.2f}, combining all {} grids without distance computation",
                         trim_percentage, n);
        std::vector<std::size_t> all(n);
        std::iota(all.begin(), all.end(), 0);
        send_choice(std::nullopt, all, [](std::size_t) { return 0.0; });
        return all;
    }
    const DistanceMatrix distances = pairwise_distances(aligned, counts);
    logging::log_fmt(logging::Level::Info, log_target, "Finding median bag (medoid) from distance matrix");
    const std::size_t medoid = find_medoid(distances);
    const std::size_t keep = keep_count(trim_percentage, n);
    logging::log_fmt(logging::Level::Info, log_target, "Using pre-computed distances to median bag {}", medoid);
    std::vector<std::size_t> selected = select_near_medoid(distances, medoid, keep);
    logging::log_fmt(logging::Level::Info, log_target,
                     "Selected {} out of {} grids (trim_percentage={:.2f}, keep_count={})", keep, n, trim_percentage,
                     keep);
    send_choice(medoid, selected, [&](std::size_t g) { return distances[g][medoid]; });
    return selected;
}

}  // namespace

IntervalCounts count_rows(const std::vector<std::vector<double>>& splits, const MatrixView& x) {
    require(x.cols() >= splits.size(), "aggregate_bagged: x has fewer columns than the grid tensors have features");
    IntervalCounts counts(splits.size());
    for (std::size_t j = 0; j < splits.size(); ++j) {
        counts[j].assign(splits[j].size() + 1, 0);
        for (std::size_t i = 0; i < x.rows(); ++i) {
            const double value = x(i, j);
            if (std::isnan(value)) {
                throw FitError(fmt::format("Cannot count interval rows: x has NaN in column {}", j));
            }
            ++counts[j][interval_of(splits[j], value)];
        }
    }
    return counts;
}

GridTensor aggregate_bagged(const std::vector<GridTensor>& grids, const MatrixView& x, double trim_percentage) {
    return aggregate_bagged(
        grids, [&](const std::vector<std::vector<double>>& splits) { return count_rows(splits, x); },
        trim_percentage);
}

GridTensor aggregate_bagged(const std::vector<GridTensor>& grids, const IntervalCounter& count_rows,
                            double trim_percentage) {
    if (grids.empty()) {
        throw FitError("Cannot aggregate empty grid list");
    }
    if (grids.size() == 1) {
        return grids.front();
    }
    std::vector<GridTensor> aligned = combine_grids(grids);
    const IntervalCounts counts = count_rows(aligned.front().splits);
    for (GridTensor& bag : aligned) {
        normalise_shape(bag, counts);
    }
    const std::vector<std::size_t> selected = select_bags(aligned, counts, trim_percentage);
    std::vector<GridTensor> members;
    members.reserve(selected.size());
    for (const std::size_t g : selected) {
        members.push_back(std::move(aligned[g]));
    }
    return merge_aligned_grids(members, counts);
}

}  // namespace zun
