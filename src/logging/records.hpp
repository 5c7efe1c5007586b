#pragma once
// The records of the run log: what a fit reports about its moves, interval
// values, errors, combination choices, combined grids and scalings. Plain
// values; the fields are named after the database columns they fill.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zun::logging {

enum class MoveAction : std::uint8_t { Split, Resplit, Merge };

// "split", "resplit" or "merge", as stored in the events table.
const char* action_text(MoveAction action);

struct ResidualUpdate {
    std::optional<float> y_hat;
    std::uint32_t sample_id = 0;
    float residual = 0.0f;
    bool operator==(const ResidualUpdate&) const = default;
};

// One applied split or resplit of a grid tensor fit.
struct MoveEvent {
    std::optional<double> split_value;
    std::optional<double> update_a;
    std::optional<double> update_b;
    std::optional<std::uint64_t> left_count;
    std::optional<std::uint64_t> right_count;
    std::optional<double> gain;
    std::optional<double> err_before;
    std::optional<double> err_after;
    std::vector<ResidualUpdate> residual_updates;
    std::uint64_t iter_no = 0;
    std::uint64_t col = 0;
    std::uint64_t left_interval_idx = 0;
    std::uint64_t n_cells_after = 0;
    MoveAction action = MoveAction::Split;
    bool operator==(const MoveEvent&) const = default;
};

// One feature's intervals and values. `data` holds the k lower bounds, the k
// upper bounds and the k grid values; `backbone_data` and `tilt_data` the k
// backbone and tilt values (64-bit little-endian floats each).
struct ComponentState {
    std::optional<double> lambda_plus;
    std::optional<double> lambda_minus;
    std::vector<std::uint8_t> data;
    std::optional<std::vector<std::uint8_t>> backbone_data;
    std::optional<std::vector<std::uint8_t>> tilt_data;
    std::uint64_t iter_no = 0;
    std::uint64_t col = 0;
    std::uint64_t intervals_count = 0;
    bool operator==(const ComponentState&) const = default;
};

// Distribution of one component's per-sample values.
struct ComponentStats {
    double min_val = 0.0;
    double max_val = 0.0;
    double mean_val = 0.0;
    double std_val = 0.0;
    double p25 = 0.0;
    double p50 = 0.0;
    double p75 = 0.0;
    double p95 = 0.0;
    double p99 = 0.0;
    std::uint64_t n_samples = 0;
    bool operator==(const ComponentStats&) const = default;
};

enum class ErrorVariant : std::uint8_t { Train = 0, Test = 1 };

// "train" or "test".
const char* variant_text(ErrorVariant variant);

struct CombinationCandidate {
    std::uint64_t tree_id = 0;
    double score = 0.0;
    bool operator==(const CombinationCandidate&) const = default;
};

struct CombinedGridRecord {
    std::optional<double> energy;
    std::optional<double> scaling;
    std::optional<double> scaling_plus;
    std::optional<double> scaling_minus;
    std::string grid_json;
    std::optional<std::vector<double>> f_plus;
    std::optional<std::vector<double>> f_minus;
    std::uint64_t epoch = 0;
    bool operator==(const CombinedGridRecord&) const = default;
};

}  // namespace zun::logging
