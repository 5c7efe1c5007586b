#pragma once
// The send operations of the fitters. Each does nothing (no message, no log
// line) unless a logged fit is running; a missing epoch or tree context or a
// closed channel drops the record with a Warn line.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/records.hpp"

namespace zun::logging {

// Needs the thread's epoch.
void send_epoch_training_error(double err, ErrorVariant variant);
// Needs the thread's epoch and tree id.
void send_tree_training_error(double err, ErrorVariant variant);
// Needs the thread's epoch.
void send_combination_choice(const std::string& method, std::optional<std::uint64_t> best_index,
                             std::vector<CombinationCandidate> candidates);
// These carry their own epoch.
void send_combined_grid(CombinedGridRecord record);
void send_epoch_scaling(std::uint64_t epoch, double scaling, std::uint64_t optimization_epoch);

}  // namespace zun::logging
