#pragma once
// Identification: the same f+ and f- written with every feature's backbone at
// count-weighted root mean square 1 and every feature's tilt at count-weighted
// mean 0, the scale and centre moved into the coefficients. Only the 1e-12
// floors can change the model.
#include <cstdint>
#include <vector>

namespace zun {

inline constexpr double min_coefficient = 1e-12;

void identify(std::vector<std::vector<double>>& backbone_values, std::vector<std::vector<double>>& tilt_values,
              const std::vector<std::vector<std::uint64_t>>& observation_counts, double& lambda_plus,
              double& lambda_minus);

}  // namespace zun
