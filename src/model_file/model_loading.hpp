#pragma once
// Loading a model file: the file's bytes decoded into stages. A regular file
// is read whole; any other input (a pipe, a device) is read only as far as
// the model it holds, so an input without end cannot exhaust memory.
#include <string>
#include <variant>
#include <vector>

#include "stage_predictor.hpp"

namespace zun {

struct LoadFailure {
    enum class Kind { Read, Decode };
    Kind kind;
    std::string description;  // the operating system's, or the decoder's
};

using LoadResult = std::variant<std::vector<StagePredictor>, LoadFailure>;

// A regular file may hold bytes after the model, which are ignored. Other
// input must end where the model ends: more input after it is a Decode failure.
LoadResult load_model_file(const std::string& path);

}  // namespace zun
