#include "logging/held_output.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fit_control.hpp"
#include "logging/manager.hpp"
#include "logging/recording_writer.hpp"
#include "logging/simple.hpp"
#include "parallel.hpp"

namespace zun::logging {
namespace {

class Held : public ::testing::Test {
protected:
    void SetUp() override { fit_.set_level(Level::Info); }
    void install_sender(Sender sender) { fit_.install_sender(std::move(sender)); }

    static std::vector<LogMessage> drained(Receiver& receiver) {
        testing::RecordingWriter writer;
        drain_messages(receiver, writer);
        return std::move(writer.received);
    }

    FitControl fit_;
    const FitScope scope_{&fit_};
};

TEST_F(Held, OutputWaitsForItsReleaseAndNestedHoldsRestoreTheOuterOne) {
    auto [sender, receiver] = make_channel();
    install_sender(sender);
    HeldOutput outer;
    HeldOutput inner;
    ::testing::internal::CaptureStdout();
    {
        const HoldOutput hold_outer(outer);
        log(Level::Info, "t", "outer");
        {
            const HoldOutput hold_inner(inner);
            log(Level::Info, "t", "inner");
            log(Level::Debug, "t", "below the level");
            EXPECT_TRUE(send_message(EpochScalingMessage{1, 1.0, 1}));
        }
        EXPECT_EQ(held_output(), &outer);
    }
    EXPECT_EQ(held_output(), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(drained(receiver).empty());
    EXPECT_EQ(outer.lines, std::vector<std::string>{"[t] [INFO] outer\n"});
    EXPECT_EQ(inner.lines, std::vector<std::string>{"[t] [INFO] inner\n"});

    ::testing::internal::CaptureStdout();
    release(std::move(outer));
    release(std::move(inner));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[t] [INFO] outer\n[t] [INFO] inner\n");
    EXPECT_EQ(drained(receiver), (std::vector<LogMessage>{EpochScalingMessage{1, 1.0, 1}}));
}

TEST_F(Held, NothingIsHeldForARunLogThatIsNotBeingWritten) {
    HeldOutput held;
    {
        const HoldOutput hold(held);
        EXPECT_FALSE(send_message(EpochScalingMessage{1, 1.0, 1}));
    }
    EXPECT_TRUE(held.messages.empty());
}

// The slowest job comes first, so without holding the output would come out
// in reverse.
TEST_F(Held, JobsReleasedInIndexOrderComeOutInThatOrderWhateverOrderTheyFinish) {
    auto [sender, receiver] = make_channel();
    install_sender(sender);
    const int saved_threads = omp_get_max_threads();
    omp_set_num_threads(3);
    constexpr std::size_t jobs = 6;
    ::testing::internal::CaptureStdout();
    std::vector<HeldOutput> outputs = parallel_map<HeldOutput>(jobs, [](std::size_t i) {
        HeldOutput held;
        const HoldOutput hold(held);
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * (jobs - i)));
        log(Level::Info, "t", "job " + std::to_string(i));
        send_message(TreeTrainingErrorMessage{0, i, 0.5, ErrorVariant::Train});
        return held;
    });
    omp_set_num_threads(saved_threads);
    for (HeldOutput& output : outputs) {
        release(std::move(output));
    }
    std::string expected_log;
    std::vector<LogMessage> expected_messages;
    for (std::size_t i = 0; i < jobs; ++i) {
        expected_log += "[t] [INFO] job " + std::to_string(i) + "\n";
        expected_messages.push_back(TreeTrainingErrorMessage{0, i, 0.5, ErrorVariant::Train});
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected_log);
    EXPECT_EQ(drained(receiver), expected_messages);
}

}  // namespace
}  // namespace zun::logging
