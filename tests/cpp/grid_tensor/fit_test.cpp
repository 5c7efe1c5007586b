#include "grid_tensor/fit.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor/bin_lanes.hpp"
#include "grid_tensor/bin_sums.hpp"
#include "grid_tensor/fit_fixture.hpp"
#include "grid_tensor/identification.hpp"
#include "grid_tensor/state_check.hpp"
#include "logging/simple.hpp"

namespace zun {
namespace {

using testing::columns_problem;
using testing::Problem;
using testing::random_problem;

GridTensorParams make_params(SplitStrategyParams split, RefinementKind kind, double alpha, double rho,
                             std::optional<std::uint32_t> max_bins, std::uint64_t n_iter = 25) {
    GridTensorParams params;
    params.n_iter = n_iter;
    params.split_strategy_params = split;
    params.refinement_strategy_params.kind = kind;
    params.refinement_strategy_params.alpha = alpha;
    params.refinement_strategy_params.tilt_rho = rho;
    params.max_bins = max_bins;
    return params;
}

struct DriftCase {
    std::string name;
    bool ties;
    bool non_negative;
    GridTensorParams params;
};

std::vector<DriftCase> drift_cases() {
    std::vector<DriftCase> cases;
    const std::vector<std::pair<std::string, SplitStrategyParams>> strategies = {
        {"random", RandomSplit{10, 1.0, 1, 0.0, 0.0}},
        {"best a=3", BestSplit{3, 0.0, 0.0}},
        {"top3", TopKSplits{3, false, 2, 0.0, 0.0}},
    };
    for (const bool ties : {false, true}) {
        for (const bool non_negative : {false, true}) {
            for (const RefinementKind kind : {RefinementKind::L2, RefinementKind::Huber}) {
                for (const std::optional<std::uint32_t> bins :
                     {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{16}}) {
                    const std::size_t s = cases.size() % strategies.size();
                    // Defaults (alpha 0, rho 0), then a ridge with the absolute-value penalty.
                    for (const auto& [alpha, rho] : std::vector<std::pair<double, double>>{{0.0, 0.0}, {0.5, 0.05}}) {
                        DriftCase c;
                        c.name = strategies[s].first + (ties ? " ties" : "") + (non_negative ? " single" : " paired") +
                                 (kind == RefinementKind::Huber ? " huber" : " l2") + (bins ? " binned" : "") +
                                 " alpha " + std::to_string(alpha);
                        c.ties = ties;
                        c.non_negative = non_negative;
                        c.params = make_params(strategies[s].second, kind, alpha, rho, bins);
                        cases.push_back(c);
                    }
                }
            }
        }
    }
    return cases;
}

// Kept bin sums may differ from an accurate recomputation from scratch by
// this share of the summed magnitudes of their terms: the drift a fit lets
// its sums gather before it sums them again (BinSums::drift_threshold).
constexpr double bin_drift_tolerance = 1e-13;

// Binned states are checked twice: with the default rebuilds, and adding
// every move's changes however many samples it moves, so that only the drift
// estimate rebuilds.
void differences_only(GridTensorState& state) { state.bin_sums.rebuild_divisor = 0; }

struct DriftTally {
    std::size_t moves = 0;
    std::size_t resplits = 0;
    std::size_t binned_moves = 0;
    std::size_t drift_rebuilds = 0;
    testing::BinDrift drift;
};

// Fits `problem` move by move, checking the whole state after each.
void check_fit_moves(const Problem& problem, const GridTensorParams& params, unsigned seed, bool only_differences,
                     const std::string& label, DriftTally& tally) {
    const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
    const std::size_t a = min_interval_samples(params.split_strategy_params);
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    if (only_differences) {
        differences_only(state);
    }
    testing::check_state(state, strategy, a, {}, bin_drift_tolerance, &tally.drift);
    ASSERT_FALSE(::testing::Test::HasFatalFailure()) << label << " after initialisation";
    Rng rng(seed);
    for (std::uint64_t pass = 0; pass < 3 * params.n_iter && state.net_splits < params.n_iter; ++pass) {
        const auto move = fit_pass(state, params, strategy, rng);
        if (!move) {
            break;
        }
        ++tally.moves;
        tally.resplits += std::holds_alternative<Resplit>(*move) ? 1 : 0;
        tally.binned_moves += state.is_binned() ? 1 : 0;
        testing::check_state(state, strategy, a, {}, bin_drift_tolerance, &tally.drift);
        ASSERT_FALSE(::testing::Test::HasFatalFailure()) << label << " after move " << pass;
    }
    tally.drift_rebuilds += state.bin_sums.drift_rebuilds;
    std::size_t cuts = 0;
    for (const auto& positions : state.split_positions) {
        cuts += positions.size();
    }
    EXPECT_EQ(cuts, state.split_count) << label;
    EXPECT_EQ(state.net_splits, state.split_count) << label;
    EXPECT_LE(state.split_count + state.resplit_count, 3 * params.n_iter) << label;

    const FitOutput output = finish_fit(state);
    const std::vector<double> y_hat = predict(output.grid_tensor, problem.x_view());
    ASSERT_EQ(output.y_hat, y_hat) << label;
    double squares = 0.0;
    for (std::size_t i = 0; i < problem.rows; ++i) {
        ASSERT_EQ(output.residuals[i], problem.y[i] - y_hat[i]) << label;
        squares += (problem.y[i] - y_hat[i]) * (problem.y[i] - y_hat[i]);
    }
    EXPECT_EQ(output.error, squares / static_cast<double>(problem.rows)) << label;
}

// The incremental state after every move agrees with a recomputation from
// scratch, over thousands of moves covering L2 and Huber, both component
// modes, ties, binning and all three strategies; and the fit's error is the
// exact mean squared residual of the returned model.
TEST(FitDriftTest, IncrementalStateMatchesRecomputationAfterEveryMove) {
    DriftTally tally;
    for (const DriftCase& c : drift_cases()) {
        for (const unsigned seed : {1u, 2u, 3u}) {
            const Problem problem = random_problem(seed, 180, 4, c.ties, c.non_negative);
            for (const bool only_differences : {false, true}) {
                if (only_differences && !c.params.max_bins) {
                    continue;
                }
                const std::string label = c.name + " seed " + std::to_string(seed) +
                                          (only_differences ? " differences only" : "");
                {
                    const GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), c.params);
                    EXPECT_EQ(single_component_mode(state), c.non_negative) << label;
                }
                check_fit_moves(problem, c.params, seed, only_differences, label, tally);
                ASSERT_FALSE(HasFatalFailure()) << label;
            }
        }
    }
    EXPECT_GT(tally.moves, 2000u);
    EXPECT_GT(tally.resplits, 50u);
    EXPECT_GT(tally.binned_moves, 1000u);
    RecordProperty("largest_relative_bin_drift", fmt::format("{:.3g}", tally.drift.largest));
    RecordProperty("bin_sum_drift_rebuilds", std::to_string(tally.drift_rebuilds));
}

