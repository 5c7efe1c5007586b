#include "model_file/model_loading.hpp"

#include <cstdint>
#include <utility>

#include <fmt/format.h>

#include "model_file/codec.hpp"
#include "model_file/file_access.hpp"

namespace zun {
namespace {

constexpr std::size_t kChunkBytes = 64 * 1024;

LoadFailure read_failure(std::string description) { return {LoadFailure::Kind::Read, std::move(description)}; }
LoadFailure decode_failure(std::string description) { return {LoadFailure::Kind::Decode, std::move(description)}; }

LoadFailure input_goes_on(std::size_t model_bytes) {
    return decode_failure(fmt::format(
        "the input goes on after the model's {} bytes; only a regular file may hold bytes after the model",
        model_bytes));
}

LoadResult decoded_or_failure(DecodeResult decoded) {
    if (!decoded.ok()) {
        return decode_failure(std::move(decoded.error));
    }
    return std::move(decoded.stages);
}

// Reads until the bytes hold a whole model, a decoding error or the end of
// the input. Decoding is retried each time the data has doubled, so the
// retries cost no more than one decoding of the final size, twice over.
LoadResult load_stream(InputFile& input) {
    std::vector<std::uint8_t> bytes;
    std::size_t next_attempt = kChunkBytes;
    while (true) {
        auto got = input.read_some(bytes, kChunkBytes);
        if (auto* failure = std::get_if<std::string>(&got)) {
            return read_failure(std::move(*failure));
        }
        const bool at_end = std::get<std::size_t>(got) == 0;
        if (!at_end && bytes.size() < next_attempt) {
            continue;
        }
        DecodeResult decoded = decode_model(bytes);
        if (decoded.ok()) {
            if (bytes.size() > decoded.size) {
                return input_goes_on(decoded.size);
            }
            if (!at_end) {
                std::vector<std::uint8_t> probe;
                auto more = input.read_some(probe, 1);
                if (auto* failure = std::get_if<std::string>(&more)) {
                    return read_failure(std::move(*failure));
                }
                if (std::get<std::size_t>(more) != 0) {
                    return input_goes_on(decoded.size);
                }
            }
            return std::move(decoded.stages);
        }
        if (!decoded.truncated || at_end) {
            return decode_failure(std::move(decoded.error));
        }
        next_attempt = 2 * bytes.size();
    }
}

}  // namespace

LoadResult load_model_file(const std::string& path) {
    auto opened = InputFile::open(path);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        return read_failure(std::move(*failure));
    }
    InputFile& input = std::get<InputFile>(opened);
    if (!input.is_regular()) {
        return load_stream(input);
    }
    FileContent content = input.read_rest();
    if (auto* failure = std::get_if<std::string>(&content)) {
        return read_failure(std::move(*failure));
    }
    return decoded_or_failure(decode_model(std::get<std::vector<std::uint8_t>>(content)));
}

}  // namespace zun
