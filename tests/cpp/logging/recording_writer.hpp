#pragma once
// A run log writer that keeps every message it is handed, in call order.
#include <optional>
#include <string>
#include <vector>

#include "logging/log_message.hpp"
#include "logging/run_logger.hpp"

namespace zun::logging::testing {

class RecordingWriter final : public RunLogger {
public:
    std::vector<LogMessage> received;
    std::vector<std::string> notes;

    void start_run(const std::string&, std::uint64_t, std::uint64_t) override {}
    void log_move_event(MoveEventMessage m) override { received.emplace_back(std::move(m)); }
    void log_combined_grid(CombinedGridRecord r) override { received.emplace_back(CombinedGridMessage{std::move(r)}); }
    void log_epoch_scaling(EpochScalingMessage m) override { received.emplace_back(m); }
    void log_component_state(ComponentStateMessage m) override { received.emplace_back(std::move(m)); }
    void log_epoch_training_error(EpochTrainingErrorMessage m) override { received.emplace_back(m); }
    void log_tree_training_error(TreeTrainingErrorMessage m) override { received.emplace_back(m); }
    void log_combination_choice(CombinationChoiceMessage m) override { received.emplace_back(std::move(m)); }
    void log_f_component_stats(FComponentStatsMessage m) override { received.emplace_back(m); }
    void log_run_notes(std::string n) override { notes.push_back(std::move(n)); }
    std::optional<std::string> flush() override { return std::nullopt; }
};

}  // namespace zun::logging::testing
