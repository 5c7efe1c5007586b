#pragma once
// The run log writer interface: one operation per message kind, called in
// arrival order by the drain, then `flush`. Used by one thread only.
#include <optional>
#include <string>

#include "logging/log_message.hpp"

namespace zun::logging {

class RunLogger {
public:
    virtual ~RunLogger() = default;

    // Opens the log if needed and starts a new run; throws IoError when the
    // log cannot be opened or the run cannot be recorded.
    virtual void start_run(const std::string& params_json, std::uint64_t n_rows, std::uint64_t n_cols) = 0;
    virtual void log_move_event(MoveEventMessage message) = 0;
    virtual void log_combined_grid(CombinedGridRecord record) = 0;
    virtual void log_epoch_scaling(EpochScalingMessage message) = 0;
    virtual void log_component_state(ComponentStateMessage message) = 0;
    virtual void log_epoch_training_error(EpochTrainingErrorMessage message) = 0;
    virtual void log_tree_training_error(TreeTrainingErrorMessage message) = 0;
    virtual void log_combination_choice(CombinationChoiceMessage message) = 0;
    virtual void log_f_component_stats(FComponentStatsMessage message) = 0;
    // The run's notes, for a run that ended early.
    virtual void log_run_notes(std::string notes) = 0;
    // Writes everything logged so far; the error text, or nullopt on success.
    virtual std::optional<std::string> flush() = 0;
};

// Accepts every operation and keeps nothing.
class NullLogger final : public RunLogger {
public:
    void start_run(const std::string&, std::uint64_t, std::uint64_t) override {}
    void log_move_event(MoveEventMessage) override {}
    void log_combined_grid(CombinedGridRecord) override {}
    void log_epoch_scaling(EpochScalingMessage) override {}
    void log_component_state(ComponentStateMessage) override {}
    void log_epoch_training_error(EpochTrainingErrorMessage) override {}
    void log_tree_training_error(TreeTrainingErrorMessage) override {}
    void log_combination_choice(CombinationChoiceMessage) override {}
    void log_f_component_stats(FComponentStatsMessage) override {}
    void log_run_notes(std::string) override {}
    std::optional<std::string> flush() override { return std::nullopt; }
};

}  // namespace zun::logging
