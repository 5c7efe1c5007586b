#include "forest/fitter.hpp"
#include "wavy_problem.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "error.hpp"
#include "fit_control.hpp"
#include "forest/epoch_scaling.hpp"
#include "forest/prediction.hpp"
#include "grid_tensor/fit.hpp"
#include "logging/simple.hpp"
#include "matrix_view.hpp"
#include "random.hpp"
#include "stage_predictor.hpp"
#include "stage_predictor/tree_rows.hpp"

namespace zun {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t most = std::numeric_limits<std::uint64_t>::max();

using Problem = WavyProblem;

Problem make_problem(std::uint64_t seed, std::size_t rows = 101, std::size_t cols = 4) {
    return make_wavy_problem(seed, rows, cols);
}

ZUNBoostedParams boosted_params(std::uint64_t epochs, std::uint64_t n_trees, std::uint64_t n_iter, double alpha,
                                std::uint64_t seed = 42) {
    ZUNBoostedParams params;
    params.epochs = epochs;
    params.seed = seed;
    params.log_level = "off";
    params.sp_params.n_trees = n_trees;
    params.sp_params.tg_params.n_iter = n_iter;
    params.sp_params.tg_params.refinement_strategy_params.alpha = alpha;
    return params;
}

BoostedFitResult fit(const Problem& p, const ZUNBoostedParams& params) {
    return fit_boosted(p.x_view(), p.y_view(), params);
}

double mean_of_squares(const std::vector<double>& values) {
    double sum = 0.0;
    for (const double v : values) {
        sum += v * v;
    }
    return sum / static_cast<double>(values.size());
}

struct ThreadCount {
    int saved = omp_get_max_threads();
    ~ThreadCount() { omp_set_num_threads(saved); }
};

// Standard output while `action` runs; the fit sets the level itself.
std::string captured_output(const std::function<void()>& action) {
    ::testing::internal::CaptureStdout();
    action();
    const std::string output = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    return output;
}

const char* const condition_warning = "[zun::forest::fitter] [WARN] Design matrix of epoch ";

// A row-major matrix of a stage list's columns (f+, -f-, f+, -f-, ...).
struct Design {
    std::vector<double> values;
    std::size_t rows = 0;
    std::size_t cols = 0;

    MatrixView view() const { return MatrixView::contiguous(values.data(), rows, cols); }
};

Design design_of(const std::vector<StagePredictor>& stages, const Problem& p) {
    Design d{std::vector<double>(p.rows * 2 * stages.size()), p.rows, 2 * stages.size()};
    for (std::size_t k = 0; k < stages.size(); ++k) {
        const Components c = compute_f_plus_minus(stages[k].primary_grid_tensor, p.x_view());
        for (std::size_t i = 0; i < p.rows; ++i) {
            d.values[i * d.cols + 2 * k] = c.f_plus[i];
            d.values[i * d.cols + 2 * k + 1] = -c.f_minus[i];
        }
    }
    return d;
}

TEST(DecayedIterations, RoundsHalvesAwayFromZeroSaturatesAndNeverReachesZero) {
    struct Case {
        std::uint64_t n_iter;
        double decay;
        std::uint64_t expected;
    };
    const std::vector<Case> cases = {
        {10, 0.5, 5},
        {5, 0.5, 3},  // 2.5
        {3, 0.5, 2},  // 1.5
        {2, 0.5, 1},
        {1, 0.5, 1},  // 0.5 rounds up to 1
        {10, 0.24, 2},
        {10, 0.25, 3},  // 2.5
        {10, 0.0, 1},
        {10, 1.0, 10},
        {1, 1.0, 1},
        {10, 1.5, 15},
        {std::uint64_t{1} << 53, 1.0, std::uint64_t{1} << 53},
        {10, nan, 1},
        {10, -0.5, 1},
        {10, -inf, 1},
        {10, 1e300, most},
        {10, inf, most},
        {most, 1.0, most},
        {most, 2.0, most},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n_iter << " x " << c.decay);
        EXPECT_EQ(decayed_iterations(c.n_iter, c.decay), c.expected);
    }
}

