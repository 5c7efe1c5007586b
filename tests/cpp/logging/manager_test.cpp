#include "logging/manager.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "fit_control.hpp"
#include "logging/recording_writer.hpp"

namespace zun::logging {
namespace {

using testing::RecordingWriter;

// The run log side of one fit's context, installed on the test's thread.
class Sink : public ::testing::Test {
protected:
    void install_sender(Sender sender) { fit_.install_sender(std::move(sender)); }
    void clear_sender() { fit_.clear_sender(); }

    FitControl fit_;
    const FitScope scope_{&fit_};
};

std::vector<LogMessage> drained(Receiver& receiver) {
    RecordingWriter writer;
    drain_messages(receiver, writer);
    return writer.received;
}

TEST(SinkOutsideAFit, SendsAreDropped) {
    EXPECT_EQ(current_fit_control(), nullptr);
    EXPECT_FALSE(is_logging_active());
    EXPECT_FALSE(send_message(EpochScalingMessage{0, 1.0, 0}));
}

// Two fits at once: each thread's records go to the run log of the fit it
// works for, and a fit without one sends nothing.
TEST(SinkPerFit, EachFitSendsToItsOwnRunLogOnly) {
    FitControl logged;
    FitControl unlogged;
    auto [sender, receiver] = make_channel();
    logged.install_sender(sender);
    bool unlogged_active = true;
    bool unlogged_sent = true;
    std::thread other([&] {
        const FitScope scope(&unlogged);
        unlogged_active = is_logging_active();
        unlogged_sent = send_message(EpochScalingMessage{9, 1.0, 9});
    });
    {
        const FitScope scope(&logged);
        EXPECT_TRUE(is_logging_active());
        EXPECT_TRUE(send_message(EpochScalingMessage{1, 1.0, 1}));
    }
    other.join();
    EXPECT_FALSE(unlogged_active);
    EXPECT_FALSE(unlogged_sent);
    EXPECT_EQ(drained(receiver), (std::vector<LogMessage>{EpochScalingMessage{1, 1.0, 1}}));
}

TEST_F(Sink, SendsWithoutAnInstalledSenderAreDropped) {
    EXPECT_FALSE(is_logging_active());
    EXPECT_FALSE(send_message(EpochScalingMessage{0, 1.0, 0}));

    auto [sender, receiver] = make_channel();
    install_sender(sender);
    EXPECT_TRUE(is_logging_active());
    EXPECT_TRUE(send_message(EpochScalingMessage{1, 1.0, 1}));
    clear_sender();
    EXPECT_FALSE(is_logging_active());
    EXPECT_FALSE(send_message(EpochScalingMessage{2, 1.0, 2}));

    const std::vector<LogMessage> got = drained(receiver);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(std::get<EpochScalingMessage>(got[0]).epoch, 1u);
}

TEST_F(Sink, InstallingASenderReplacesThePreviousOne) {
    auto [first_sender, first] = make_channel();
    auto [second_sender, second] = make_channel();
    install_sender(first_sender);
    install_sender(second_sender);
    EXPECT_TRUE(send_message(EpochScalingMessage{7, 1.0, 7}));
    EXPECT_TRUE(drained(first).empty());
    EXPECT_EQ(drained(second).size(), 1u);
}

TEST_F(Sink, SendsFailOnceTheReceiverIsGone) {
    {
        auto [sender, receiver] = make_channel();
        install_sender(sender);
    }
    EXPECT_TRUE(is_logging_active());
    EXPECT_FALSE(send_message(EpochScalingMessage{0, 1.0, 0}));
}

TEST_F(Sink, MessagesOfSeveralThreadsAllArriveInPerThreadOrder) {
    auto [sender, receiver] = make_channel();
    install_sender(sender);
    constexpr std::uint64_t threads = 6;
    constexpr std::uint64_t per_thread = 2000;
    std::vector<std::thread> workers;
    for (std::uint64_t t = 0; t < threads; ++t) {
        workers.emplace_back([t, this] {
            const FitScope scope(&fit_);
            for (std::uint64_t i = 0; i < per_thread; ++i) {
                ASSERT_TRUE(send_message(TreeTrainingErrorMessage{i, t, static_cast<double>(i), ErrorVariant::Train}));
            }
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    const std::vector<LogMessage> got = drained(receiver);
    ASSERT_EQ(got.size(), threads * per_thread);
    std::vector<std::uint64_t> next(threads, 0);
    for (const LogMessage& message : got) {
        const auto& error = std::get<TreeTrainingErrorMessage>(message);
        ASSERT_LT(error.tree_id, threads);
        EXPECT_EQ(error.epoch, next[error.tree_id]) << "thread " << error.tree_id << " out of order";
        next[error.tree_id] = error.epoch + 1;
    }
    EXPECT_EQ(next, std::vector<std::uint64_t>(threads, per_thread));
}

TEST_F(Sink, DrainHandsEveryKindToItsOperationInArrivalOrder) {
    auto [sender, receiver] = make_channel();
    install_sender(sender);
    const std::vector<LogMessage> sent{
        EpochScalingMessage{2, 0.5, 3},
        CombinedGridMessage{CombinedGridRecord{1.0, 2.0, 2.0, 0.5, "{}", std::nullopt, std::vector<double>{1.0}, 4}},
        MoveEventMessage{1, 2, MoveEvent{}},
        TreeTrainingErrorMessage{1, 2, 0.25, ErrorVariant::Test},
        ComponentStateMessage{1, 2, ComponentState{}},
        FComponentStatsMessage{1, 2, 3, ComponentStats{}, ComponentStats{}},
        EpochTrainingErrorMessage{1, 0.75, ErrorVariant::Train},
        CombinationChoiceMessage{1, "BaggedTwoTensor", 4, {{4, 0.0}, {1, 0.5}}},
    };
    for (const LogMessage& message : sent) {
        ASSERT_TRUE(send_message(message));
    }
    EXPECT_EQ(drained(receiver), sent);
    EXPECT_TRUE(drained(receiver).empty()) << "a drain empties the channel";
}

}  // namespace
}  // namespace zun::logging
