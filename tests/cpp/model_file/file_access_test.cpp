#include "model_file/file_access.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
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
    ASSERT_EQ(write_file_atomically(path("model.zun"), bytes), std::nullopt);
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
    ASSERT_EQ(write_file_atomically(path("model.zun"), long_content), std::nullopt);
    ASSERT_EQ(write_file_atomically(path("model.zun"), short_content), std::nullopt);
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
        EXPECT_EQ(write_file_atomically(c.target, pattern(3000)),
                  std::string(std::strerror(c.error_number)));
        EXPECT_EQ(entries(), std::vector<std::string>{"a_directory"});
        EXPECT_TRUE(std::filesystem::is_empty(path("a_directory")));
    }
}

TEST_F(ModelFileOnDisk, WriteStoppedPartWayKeepsThePreviousFile) {
    const std::vector<std::uint8_t> previous = pattern(3000);
    ASSERT_EQ(write_file_atomically(path("model.zun"), previous), std::nullopt);
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
        const std::optional<std::string> error = write_file_atomically(path("model.zun"), larger);
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
    ASSERT_EQ(write_file_atomically(path("empty.zun"), {}), std::nullopt);
    EXPECT_EQ(read_back(path("empty.zun")), std::vector<std::uint8_t>{});
}

}  // namespace
}  // namespace zun
