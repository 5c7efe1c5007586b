#include "forest/parameter_ranges.hpp"

#include <cmath>
#include <variant>

#include <fmt/format.h>

#include "float_format.hpp"

namespace zun {
namespace {

// A ridge or penalty term: NaN or infinity swamps every update, so the fit
// learns nothing; below zero it is no ridge or penalty at all.
std::optional<std::string> non_negative_finite(const char* name, double value) {
    if (std::isfinite(value) && value >= 0.0) {
        return std::nullopt;
    }
    return fmt::format("{} must be a finite number >= 0, got {}", name, format_debug(value));
}

double min_split_loss(const SplitStrategyParams& split) {
    return std::visit([](const auto& variant) { return variant.min_split_loss; }, split);
}

}  // namespace

std::optional<std::string> boosted_params_problem(const ZUNBoostedParams& params) {
    const StagePredictorParams& stage = params.sp_params;
    const RefinementStrategyParams& refinement = stage.tg_params.refinement_strategy_params;
    if (stage.n_trees == 0) {
        return "n_trees must be at least 1, got 0";
    }
    if (auto problem = non_negative_finite("alpha", refinement.alpha)) {
        return problem;
    }
    // Every gain compares false with NaN, so no split could ever be proposed.
    if (const double loss = min_split_loss(stage.tg_params.split_strategy_params); std::isnan(loss)) {
        return fmt::format("min_split_loss must be a number (any value but NaN), got {}", format_debug(loss));
    }
    if (auto problem = non_negative_finite("scaling_ridge", params.scaling_ridge)) {
        return problem;
    }
    if (auto problem = non_negative_finite("tilt_tau", refinement.tilt_tau)) {
        return problem;
    }
    if (auto problem = non_negative_finite("tilt_rho", refinement.tilt_rho)) {
        return problem;
    }
    // The stage keeps the share 1 - similarity_threshold of its trees: from 1
    // on that is none of them.
    if (!(stage.similarity_threshold < 1.0)) {
        return fmt::format("similarity_threshold must be a number below 1, got {}",
                           format_debug(stage.similarity_threshold));
    }
    return std::nullopt;
}

}  // namespace zun
