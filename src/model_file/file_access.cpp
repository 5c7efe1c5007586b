#include "model_file/file_access.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace zun {
namespace {

std::string os_description(int error_number) {
    return std::generic_category().message(error_number);
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&&) = delete;
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int get() const { return fd_; }

    // Closes now; returns the close's error number or 0. Not retried on
    // EINTR: Linux releases the descriptor either way.
    int close() {
        const int fd = std::exchange(fd_, -1);
        return ::close(fd) == 0 ? 0 : errno;
    }

private:
    int fd_;
};

struct TemporaryFile {
    std::string path;
    FileDescriptor file;
};

std::uint64_t mix(std::uint64_t value) {
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// A new file next to `path` (same directory, so the rename cannot cross file
// systems). Opened with mode 0666 so the umask and default ACLs apply as to
// any newly created file; O_EXCL makes a name clash a retry, not a takeover.
std::variant<TemporaryFile, int> create_file_next_to(const std::string& path) {
    constexpr int kAttempts = 64;
    const auto now = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::uint64_t seed = now ^ (static_cast<std::uint64_t>(::getpid()) << 40);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string candidate = fmt::format("{}.tmp.{:016x}", path, mix(seed + attempt));
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            return TemporaryFile{std::move(candidate), FileDescriptor(fd)};
        }
        if (errno != EEXIST) {
            return errno;
        }
    }
    return EEXIST;
}

// Returns the error number of the failing write, or 0.
int write_all(int fd, std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kMaxChunk = std::size_t{1} << 30;
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), std::min(bytes.size(), kMaxChunk));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        if (written == 0) {
            return EIO;  // no progress: report rather than spin
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

int sync_file(int fd) {
    while (::fsync(fd) != 0) {
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Returns the error number of the failing step, or 0.
int fill_and_close(TemporaryFile& temporary, std::span<const std::uint8_t> bytes) {
    int error = write_all(temporary.file.get(), bytes);
    if (error == 0) {
        error = sync_file(temporary.file.get());
    }
    const int close_error = temporary.file.close();
    return error != 0 ? error : close_error;
}

}  // namespace

std::optional<std::string> write_file_atomically(const std::string& path,
                                                 std::span<const std::uint8_t> bytes) {
    auto created = create_file_next_to(path);
    if (const int* error = std::get_if<int>(&created)) {
        return os_description(*error);
    }
    TemporaryFile& temporary = std::get<TemporaryFile>(created);
    int error = fill_and_close(temporary, bytes);
    if (error == 0 && ::rename(temporary.path.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temporary.path.c_str());
        return os_description(error);
    }
    return std::nullopt;
}

FileContent read_whole_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return os_description(errno);
    }
    const FileDescriptor file(fd);
    // A regular file's size lets the first read take everything; one spare
    // byte lets the next read see the end without growing the buffer.
    struct stat info {};
    const bool sized = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    std::vector<std::uint8_t> bytes(sized ? static_cast<std::size_t>(info.st_size) + 1 : 4096);
    std::size_t used = 0;
    while (true) {
        if (used == bytes.size()) {
            bytes.resize(bytes.size() * 2);
        }
        const ssize_t got = ::read(fd, bytes.data() + used, bytes.size() - used);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return os_description(errno);
        }
        if (got == 0) {
            break;
        }
        used += static_cast<std::size_t>(got);
    }
    bytes.resize(used);
    return bytes;
}

}  // namespace zun
