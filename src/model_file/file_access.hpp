#pragma once
// Whole-file access for the model file: a write that never leaves a torn or
// stray file where it can help it, and reads of everything or of as much as
// the reader asks for.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace zun {

// Replaces the content of the file at `path` with `bytes`. A symbolic link is
// followed and its target written. The bytes go to a new file in the
// target's directory (on Linux an unnamed one) that is linked in place only
// when complete, so a failure or a kill leaves the old content or the new,
// never a mix; an existing file keeps its permission bits. On Linux a file
// that replaces another has a temporary name, fixed for the target, only
// from its link to the rename over the old one: a kill between those two
// calls leaves it, and the next save of the same file removes it. Only when
// the directory refuses a new file but the existing file is writable is the
// file rewritten in place, without that protection. A device or a pipe is
// written to directly.
// Returns the operating system's description of a failure, or nullopt.
std::optional<std::string> write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes);

// The whole content of the file at `path`, or the operating system's
// description of why it could not be read.
using FileContent = std::variant<std::vector<std::uint8_t>, std::string>;
FileContent read_whole_file(const std::string& path);

// An open file read piece by piece, for inputs whose end may never come
// (pipes, devices): the reader decides when it has read enough.
class InputFile {
public:
    // The open file, or the operating system's description of the failure.
    static std::variant<InputFile, std::string> open(const std::string& path);

    InputFile(InputFile&& other) noexcept;
    InputFile& operator=(InputFile&&) = delete;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // A regular file has an end that reading reaches.
    bool is_regular() const { return regular_; }

    // Everything from the current position to the end of the input.
    FileContent read_rest();

    // Appends up to `count` bytes to `bytes`; the number appended (0 at the
    // end of the input), or the operating system's description of a failure.
    std::variant<std::size_t, std::string> read_some(std::vector<std::uint8_t>& bytes, std::size_t count);

private:
    InputFile(int fd, bool regular, std::size_t size) : fd_(fd), regular_(regular), size_(size) {}

    int fd_;
    bool regular_;
    std::size_t size_;  // of a regular file when opened, else 0
};

}  // namespace zun