// The defaults of a boosted fit (no ridge, no penalty) on a target of both
// signs with large values: the components grow large and their statistics
// cancel, which is where added changes drift most. Many bins, many moves of
// all sizes; every bin sum still agrees with its recomputation.
TEST(FitDriftTest, BinSumsHoldUnderTheChaoticDefaults) {
    DriftTally tally;
    for (const unsigned seed : {1u, 2u}) {
        Problem problem = random_problem(seed, 4000, 5, seed == 2, false);
        for (double& target : problem.y) {
            target = 1e3 * target + 50.0;
        }
        for (const SplitStrategyParams& split :
             std::vector<SplitStrategyParams>{RandomSplit{10, 1.0, 1, 0.0, 0.0}, BestSplit{1, 0.0, 0.0}}) {
            const GridTensorParams params = make_params(split, RefinementKind::L2, 0.0, 0.0, 255, 40);
            for (const bool only_differences : {false, true}) {
                const std::string label = "seed " + std::to_string(seed) + (only_differences ? " differences" : "");
                check_fit_moves(problem, params, seed, only_differences, label, tally);
                ASSERT_FALSE(HasFatalFailure()) << label;
            }
        }
    }
    EXPECT_GT(tally.binned_moves, 200u);
    // Here changes of some statistics cancel them down many orders of
    // magnitude: the drift estimate must have had the sums rebuilt, but far
    // from after every move.
    EXPECT_GT(tally.drift_rebuilds, 0u);
    EXPECT_LT(tally.drift_rebuilds * 4, tally.binned_moves);
    RecordProperty("largest_relative_bin_drift", fmt::format("{:.3g}", tally.drift.largest));
    RecordProperty("bin_sum_drift_rebuilds", std::to_string(tally.drift_rebuilds));
}

