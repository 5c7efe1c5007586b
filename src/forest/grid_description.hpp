#pragma once
// The JSON description of a stage's combined grid tensor in the run log:
// keys in alphabetical order, intervals as [low, high], non-finite numbers
// (the infinite outer bounds among them) as null.
#include <string>

#include "grid_tensor.hpp"

namespace zun {

std::string grid_description_json(const GridTensor& grid_tensor);

}  // namespace zun
