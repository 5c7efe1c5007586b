#pragma once
// Whole-file access for the model file: one write that never leaves a torn
// file, one read of everything.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace zun {

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