TEST(DecayedIterations, DecayCompoundsFromEpochToEpoch) {
    struct Case {
        double decay;
        std::vector<std::uint64_t> sequence;
    };
    const std::vector<Case> cases = {
        {0.5, {10, 5, 3, 2, 1, 1}},
        {0.0, {10, 1, 1, 1}},
        {1.0, {10, 10, 10, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.decay);
        std::vector<std::uint64_t> sequence = {c.sequence.front()};
        while (sequence.size() < c.sequence.size()) {
            sequence.push_back(decayed_iterations(sequence.back(), c.decay));
        }
        EXPECT_EQ(sequence, c.sequence);
    }
}

TEST(FitBoosted, NoEpochsLeavesTheTargetAsResidual) {
    const Problem p = make_problem(1, 30);
    const BoostedFitResult result = fit(p, boosted_params(0, 2, 4, 0.0));
    EXPECT_TRUE(result.stages.empty());
    EXPECT_EQ(result.residuals, p.y);
    EXPECT_EQ(result.y_hat, std::vector<double>(p.rows, 0.0));
    EXPECT_DOUBLE_EQ(result.error, mean_of_squares(p.y));
}

TEST(FitBoosted, ModelReproducesTheFitsPredictionsAndResiduals) {
    const Problem p = make_problem(2);
    for (const double alpha : {0.0, 1.0}) {
        SCOPED_TRACE(alpha);
        const BoostedFitResult result = fit(p, boosted_params(3, 3, 6, alpha));
        ASSERT_EQ(result.stages.size(), 3u);
        std::vector<double> model(p.rows, 0.0);
        for (const StagePredictor& stage : result.stages) {
            EXPECT_TRUE(stage.scaling_plus.has_value());
            EXPECT_TRUE(stage.scaling_minus.has_value());
            ASSERT_TRUE(stage.energy.has_value());
            const Components c = compute_f_plus_minus(stage.primary_grid_tensor, p.x_view());
            EXPECT_NEAR(*stage.energy, mean_of_squares(c.f_plus) + mean_of_squares(c.f_minus), 1e-12 * *stage.energy);
            const std::vector<double> prediction = predict(stage, p.x_view());
            for (std::size_t i = 0; i < p.rows; ++i) {
                model[i] += prediction[i];
            }
        }
        // Large cancelling scalings (alpha 0) cost digits in the sum.
        double scale = 1.0;
        for (const StagePredictor& stage : result.stages) {
            scale = std::max({scale, std::abs(*stage.scaling_plus), std::abs(*stage.scaling_minus)});
        }
        ASSERT_EQ(result.y_hat.size(), p.rows);
        ASSERT_EQ(result.residuals.size(), p.rows);
        for (std::size_t i = 0; i < p.rows; ++i) {
            EXPECT_NEAR(model[i], result.y_hat[i], 1e-10 * scale) << "row " << i;
            EXPECT_NEAR(p.y[i] - result.y_hat[i], result.residuals[i], 1e-14 * (1.0 + std::abs(p.y[i])))
                << "row " << i;
        }
        EXPECT_NEAR(result.error, mean_of_squares(result.residuals), 1e-15 * result.error);
        // Three stages do better than none.
        EXPECT_LT(result.error, mean_of_squares(p.y));
    }
}

TEST(FitBoosted, ScalingsAreTheLeastSquaresFitOfEveryStageAgainstTheTarget) {
    // The residual of a least-squares fit is orthogonal to every column of the
    // design matrix: to old stages too (all of them rescaled), and against y,
    // not the residuals the last stage was fitted on.
    const Problem p = make_problem(3);
    const BoostedFitResult result = fit(p, boosted_params(3, 2, 6, 1.0));
    const Design d = design_of(result.stages, p);
    const double norm_r = std::sqrt(mean_of_squares(result.residuals) * static_cast<double>(p.rows));
    for (std::size_t col = 0; col < d.cols; ++col) {
        double dot = 0.0;
        double norm = 0.0;
        for (std::size_t i = 0; i < p.rows; ++i) {
            dot += d.values[i * d.cols + col] * result.residuals[i];
            norm += d.values[i * d.cols + col] * d.values[i * d.cols + col];
        }
        EXPECT_NEAR(dot, 0.0, 1e-9 * std::sqrt(norm) * norm_r) << "column " << col;
    }
}

TEST(FitBoosted, EpochsContinueOneSeedStreamAndFitTheRescaledResiduals) {
    // Rebuilds two epochs by hand: epoch 0 fits its trees on y with the first
    // n_trees draws; epoch 1 fits on y minus the epoch-0 least-squares
    // prediction, with the next draws and the decayed iteration count.
    const Problem p = make_problem(4, 80, 3);
    ZUNBoostedParams params = boosted_params(2, 2, 6, 1.0, 1234);
    params.decay = 0.5;
    const BoostedFitResult result = fit(p, params);
    ASSERT_EQ(result.stages.size(), 2u);

    Rng seeds(1234);
    GridTensorParams tree_params = params.sp_params.tg_params;
    for (std::size_t t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        Rng rng(seeds.next_u64());
        EXPECT_EQ(result.stages[0].grid_tensors[t],
                  fit_grid_tensor(p.x_view(), p.y_view(), tree_params, rng).grid_tensor);
    }

    const Design first = design_of({result.stages[0]}, p);
    const std::optional<EpochScaling> w0 = solve_epoch_scaling(first.view(), p.y_view());
    ASSERT_TRUE(w0.has_value());
    // The fit's prediction comes from its factor of the design, as here.
    const std::vector<double> prediction = DesignQr::of(first.view(), p.y_view()).multiply(w0->weights);
    std::vector<double> r1(p.rows);
    for (std::size_t i = 0; i < p.rows; ++i) {
        r1[i] = p.y[i] - prediction[i];
    }
    tree_params.n_iter = 3;
    for (std::size_t t = 0; t < 2; ++t) {
        SCOPED_TRACE(t);
        Rng rng(seeds.next_u64());
        EXPECT_EQ(result.stages[1].grid_tensors[t],
                  fit_grid_tensor(p.x_view(), VectorView::contiguous(r1.data(), r1.size()), tree_params, rng)
                      .grid_tensor);
    }

    // The last solve covers both stages and sets all four scalings.
    const Design both = design_of(result.stages, p);
    const std::optional<EpochScaling> w1 = solve_epoch_scaling(both.view(), p.y_view());
    ASSERT_TRUE(w1.has_value());
    ASSERT_EQ(w1->weights.size(), 4u);
    EXPECT_EQ(result.stages[0].scaling_plus, w1->weights[0]);
    EXPECT_EQ(result.stages[0].scaling_minus, w1->weights[1]);
    EXPECT_EQ(result.stages[1].scaling_plus, w1->weights[2]);
    EXPECT_EQ(result.stages[1].scaling_minus, w1->weights[3]);
}

TEST(FitBoosted, SameSeedSameModelOtherSeedOtherModel) {
    const Problem p = make_problem(5);
    const ZUNBoostedParams params = boosted_params(2, 3, 5, 1.0, 8);
    const BoostedFitResult first = fit(p, params);
    const BoostedFitResult again = fit(p, params);
    EXPECT_EQ(again.stages, first.stages);
    EXPECT_EQ(again.y_hat, first.y_hat);
    EXPECT_EQ(again.error, first.error);

    const BoostedFitResult other = fit(p, boosted_params(2, 3, 5, 1.0, 9));
    EXPECT_NE(other.stages[0].grid_tensors, first.stages[0].grid_tensors);
}

TEST(FitBoosted, ModelIsTheSameForAnyNumberOfWorkerThreads) {
    const Problem p = make_problem(6);
    ZUNBoostedParams params = boosted_params(3, 4, 5, 1.0);
    params.sp_params.similarity_threshold = 0.3;  // distances in parallel too
    const ThreadCount restore;
    omp_set_num_threads(1);
    const BoostedFitResult one = fit(p, params);
    omp_set_num_threads(3);
    const BoostedFitResult three = fit(p, params);
    EXPECT_EQ(three.stages, one.stages);
    EXPECT_EQ(three.residuals, one.residuals);
    EXPECT_EQ(three.y_hat, one.y_hat);
    EXPECT_EQ(three.error, one.error);
}

TEST(FitBoostedOnRowParts, OnePartIsTheFitOnAllRowsAndManyPartsDoNotDependOnThreads) {
    const Problem p = make_problem(12, 90);
    ZUNBoostedParams params = boosted_params(3, 4, 5, 1.0);
    const BoostedFitResult none = fit(p, params);
    params.row_partitions = 1;
    const BoostedFitResult one = fit(p, params);
    EXPECT_EQ(one.stages, none.stages);
    EXPECT_EQ(one.y_hat, none.y_hat);

    params.row_partitions = 3;
    const ThreadCount restore;
    std::vector<BoostedFitResult> by_threads;
    for (const int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        by_threads.push_back(fit(p, params));
    }
    EXPECT_NE(by_threads[0].stages, none.stages);
    for (std::size_t t = 1; t < by_threads.size(); ++t) {
        SCOPED_TRACE(t + 1);
        EXPECT_EQ(by_threads[t].stages, by_threads[0].stages);
        EXPECT_EQ(by_threads[t].residuals, by_threads[0].residuals);
    }
}

// Tree t of a stage fits on part t mod P alone, with the regularisation
// weighed by the part's share; the stage's combination and the scalings use
// every row.
TEST(FitBoostedOnRowParts, TreeTFitsOnPartTModPAndTheScalingOnAllRows) {
    const Problem p = make_problem(13, 60, 3);
    const ZUNBoostedParams params = boosted_params(2, 3, 4, 1.0, 77);
    RowParts parts = {{}, {}};
    for (std::size_t i = 0; i < p.rows; ++i) {
        parts[i % 3 == 0 ? 0 : 1].push_back(p.rows - 1 - i);  // any order a caller keeps
    }
    const BoostedFitResult result = fit_boosted(p.x_view(), p.y_view(), params, parts);

    Rng seeds(77);
    for (std::size_t t = 0; t < 3; ++t) {
        SCOPED_TRACE(t);
        const std::vector<std::size_t>& rows = parts[t % 2];
        std::vector<double> x_part;
        std::vector<double> y_part;
        for (const std::size_t row : rows) {
            x_part.insert(x_part.end(), p.x.begin() + static_cast<std::ptrdiff_t>(row * p.cols),
                          p.x.begin() + static_cast<std::ptrdiff_t>((row + 1) * p.cols));
            y_part.push_back(p.y[row]);
        }
        Rng rng(seeds.next_u64());
        EXPECT_EQ(result.stages[0].grid_tensors[t],
                  fit_grid_tensor(MatrixView::contiguous(x_part.data(), rows.size(), p.cols),
                                  VectorView::contiguous(y_part.data(), y_part.size()),
                                  params_for_part(params.sp_params.tg_params, rows.size(), p.rows), rng)
                      .grid_tensor);
    }
    const Design design = design_of(result.stages, p);
    const std::optional<EpochScaling> whole = solve_epoch_scaling(design.view(), p.y_view());
    ASSERT_TRUE(whole.has_value());
    for (std::size_t k = 0; k < result.stages.size(); ++k) {
        EXPECT_NEAR(*result.stages[k].scaling_plus, whole->weights[2 * k], 1e-10 * std::abs(whole->weights[2 * k]));
        EXPECT_NEAR(*result.stages[k].scaling_minus, whole->weights[2 * k + 1],
                    1e-10 * std::abs(whole->weights[2 * k + 1]));
    }
}

TEST(FitBoostedOnRowParts, PartitionCountOutsideOneToTheRowsIsAnError) {
    const Problem p = make_problem(14, 20, 3);
    for (const std::uint64_t partitions : {std::uint64_t{0}, std::uint64_t{21}, most}) {
        SCOPED_TRACE(partitions);
        ZUNBoostedParams params = boosted_params(1, 2, 3, 1.0);
        params.row_partitions = partitions;
        try {
            fit(p, params);
            ADD_FAILURE() << "no error";
        } catch (const FitError& error) {
            EXPECT_NE(std::string(error.what()).find("row_partitions must be None or from 1 to the number of rows (20)"),
                      std::string::npos)
                << error.what();
        }
    }
    ZUNBoostedParams params = boosted_params(1, 2, 3, 1.0);
    params.row_partitions = 20;  // one row per part still fits
    EXPECT_EQ(fit(p, params).stages.size(), 1U);
}

// 40 training rows: past 20 epochs the scaling has more columns than rows,
// the training error falls to nothing and the validation error climbs.
struct StoppingCase {
    Problem train = make_problem(21, 40, 3);
    Problem valid = make_problem(22, 200, 3);
    ValidationRows rows() const { return {valid.x_view(), valid.y_view()}; }
};

TEST(FitBoostedWithValidation, AFitStoppedAtItsBestEpochIsTheFitOfThatManyEpochs) {
    const StoppingCase c;
    ZUNBoostedParams params = boosted_params(60, 3, 6, 1.0);
    params.early_stopping = EarlyStopping{3, 0.0};
    const BoostedFitResult stopped = fit_boosted(c.train.x_view(), c.train.y_view(), params, std::nullopt, c.rows());
    ASSERT_TRUE(stopped.best_epoch.has_value());
    const std::uint64_t best = *stopped.best_epoch;
    ASSERT_EQ(stopped.epoch_errors.size(), best + 1 + 3) << "the fit did not stop 3 epochs after its best";
    ASSERT_LT(stopped.epoch_errors.size(), 60U);
    EXPECT_EQ(stopped.validation_errors.size(), stopped.epoch_errors.size());
    for (std::size_t e = best + 1; e < stopped.validation_errors.size(); ++e) {
        EXPECT_GE(stopped.validation_errors[e], stopped.validation_errors[best]);
    }

    params.epochs = best + 1;
    params.early_stopping.reset();
    const BoostedFitResult asked = fit(c.train, params);
    EXPECT_EQ(stopped.stages, asked.stages);
    EXPECT_EQ(stopped.residuals, asked.residuals);
    EXPECT_EQ(stopped.y_hat, asked.y_hat);
    EXPECT_EQ(stopped.error, asked.error);

    // The error reported for the best epoch is that of the model returned.
    const std::vector<double> predicted = predict_boosted(stopped.stages, c.valid.x_view());
    double squares = 0.0;
    for (std::size_t i = 0; i < c.valid.rows; ++i) {
        squares += (c.valid.y[i] - predicted[i]) * (c.valid.y[i] - predicted[i]);
    }
    EXPECT_NEAR(stopped.validation_errors[best], squares / static_cast<double>(c.valid.rows),
                1e-12 * stopped.validation_errors[best]);
}

TEST(FitBoostedWithValidation, WithoutStoppingEveryEpochIsKeptAndScored) {
    const StoppingCase c;
    const ZUNBoostedParams params = boosted_params(4, 2, 5, 1.0);
    const BoostedFitResult scored = fit_boosted(c.train.x_view(), c.train.y_view(), params, std::nullopt, c.rows());
    const BoostedFitResult plain = fit(c.train, params);
    EXPECT_EQ(scored.stages, plain.stages);
    ASSERT_EQ(scored.validation_errors.size(), 4U);
    EXPECT_TRUE(plain.validation_errors.empty());
    EXPECT_FALSE(plain.best_epoch.has_value());
    const auto least = std::min_element(scored.validation_errors.begin(), scored.validation_errors.end());
    EXPECT_EQ(scored.best_epoch, static_cast<std::uint64_t>(least - scored.validation_errors.begin()));
}

TEST(FitBoostedWithValidation, UnusableValidationRowsAreErrors) {
    const StoppingCase c;
    const std::vector<double> x_nan = {0.1, 0.2, 0.3, nan, 0.5, 0.6};
    const std::vector<double> two = {1.0, 2.0};
    const std::vector<double> y_inf = {1.0, inf};
    const std::vector<double> x_wide(8, 0.5);
    struct Case {
        const char* name;
        std::optional<ValidationRows> rows;
        std::string message;
    };
    const Case cases[] = {
        {"other columns", ValidationRows{MatrixView::contiguous(x_wide.data(), 2, 4), VectorView::contiguous(two.data(), 2)},
         "x_valid has 4 columns but x has 3"},
        {"NaN", ValidationRows{MatrixView::contiguous(x_nan.data(), 2, 3), VectorView::contiguous(two.data(), 2)},
         "x_valid has NaN at row 1, column 0"},
        {"one row", ValidationRows{MatrixView::contiguous(x_nan.data(), 1, 3), VectorView::contiguous(two.data(), 1)},
         "the validation rows must be at least 2, got 1"},
        {"rows and targets differ", ValidationRows{MatrixView::contiguous(x_wide.data(), 2, 3), VectorView::contiguous(two.data(), 1)},
         "x_valid has 2 rows but y_valid has 1 entries"},
        {"infinite target", ValidationRows{MatrixView::contiguous(x_wide.data(), 2, 3), VectorView::contiguous(y_inf.data(), 2)},
         "y_valid has inf at index 1"},
        {"stopping without rows", std::nullopt, "early stopping (n_iter_no_change) needs validation rows"},
    };
    ZUNBoostedParams params = boosted_params(2, 2, 3, 1.0);
    params.early_stopping = EarlyStopping{2, 0.0};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        try {
            fit_boosted(c.train.x_view(), c.train.y_view(), params, std::nullopt, k.rows);
            ADD_FAILURE() << "no error";
        } catch (const FitError& error) {
            EXPECT_NE(std::string(error.what()).find(k.message), std::string::npos) << error.what();
        }
    }
}