// Whether two lists of bin sums hold the same bits (a NaN equals itself and
// -0.0 differs from 0.0, unlike ==).
bool same_bits(const std::vector<CompensatedStats5>& a, const std::vector<CompensatedStats5>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(CompensatedStats5)) == 0;
}

// A fit adding into its bins with each wider arithmetic the processor has
// keeps, move after move, the bits of one adding one statistic at a time:
// both component modes, Huber, 2-byte codes, the chaotic defaults (with
// drift rebuilds) and targets large enough for the NaN guard.
TEST(FitDriftTest, WideBinArithmeticKeepsTheBitsOfThePortableOne) {
    struct Case {
        std::string name;
        bool non_negative;
        RefinementKind kind;
        std::uint32_t max_bins;
        double target_scale;
    };
    const std::vector<Case> cases = {
        {"chaotic defaults, paired", false, RefinementKind::L2, 255, 1e3},
        {"single component", true, RefinementKind::L2, 255, 1.0},
        {"huber, 2-byte codes", false, RefinementKind::Huber, 300, 10.0},
        {"huge targets", false, RefinementKind::L2, 16, 3e152},
    };
    std::size_t widths = 0;
    for (const BinLanes lanes : {BinLanes::avx, BinLanes::avx512}) {
        if (!bin_lanes_available(lanes)) {
            continue;
        }
        ++widths;
        std::size_t moves = 0;
        std::size_t drift_rebuilds = 0;
        for (const Case& c : cases) {
            const std::string label = c.name + (lanes == BinLanes::avx ? " (256 bits)" : " (512 bits)");
            Problem problem = random_problem(1, 2000, 5, false, c.non_negative);
            for (double& target : problem.y) {
                target = c.target_scale * target + (c.non_negative ? 0.0 : 50.0);
            }
            const GridTensorParams params =
                make_params(RandomSplit{10, 1.0, 1, 0.0, 0.0}, c.kind, 0.0, 0.0, c.max_bins, 30);
            const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
            GridTensorState wide = prepare_fit(problem.x_view(), problem.y_view(), params);
            GridTensorState portable = prepare_fit(problem.x_view(), problem.y_view(), params);
            wide.bin_sums.lanes = lanes;
            initialize_bin_sums(strategy, wide);
            portable.bin_sums.lanes = BinLanes::portable;
            initialize_bin_sums(strategy, portable);
            ASSERT_TRUE(same_bits(wide.bin_sums.bins, portable.bin_sums.bins)) << label << " after initialisation";
            Rng wide_rng(7);
            Rng portable_rng(7);
            for (std::uint64_t pass = 0; pass < 3 * params.n_iter && wide.net_splits < params.n_iter; ++pass) {
                const auto wide_move = fit_pass(wide, params, strategy, wide_rng);
                const auto portable_move = fit_pass(portable, params, strategy, portable_rng);
                ASSERT_EQ(wide_move.has_value(), portable_move.has_value()) << label << " move " << pass;
                if (!wide_move) {
                    break;
                }
                ++moves;
                ASSERT_TRUE(same_bits(wide.bin_sums.bins, portable.bin_sums.bins)) << label << " after move " << pass;
            }
            drift_rebuilds += wide.bin_sums.drift_rebuilds;
            EXPECT_EQ(wide.bin_sums.drift_rebuilds, portable.bin_sums.drift_rebuilds) << label;
            EXPECT_EQ(finish_fit(wide).grid_tensor, finish_fit(portable).grid_tensor) << label;
        }
        EXPECT_GT(moves, 80u);
        EXPECT_GT(drift_rebuilds, 0u);
    }
    if (widths == 0) {
        GTEST_SKIP() << "this processor has no wider bin arithmetic than the portable one";
    }
}

