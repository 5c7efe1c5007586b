#pragma once
// The reducer: the only place where a grid tensor under fit changes. It
// applies a split or resplit to the state (clamped interval values, the
// components of the samples of the touched intervals), then lets the
// refinement bring statistics and candidates up to date.
#include <cstddef>

#include "grid_tensor/params.hpp"
#include "grid_tensor/refinement.hpp"
#include "grid_tensor/splitting.hpp"
#include "grid_tensor/state.hpp"

namespace zun {

// Bounds of stored interval values.
inline constexpr double min_backbone = 1e-10;
inline constexpr double max_backbone = 1e10;
inline constexpr double max_abs_tilt = 10.0;
// Old factors at or below this magnitude are not divided by.
inline constexpr double degenerate_factor = 1e-12;

struct IntervalValues {
    double backbone = 1.0;
    double tilt = 0.0;
    bool operator==(const IntervalValues&) const = default;
};

// How a move rescales the components of the samples of one interval: f+ by
// `plus` and f- by `minus`, each only when the old factor was not degenerate.
struct ComponentRatios {
    double plus = 1.0;
    double minus = 1.0;
    bool scale_plus = false;
    bool scale_minus = false;
};

ComponentRatios component_ratios(const IntervalValues& old_values, const IntervalValues& new_values);

// Rescales one sample's components and refreshes its residual.
inline void rescale_sample(SampleRecord& sample, const ComponentRatios& ratios) {
    if (ratios.scale_plus) {
        sample.f_plus *= ratios.plus;
    }
    if (ratios.scale_minus) {
        sample.f_minus *= ratios.minus;
    }
    sample.residual = sample.target - (sample.f_plus - sample.f_minus);
}

// New (clamped) backbone and tilt of an interval after the relative changes
// (x, y) of its f+ and f- factors; y is ignored in single-component mode.
IntervalValues apply_change(const IntervalValues& old_values, const UpdatePair& change, bool single_mode);

// Applies `action`, which must name a feature, cut and position of the
// current state; anything else throws InternalError before the state changes.
void apply_action(GridTensorState& state, const FitAction& action, const RefinementStrategy& strategy,
                  const SplitStrategyParams& split_params);

}  // namespace zun
