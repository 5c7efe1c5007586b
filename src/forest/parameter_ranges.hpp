#pragma once
// The ranges of the boosted fit's parameters outside which a value can only
// be a mistake: the fit would learn nothing, or fail later naming no
// argument. Values with a defined meaning, however odd, are accepted.
#include <optional>
#include <string>

#include "grid_tensor/params.hpp"

namespace zun {

// The first parameter outside its range, named as the caller named it, with
// its value and the accepted range; nullopt when all are in range.
std::optional<std::string> boosted_params_problem(const ZUNBoostedParams& params);

}  // namespace zun
