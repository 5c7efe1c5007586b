#include "model_file/file_access.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// The file a path names once symbolic links are followed, as the file
// system would follow them when opening it; a missing final target is
// returned as it is, to be created. Loops end where the system's own limit does.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
            return path;
        }
        std::string target(PATH_MAX, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) == target.size()) {
            return path;  // the open that follows reports the problem
        }
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        path = target.front() == '/' || slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
    }
    return path;
}

std::string directory_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
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
        if (errno == EINVAL) {
            return 0;  // a pipe or device: nothing to flush to a disk
        }
        if (errno != EINTR) {
            return errno;
        }
    }
    return 0;
}

// Writes, flushes to the device and gives the file the mode the replaced
// file had. Returns the error number of the failing step, or 0.
int fill(int fd, std::span<const std::uint8_t> bytes, std::optional<mode_t> mode) {
    int error = write_all(fd, bytes);
    if (error == 0 && mode && ::fchmod(fd, *mode) != 0) {
        error = errno;
    }
    return error == 0 ? sync_file(fd) : error;
}

std::uint64_t mix(std::uint64_t value) {
    value += 0x9e3779b97f4a7c15ULL;
    value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
    value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
    return value ^ (value >> 31);
}

// Short names, whatever the length of the target's: a legal file name must
// not become an illegal temporary one.
std::string temporary_name(const std::string& directory, std::uint64_t salt) {
    static const std::uint64_t seed =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
        (static_cast<std::uint64_t>(::getpid()) << 40);
    return fmt::format("{}/.zun-{:012x}.tmp", directory, mix(seed + salt) >> 16);
}

// The one temporary name of every save over `target`, so that the name a
// killed save left behind is the one the next save of that file takes over.
std::string temporary_name_of(const std::string& directory, const std::string& target) {
    std::uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a over the file name
    for (const char c : target.substr(target.rfind('/') + 1)) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    }
    return fmt::format("{}/.zun-{:012x}.tmp", directory, mix(hash) >> 16);
}

// Gives `link` a name in `directory`, then renames that name over `target`.
// `link(name)` returns 0, EEXIST to try another name, or an error number.
template <class Link>
int link_and_rename(const std::string& directory, const std::string& target, Link link) {
    constexpr int kAttempts = 64;
    static std::atomic<std::uint64_t> counter{0};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string name = temporary_name(directory, ++counter);
        const int error = link(name);
        if (error == EEXIST) {
            continue;
        }
        if (error != 0) {
            return error;
        }
        if (::rename(name.c_str(), target.c_str()) != 0) {
            const int rename_error = errno;
            ::unlink(name.c_str());
            return rename_error;
        }
        return 0;
    }
    return EEXIST;
}

// Links the complete file as `name`, then renames that over `target`: the
// name exists only between the two calls. A file already at `name` is one a
// save of the same target left when killed between them, and is removed; if
// a save running now owned it, its rename finds the name gone and it links
// again. `link(name)` returns 0 or an error number.
template <class Link>
int link_over(const std::string& name, const std::string& target, Link link) {
    constexpr int kAttempts = 64;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int error = link(name);
        if (error == EEXIST) {
            if (::unlink(name.c_str()) != 0 && errno != ENOENT) {
                return errno;
            }
            continue;
        }
        if (error != 0) {
            return error;
        }
        if (::rename(name.c_str(), target.c_str()) == 0) {
            return 0;
        }
        const int rename_error = errno;
        if (rename_error != ENOENT) {
            ::unlink(name.c_str());
            return rename_error;
        }
    }
    return EEXIST;
}

