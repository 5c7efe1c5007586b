#pragma once
// The tree of parameter records that carries all tuning of a fit, with the
// JSON form stored in the run log and the debug text logged by the fitter.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <variant>

namespace zun {

enum class Aggregation : std::uint32_t { Mean = 0, GeometricMean = 1, Combined = 2 };

enum class RefinementKind : std::uint32_t { L2 = 0, Huber = 1 };

struct RandomSplit {
    std::uint64_t split_try = 10;
    double colsample_bytree = 1.0;
    std::uint64_t min_interval_samples = 1;
    double min_split_loss = 0.0;
    double complexity_penalty = 0.0;
    // Draw the floor(colsample_bytree * features) examined features among the
    // eligible ones; without it every eligible feature is examined whenever
    // there are at least that many.
    bool colsample_eligible = false;
    bool operator==(const RandomSplit&) const = default;
};

struct BestSplit {
    std::uint64_t min_interval_samples = 1;
    double min_split_loss = 0.0;
    double complexity_penalty = 0.0;
    bool operator==(const BestSplit&) const = default;
};

struct TopKSplits {
    std::uint64_t top_k = 10;
    bool must_fill_all_k = true;
    std::uint64_t min_interval_samples = 1;
    double min_split_loss = 0.0;
    double complexity_penalty = 0.0;
    bool operator==(const TopKSplits&) const = default;
};

using SplitStrategyParams = std::variant<RandomSplit, BestSplit, TopKSplits>;

struct RefinementStrategyParams {
    RefinementKind kind = RefinementKind::L2;
    double alpha = 0.0;
    double tilt_tau = 0.01;
    double tilt_rho = 0.0;
    double prior_sample_size = 0.0;
    double update_clamp = std::numeric_limits<double>::infinity();
    bool operator==(const RefinementStrategyParams&) const = default;
};

struct GridTensorParams {
    std::uint64_t n_iter = 25;
    SplitStrategyParams split_strategy_params = RandomSplit{};
    RefinementStrategyParams refinement_strategy_params{};
    // Up to 65,536 bins, one more than a 16-bit count holds.
    std::optional<std::uint32_t> max_bins;
    bool operator==(const GridTensorParams&) const = default;
};

struct StagePredictorParams {
    std::uint64_t n_trees = 100;
    GridTensorParams tg_params{};
    double similarity_threshold = 0.0;
    Aggregation aggregation_method = Aggregation::Combined;
    bool operator==(const StagePredictorParams&) const = default;
};

// Stop a boosted fit once its error on validation rows has not improved by
// more than `tol` for `n_iter_no_change` epochs in a row; the fit then keeps
// the stages of its best epoch, with that epoch's scalings.
struct EarlyStopping {
    std::uint64_t n_iter_no_change = 10;
    double tol = 0.0;
    bool operator==(const EarlyStopping&) const = default;
};

struct ZUNBoostedParams {
    std::uint64_t epochs = 5;
    double decay = 1.0;
    StagePredictorParams sp_params{};
    std::uint64_t seed = 42;
    std::string log_level = "info";
    std::optional<std::string> visualdb_path;
    // Absent: every tree fits on all rows. P: the rows are split once into
    // P random parts and tree t of every stage fits on part t mod P.
    std::optional<std::uint64_t> row_partitions;
    std::optional<EarlyStopping> early_stopping;
    // Ridge of the epoch scaling, added to every squared singular value of
    // the design (units of y squared times rows): it shrinks the scalings of
    // directions the rows say little about, which matters on few rows only.
    double scaling_ridge = 0.0;
    bool operator==(const ZUNBoostedParams&) const = default;
};

// Compact JSON: fields in declared order, non-finite floats as null.
std::string to_json(const GridTensorParams& params);
std::string to_json(const StagePredictorParams& params);
std::string to_json(const ZUNBoostedParams& params);

// Multi-line debug text, nested records indented by four spaces per level.
std::string debug_text(const GridTensorParams& params);
std::string debug_text(const StagePredictorParams& params);
std::string debug_text(const ZUNBoostedParams& params);

const char* name_of(Aggregation aggregation);
const char* name_of(RefinementKind kind);

}  // namespace zun
