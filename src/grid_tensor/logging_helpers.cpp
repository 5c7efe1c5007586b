#include "grid_tensor/logging_helpers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"
#include "logging/column_encoding.hpp"
#include "logging/context.hpp"
#include "logging/log_message.hpp"
#include "logging/manager.hpp"
#include "logging/simple.hpp"

namespace zun {
namespace {

constexpr const char* log_target = "zun::grid_tensor::logging_helpers";
constexpr double infinity = std::numeric_limits<double>::infinity();

// NaN sorts last instead of breaking the ordering.
bool ascending(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

std::vector<double> sorted_copy(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end(), ascending);
    return sorted;
}

double percentile_of_sorted(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    if (sorted.size() == 1) {
        return sorted.front();
    }
    const double h = q * static_cast<double>(sorted.size() - 1);
    const auto lo = static_cast<std::size_t>(std::floor(h));
    const auto hi = static_cast<std::size_t>(std::ceil(h));
    if (lo == hi) {
        return sorted[lo];
    }
    const double weight = h - static_cast<double>(lo);
    return weight * sorted[hi] + (1.0 - weight) * sorted[lo];
}

std::uint64_t cells_after(const GridTensorState& state) {
    std::uint64_t cells = 1;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        const std::uint64_t count = state.interval_count(j);
        cells = cells > std::numeric_limits<std::uint64_t>::max() / count ? std::numeric_limits<std::uint64_t>::max()
                                                                          : cells * count;
    }
    return cells;
}

double grid_value(double backbone, double tilt) { return backbone * std::cosh(tilt); }

std::vector<double> grid_values(const std::vector<double>& backbone, const std::vector<double>& tilt) {
    const std::size_t k = std::min(backbone.size(), tilt.size());
    std::vector<double> values(k);
    for (std::size_t m = 0; m < k; ++m) {
        values[m] = grid_value(backbone[m], tilt[m]);
    }
    return values;
}

logging::ComponentState component_state(const std::vector<double>& lower, const std::vector<double>& upper,
                                        const std::vector<double>& backbone, const std::vector<double>& tilt,
                                        double lambda_plus, double lambda_minus, std::uint64_t pass, std::size_t j) {
    logging::ComponentState state;
    state.lambda_plus = lambda_plus;
    state.lambda_minus = lambda_minus;
    state.data = logging::interval_data(lower, upper, grid_values(backbone, tilt));
    state.backbone_data = logging::f64_bytes(backbone);
    state.tilt_data = logging::f64_bytes(tilt);
    state.iter_no = pass;
    state.col = j;
    state.intervals_count = lower.size();
    return state;
}

// The cut index of the move and the feature and position it acts on.
struct MoveSite {
    std::size_t feature;
    std::size_t position;
    std::size_t cut;
    double gain;
    logging::MoveAction action;
};

MoveSite site_of(const GridTensorState& state, const FitAction& action) {
    if (const auto* split = std::get_if<Split>(&action)) {
        const auto& cuts = state.split_positions.at(split->feature);
        const auto found = std::lower_bound(cuts.begin(), cuts.end(), split->position);
        if (found == cuts.end() || *found != split->position) {
            throw InternalError(fmt::format("Split at position {} of feature {} is not among the feature's cuts",
                                            split->position, split->feature));
        }
        return {split->feature, split->position, static_cast<std::size_t>(found - cuts.begin()), split->gain,
                logging::MoveAction::Split};
    }
    const auto& resplit = std::get<Resplit>(action);
    return {resplit.feature, resplit.position, resplit.cut_index, resplit.score, logging::MoveAction::Resplit};
}

bool send_or_warn(logging::LogMessage message) {
    if (logging::send_message(std::move(message))) {
        return true;
    }
    logging::log(logging::Level::Warn, log_target, "Failed to send logging event (channel may be closed)");
    return false;
}

}  // namespace

logging::MoveEvent build_move_event(const GridTensorState& state, const FitAction& action, double sse_before,
                                    std::uint64_t pass) {
    const MoveSite site = site_of(state, action);
    const std::size_t col = site.feature;
    const std::size_t h = site.cut;
    const std::size_t q = site.position;
    require(h + 1 < state.interval_count(col), "build_move_event: cut index outside the feature's cuts");
    const std::size_t start = state.interval_start(col, h);
    const std::size_t end = state.interval_end(col, h + 1);

    logging::MoveEvent event;
    event.split_value = state.value_at(col, q);
    event.update_a = grid_value(state.backbone[col][h], state.tilt[col][h]);
    event.update_b = grid_value(state.backbone[col][h + 1], state.tilt[col][h + 1]);
    event.left_count = q - start;
    event.right_count = end - q;
    event.gain = site.gain;
    event.err_before = sse_before;
    event.err_after = state.sse;
    const std::vector<std::size_t> samples = samples_at_positions(state, col, start, end);
    event.residual_updates.reserve(samples.size());
    for (const std::size_t i : samples) {
        event.residual_updates.push_back({static_cast<float>(state.prediction(i)), static_cast<std::uint32_t>(i),
                                          static_cast<float>(state.samples[i].residual)});
    }
    event.iter_no = pass;
    event.col = col;
    event.left_interval_idx = h;
    event.n_cells_after = cells_after(state);
    event.action = site.action;
    return event;
}

