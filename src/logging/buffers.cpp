#include "logging/buffers.hpp"

#include <utility>

#include "logging/context.hpp"
#include "logging/manager.hpp"
#include "logging/simple.hpp"

namespace zun::logging {
namespace {

constexpr const char* log_target = "zun::logging::buffers";

void send_or_warn(LogMessage message) {
    if (!send_message(std::move(message))) {
        log(Level::Warn, log_target, "Failed to send logging event (channel may be closed)");
    }
}

std::optional<std::uint64_t> epoch_or_warn() {
    const std::optional<std::uint64_t> epoch = current_epoch();
    if (!epoch) {
        log(Level::Warn, log_target, "Logging event dropped: epoch context not set");
    }
    return epoch;
}

std::optional<std::uint64_t> tree_id_or_warn() {
    const std::optional<std::uint64_t> tree_id = current_tree_id();
    if (!tree_id) {
        log(Level::Warn, log_target, "Logging event dropped: tree_id context not set");
    }
    return tree_id;
}

}  // namespace

void send_epoch_training_error(double err, ErrorVariant variant) {
    if (!is_logging_active()) {
        return;
    }
    if (const auto epoch = epoch_or_warn()) {
        send_or_warn(EpochTrainingErrorMessage{*epoch, err, variant});
    }
}

void send_tree_training_error(double err, ErrorVariant variant) {
    if (!is_logging_active()) {
        return;
    }
    const auto epoch = epoch_or_warn();
    if (!epoch) {
        return;
    }
    if (const auto tree_id = tree_id_or_warn()) {
        send_or_warn(TreeTrainingErrorMessage{*epoch, *tree_id, err, variant});
    }
}

void send_combination_choice(const std::string& method, std::optional<std::uint64_t> best_index,
                             std::vector<CombinationCandidate> candidates) {
    if (!is_logging_active()) {
        return;
    }
    if (const auto epoch = epoch_or_warn()) {
        send_or_warn(CombinationChoiceMessage{*epoch, method, best_index, std::move(candidates)});
    }
}

void send_combined_grid(CombinedGridRecord record) {
    if (!is_logging_active()) {
        return;
    }
    send_or_warn(CombinedGridMessage{std::move(record)});
}

void send_epoch_scaling(std::uint64_t epoch, double scaling, std::uint64_t optimization_epoch) {
    if (!is_logging_active()) {
        return;
    }
    send_or_warn(EpochScalingMessage{epoch, scaling, optimization_epoch});
}

}  // namespace zun::logging
