#pragma once
// The model file: the little-endian byte layout of a list of stages, and the
// whole-file access that saving and loading use. Plain C++ without Python so
// the core tests can exercise it with hand-built and mutated bytes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "stage_predictor.hpp"

namespace zun {

// Exact number of bytes encode_model produces for `stages`.
std::size_t encoded_size(const std::vector<StagePredictor>& stages);

// The stage count followed by every stage, in one buffer of encoded_size bytes.
// Throws InternalError if the bytes written differ from the computed size.
std::vector<std::uint8_t> encode_model(const std::vector<StagePredictor>& stages);

// Either the decoded stages (error empty) or the decoder's description of the
// first problem (stages empty).
struct DecodeResult {
    std::vector<StagePredictor> stages;
    std::string error;

    bool ok() const { return error.empty(); }
};

// Decodes from the start of `bytes`; bytes after the last stage are ignored.
// Stored counts never size an allocation beyond what the remaining data can hold.
DecodeResult decode_model(std::span<const std::uint8_t> bytes);

// Writes `bytes` to a new file next to `path` and renames it over `path`, so a
// failure leaves any previous file intact and no temporary file behind.
// Returns the operating system's description of a failure, or nullopt.
std::optional<std::string> write_file_atomically(const std::string& path,
                                                 std::span<const std::uint8_t> bytes);

// The whole content of the file at `path`, or the operating system's
// description of why it could not be read.
using FileContent = std::variant<std::vector<std::uint8_t>, std::string>;
FileContent read_whole_file(const std::string& path);

}  // namespace zun
