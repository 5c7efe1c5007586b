#include "model_file/file_access.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace zun {
namespace {

// File access does not look at the bytes; any pattern shows they arrive whole.
std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    return bytes;
}

class ModelFileOnDisk : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "zun_model_file_XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        directory_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::string path(const std::string& name) const { return (directory_ / name).string(); }

    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory_)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<std::uint8_t> read_back(const std::string& file) const {
        FileContent content = read_whole_file(file);
        if (const auto* error = std::get_if<std::string>(&content)) {
            ADD_FAILURE() << "cannot read " << file << ": " << *error;
            return {};
        }
        return std::get<std::vector<std::uint8_t>>(std::move(content));
    }

    std::filesystem::path directory_;
};

TEST_F(ModelFileOnDisk, WritesAndReadsBackWithUmaskedPermissions) {
    const std::vector<std::uint8_t> bytes = pattern(3000);
    ASSERT_EQ(write_whole_file(path("model.zun"), bytes), std::nullopt);
    EXPECT_EQ(read_back(path("model.zun")), bytes);
    EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"});

    const mode_t mask = ::umask(0);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(path("model.zun").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST_F(ModelFileOnDisk, ReplacesTheWholeContent) {
    const std::vector<std::uint8_t> long_content(5000, 0x11);
    const std::vector<std::uint8_t> short_content = {1, 2, 3};
    ASSERT_EQ(write_whole_file(path("model.zun"), long_content), std::nullopt);
    ASSERT_EQ(write_whole_file(path("model.zun"), short_content), std::nullopt);
    EXPECT_EQ(read_back(path("model.zun")), short_content);
    EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"});
}

TEST_F(ModelFileOnDisk, FailedWritesReportTheSystemErrorAndLeaveNoTrace) {
    std::filesystem::create_directory(path("a_directory"));
    struct Case {
        const char* name;
        std::string target;
        int error_number;
    };
    const std::vector<Case> cases = {
        {"directory does not exist", path("missing/model.zun"), ENOENT},
        {"target is a directory", path("a_directory"), EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(write_whole_file(c.target, pattern(3000)),
                  std::string(std::strerror(c.error_number)));
        EXPECT_EQ(entries(), std::vector<std::string>{"a_directory"});
        EXPECT_TRUE(std::filesystem::is_empty(path("a_directory")));
    }
}

TEST_F(ModelFileOnDisk, WriteStoppedPartWayKeepsThePreviousFile) {
    const std::vector<std::uint8_t> previous = pattern(3000);
    ASSERT_EQ(write_whole_file(path("model.zun"), previous), std::nullopt);
    const std::vector<std::uint8_t> larger(1 << 20, 0x5a);
    constexpr rlim_t kFileSizeLimit = 64 * 1024;
    ASSERT_LT(previous.size(), kFileSizeLimit);

    // The child runs under a file size limit, so its write stops after 64 KiB
    // with EFBIG. Exit codes: 0 EFBIG reported, 1 write succeeded, 2 other error.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0) << std::strerror(errno);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{kFileSizeLimit, kFileSizeLimit};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            ::_exit(3);
        }
        const std::optional<std::string> error = write_whole_file(path("model.zun"), larger);
        ::_exit(!error ? 1 : *error == std::strerror(EFBIG) ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_back(path("model.zun")), previous);
    EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"});
}

TEST_F(ModelFileOnDisk, ReadFailuresReportTheSystemError) {
    std::filesystem::create_directory(path("a_directory"));
    struct Case {
        const char* name;
        std::string target;
        int error_number;
    };
    const std::vector<Case> cases = {
        {"missing file", path("missing.zun"), ENOENT},
        {"directory", path("a_directory"), EISDIR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const FileContent content = read_whole_file(c.target);
        ASSERT_TRUE(std::holds_alternative<std::string>(content));
        EXPECT_EQ(std::get<std::string>(content), std::strerror(c.error_number));
    }
}

TEST_F(ModelFileOnDisk, ReadsAnEmptyFileAsNoBytes) {
    ASSERT_EQ(write_whole_file(path("empty.zun"), {}), std::nullopt);
    EXPECT_EQ(read_back(path("empty.zun")), std::vector<std::uint8_t>{});
}

TEST_F(ModelFileOnDisk, WritesThroughSymbolicLinksToTheirTargets) {
    std::filesystem::create_directory(path("sub"));
    struct Case {
        const char* name;
        std::string link;
        std::string link_text;  // as stored in the link
        std::string target;
    };
    const std::vector<Case> cases = {
        {"absolute", path("absolute.zun"), path("sub/a.zun"), path("sub/a.zun")},
        {"relative to the link's directory", path("relative.zun"), "sub/r.zun", path("sub/r.zun")},
        {"chain of links", path("chain.zun"), "relative.zun", path("sub/r.zun")},
        {"dangling link creates its target", path("dangling.zun"), "sub/new.zun", path("sub/new.zun")},
    };
    ASSERT_EQ(write_whole_file(path("sub/a.zun"), pattern(10)), std::nullopt);
    ASSERT_EQ(write_whole_file(path("sub/r.zun"), pattern(10)), std::nullopt);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::create_symlink(c.link_text, c.link);
        const std::vector<std::uint8_t> bytes = pattern(777 + c.link.size());
        ASSERT_EQ(write_whole_file(c.link, bytes), std::nullopt);
        EXPECT_TRUE(std::filesystem::is_symlink(c.link));
        EXPECT_EQ(std::filesystem::read_symlink(c.link), c.link_text);
        EXPECT_EQ(read_back(c.target), bytes);
    }
}

TEST_F(ModelFileOnDisk, AnExistingFileKeepsItsPermissionBits) {
    for (const mode_t mode : {0600, 0640, 0751, 0444}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(write_whole_file(path("model.zun"), pattern(5)), std::nullopt);
        ASSERT_EQ(::chmod(path("model.zun").c_str(), mode), 0);
        ASSERT_EQ(write_whole_file(path("model.zun"), pattern(50)), std::nullopt);
        struct stat info {};
        ASSERT_EQ(::stat(path("model.zun").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
        EXPECT_EQ(read_back(path("model.zun")), pattern(50));
        ASSERT_EQ(::unlink(path("model.zun").c_str()), 0);
    }
}

TEST_F(ModelFileOnDisk, APipeIsWrittenToNotReplaced) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0) << std::strerror(errno);
    const int reader = ::open(path("fifo").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0) << std::strerror(errno);
    ASSERT_EQ(write_whole_file(path("fifo"), pattern(100)), std::nullopt);
    std::vector<std::uint8_t> received(200);
    const ssize_t got = ::read(reader, received.data(), received.size());
    ::close(reader);
    ASSERT_EQ(got, 100);
    received.resize(100);
    EXPECT_EQ(received, pattern(100));
    struct stat info {};
    ASSERT_EQ(::lstat(path("fifo").c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(entries(), std::vector<std::string>{"fifo"});
}

TEST_F(ModelFileOnDisk, ALegalLongNameCanBeWrittenAndReplaced) {
    const std::string name(250, 'm');
    ASSERT_EQ(write_whole_file(path(name), pattern(5)), std::nullopt);
    ASSERT_EQ(write_whole_file(path(name), pattern(6)), std::nullopt);
    EXPECT_EQ(read_back(path(name)), pattern(6));
    EXPECT_EQ(entries(), std::vector<std::string>{name});
}

// Runs `body` in a child without the rights to create files in the test
// directory (as an unprivileged user when the tests run as root), and
// returns its exit status.
int run_unprivileged(const std::filesystem::path& directory, const std::function<int()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (::geteuid() == 0) {
            constexpr uid_t kNobody = 65534;
            if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                ::_exit(90);
            }
        } else if (::chmod(directory.c_str(), 0555) != 0) {
            ::_exit(91);
        }
        ::_exit(body());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    if (::geteuid() != 0) {
        ::chmod(directory.c_str(), 0755);
    }
    return status;
}

TEST_F(ModelFileOnDisk, AWritableFileInALockedDirectoryIsRewrittenInPlace) {
    ASSERT_EQ(write_whole_file(path("model.zun"), pattern(4000)), std::nullopt);
    ASSERT_EQ(write_whole_file(path("other.zun"), pattern(10)), std::nullopt);
    ASSERT_EQ(::chmod(path("model.zun").c_str(), 0666), 0);
    ASSERT_EQ(::chmod(path("other.zun").c_str(), 0444), 0);
    ASSERT_EQ(::chmod(directory_.c_str(), 0755), 0);
    // Exit codes: 0 as expected; 1 the writable file was not written; 2 a
    // file that is not writable was; 3 a new file was created.
    const int status = run_unprivileged(directory_, [&] {
        if (write_whole_file(path("model.zun"), pattern(30)) != std::nullopt) {
            return 1;
        }
        if (write_whole_file(path("other.zun"), pattern(30)) != std::string(std::strerror(EACCES))) {
            return 2;
        }
        return write_whole_file(path("new.zun"), pattern(30)) == std::string(std::strerror(EACCES)) ? 0 : 3;
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read_back(path("model.zun")), pattern(30));
    EXPECT_EQ(read_back(path("other.zun")), pattern(10));
    EXPECT_EQ(entries(), (std::vector<std::string>{"model.zun", "other.zun"}));
}

// What a traced save does after stopping at the entry of a system call.
enum class Then { Next, Kill, Finish };

// Runs `save` in a traced child, stopped at the entry of each of its system
// calls, before the call runs: `at_entry(n)` for the n-th call says whether
// to go on to the next, kill the child there (the call does not run) or let
// it finish untraced. Returns the child's wait status, or nullopt when
// tracing is not permitted.
std::optional<int> trace_save(const std::function<void()>& save, const std::function<Then(int)>& at_entry) {
    const pid_t child = ::fork();
    if (child < 0) {
        return std::nullopt;
    }
    if (child == 0) {
        if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
            ::_exit(90);
        }
        ::raise(SIGSTOP);
        save();
        ::_exit(0);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFSTOPPED(status)) {
        return std::nullopt;  // exited with 90: tracing refused
    }
    ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL);
    // Stops alternate between the entry and the exit of each call.
    int entries = 0;
    bool at_entry_stop = false;
    __ptrace_request request = PTRACE_SYSCALL;
    while (true) {
        ::ptrace(request, child, nullptr, nullptr);
        if (::waitpid(child, &status, 0) != child || WIFEXITED(status) || WIFSIGNALED(status)) {
            return status;
        }
        if (request != PTRACE_SYSCALL || !WIFSTOPPED(status) || WSTOPSIG(status) != (SIGTRAP | 0x80)) {
            continue;
        }
        at_entry_stop = !at_entry_stop;
        if (!at_entry_stop) {
            continue;
        }
        switch (at_entry(++entries)) {
            case Then::Next:
                break;
            case Then::Kill:
                ::kill(child, SIGKILL);
                break;
            case Then::Finish:
                request = PTRACE_CONT;
                break;
        }
    }
}

// A kill between any two system calls of a save: only the one after the new
// file got its temporary name and before the rename leaves that name behind,
// and the next save removes it.
TEST_F(ModelFileOnDisk, OnlyAKillBetweenTheLinkAndTheRenameLeavesATemporaryFile) {
    const std::vector<std::uint8_t> old_content = pattern(3000);
    const std::vector<std::uint8_t> new_content = pattern(4000);
    for (const bool replacing : {true, false}) {
        SCOPED_TRACE(replacing ? "replacing a file" : "creating a file");
        int kill_points = 0;
        int strays = 0;
        for (int kill_at = 1;; ++kill_at) {
            std::filesystem::remove_all(directory_);
            std::filesystem::create_directory(directory_);
            if (replacing) {
                ASSERT_EQ(write_whole_file(path("model.zun"), old_content), std::nullopt);
            }
            const std::optional<int> status =
                trace_save([&] { write_whole_file(path("model.zun"), new_content); },
                           [&](int call) { return call == kill_at ? Then::Kill : Then::Next; });
            if (!status) {
                GTEST_SKIP() << "tracing a child process is not permitted here";
            }
            if (WIFEXITED(*status)) {
                break;  // kill_at is past the save's last call
            }
            ++kill_points;
            std::vector<std::string> names = entries();
            const auto model = std::find(names.begin(), names.end(), "model.zun");
            if (model != names.end()) {
                const std::vector<std::uint8_t> content = read_back(path("model.zun"));
                EXPECT_TRUE(content == new_content || (replacing && content == old_content)) << "call " << kill_at;
                names.erase(model);
            } else {
                EXPECT_FALSE(replacing) << "call " << kill_at << ": the old file is gone";
            }
            for (const std::string& name : names) {
                EXPECT_EQ(name.rfind(".zun-", 0), 0u) << name;
                EXPECT_EQ(read_back(path(name)), new_content);
                ++strays;
            }
            ASSERT_EQ(write_whole_file(path("model.zun"), old_content), std::nullopt);
            EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"}) << "call " << kill_at;
        }
        EXPECT_GE(kill_points, 6);  // the save itself was traced
        EXPECT_EQ(strays, replacing ? 1 : 0) << "of " << kill_points << " kill points";
    }
}

// Two saves of one file share its temporary name. One stopped between its
// link and its rename while another runs: the other removes the name it
// finds and completes; the first then finds its name gone, links again and
// completes too.
TEST_F(ModelFileOnDisk, ASaveRunningWhileAnotherHoldsTheTemporaryNameCompletesAndSoDoesTheOther) {
    ASSERT_EQ(write_whole_file(path("model.zun"), pattern(1000)), std::nullopt);
    std::optional<std::string> other_save = "not run";
    const std::optional<int> status = trace_save(
        [&] { ::_exit(write_whole_file(path("model.zun"), pattern(3000)) ? 1 : 0); },
        [&](int) {
            if (entries().size() == 1) {
                return Then::Next;  // no temporary name yet
            }
            other_save = write_whole_file(path("model.zun"), pattern(2000));
            return Then::Finish;
        });
    if (!status) {
        GTEST_SKIP() << "tracing a child process is not permitted here";
    }
    EXPECT_EQ(other_save, std::nullopt);
    ASSERT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 0) << "the first save failed";
    EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"});
    EXPECT_EQ(read_back(path("model.zun")), pattern(3000));  // renamed last
}

TEST_F(ModelFileOnDisk, AKilledWriteLeavesTheOldOrTheNewContentAndNothingElse) {
    const std::vector<std::uint8_t> old_content(3 << 20, 0x11);
    const std::vector<std::uint8_t> new_content((3 << 20) + 5, 0x22);
    ASSERT_EQ(write_whole_file(path("model.zun"), old_content), std::nullopt);
    constexpr int kKills = 40;
    int saw_new = 0;
    int strays = 0;
    for (int kill = 0; kill < kKills; ++kill) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            while (true) {
                write_whole_file(path("model.zun"), new_content);
                write_whole_file(path("model.zun"), old_content);
            }
        }
        ::usleep(static_cast<useconds_t>(1000 + 997 * kill % 20000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        // Replacing an existing file needs a name for the new one between its
        // link and the rename: a kill there leaves it (the link may wait for
        // the file system's journal, so on a busy disk that is not rare), and
        // the next save takes it over. Nothing else may be left.
        std::vector<std::string> names = entries();
        if (names.size() == 2 && names[0].rfind(".zun-", 0) == 0) {
            ++strays;
            names.erase(names.begin());
        }
        ASSERT_EQ(names, std::vector<std::string>{"model.zun"}) << "kill " << kill;
        const std::vector<std::uint8_t> content = read_back(path("model.zun"));
        ASSERT_TRUE(content == old_content || content == new_content) << "kill " << kill << ": torn file";
        saw_new += content == new_content ? 1 : 0;
    }
    ASSERT_EQ(write_whole_file(path("model.zun"), old_content), std::nullopt);
    EXPECT_EQ(entries(), std::vector<std::string>{"model.zun"});
    std::cout << "killed writes: " << kKills << ", new content after " << saw_new
              << ", a temporary file left after " << strays << "\n";
}

}  // namespace
}  // namespace zun