// Targets whose statistics come near the end of the float range, so the fit
// guards against NaN gains from the start; around 3e152 some sums overflow.
// The state, exact or binned, still agrees with a recomputation after every
// move, which includes that no position without a mark has a NaN gain.
TEST(FitDriftTest, HugeTargetsKeepTheStateWholeUnderTheNaNGuard) {
    const std::vector<SplitStrategyParams> strategies = {RandomSplit{10, 1.0, 1, 0.0, 0.0}, BestSplit{1, 0.0, 0.0}};
    DriftTally tally;
    for (const double scale : {5e99, 3e152}) {
        for (const SplitStrategyParams& split : strategies) {
            for (const std::optional<std::uint32_t> bins : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{16}}) {
                for (const unsigned seed : {1u, 2u, 3u}) {
                    Problem problem = random_problem(seed, 180, 4, false, false);
                    for (double& target : problem.y) {
                        target *= scale;
                    }
                    const GridTensorParams params = make_params(split, RefinementKind::L2, 0.0, 0.0, bins);
                    ASSERT_TRUE(prepare_fit(problem.x_view(), problem.y_view(), params).guard_nan_gains) << scale;
                    const std::string label = std::to_string(scale) + (bins ? " binned" : "") + " seed " +
                                              std::to_string(seed);
                    check_fit_moves(problem, params, seed, false, label, tally);
                    ASSERT_FALSE(HasFatalFailure()) << label;
                }
            }
        }
    }
    EXPECT_GT(tally.moves, 200u);
    EXPECT_GT(tally.binned_moves, 100u);
}

TEST(FitGridTensorTest, SameSeedSameRecordAndTheLoopOfFitPass) {
    const Problem problem = random_problem(7, 150, 3, true, false);
    const GridTensorParams params = GridTensorParams{};
    Rng first(42);
    Rng second(42);
    const FitOutput a = fit_grid_tensor(problem.x_view(), problem.y_view(), params, first);
    const FitOutput b = fit_grid_tensor(problem.x_view(), problem.y_view(), params, second);
    EXPECT_EQ(a.grid_tensor, b.grid_tensor);
    EXPECT_EQ(a.y_hat, b.y_hat);
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(first.next_u64(), second.next_u64());

    // Handing in the sorted orders gives the same fit.
    Rng third(42);
    const FitOutput c =
        fit_grid_tensor(problem.x_view(), problem.y_view(), params, third, sort_features(problem.x_view()));
    EXPECT_EQ(c.grid_tensor, a.grid_tensor);

    // Parameters that no computation reads change nothing.
    GridTensorParams carried = params;
    carried.refinement_strategy_params.prior_sample_size = 3.0;
    carried.refinement_strategy_params.update_clamp = 0.5;
    std::get<RandomSplit>(carried.split_strategy_params).complexity_penalty = 9.0;
    Rng fourth(42);
    EXPECT_EQ(fit_grid_tensor(problem.x_view(), problem.y_view(), carried, fourth).grid_tensor, a.grid_tensor);

    std::size_t cuts = 0;
    for (const auto& splits : a.grid_tensor.splits) {
        cuts += splits.size();
    }
    EXPECT_GT(cuts, 0u);
    EXPECT_LE(cuts, params.n_iter);
}