// Errors of an unnamed file that mean "not supported here", not "failed".
bool unnamed_unsupported(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Linux: the content goes into a file without a name, which only gets one
// when complete, so a kill at any point leaves nothing behind. Returns
// nullopt when unnamed files are unavailable, else 0 or the error number.
std::optional<int> write_through_unnamed_file(const std::string& directory, const std::string& target,
                                              std::span<const std::uint8_t> bytes, std::optional<mode_t> mode) {
#ifdef O_TMPFILE
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return unnamed_unsupported(errno) ? std::nullopt : std::optional<int>(errno);
    }
    FileDescriptor file(fd);
    if (const int error = fill(fd, bytes, mode); error != 0) {
        return error;
    }
    const std::string handle = fmt::format("/proc/self/fd/{}", fd);
    const auto link = [&](const std::string& name) {
        return ::linkat(AT_FDCWD, handle.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    };
    // A new file is linked in under its own name at once; an existing one is
    // replaced by a rename, which cannot leave a mix of old and new.
    int error = mode ? EEXIST : link(target);
    if (error == EEXIST) {
        error = link_over(temporary_name_of(directory, target), target, link);
    }
    if (error == ENOENT) {
        return std::nullopt;  // no /proc to link from: take the named way
    }
    const int close_error = file.close();
    return error != 0 ? error : close_error;
#else
    (void)directory, (void)target, (void)bytes, (void)mode;
    return std::nullopt;
#endif
}

// Elsewhere: a named temporary file, renamed over the target when complete.
int write_through_named_file(const std::string& directory, const std::string& target,
                             std::span<const std::uint8_t> bytes, std::optional<mode_t> mode) {
    std::optional<FileDescriptor> file;
    std::string created;
    const int error = link_and_rename(directory, target, [&](const std::string& name) {
        if (!file) {
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) {
                return errno;
            }
            file.emplace(fd);
            created = name;
            if (const int fill_error = fill(fd, bytes, mode); fill_error != 0) {
                return fill_error;
            }
            return file->close();
        }
        return EEXIST;
    });
    if (error != 0 && !created.empty()) {
        ::unlink(created.c_str());
    }
    return error;
}

// For a writable file in a directory that takes no new file, and for what is
// not a regular file.
int write_in_place(const std::string& target, std::span<const std::uint8_t> bytes) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    FileDescriptor file(fd);
    int error = write_all(fd, bytes);
    if (error == 0) {
        error = sync_file(fd);
    }
    const int close_error = file.close();
    return error != 0 ? error : close_error;
}

}  // namespace

std::optional<std::string> write_whole_file(const std::string& path, std::span<const std::uint8_t> bytes) {
    const std::string target = follow_links(path);
    const std::string directory = directory_of(target);
    struct stat info {};
    const bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists && S_ISDIR(info.st_mode)) {
        return os_description(EISDIR);
    }
    if (exists && !S_ISREG(info.st_mode)) {
        // A device or a pipe is written to, as open() would; renaming a new
        // file over it would replace it.
        const int error = write_in_place(target, bytes);
        return error == 0 ? std::nullopt : std::optional<std::string>(os_description(error));
    }
    const std::optional<mode_t> mode = exists ? std::optional<mode_t>(info.st_mode & 07777) : std::nullopt;
    std::optional<int> error = write_through_unnamed_file(directory, target, bytes, mode);
    if (!error) {
        error = write_through_named_file(directory, target, bytes, mode);
    }
    if ((*error == EACCES || *error == EPERM) && exists && S_ISREG(info.st_mode) &&
        ::access(target.c_str(), W_OK) == 0) {
        error = write_in_place(target, bytes);
    }
    return *error == 0 ? std::nullopt : std::optional<std::string>(os_description(*error));
}

FileContent read_whole_file(const std::string& path) {
    auto opened = InputFile::open(path);
    if (auto* failure = std::get_if<std::string>(&opened)) {
        return std::move(*failure);
    }
    return std::get<InputFile>(opened).read_rest();
}

std::variant<InputFile, std::string> InputFile::open(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return os_description(errno);
    }
    struct stat info {};
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    return InputFile(fd, regular, regular ? static_cast<std::size_t>(info.st_size) : 0);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), regular_(other.regular_), size_(other.size_) {}

InputFile::~InputFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::variant<std::size_t, std::string> InputFile::read_some(std::vector<std::uint8_t>& bytes, std::size_t count) {
    const std::size_t used = bytes.size();
    bytes.resize(used + count);
    while (true) {
        const ssize_t got = ::read(fd_, bytes.data() + used, count);
        if (got >= 0) {
            bytes.resize(used + static_cast<std::size_t>(got));
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            const int error = errno;
            bytes.resize(used);
            return os_description(error);
        }
    }
}

FileContent InputFile::read_rest() {
    // A regular file's size lets the first read take everything; one spare
    // byte lets the next read see the end without growing the buffer.
    std::vector<std::uint8_t> bytes;
    std::size_t chunk = regular_ ? size_ + 1 : 4096;
    while (true) {
        auto got = read_some(bytes, chunk);
        if (auto* failure = std::get_if<std::string>(&got)) {
            return std::move(*failure);
        }
        if (std::get<std::size_t>(got) == 0) {
            return bytes;
        }
        // Keep the one spare byte while within the size; past it (a file that
        // grew) double the buffer.
        chunk = regular_ && bytes.size() <= size_ ? size_ + 1 - bytes.size() : std::max<std::size_t>(bytes.size(), 4096);
    }
}

}  // namespace zun
