#pragma once
// Fits one boosting stage: n_trees grid tensors on the same residuals in
// parallel, each with its own generator, combined into one stage.
#include <memory>
#include <vector>

#include "grid_tensor/params.hpp"
#include "grid_tensor/state.hpp"
#include "matrix_view.hpp"
#include "random.hpp"
#include "stage_predictor.hpp"

namespace zun {

struct StageFitResult {
    std::vector<double> residuals;   // r minus the stage's prediction
    std::vector<double> prediction;  // the stage's prediction on x
    double error = 0.0;              // mean squared new residual
    StagePredictor stage;
    Components components;           // f+ and f- of the combined grid tensor on x
};

// `rng` is used for the trees' seed draws only. `sorted` holds each
// feature's sort order of x and `binned` x coded by bins (for binned fits),
// shared read-only by every tree.
StageFitResult fit_stage(const MatrixView& x, const VectorView& r, const StagePredictorParams& params, Rng& rng,
                         std::shared_ptr<const SortedFeatures> sorted,
                         std::shared_ptr<const BinnedFeatures> binned = nullptr);

}  // namespace zun