TEST(FitGridTensorTest, RecordInvariantsAndIdentification) {
    const Problem problem = random_problem(11, 200, 3, true, false);
    Rng rng(3);
    const FitOutput output = fit_grid_tensor(problem.x_view(), problem.y_view(), GridTensorParams{}, rng);
    const GridTensor& gt = output.grid_tensor;
    EXPECT_EQ(gt.scaling, 1.0);
    EXPECT_GE(gt.lambda_plus, 1e-12);
    EXPECT_GE(gt.lambda_minus, 1e-12);
    ASSERT_EQ(gt.splits.size(), 3u);
    for (std::size_t j = 0; j < 3; ++j) {
        const std::size_t m = gt.splits[j].size();
        ASSERT_EQ(gt.backbone_values[j].size(), m + 1);
        ASSERT_EQ(gt.tilt_values[j].size(), m + 1);
        ASSERT_EQ(gt.observation_counts[j].size(), m + 1);
        ASSERT_EQ(gt.intervals[j].size(), m + 1);
        std::uint64_t total = 0;
        double energy = 0.0;
        double tilt = 0.0;
        for (std::size_t k = 0; k <= m; ++k) {
            const std::uint64_t count = gt.observation_counts[j][k];
            total += count;
            energy += static_cast<double>(count) * gt.backbone_values[j][k] * gt.backbone_values[j][k];
            tilt += static_cast<double>(count) * gt.tilt_values[j][k];
            const double low = k == 0 ? -std::numeric_limits<double>::infinity() : gt.splits[j][k - 1];
            const double high = k == m ? std::numeric_limits<double>::infinity() : gt.splits[j][k];
            EXPECT_EQ(gt.intervals[j][k], (Interval{low, high}));
            if (k > 0) {
                EXPECT_LT(gt.splits[j][k - 1], high);
            }
        }
        EXPECT_EQ(total, 200u);
        EXPECT_NEAR(std::sqrt(energy / 200.0), 1.0, 1e-12) << j;
        EXPECT_NEAR(tilt / 200.0, 0.0, 1e-12) << j;
        // Counts agree with where the training values fall.
        std::vector<std::uint64_t> located(m + 1, 0);
        for (std::size_t i = 0; i < 200; ++i) {
            ++located[interval_of(gt.splits[j], problem.x[i * 3 + j])];
        }
        EXPECT_EQ(located, gt.observation_counts[j]) << j;
    }
}

TEST(FitGridTensorTest, StridedInputGivesTheSameFitWhenWellConditioned) {
    // Non-negative targets (single-component mode) and a ridge with the
    // penalty: the fit is well conditioned, so two layouts must agree exactly.
    const Problem problem = random_problem(5, 120, 3, false, true);
    std::vector<double> column_major(problem.x.size());
    std::vector<double> y_every_other(2 * problem.rows);
    for (std::size_t i = 0; i < problem.rows; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            column_major[j * problem.rows + i] = problem.x[i * 3 + j];
        }
        y_every_other[2 * i] = problem.y[i];
    }
    const MatrixView x(column_major.data(), problem.rows, 3, sizeof(double),
                       static_cast<std::ptrdiff_t>(problem.rows * sizeof(double)));
    const VectorView y(y_every_other.data(), problem.rows, 2 * sizeof(double));
    for (const double alpha : {0.0, 1.0}) {
        GridTensorParams params = make_params(BestSplit{}, RefinementKind::L2, alpha, 0.0, std::nullopt, 10);
        Rng a(1);
        Rng b(1);
        const FitOutput contiguous = fit_grid_tensor(problem.x_view(), problem.y_view(), params, a);
        const FitOutput strided = fit_grid_tensor(x, y, params, b);
        EXPECT_EQ(strided.grid_tensor, contiguous.grid_tensor) << alpha;
        EXPECT_EQ(strided.error, contiguous.error) << alpha;
    }
}

TEST(FitGridTensorTest, BinnedSplitsLieOnBinBoundaries) {
    const Problem problem = random_problem(9, 300, 2, false, false);
    const GridTensorParams params = make_params(BestSplit{}, RefinementKind::L2, 1.0, 0.0, 4, 10);
    const GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    ASSERT_TRUE(state.is_binned());
    const FeatureBins& bins = state.binned->features[0];
    ASSERT_EQ(bins.boundaries, (std::vector<std::size_t>{75, 150, 225}));
    // No per-position list of any kind: no sort order, checkpoints or marks.
    EXPECT_EQ(state.sorted, nullptr);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_TRUE(state.checkpoints[j].empty());
    }
    EXPECT_TRUE(state.nan_gain.empty());
    Rng rng(1);
    const FitOutput output = fit_grid_tensor(problem.x_view(), problem.y_view(), params, rng);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_LE(output.grid_tensor.splits[j].size(), 3u);
        EXPECT_FALSE(output.grid_tensor.splits[j].empty()) << j;
        for (const double split : output.grid_tensor.splits[j]) {
            const auto& thresholds = state.binned->features[j].thresholds;
            EXPECT_NE(std::find(thresholds.begin(), thresholds.end(), split), thresholds.end()) << split;
        }
    }
    // Codes handed in (as a boosted fit shares them) give the same fit; codes
    // made for other bins are refused.
    Rng again(1);
    const FitOutput shared =
        fit_grid_tensor(problem.x_view(), problem.y_view(), params, again, nullptr, bin_features(problem.x_view(), 4));
    EXPECT_EQ(shared.grid_tensor, output.grid_tensor);
    EXPECT_EQ(shared.y_hat, output.y_hat);
    Rng other(1);
    EXPECT_THROW(
        fit_grid_tensor(problem.x_view(), problem.y_view(), params, other, nullptr, bin_features(problem.x_view(), 5)),
        InternalError);
}

