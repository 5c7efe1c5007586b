#pragma once
// Hand-made grid tensors for tests: intervals derived from the splits, seven
// observations per interval and a scaling of 0.5, so copied fields and
// recomputed ones both show.
#include <limits>
#include <vector>

#include "grid_tensor.hpp"

namespace zun {

struct FeatureValues {
    std::vector<double> splits;
    std::vector<double> backbone;
    std::vector<double> tilt;
};

inline GridTensor grid_tensor(const std::vector<FeatureValues>& features, double lambda_plus = 1.0,
                              double lambda_minus = 1.0) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    GridTensor result;
    for (const FeatureValues& feature : features) {
        std::vector<Interval> intervals;
        double low = -inf;
        for (const double split : feature.splits) {
            intervals.emplace_back(low, split);
            low = split;
        }
        intervals.emplace_back(low, inf);
        result.splits.push_back(feature.splits);
        result.observation_counts.emplace_back(intervals.size(), 7);
        result.intervals.push_back(intervals);
        result.backbone_values.push_back(feature.backbone);
        result.tilt_values.push_back(feature.tilt);
    }
    result.scaling = 0.5;
    result.lambda_plus = lambda_plus;
    result.lambda_minus = lambda_minus;
    return result;
}

}  // namespace zun