TEST(FitBoosted, IllConditionedScalingsAreReportedAndAlphaOneAvoidsThem) {
    // With alpha 0 on a target of both signs, each stage's f+ and -f- columns
    // come out nearly proportional.
    const Problem p = make_problem(7);
    struct Case {
        double alpha;
        bool warned;
    };
    for (const Case c : {Case{0.0, true}, Case{1.0, false}}) {
        SCOPED_TRACE(c.alpha);
        ZUNBoostedParams params = boosted_params(4, 3, 6, c.alpha);
        params.log_level = "warn";
        const std::string log = captured_output([&] { fit(p, params); });
        const std::size_t at = log.find(condition_warning);
        EXPECT_EQ(at != std::string::npos, c.warned) << log;
        if (at != std::string::npos) {
            const std::string line = log.substr(at, log.find('\n', at) - at);
            EXPECT_NE(line.find("condition number"), std::string::npos) << line;
            EXPECT_NE(line.find("alpha >= 1"), std::string::npos) << line;
        }
    }
}

TEST(FitBoosted, LogLevelStaysInForceAfterTheFit) {
    const Problem p = make_problem(8, 20);
    struct Case {
        const char* text;
        logging::Level level;
    };
    for (const Case& c : {Case{"DEBUG", logging::Level::Debug}, Case{"verbose", logging::Level::Info},
                          Case{"Off", logging::Level::Off}}) {
        SCOPED_TRACE(c.text);
        ZUNBoostedParams params = boosted_params(0, 1, 1, 0.0);
        params.log_level = c.text;
        captured_output([&] {
            fit(p, params);
            EXPECT_EQ(logging::max_level(), c.level);
        });
    }
}

