#pragma once
// The model file's byte layout: a list of stages in little-endian encoding,
// every float stored as its exact bit pattern. Pure functions between records
// and bytes, so tests and fuzzers can drive them with hand-built data.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
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
    std::size_t size = 0;    // bytes the model took, when decoded
    bool truncated = false;  // failed because the data ended: more data may decode

    bool ok() const { return error.empty(); }
};

// Decodes from the start of `bytes`; bytes after the last stage are ignored.
// Stored counts never size an allocation beyond what the remaining data can hold.
DecodeResult decode_model(std::span<const std::uint8_t> bytes);

}  // namespace zun
