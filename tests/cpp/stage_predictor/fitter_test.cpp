#include "stage_predictor/fitter.hpp"
#include "wavy_problem.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor.hpp"
#include "grid_tensor/fit.hpp"
#include "logging/context.hpp"
#include "logging/manager.hpp"
#include "logging/recording_writer.hpp"
#include "logging/simple.hpp"
#include "matrix_view.hpp"
#include "random.hpp"
#include "stage_predictor.hpp"
#include "stage_predictor/aggregate_bagged.hpp"

namespace zun {
namespace {

using Problem = WavyProblem;

Problem make_problem(std::uint64_t seed, std::size_t rows) { return make_wavy_problem(seed, rows, 3); }

StagePredictorParams stage_params(std::uint64_t n_trees, double similarity_threshold = 0.0) {
    StagePredictorParams params;
    params.n_trees = n_trees;
    params.similarity_threshold = similarity_threshold;
    params.tg_params.n_iter = 5;
    return params;
}

StageFitResult fit(const Problem& p, const StagePredictorParams& params, std::uint64_t seed = 7) {
    Rng rng(seed);
    return fit_stage(p.x_view(), p.y_view(), params, rng, TreeRows(p.x_view(), std::nullopt));
}

std::string fit_error(const Problem& p, const StagePredictorParams& params) {
    try {
        fit(p, params);
    } catch (const FitError& error) {
        return error.what();
    }
    return "";
}

// Restores the worker count however the test ends.
struct ThreadCount {
    int saved = omp_get_max_threads();
    ~ThreadCount() { omp_set_num_threads(saved); }
};

std::string captured_info(const std::function<void()>& action) {
    logging::install_simple_logger();
    logging::set_max_level(logging::Level::Info);
    ::testing::internal::CaptureStdout();
    action();
    const std::string output = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    return output;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(FitStage, SingleTreeIsTheStageWithItsCoefficientsEnteringTwice) {
    const Problem p = make_problem(1, 60);
    const StageFitResult result = fit(p, stage_params(1));
    const StagePredictor& stage = result.stage;

    ASSERT_EQ(stage.grid_tensors.size(), 1u);
    const GridTensor& tree = stage.grid_tensors[0];
    EXPECT_EQ(stage.primary_grid_tensor, tree);
    EXPECT_EQ(stage.candidate_indices, std::optional(std::vector<std::uint64_t>{0}));
    EXPECT_EQ(stage.scaling_plus, tree.lambda_plus);
    EXPECT_EQ(stage.scaling_minus, tree.lambda_minus);
    EXPECT_FALSE(stage.energy.has_value());

    // lambda+^2 * prod b e^t - lambda-^2 * prod b e^-t, evaluated here from the record.
    ASSERT_EQ(result.prediction.size(), p.rows);
    for (std::size_t i = 0; i < p.rows; ++i) {
        double plus = 1.0;
        double minus = 1.0;
        for (std::size_t j = 0; j < p.cols; ++j) {
            const std::size_t k = interval_of(tree.splits[j], p.x[i * p.cols + j]);
            plus *= tree.backbone_values[j][k] * std::exp(tree.tilt_values[j][k]);
            minus *= tree.backbone_values[j][k] * std::exp(-tree.tilt_values[j][k]);
        }
        const double expected =
            tree.lambda_plus * tree.lambda_plus * plus - tree.lambda_minus * tree.lambda_minus * minus;
        EXPECT_NEAR(result.prediction[i], expected, 1e-12 * (1.0 + std::abs(expected))) << "row " << i;
    }
}

// The boosting loop takes the stage's components from the fit instead of
// evaluating the stage again: they must be the stage's own, bit for bit.
TEST(FitStage, ComponentsAndPredictionAreThoseOfTheFinishedStage) {
    const Problem p = make_problem(11, 70);
    const StageFitResult result = fit(p, stage_params(3));
    const Components expected = compute_f_plus_minus(result.stage.primary_grid_tensor, p.x_view());
    EXPECT_EQ(result.components.f_plus, expected.f_plus);
    EXPECT_EQ(result.components.f_minus, expected.f_minus);
    EXPECT_EQ(result.prediction, predict(result.stage, p.x_view()));
}

TEST(FitStage, StageRecordsEveryTreeAsACandidateInTreeOrder) {
    const Problem p = make_problem(2, 60);
    const StageFitResult result = fit(p, stage_params(4));
    EXPECT_EQ(result.stage.grid_tensors.size(), 4u);
    EXPECT_EQ(result.stage.candidate_indices, std::optional(std::vector<std::uint64_t>{0, 1, 2, 3}));
    EXPECT_EQ(result.stage.scaling_plus, result.stage.primary_grid_tensor.lambda_plus);
    EXPECT_EQ(result.stage.scaling_minus, result.stage.primary_grid_tensor.lambda_minus);
}

TEST(FitStage, EachTreeIsAStandaloneFitSeededByOneDrawOfTheStageGenerator) {
    const Problem p = make_problem(3, 80);
    const StagePredictorParams params = stage_params(3);
    Rng rng(99);
    Rng by_hand = rng;

    const StageFitResult result = fit_stage(p.x_view(), p.y_view(), params, rng, TreeRows(p.x_view(), std::nullopt));

    ASSERT_EQ(result.stage.grid_tensors.size(), 3u);
    for (std::size_t t = 0; t < 3; ++t) {
        SCOPED_TRACE(t);
        Rng tree_rng(by_hand.next_u64());
        // Without the shared sort: a tree must not depend on it.
        const FitOutput alone = fit_grid_tensor(p.x_view(), p.y_view(), params.tg_params, tree_rng);
        EXPECT_EQ(result.stage.grid_tensors[t], alone.grid_tensor);
    }
    // Exactly n_trees draws: the next epoch continues where this one stopped.
    EXPECT_EQ(rng.next_u64(), by_hand.next_u64());
    // Different generators give different trees, else the draws were not used.
    EXPECT_NE(result.stage.grid_tensors[0], result.stage.grid_tensors[1]);
}

TEST(FitStage, CombinedTreeIsTheBaggedAggregationAtOneMinusTheThreshold) {
    const Problem p = make_problem(4, 90);
    struct Case {
        double similarity_threshold;
        double trim_percentage;
        std::string fitter_line;
        std::string selection_text;
    };
    const std::vector<Case> cases = {
        {0.0, 1.0,
         "[zun::stage_predictor::fitter] [INFO] Using bagged two-tensor aggregation with similarity_threshold=0, "
         "trim_percentage=1\n",
         "combining all 5 grids"},
        {0.3, 0.7,
         "[zun::stage_predictor::fitter] [INFO] Using bagged two-tensor aggregation with similarity_threshold=0.3, "
         "trim_percentage=0.7\n",
         "Selected 4 out of 5 grids (trim_percentage=0.70, keep_count=4)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.similarity_threshold);
        StageFitResult result;
        const std::string log = captured_info([&] { result = fit(p, stage_params(5, c.similarity_threshold)); });
        EXPECT_EQ(result.stage.primary_grid_tensor,
                  aggregate_bagged(result.stage.grid_tensors, p.x_view(), c.trim_percentage));
        EXPECT_TRUE(contains(log, c.fitter_line)) << log;
        EXPECT_TRUE(contains(log, c.selection_text)) << log;
        EXPECT_TRUE(contains(log, "[zun::stage_predictor::fitter] [INFO] Combined tree grid error: ")) << log;
    }
}

TEST(FitStage, ResultIsTheSameForAnyNumberOfWorkerThreads) {
    // 101 rows and 5 trees divide evenly among none of the thread counts; a
    // threshold below 1 also runs the pairwise distances in parallel.
    const Problem p = make_problem(5, 101);
    const StagePredictorParams params = stage_params(5, 0.5);
    const ThreadCount restore;
    std::optional<StageFitResult> first;
    for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        omp_set_num_threads(threads);
        StageFitResult result = fit(p, params);
        if (!first) {
            first = std::move(result);
            continue;
        }
        EXPECT_EQ(result.stage, first->stage);
        EXPECT_EQ(result.prediction, first->prediction);
        EXPECT_EQ(result.residuals, first->residuals);
        EXPECT_EQ(result.error, first->error);
    }
}

TEST(FitStage, AggregationMethodIsStoredButDoesNotChangeTheCombination) {
    const Problem p = make_problem(6, 70);
    std::optional<StagePredictor> reference;
    for (const Aggregation method : {Aggregation::Mean, Aggregation::GeometricMean, Aggregation::Combined}) {
        SCOPED_TRACE(name_of(method));
        StagePredictorParams params = stage_params(3, 0.4);
        params.aggregation_method = method;
        const StagePredictor stage = fit(p, params).stage;
        EXPECT_EQ(stage.aggregation_method, method);
        if (!reference) {
            reference = stage;
            continue;
        }
        EXPECT_EQ(stage.primary_grid_tensor, reference->primary_grid_tensor);
        EXPECT_EQ(stage.grid_tensors, reference->grid_tensors);
    }
}

TEST(FitStage, ResidualsAreTheTargetMinusTheStagePrediction) {
    const Problem p = make_problem(7, 75);
    const StageFitResult result = fit(p, stage_params(3));
    EXPECT_EQ(result.prediction, predict(result.stage, p.x_view()));
    ASSERT_EQ(result.residuals.size(), p.rows);
    double squares = 0.0;
    for (std::size_t i = 0; i < p.rows; ++i) {
        EXPECT_EQ(result.residuals[i], p.y[i] - result.prediction[i]) << "row " << i;
        squares += result.residuals[i] * result.residuals[i];
    }
    EXPECT_NEAR(result.error, squares / static_cast<double>(p.rows), 1e-14 * result.error);
}

TEST(FitStage, StridedTargetGivesTheSameStage) {
    // The residual vector of a caller may be any view, not only a packed one.
    const Problem p = make_problem(8, 64);
    std::vector<double> every_other(2 * p.rows, -1e6);
    for (std::size_t i = 0; i < p.rows; ++i) {
        every_other[2 * i] = p.y[i];
    }
    const VectorView strided(every_other.data(), p.rows, 2 * sizeof(double));
    Rng rng(7);
    const StageFitResult result = fit_stage(p.x_view(), strided, stage_params(2), rng, TreeRows(p.x_view(), std::nullopt));
    const StageFitResult packed = fit(p, stage_params(2));
    EXPECT_EQ(result.stage, packed.stage);
    EXPECT_EQ(result.residuals, packed.residuals);
}

TEST(FitStage, ImpossibleStagesAreErrors) {
    const Problem p = make_problem(9, 40);
    struct Case {
        const char* name;
        StagePredictorParams params;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"no trees", stage_params(0), "Cannot aggregate empty grid list"},
        {"threshold 1 keeps no tree", stage_params(2, 1.0), "Cannot combine empty candidate grids"},
        {"threshold above 1", stage_params(3, 1.5), "Cannot combine empty candidate grids"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fit_error(p, c.params), c.message);
    }
    // A single tree needs no selection, so even threshold 1 fits.
    EXPECT_EQ(fit_error(p, stage_params(1, 1.0)), "");
}

TEST(FitStage, NoTrainingRowsIsAnError) {
    const std::vector<double> none;
    const MatrixView x(none.data(), 0, 3, 3 * sizeof(double), sizeof(double));
    const VectorView r(none.data(), 0, sizeof(double));
    Rng rng(1);
    EXPECT_THROW(fit_stage(x, r, stage_params(2), rng, TreeRows(x, std::nullopt)), FitError);
}

// OpenMP runs tree jobs on the calling thread too; the stage's own events
// read the caller's epoch after the jobs.
TEST(FitStage, CallersLoggingContextSurvivesTheTreeJobs) {
    const Problem p = make_problem(10, 40);
    const ThreadCount restore;
    for (const int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        omp_set_num_threads(threads);
        logging::with_epoch(4, [&] {
            fit(p, stage_params(3));
            EXPECT_EQ(logging::current_epoch(), std::optional<std::uint64_t>(4));
            EXPECT_EQ(logging::current_tree_id(), std::nullopt);
        });
    }
}

// A stage's trees finish in any order; what they log and record comes out
// in tree order, so the console and the run log are the same for every
// number of threads.
TEST(FitStage, TreeLinesAndRecordsComeOutInTreeOrderForAnyThreadCount) {
    const Problem p = make_problem(11, 200);
    const ThreadCount restore;
    FitControl control;
    const FitScope scope(&control);
    std::optional<std::string> first_log;
    std::optional<std::vector<logging::LogMessage>> first_records;
    for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        omp_set_num_threads(threads);
        auto [sender, receiver] = logging::make_channel();
        control.install_sender(sender);
        control.set_level(logging::Level::Debug);
        ::testing::internal::CaptureStdout();
        logging::with_epoch(0, [&] { fit(p, stage_params(6)); });
        const std::string log = ::testing::internal::GetCapturedStdout();
        control.clear_sender();
        logging::testing::RecordingWriter writer;
        logging::drain_messages(receiver, writer);

        std::vector<std::uint64_t> trees;
        for (const logging::LogMessage& message : writer.received) {
            std::visit(
                [&](const auto& item) {
                    if constexpr (requires { item.tree_id; }) {
                        trees.push_back(item.tree_id);
                    }
                },
                message);
        }
        ASSERT_FALSE(trees.empty());
        EXPECT_TRUE(std::is_sorted(trees.begin(), trees.end()));
        EXPECT_EQ(trees.back(), 5u);
        if (!first_log) {
            first_log = log;
            first_records = std::move(writer.received);
            continue;
        }
        EXPECT_EQ(log, *first_log);
        EXPECT_EQ(writer.received, *first_records);
    }
    EXPECT_TRUE(contains(*first_log, "[DEBUG] Fitted tree grid")) << *first_log;
}

}  // namespace
}  // namespace zun
