#include "logging/simple.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using zun::logging::Level;

// Taken before main, i.e. before any test could change the process state.
const Level level_at_start = zun::logging::max_level();
const bool installed_at_start = zun::logging::simple_logger_installed();

// Restores the process-wide maximum level so tests do not leak into each other.
class MaxLevelTest : public testing::Test {
protected:
    void SetUp() override { saved_ = zun::logging::max_level(); }
    void TearDown() override { zun::logging::set_max_level(saved_); }

private:
    Level saved_ = Level::Off;
};

TEST(ProcessStart, LevelOffAndLoggerNotInstalled) {
    EXPECT_EQ(level_at_start, Level::Off);
    EXPECT_FALSE(installed_at_start);
}

TEST(ParseLevel, NamesIgnoreCaseAndUnknownGivesInfo) {
    struct Case {
        const char* text;
        Level expected;
    };
    const std::array<Case, 14> cases{{
        {"DEBUG", Level::Debug},
        {"debug", Level::Debug},
        {"Debug", Level::Debug},
        {"off", Level::Off},
        {"OFF", Level::Off},
        {"error", Level::Error},
        {"Warn", Level::Warn},
        {"INFO", Level::Info},
        {"tRaCe", Level::Trace},
        {"verbose", Level::Info},
        {"", Level::Info},
        {"WARNING", Level::Info},
        {"debug ", Level::Info},
        {"of", Level::Info},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(zun::logging::parse_level(c.text), c.expected) << "text \"" << c.text << "\"";
    }
}

TEST(LevelName, UpperCaseAndParsesBack) {
    const std::array<std::pair<Level, const char*>, 6> names{{
        {Level::Off, "OFF"},
        {Level::Error, "ERROR"},
        {Level::Warn, "WARN"},
        {Level::Info, "INFO"},
        {Level::Debug, "DEBUG"},
        {Level::Trace, "TRACE"},
    }};
    for (const auto& [level, name] : names) {
        EXPECT_STREQ(zun::logging::level_name(level), name);
        EXPECT_EQ(zun::logging::parse_level(name), level) << name;
    }
}

TEST_F(MaxLevelTest, EnabledFollowsMaximumSetFromText) {
    struct Case {
        const char* log_level;
        Level message;
        bool expected;
    };
    const std::array<Case, 13> cases{{
        {"off", Level::Error, false},
        {"off", Level::Warn, false},
        {"error", Level::Error, true},
        {"error", Level::Warn, false},
        {"verbose", Level::Info, true},
        {"verbose", Level::Warn, true},
        {"verbose", Level::Debug, false},
        {"Debug", Level::Debug, true},
        {"Debug", Level::Trace, false},
        {"trace", Level::Trace, true},
        {"trace", Level::Error, true},
        // An Off message is never printed, whatever the maximum.
        {"trace", Level::Off, false},
        {"off", Level::Off, false},
    }};
    for (const Case& c : cases) {
        zun::logging::set_max_level(zun::logging::parse_level(c.log_level));
        EXPECT_EQ(zun::logging::enabled(c.message), c.expected)
            << "log_level \"" << c.log_level << "\", message " << zun::logging::level_name(c.message);
    }
}

TEST(FormatLine, ExactText) {
    struct Case {
        Level level;
        const char* target;
        const char* text;
        const char* expected;
    };
    const std::array<Case, 3> cases{{
        {Level::Debug, "zun::grid_tensor::fit", "No further splits possible, stopping",
         "[zun::grid_tensor::fit] [DEBUG] No further splits possible, stopping\n"},
        {Level::Warn, "zun::forest::fitter", "x", "[zun::forest::fitter] [WARN] x\n"},
        {Level::Error, "", "", "[] [ERROR] \n"},
    }};
    for (const Case& c : cases) {
        EXPECT_EQ(zun::logging::format_line(c.level, c.target, c.text), c.expected);
    }
}

// Declared before any test that installs, so that in a whole-binary run it
// still sees the logger uninstalled; ctest runs each test in its own process.
TEST_F(MaxLevelTest, PrintsEnabledLinesOnceAndOnlyAfterInstall) {
    if (zun::logging::simple_logger_installed()) {
        GTEST_SKIP() << "an earlier test in this process installed the logger";
    }
    zun::logging::set_max_level(Level::Trace);
    testing::internal::CaptureStdout();
    zun::logging::log(Level::Error, "zun::forest::fitter", "before install");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    zun::logging::install_simple_logger();
    zun::logging::install_simple_logger();  // a second call must not add a second sink
    EXPECT_TRUE(zun::logging::simple_logger_installed());
    zun::logging::set_max_level(zun::logging::parse_level("INFO"));

    testing::internal::CaptureStdout();
    zun::logging::log(Level::Debug, "zun::grid_tensor::fit", "No further splits possible, stopping");
    zun::logging::log_fmt(Level::Info, "zun::forest::fitter", "Will save split events to database: {}", "run.db");
    zun::logging::log(Level::Warn, "zun::logging::buffers", "kept");
    zun::logging::set_max_level(zun::logging::parse_level("off"));
    zun::logging::log(Level::Warn, "zun::logging::buffers", "silenced");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[zun::forest::fitter] [INFO] Will save split events to database: run.db\n"
              "[zun::logging::buffers] [WARN] kept\n");
}

// A type whose formatting is observable: log_fmt must not format when the
// level is disabled.
struct CountedArgument {
    int* formatted;
};

}  // namespace

template <>
struct fmt::formatter<CountedArgument> : fmt::formatter<int> {
    auto format(const CountedArgument& argument, fmt::format_context& context) const {
        ++*argument.formatted;
        return fmt::formatter<int>::format(*argument.formatted, context);
    }
};

namespace {

TEST_F(MaxLevelTest, LogFmtFormatsOnlyEnabledLevels) {
    zun::logging::install_simple_logger();
    zun::logging::set_max_level(Level::Warn);
    int formatted = 0;
    testing::internal::CaptureStdout();
    zun::logging::log_fmt(Level::Debug, "t", "value {}", CountedArgument{&formatted});
    EXPECT_EQ(formatted, 0);
    zun::logging::log_fmt(Level::Warn, "t", "value {}", CountedArgument{&formatted});
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[t] [WARN] value 1\n");
}

TEST_F(MaxLevelTest, LinesOfConcurrentThreadsStayWhole) {
    zun::logging::install_simple_logger();
    zun::logging::set_max_level(Level::Info);
    constexpr int threads = 4;
    constexpr int lines_per_thread = 200;
    const std::string padding(120, '.');

    testing::internal::CaptureStdout();
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, &padding] {
            for (int i = 0; i < lines_per_thread; ++i) {
                zun::logging::log_fmt(Level::Info, "zun::stage_predictor::fitter", "thread {} line {} {}", t, i,
                                      padding);
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const std::string output = testing::internal::GetCapturedStdout();

    std::set<std::string> expected;
    for (int t = 0; t < threads; ++t) {
        for (int i = 0; i < lines_per_thread; ++i) {
            expected.insert(fmt::format("[zun::stage_predictor::fitter] [INFO] thread {} line {} {}", t, i, padding));
        }
    }
    std::multiset<std::string> printed;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        printed.insert(line);
    }
    EXPECT_EQ(printed.size(), expected.size());
    EXPECT_TRUE(std::equal(printed.begin(), printed.end(), expected.begin(), expected.end()));
}

}  // namespace
