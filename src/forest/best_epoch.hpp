#pragma once
// The epoch of a boosted fit whose model scores best on the validation rows,
// and what it takes to hand that model back after later epochs: every
// stage's scalings after that epoch's solve, and its training residuals.
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "stage_predictor.hpp"

namespace zun {

class BestEpoch {
public:
    // An epoch is better only when its error is below the best one's by more
    // than `tolerance`.
    explicit BestEpoch(double tolerance) : tolerance_(tolerance) {}

    // Scores the epoch just fitted (its stage the last of `stages`); returns
    // whether it is the new best. The first epoch always is.
    bool record(double error, const std::vector<StagePredictor>& stages, const std::vector<double>& residuals);

    std::optional<std::uint64_t> epoch() const { return best_; }
    // Epochs recorded since the best one.
    std::uint64_t epochs_since() const { return since_; }

    // Cuts `stages` back to the best epoch's and gives them the scalings they
    // had after it; its residuals. Precondition: an epoch was recorded.
    std::vector<double> restore(std::vector<StagePredictor>& stages) const;

private:
    double tolerance_;
    std::optional<std::uint64_t> best_;
    double best_error_ = 0.0;
    std::uint64_t since_ = 0;
    std::uint64_t recorded_ = 0;
    std::vector<std::pair<std::optional<double>, std::optional<double>>> scalings_;
    std::vector<double> residuals_;
};

}  // namespace zun
