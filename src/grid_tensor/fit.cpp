#include "grid_tensor/fit.hpp"

#include <limits>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor/histogram_binning.hpp"
#include "grid_tensor/identification.hpp"
#include "grid_tensor/logging_helpers.hpp"
#include "grid_tensor/reducer.hpp"
#include "logging/manager.hpp"
#include "logging/simple.hpp"

namespace zun {

namespace {

constexpr const char* log_target = "zun::grid_tensor::fit";

std::uint64_t pass_budget(std::uint64_t n_iter) {
    constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();
    return n_iter > most / 3 ? most : 3 * n_iter;
}

void read_out_feature(const GridTensorState& state, std::size_t j, GridTensor& grid_tensor) {
    const auto& cuts = state.split_positions[j];
    std::vector<double> splits;
    std::vector<std::uint64_t> counts;
    std::vector<Interval> intervals;
    double low = -std::numeric_limits<double>::infinity();
    std::size_t previous = 0;
    for (const std::size_t cut : cuts) {
        const double value = state.value_at(j, cut);
        splits.push_back(value);
        counts.push_back(cut - previous);
        intervals.emplace_back(low, value);
        low = value;
        previous = cut;
    }
    counts.push_back(state.n_samples - previous);
    intervals.emplace_back(low, std::numeric_limits<double>::infinity());
    grid_tensor.splits.push_back(std::move(splits));
    grid_tensor.observation_counts.push_back(std::move(counts));
    grid_tensor.intervals.push_back(std::move(intervals));
}

}  // namespace

GridTensorState prepare_fit(const MatrixView& x, const VectorView& y, const GridTensorParams& params,
                            std::shared_ptr<const SortedFeatures> sorted,
                            std::shared_ptr<const BinnedFeatures> binned) {
    if (x.rows() == 0 || x.rows() != y.size()) {
        throw InternalError(fmt::format("a grid tensor fit needs as many targets as rows and at least one row; "
                                        "got {} rows and {} targets",
                                        x.rows(), y.size()));
    }
    if (bins_requested(params.max_bins)) {
        sorted.reset();
        if (!binned) {
            // Before the state exists, so the sort behind the boundaries is
            // freed before the sample records are allocated.
            binned = bin_features(x, *params.max_bins);
        } else if (binned->max_bins != *params.max_bins) {
            throw InternalError(fmt::format("bin codes made with max_bins {} handed to a fit with max_bins {}",
                                            binned->max_bins, *params.max_bins));
        }
    } else {
        binned.reset();
    }
    GridTensorState state(x, y, std::move(sorted), std::move(binned));
    const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
    initialize_refinement(strategy, state);
    init_candidates(state, StateCandidates(strategy, state), params.split_strategy_params);
    return state;
}

std::optional<FitAction> fit_pass(GridTensorState& state, const GridTensorParams& params,
                                  const RefinementStrategy& strategy, Rng& rng) {
    const StateCandidates candidates(strategy, state);
    std::optional<FitAction> move = find_move(state, candidates, params.split_strategy_params, rng);
    if (move) {
        apply_action(state, *move, strategy, params.split_strategy_params);
    }
    return move;
}

FitOutput finish_fit(const GridTensorState& state) {
    FitOutput output;
    GridTensor& grid_tensor = output.grid_tensor;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        read_out_feature(state, j, grid_tensor);
    }
    grid_tensor.backbone_values = state.backbone;
    grid_tensor.tilt_values = state.tilt;
    grid_tensor.lambda_plus = state.lambda_plus;
    grid_tensor.lambda_minus = state.lambda_minus;
    identify(grid_tensor.backbone_values, grid_tensor.tilt_values, grid_tensor.observation_counts,
             grid_tensor.lambda_plus, grid_tensor.lambda_minus);
    grid_tensor.scaling = 1.0;

    output.y_hat = predict(grid_tensor, state.x);
    output.residuals.resize(state.n_samples);
    double squares = 0.0;
    for (std::size_t i = 0; i < state.n_samples; ++i) {
        output.residuals[i] = state.y[i] - output.y_hat[i];
        squares += output.residuals[i] * output.residuals[i];
    }
    output.error = squares / static_cast<double>(state.n_samples);
    return output;
}

FitOutput fit_grid_tensor(const MatrixView& x, const VectorView& y, const GridTensorParams& params, Rng& rng) {
    return fit_grid_tensor(x, y, params, rng, nullptr);
}

FitOutput fit_grid_tensor(const MatrixView& x, const VectorView& y, const GridTensorParams& params, Rng& rng,
                          std::shared_ptr<const SortedFeatures> sorted,
                          std::shared_ptr<const BinnedFeatures> binned) {
    throw_if_cancelled();
    GridTensorState state = prepare_fit(x, y, params, std::move(sorted), std::move(binned));
    const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
    const std::uint64_t budget = pass_budget(params.n_iter);
    // Checked once per fit: without a run log no record is made at all.
    std::optional<FitRecorder> recorder;
    if (logging::is_logging_active()) {
        recorder.emplace();
    }
    // A stop keeps the tree as it stands; a cancel abandons it.
    const InterruptionCheck interrupted;
    bool stopped = false;
    std::uint64_t pass = 0;
    for (; pass < budget && state.net_splits < params.n_iter; ++pass) {
        if (const Interruption why = interrupted(); why != Interruption::None) {
            if (why == Interruption::Cancel) {
                throw FitInterrupted();
            }
            stopped = true;
            break;
        }
        const double sse_before = state.sse;
        const std::optional<FitAction> move = fit_pass(state, params, strategy, rng);
        if (!move) {
            logging::log_fmt(logging::Level::Debug, log_target, "No further splits possible, stopping");
            break;
        }
        if (recorder) {
            recorder->record_move(state, *move, sse_before, pass);
        }
    }
    logging::log_fmt(logging::Level::Debug, log_target, "Split/Resplit/Merge counts: {}/{}/{}", state.split_count,
                     state.resplit_count, state.merge_count);
    FitOutput output = finish_fit(state);
    output.stopped_early = stopped;
    if (recorder) {
        recorder->emit(output.grid_tensor, pass);
    }
    return output;
}

}  // namespace zun
