#pragma once
// Fits one boosting stage: n_trees grid tensors on the same residuals in
// parallel, each with its own generator, combined into one stage.
#include <memory>
#include <vector>

#include "grid_tensor/params.hpp"
#include "matrix_view.hpp"
#include "random.hpp"
#include "stage_predictor.hpp"
#include "stage_predictor/tree_rows.hpp"

namespace zun {

struct StageFitResult {
    std::vector<double> residuals;   // r minus the stage's prediction
    std::vector<double> prediction;  // the stage's prediction on x
    double error = 0.0;              // mean squared new residual
    StagePredictor stage;
    Components components;           // f+ and f- of the combined grid tensor on x
};

// `rng` is used for the trees' seed draws only. `rows` says which rows of x
// each tree fits on, with what the trees share of them (sort orders or bin
// codes); the combination and the stage's prediction use all rows of x.
StageFitResult fit_stage(const MatrixView& x, const VectorView& r, const StagePredictorParams& params, Rng& rng,
                         const TreeRows& rows);

}  // namespace zun
