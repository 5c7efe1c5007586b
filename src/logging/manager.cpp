#include "logging/manager.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "fit_control.hpp"
#include "logging/held_output.hpp"

namespace zun::logging {
namespace {

void dispatch(LogMessage message, RunLogger& writer) {
    std::visit(
        [&writer](auto&& item) {
            using Item = std::decay_t<decltype(item)>;
            if constexpr (std::is_same_v<Item, MoveEventMessage>) {
                writer.log_move_event(std::move(item));
            } else if constexpr (std::is_same_v<Item, ComponentStateMessage>) {
                writer.log_component_state(std::move(item));
            } else if constexpr (std::is_same_v<Item, EpochTrainingErrorMessage>) {
                writer.log_epoch_training_error(std::move(item));
            } else if constexpr (std::is_same_v<Item, TreeTrainingErrorMessage>) {
                writer.log_tree_training_error(std::move(item));
            } else if constexpr (std::is_same_v<Item, FComponentStatsMessage>) {
                writer.log_f_component_stats(std::move(item));
            } else if constexpr (std::is_same_v<Item, CombinationChoiceMessage>) {
                writer.log_combination_choice(std::move(item));
            } else if constexpr (std::is_same_v<Item, CombinedGridMessage>) {
                writer.log_combined_grid(std::move(item.record));
            } else {
                static_assert(std::is_same_v<Item, EpochScalingMessage>, "every message kind has a writer operation");
                writer.log_epoch_scaling(std::move(item));
            }
        },
        std::move(message));
}

}  // namespace

bool is_logging_active() {
    const FitControl* control = current_fit_control();
    return control != nullptr && control->run_log_active();
}

bool send_message(LogMessage message) {
    const FitControl* control = current_fit_control();
    if (control == nullptr || !control->run_log_active()) {
        return false;
    }
    if (HeldOutput* held = held_output()) {
        held->messages.push_back(std::move(message));
        return true;
    }
    return control->send(std::move(message));
}

void drain_messages(Receiver& receiver, RunLogger& writer) {
    while (std::optional<LogMessage> message = receiver.try_receive()) {
        dispatch(std::move(*message), writer);
    }
}

}  // namespace zun::logging
