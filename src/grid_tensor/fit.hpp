#pragma once
// The fit of one grid tensor: binning, state, refinement, candidates, then
// split and resplit moves until n_iter net splits, 3 n_iter moves or no
// possible move; finally the identified record and its training error.
#include <memory>
#include <optional>
#include <vector>

#include "grid_tensor.hpp"
#include "grid_tensor/params.hpp"
#include "grid_tensor/refinement.hpp"
#include "grid_tensor/splitting.hpp"
#include "grid_tensor/state.hpp"
#include "matrix_view.hpp"
#include "random.hpp"

namespace zun {

struct FitOutput {
    GridTensor grid_tensor;
    double error = 0.0;  // mean squared residual of grid_tensor on the training data
    std::vector<double> residuals;
    std::vector<double> y_hat;
    bool stopped_early = false;  // a stop of the fit's context cut its moves short
};

// Preconditions: x.rows() == y.size() > 0 and no NaN in x (InternalError
// otherwise). Work that depends on x alone may be handed in, done once for
// many fits on the same x: `sorted`, each feature's stable ascending order,
// for an exact fit; `binned`, x coded with params.max_bins, for a binned
// one (the other is then not used). The fit is the same either way.
FitOutput fit_grid_tensor(const MatrixView& x, const VectorView& y, const GridTensorParams& params, Rng& rng);
FitOutput fit_grid_tensor(const MatrixView& x, const VectorView& y, const GridTensorParams& params, Rng& rng,
                          std::shared_ptr<const SortedFeatures> sorted,
                          std::shared_ptr<const BinnedFeatures> binned = nullptr);

// The steps of fit_grid_tensor, for callers that watch the state between moves.
GridTensorState prepare_fit(const MatrixView& x, const VectorView& y, const GridTensorParams& params,
                            std::shared_ptr<const SortedFeatures> sorted = nullptr,
                            std::shared_ptr<const BinnedFeatures> binned = nullptr);
// Proposes and applies one move; returns it, or nullopt when none is possible.
std::optional<FitAction> fit_pass(GridTensorState& state, const GridTensorParams& params,
                                  const RefinementStrategy& strategy, Rng& rng);
// Reads the model out of the state, identifies it and evaluates it on x.
FitOutput finish_fit(const GridTensorState& state);

}  // namespace zun