// Each fit's lines, gathered by its own context rather than printed.
struct QueuedFit {
    BoostedFitResult result;
    std::vector<std::string> lines;
};

QueuedFit queued_fit(const Problem& p, const ZUNBoostedParams& params) {
    FitControl control(FitControl::Console::Queued);
    QueuedFit fitted{fit_boosted(p.x_view(), p.y_view(), params, control), {}};
    fitted.lines = control.take_lines();
    return fitted;
}

TEST(FitBoosted, ConcurrentFitsKeepTheirOwnLevelAndLines) {
    const Problem p = make_problem(10, 120);
    ZUNBoostedParams debug = boosted_params(2, 3, 5, 1.0, 3);
    debug.log_level = "debug";
    ZUNBoostedParams quiet = boosted_params(3, 2, 4, 1.0, 4);
    quiet.log_level = "warn";
    const QueuedFit debug_alone = queued_fit(p, debug);
    const QueuedFit quiet_alone = queued_fit(p, quiet);
    ASSERT_FALSE(debug_alone.lines.empty());

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        QueuedFit quiet_beside;
        std::thread other([&] { quiet_beside = queued_fit(p, quiet); });
        const QueuedFit debug_beside = queued_fit(p, debug);
        other.join();
        EXPECT_EQ(debug_beside.lines, debug_alone.lines);
        EXPECT_EQ(quiet_beside.lines, quiet_alone.lines);
        EXPECT_EQ(debug_beside.result.stages, debug_alone.result.stages);
        EXPECT_EQ(quiet_beside.result.stages, quiet_alone.result.stages);
    }
}

