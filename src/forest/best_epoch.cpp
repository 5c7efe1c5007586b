#include "forest/best_epoch.hpp"

#include "error.hpp"

namespace zun {

bool BestEpoch::record(double error, const std::vector<StagePredictor>& stages, const std::vector<double>& residuals) {
    const std::uint64_t epoch = recorded_++;
    // NaN compares false: an epoch whose error is not a number never wins.
    const bool better = !best_ || error < best_error_ - tolerance_;
    if (!better) {
        ++since_;
        return false;
    }
    best_ = epoch;
    best_error_ = error;
    since_ = 0;
    scalings_.clear();
    for (const StagePredictor& stage : stages) {
        scalings_.emplace_back(stage.scaling_plus, stage.scaling_minus);
    }
    residuals_ = residuals;
    return true;
}

std::vector<double> BestEpoch::restore(std::vector<StagePredictor>& stages) const {
    require(best_.has_value() && scalings_.size() <= stages.size(), "BestEpoch::restore: no epoch to restore");
    stages.resize(scalings_.size());
    for (std::size_t k = 0; k < stages.size(); ++k) {
        stages[k].scaling_plus = scalings_[k].first;
        stages[k].scaling_minus = scalings_[k].second;
    }
    return residuals_;
}

}  // namespace zun
