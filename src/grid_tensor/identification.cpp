#include "grid_tensor/identification.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace zun {

namespace {

double total_count(const std::vector<std::vector<std::uint64_t>>& counts, std::size_t feature) {
    std::uint64_t total = 0;
    if (feature < counts.size()) {
        for (const std::uint64_t count : counts[feature]) {
            total += count;
        }
    }
    return static_cast<double>(total);
}

void normalise_backbone(std::vector<double>& backbone, const std::vector<std::uint64_t>& counts, double total,
                        double& lambda_plus, double& lambda_minus) {
    double energy = 0.0;
    const std::size_t intervals = std::min(backbone.size(), counts.size());
    for (std::size_t k = 0; k < intervals; ++k) {
        energy += static_cast<double>(counts[k]) * backbone[k] * backbone[k];
    }
    if (energy <= 1e-12) {
        return;
    }
    const double factor = std::max(std::sqrt(energy / total), min_coefficient);
    for (double& value : backbone) {
        value /= factor;
    }
    lambda_plus *= factor;
    lambda_minus *= factor;
}

// Returns the count-weighted mean that was subtracted.
double centre_tilt(std::vector<double>& tilt, const std::vector<std::uint64_t>& counts, double total) {
    double weighted = 0.0;
    const std::size_t intervals = std::min(tilt.size(), counts.size());
    for (std::size_t k = 0; k < intervals; ++k) {
        weighted += static_cast<double>(counts[k]) * tilt[k];
    }
    const double centre = weighted / total;
    for (double& value : tilt) {
        value -= centre;
    }
    return centre;
}

}  // namespace

void identify(std::vector<std::vector<double>>& backbone_values, std::vector<std::vector<double>>& tilt_values,
              const std::vector<std::vector<std::uint64_t>>& observation_counts, double& lambda_plus,
              double& lambda_minus) {
    for (std::size_t j = 0; j < backbone_values.size(); ++j) {
        const double total = total_count(observation_counts, j);
        if (total == 0.0 || backbone_values[j].empty()) {
            continue;
        }
        normalise_backbone(backbone_values[j], observation_counts[j], total, lambda_plus, lambda_minus);
    }
    double total_centre = 0.0;
    for (std::size_t j = 0; j < tilt_values.size(); ++j) {
        const double total = total_count(observation_counts, j);
        if (total == 0.0 || tilt_values[j].empty()) {
            continue;
        }
        total_centre += centre_tilt(tilt_values[j], observation_counts[j], total);
    }
    lambda_plus = std::max(std::exp(total_centre) * lambda_plus, min_coefficient);
    lambda_minus = std::max(std::exp(-total_centre) * lambda_minus, min_coefficient);
}

}  // namespace zun
