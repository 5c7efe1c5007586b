#pragma once
// The boosting loop: `epochs` stages fitted on the running residuals, all
// stages rescaled jointly by least squares after every epoch.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fit_control.hpp"
#include "grid_tensor/params.hpp"
#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun {

struct BoostedFitResult {
    double error = 0.0;  // mean squared final residual
    std::vector<double> residuals;
    std::vector<double> y_hat;
    std::vector<StagePredictor> stages;
    std::vector<double> epoch_errors;  // mean squared training residual after each epoch
    bool stopped_early = false;        // a stop left fewer epochs than asked for
    // With validation rows: their mean squared error after each epoch, and
    // the epoch where it was least (the model's last under early stopping).
    std::vector<double> validation_errors;
    std::optional<std::uint64_t> best_epoch;
};

// Rows a fit does not train on, scored after every epoch: with
// params.early_stopping they say when to stop and which epoch to keep.
struct ValidationRows {
    MatrixView x;
    VectorView y;
};

// Disjoint lists of training rows that together hold every row.
using RowParts = std::vector<std::vector<std::size_t>>;

// Runs in `control`, which it installs on the calling thread; its console
// level is set from params.log_level. A stop (FitControl::interrupt) ends the
// fit with the epochs completed so far; a cancel throws FitInterrupted. Either
// way a run log gets what was collected and its run is marked unfinished.
// `parts`, when given, are the parts the trees fit on (tree t of a stage on
// part t mod P), in place of params.row_partitions random ones; the scaling
// then reduces the parts' factors in their order. `validation` rows (with
// as many columns as x, no NaN, at least two) are scored after every epoch;
// params.early_stopping needs them (FitError otherwise). A fit stopped by
// them ends with the stages of its best epoch and that epoch's scalings,
// residuals and error, as a fit asked for that many epochs.
BoostedFitResult fit_boosted(const MatrixView& x, const VectorView& y, const ZUNBoostedParams& params,
                             FitControl& control, std::optional<RowParts> parts = std::nullopt,
                             std::optional<ValidationRows> validation = std::nullopt);
// In a context of its own whose lines go straight to stdout.
BoostedFitResult fit_boosted(const MatrixView& x, const VectorView& y, const ZUNBoostedParams& params,
                             std::optional<RowParts> parts = std::nullopt,
                             std::optional<ValidationRows> validation = std::nullopt);

// The iteration count of the next epoch: round(n_iter * decay), halves away
// from zero, saturated to the unsigned range, and at least 1.
std::uint64_t decayed_iterations(std::uint64_t n_iter, double decay);

// Condition numbers above this make the least-squares scalings unstable.
inline constexpr double unstable_condition_number = 1e10;

}  // namespace zun
