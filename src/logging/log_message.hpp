#pragma once
// The item of the run log channel: one record with the epoch and tree it
// belongs to. Each alternative maps to one operation of the run log writer.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "logging/records.hpp"

namespace zun::logging {

struct MoveEventMessage {
    std::uint64_t epoch = 0;
    std::uint64_t tree_id = 0;
    MoveEvent event;
    bool operator==(const MoveEventMessage&) const = default;
};

struct ComponentStateMessage {
    std::uint64_t epoch = 0;
    std::uint64_t tree_id = 0;
    ComponentState state;
    bool operator==(const ComponentStateMessage&) const = default;
};

struct EpochTrainingErrorMessage {
    std::uint64_t epoch = 0;
    double err = 0.0;
    ErrorVariant variant = ErrorVariant::Train;
    bool operator==(const EpochTrainingErrorMessage&) const = default;
};

struct TreeTrainingErrorMessage {
    std::uint64_t epoch = 0;
    std::uint64_t tree_id = 0;
    double err = 0.0;
    ErrorVariant variant = ErrorVariant::Train;
    bool operator==(const TreeTrainingErrorMessage&) const = default;
};

struct FComponentStatsMessage {
    std::uint64_t epoch = 0;
    std::uint64_t tree_id = 0;
    std::uint64_t iter_no = 0;
    ComponentStats f_plus;
    ComponentStats f_minus;
    bool operator==(const FComponentStatsMessage&) const = default;
};

struct CombinationChoiceMessage {
    std::uint64_t epoch = 0;
    std::string method;
    std::optional<std::uint64_t> best_index;
    std::vector<CombinationCandidate> candidates;
    bool operator==(const CombinationChoiceMessage&) const = default;
};

struct CombinedGridMessage {
    CombinedGridRecord record;
    bool operator==(const CombinedGridMessage&) const = default;
};

struct EpochScalingMessage {
    std::uint64_t epoch = 0;
    double scaling = 0.0;
    std::uint64_t optimization_epoch = 0;
    bool operator==(const EpochScalingMessage&) const = default;
};

using LogMessage = std::variant<MoveEventMessage, ComponentStateMessage, EpochTrainingErrorMessage,
                                TreeTrainingErrorMessage, FComponentStatsMessage, CombinationChoiceMessage,
                                CombinedGridMessage, EpochScalingMessage>;

}  // namespace zun::logging