// A fit whose caller, on another thread, takes every epoch end, notes the
// progress and interrupts the fit at epoch `at`.
struct ReportedFit {
    std::optional<BoostedFitResult> result;  // absent when the fit was cancelled
    std::vector<FitProgress> at_epoch_ends;
};

ReportedFit fit_reporting(const Problem& p, const ZUNBoostedParams& params, std::uint64_t at, Interruption why) {
    FitControl control;
    control.report_epochs();
    ReportedFit reported;
    std::thread caller([&] {
        while (!control.finished()) {
            control.wait(std::chrono::milliseconds(1000));
            if (const std::optional<EpochEnd> end = control.pending_epoch_end()) {
                reported.at_epoch_ends.push_back(control.progress());
                if (end->epoch == at) {
                    control.interrupt(why);
                }
                control.acknowledge_epoch_end();
            }
        }
    });
    try {
        reported.result = fit_boosted(p.x_view(), p.y_view(), params, control);
    } catch (const FitInterrupted&) {
    }
    control.finish();
    caller.join();
    return reported;
}

TEST(FitBoosted, AStopAtAnEpochEndGivesTheFitOfThatManyEpochs) {
    const Problem p = make_problem(11, 90);
    ZUNBoostedParams params = boosted_params(4, 3, 5, 1.0, 5);
    params.decay = 0.5;
    const ReportedFit stopped = fit_reporting(p, params, 1, Interruption::Stop);
    ASSERT_TRUE(stopped.result.has_value());
    EXPECT_TRUE(stopped.result->stopped_early);
    params.epochs = 2;
    const BoostedFitResult two = fit(p, params);
    EXPECT_FALSE(two.stopped_early);
    EXPECT_EQ(stopped.result->stages, two.stages);
    EXPECT_EQ(stopped.result->epoch_errors, two.epoch_errors);
    EXPECT_EQ(stopped.result->y_hat, two.y_hat);
    EXPECT_EQ(stopped.result->residuals, two.residuals);
    EXPECT_EQ(stopped.result->error, two.error);
    ASSERT_EQ(stopped.at_epoch_ends.size(), 2u);
    for (std::uint64_t e = 0; e < 2; ++e) {
        const FitProgress& progress = stopped.at_epoch_ends[e];
        EXPECT_EQ(progress.epoch, e);
        EXPECT_EQ(progress.trees_done, 3u);
        EXPECT_EQ(progress.trees_per_epoch, 3u);
        EXPECT_EQ(progress.epochs, 4u);
    }
}

