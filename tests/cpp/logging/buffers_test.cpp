#include "logging/buffers.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fit_control.hpp"
#include "logging/context.hpp"
#include "logging/manager.hpp"
#include "logging/recording_writer.hpp"
#include "logging/simple.hpp"

namespace zun::logging {
namespace {

constexpr const char* epoch_missing = "[zun::logging::buffers] [WARN] Logging event dropped: epoch context not set\n";
constexpr const char* tree_missing = "[zun::logging::buffers] [WARN] Logging event dropped: tree_id context not set\n";
constexpr const char* channel_closed =
    "[zun::logging::buffers] [WARN] Failed to send logging event (channel may be closed)\n";

// The sends of a fit whose lines go straight to stdout.
class SendOperations : public ::testing::Test {
protected:
    void SetUp() override { fit_.set_level(Level::Trace); }

    // Runs `send` and returns its console output and the messages it sent.
    std::pair<std::string, std::vector<LogMessage>> run(const std::function<void()>& send, bool with_sink) {
        auto [sender, receiver] = make_channel();
        if (with_sink) {
            fit_.install_sender(sender);
        }
        ::testing::internal::CaptureStdout();
        send();
        std::string output = ::testing::internal::GetCapturedStdout();
        fit_.clear_sender();
        testing::RecordingWriter writer;
        drain_messages(receiver, writer);
        return {std::move(output), std::move(writer.received)};
    }

    FitControl fit_;
    const FitScope scope_{&fit_};
};

const std::vector<std::pair<const char*, std::function<void()>>>& every_send() {
    static const std::vector<std::pair<const char*, std::function<void()>>> sends{
        {"epoch training error", [] { send_epoch_training_error(0.5, ErrorVariant::Train); }},
        {"tree training error", [] { send_tree_training_error(0.5, ErrorVariant::Test); }},
        {"combination choice", [] { send_combination_choice("BaggedTwoTensor", 1, {{1, 0.0}}); }},
        {"combined grid", [] { send_combined_grid(CombinedGridRecord{}); }},
        {"epoch scaling", [] { send_epoch_scaling(3, 1.5, 4); }},
    };
    return sends;
}

TEST_F(SendOperations, WithoutASinkNothingIsSentAndNothingLogged) {
    for (const auto& [name, send] : every_send()) {
        SCOPED_TRACE(name);
        // Even without any context, which would otherwise be warned about.
        const auto [output, messages] = run(send, false);
        EXPECT_EQ(output, "");
        EXPECT_TRUE(messages.empty());
    }
}

TEST_F(SendOperations, MissingContextDropsTheRecordWithAWarning) {
    struct Case {
        const char* name;
        std::optional<std::uint64_t> epoch;
        std::optional<std::uint64_t> tree_id;
        std::function<void()> send;
        std::string warning;
    };
    const std::vector<Case> cases{
        {"tree error, no context", std::nullopt, std::nullopt, every_send()[1].second, epoch_missing},
        {"tree error, epoch only", 2, std::nullopt, every_send()[1].second, tree_missing},
        {"tree error, tree only", std::nullopt, 3, every_send()[1].second, epoch_missing},
        {"epoch error, no epoch", std::nullopt, 3, every_send()[0].second, epoch_missing},
        {"combination choice, no epoch", std::nullopt, 3, every_send()[2].second, epoch_missing},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        set_epoch(c.epoch);
        set_tree_id(c.tree_id);
        const auto [output, messages] = run(c.send, true);
        set_epoch(std::nullopt);
        set_tree_id(std::nullopt);
        EXPECT_EQ(output, c.warning);
        EXPECT_TRUE(messages.empty());
    }
}

TEST_F(SendOperations, MessagesCarryTheContextOrTheirOwnEpoch) {
    const auto [output, messages] = run(
        [] {
            with_epoch(2, [] {
                with_tree_id(5, [] {
                    for (const auto& entry : every_send()) {
                        entry.second();
                    }
                });
            });
        },
        true);
    EXPECT_EQ(output, "");
    const std::vector<LogMessage> expected{
        EpochTrainingErrorMessage{2, 0.5, ErrorVariant::Train},
        TreeTrainingErrorMessage{2, 5, 0.5, ErrorVariant::Test},
        CombinationChoiceMessage{2, "BaggedTwoTensor", 1, {{1, 0.0}}},
        CombinedGridMessage{CombinedGridRecord{}},
        EpochScalingMessage{3, 1.5, 4},
    };
    EXPECT_EQ(messages, expected);
}

TEST_F(SendOperations, AClosedChannelIsWarnedAboutPerRecord) {
    {
        auto [sender, receiver] = make_channel();
        fit_.install_sender(sender);
    }
    ::testing::internal::CaptureStdout();
    send_epoch_scaling(0, 1.0, 0);
    with_epoch(1, [] { send_epoch_training_error(0.5, ErrorVariant::Train); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), std::string(channel_closed) + channel_closed);
}

}  // namespace
}  // namespace zun::logging