TEST(FitGridTensorTest, NoIterationsGivesTheIdentifiedConstant) {
    const Problem problem = random_problem(2, 50, 2, false, false);
    Rng rng(1);
    const FitOutput output =
        fit_grid_tensor(problem.x_view(), problem.y_view(), make_params(RandomSplit{}, RefinementKind::L2, 0, 0, {}, 0), rng);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_TRUE(output.grid_tensor.splits[j].empty());
        EXPECT_EQ(output.grid_tensor.observation_counts[j], (std::vector<std::uint64_t>{50}));
        EXPECT_EQ(output.grid_tensor.backbone_values[j], (std::vector<double>{1.0}));
        EXPECT_EQ(output.grid_tensor.tilt_values[j], (std::vector<double>{0.0}));
    }
    double positive = 0.0;
    double negative = 0.0;
    for (const double target : problem.y) {
        (target > 0 ? positive : negative) += std::abs(target);
    }
    EXPECT_NEAR(output.grid_tensor.lambda_plus, positive / 50, 1e-12);
    EXPECT_NEAR(output.grid_tensor.lambda_minus, negative / 50, 1e-12);
    for (const double value : output.y_hat) {
        EXPECT_EQ(value, output.y_hat[0]);
    }
}

TEST(FitGridTensorTest, ConstantColumnsStopAtOnceAndSayWhy) {
    const Problem problem = columns_problem({{1, 1, 1, 1}, {2, 2, 2, 2}}, {1, -1, 2, 0});
    logging::install_simple_logger();
    logging::set_max_level(logging::Level::Debug);
    ::testing::internal::CaptureStdout();
    Rng rng(1);
    const FitOutput output = fit_grid_tensor(problem.x_view(), problem.y_view(), GridTensorParams{}, rng);
    const std::string log = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    EXPECT_NE(log.find("[zun::grid_tensor::fit] [DEBUG] No further splits possible, stopping"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Split/Resplit/Merge counts: 0/0/0"), std::string::npos) << log;
    EXPECT_TRUE(output.grid_tensor.splits[0].empty() && output.grid_tensor.splits[1].empty());
}

TEST(FitGridTensorTest, CountsLineCarriesTheMoves) {
    const Problem problem = random_problem(4, 100, 2, false, false);
    const GridTensorParams params = make_params(BestSplit{}, RefinementKind::L2, 0.0, 0.0, {}, 6);
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    Rng replay(8);
    for (std::uint64_t pass = 0; pass < 18 && state.net_splits < 6; ++pass) {
        if (!fit_pass(state, params, make_refinement_strategy(params.refinement_strategy_params), replay)) {
            break;
        }
    }
    const std::string expected =
        "Split/Resplit/Merge counts: " + std::to_string(state.split_count) + "/" + std::to_string(state.resplit_count) + "/0";
    logging::install_simple_logger();
    logging::set_max_level(logging::Level::Debug);
    ::testing::internal::CaptureStdout();
    Rng rng(8);
    fit_grid_tensor(problem.x_view(), problem.y_view(), params, rng);
    const std::string log = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    EXPECT_NE(log.find(expected), std::string::npos) << log;
}

// The fit checks its context between moves: a stop keeps the tree as it
// stands (here before the first move), a cancel abandons it.
TEST(FitGridTensorTest, AStopKeepsTheTreeAsItStandsAndACancelAbandonsIt) {
    const Problem problem = random_problem(6, 80, 2, false, false);
    const GridTensorParams params = make_params(RandomSplit{}, RefinementKind::L2, 0.0, 0.0, {}, 6);
    GridTensorParams no_moves = params;
    no_moves.n_iter = 0;
    const auto fit_in = [&](Interruption why, const GridTensorParams& p) {
        FitControl control;
        control.interrupt(why);
        const FitScope scope(&control);
        Rng rng(3);
        return fit_grid_tensor(problem.x_view(), problem.y_view(), p, rng);
    };
    const FitOutput whole = fit_in(Interruption::None, params);
    EXPECT_FALSE(whole.grid_tensor.splits[0].empty() && whole.grid_tensor.splits[1].empty());
    const FitOutput stopped = fit_in(Interruption::Stop, params);
    EXPECT_EQ(stopped.grid_tensor, fit_in(Interruption::None, no_moves).grid_tensor);
    EXPECT_EQ(stopped.y_hat, fit_in(Interruption::None, no_moves).y_hat);
    EXPECT_THROW(fit_in(Interruption::Cancel, params), FitInterrupted);
}

TEST(FitGridTensorTest, RejectsInputsOutsideItsPreconditions) {
    const Problem problem = random_problem(1, 10, 2, false, false);
    Problem with_nan = problem;
    with_nan.x[7] = std::nan("");
    Rng rng(1);
    EXPECT_THROW(fit_grid_tensor(with_nan.x_view(), with_nan.y_view(), GridTensorParams{}, rng), InternalError);
    const MatrixView empty = MatrixView::contiguous(problem.x.data(), 0, 2);
    EXPECT_THROW(fit_grid_tensor(empty, VectorView::contiguous(problem.y.data(), 0), GridTensorParams{}, rng),
                 InternalError);
    EXPECT_THROW(fit_grid_tensor(problem.x_view(), VectorView::contiguous(problem.y.data(), 9), GridTensorParams{}, rng),
                 InternalError);
    // Infinite feature values sort like any other.
    Problem with_inf = problem;
    with_inf.x[4] = std::numeric_limits<double>::infinity();
    EXPECT_NO_THROW(fit_grid_tensor(with_inf.x_view(), with_inf.y_view(), GridTensorParams{}, rng));
}

TEST(IdentifyTest, WorkedExamplesAndFloors) {
    {
        std::vector<std::vector<double>> backbone = {{2.0, 2.0}};
        std::vector<std::vector<double>> tilt = {{0.0, 0.0}};
        double plus = 0.5;
        double minus = 0.25;
        identify(backbone, tilt, {{1, 1}}, plus, minus);
        EXPECT_EQ(backbone[0], (std::vector<double>{1.0, 1.0}));
        EXPECT_DOUBLE_EQ(plus, 1.0);
        EXPECT_DOUBLE_EQ(minus, 0.5);
    }
    {
        std::vector<std::vector<double>> backbone = {{1.0, 1.0}};
        std::vector<std::vector<double>> tilt = {{0.5, 1.5}};
        double plus = 1.0;
        double minus = 1.0;
        identify(backbone, tilt, {{3, 1}}, plus, minus);
        EXPECT_DOUBLE_EQ(tilt[0][0], -0.25);
        EXPECT_DOUBLE_EQ(tilt[0][1], 0.75);
        EXPECT_DOUBLE_EQ(plus, std::exp(0.75));
        EXPECT_DOUBLE_EQ(minus, std::exp(-0.75));
    }
    {
        // Two features: scales multiply, centres add; an empty count list
        // and a vanishing backbone are skipped; coefficients are floored.
        std::vector<std::vector<double>> backbone = {{4.0}, {1e-7, 1e-7}, {3.0}};
        std::vector<std::vector<double>> tilt = {{1.0}, {0.0, 2.0}, {5.0}};
        double plus = 1.0;
        double minus = 1e-20;
        identify(backbone, tilt, {{2}, {1, 1}, {}}, plus, minus);
        EXPECT_EQ(backbone, (std::vector<std::vector<double>>{{1.0}, {1e-7, 1e-7}, {3.0}}));
        EXPECT_EQ(tilt, (std::vector<std::vector<double>>{{0.0}, {-1.0, 1.0}, {5.0}}));
        EXPECT_DOUBLE_EQ(plus, 4.0 * std::exp(2.0));
        EXPECT_EQ(minus, 1e-12);
    }
}

}  // namespace
}  // namespace zun