TEST(FitBoosted, ACancelThrowsAndAFitRunToTheEndReportsEveryEpoch) {
    const Problem p = make_problem(12, 70);
    const ZUNBoostedParams params = boosted_params(3, 2, 4, 1.0, 6);
    EXPECT_FALSE(fit_reporting(p, params, 1, Interruption::Cancel).result.has_value());

    // A stop after the last epoch leaves nothing undone.
    const ReportedFit whole = fit_reporting(p, params, 2, Interruption::Stop);
    ASSERT_TRUE(whole.result.has_value());
    EXPECT_FALSE(whole.result->stopped_early);
    EXPECT_EQ(whole.at_epoch_ends.size(), 3u);
    const BoostedFitResult plain = fit(p, params);
    EXPECT_EQ(whole.result->stages, plain.stages);
    ASSERT_EQ(plain.epoch_errors.size(), 3u);
    EXPECT_EQ(plain.epoch_errors.back(), plain.error);
    EXPECT_LT(plain.epoch_errors.back(), plain.epoch_errors.front());
}

TEST(FitBoosted, FitWithoutRowsOrWithMismatchedTargetsIsAnError) {
    const Problem p = make_problem(9, 10);
    const std::vector<double> none;
    EXPECT_THROW(fit_boosted(MatrixView(none.data(), 0, 4, 4 * sizeof(double), sizeof(double)),
                             VectorView(none.data(), 0, sizeof(double)), boosted_params(2, 2, 3, 0.0)),
                 FitError);
    EXPECT_THROW(fit_boosted(p.x_view(), VectorView::contiguous(p.y.data(), p.rows - 1), boosted_params(2, 2, 3, 0.0)),
                 FitError);
}

TEST(FitBoosted, CountsNoAllocationCanHoldFailBeforeTheFit) {
    // Unchecked, rows x 2 x epochs wraps around to a small buffer that the
    // epochs then write past, and n_trees overflows the seed vector's size.
    const Problem p = make_problem(3, 40, 3);
    struct Case {
        const char* name;
        std::uint64_t epochs;
        std::uint64_t n_trees;
    };
    const std::vector<Case> cases = {
        {"epochs 2^63", std::uint64_t{1} << 63, 2},
        {"epochs 2^61 + 1", (std::uint64_t{1} << 61) + 1, 2},
        {"epochs 2^64 - 1", most, 2},
        {"n_trees 2^64 - 1", 1, most},
        {"n_trees 2^61", 1, std::uint64_t{1} << 61},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(fit(p, boosted_params(c.epochs, c.n_trees, 3, 1.0)), SizeError);
    }
}

}  // namespace
}  // namespace zun