double percentile(const std::vector<double>& values, double q) { return percentile_of_sorted(sorted_copy(values), q); }

logging::ComponentStats component_statistics(const std::vector<double>& values) {
    logging::ComponentStats stats;
    const double n = static_cast<double>(values.size());
    double low = infinity;
    double high = -infinity;
    double sum = 0.0;
    for (const double v : values) {
        low = v < low ? v : low;  // comparisons with NaN are false: NaN is skipped
        high = v > high ? v : high;
        sum += v;
    }
    const double mean = sum / n;
    double squares = 0.0;
    for (const double v : values) {
        squares += (v - mean) * (v - mean);
    }
    const std::vector<double> sorted = sorted_copy(values);
    stats.min_val = low;
    stats.max_val = high;
    stats.mean_val = mean;
    stats.std_val = std::sqrt(squares / n);
    stats.p25 = percentile_of_sorted(sorted, 0.25);
    stats.p50 = percentile_of_sorted(sorted, 0.5);
    stats.p75 = percentile_of_sorted(sorted, 0.75);
    stats.p95 = percentile_of_sorted(sorted, 0.95);
    stats.p99 = percentile_of_sorted(sorted, 0.99);
    stats.n_samples = values.size();
    return stats;
}

FComponentStatistics f_component_statistics(const std::vector<double>& f_plus, const std::vector<double>& f_minus,
                                            std::uint64_t pass) {
    return {pass, component_statistics(f_plus), component_statistics(f_minus)};
}

logging::ComponentState feature_snapshot(const GridTensorState& state, std::size_t j, std::uint64_t pass) {
    const auto& cuts = state.split_positions.at(j);
    std::vector<double> lower{-infinity};
    std::vector<double> upper;
    for (const std::size_t cut : cuts) {
        const double value = state.value_at(j, cut);
        upper.push_back(value);
        lower.push_back(value);
    }
    upper.push_back(infinity);
    return component_state(lower, upper, state.backbone[j], state.tilt[j], state.lambda_plus, state.lambda_minus,
                           pass, j);
}

logging::ComponentState final_feature_state(const GridTensor& grid_tensor, std::size_t j, std::uint64_t pass) {
    std::vector<double> lower;
    std::vector<double> upper;
    for (const Interval& interval : grid_tensor.intervals.at(j)) {
        lower.push_back(interval.first);
        upper.push_back(interval.second);
    }
    static const std::vector<double> none;
    const auto& backbone = j < grid_tensor.backbone_values.size() ? grid_tensor.backbone_values[j] : none;
    const auto& tilt = j < grid_tensor.tilt_values.size() ? grid_tensor.tilt_values[j] : none;
    return component_state(lower, upper, backbone, tilt, grid_tensor.lambda_plus, grid_tensor.lambda_minus, pass, j);
}

void emit_fit_records(std::vector<FitRecordItem> items, std::vector<FComponentStatistics> statistics,
                      const GridTensor& fitted, std::uint64_t last_pass) {
    for (std::size_t j = 0; j < fitted.intervals.size(); ++j) {
        items.emplace_back(final_feature_state(fitted, j, last_pass));
    }
    const std::optional<std::uint64_t> epoch = logging::current_epoch();
    if (!epoch) {
        logging::log(logging::Level::Warn, log_target, "Logging events dropped: epoch context not set");
        return;
    }
    const std::optional<std::uint64_t> tree_id = logging::current_tree_id();
    if (!tree_id) {
        logging::log(logging::Level::Warn, log_target, "Logging events dropped: tree_id context not set");
        return;
    }
    for (FitRecordItem& item : items) {
        if (auto* event = std::get_if<logging::MoveEvent>(&item)) {
            send_or_warn(logging::MoveEventMessage{*epoch, *tree_id, std::move(*event)});
        } else {
            send_or_warn(
                logging::ComponentStateMessage{*epoch, *tree_id, std::move(std::get<logging::ComponentState>(item))});
        }
    }
    for (const FComponentStatistics& stats : statistics) {
        send_or_warn(logging::FComponentStatsMessage{*epoch, *tree_id, stats.iter_no, stats.f_plus, stats.f_minus});
    }
}

void FitRecorder::record_move(const GridTensorState& state, const FitAction& action, double sse_before,
                              std::uint64_t pass) {
    items_.emplace_back(build_move_event(state, action, sse_before, pass));
    std::vector<double> f_plus(state.n_samples);
    std::vector<double> f_minus(state.n_samples);
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        f_plus[i] = state.samples[i].f_plus;
        f_minus[i] = state.samples[i].f_minus;
    }
    statistics_.push_back(f_component_statistics(f_plus, f_minus, pass));
    for (std::size_t j = 0; j < state.n_features; ++j) {
        items_.emplace_back(feature_snapshot(state, j, pass));
    }
}

void FitRecorder::emit(const GridTensor& fitted, std::uint64_t last_pass) {
    emit_fit_records(std::move(items_), std::move(statistics_), fitted, last_pass);
    items_.clear();
    statistics_.clear();
}

}  // namespace zun
