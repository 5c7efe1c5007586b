#include "forest/prediction.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/stages_fixture.hpp"

namespace zun {
namespace {

TEST(PredictBoosted, SumsTheStagePredictionsInOrder) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows data = analysis_rows();
    ASSERT_EQ(boosted_prediction_problem(stages, data.cols), std::nullopt);
    const std::vector<double> sum = predict_boosted(stages, data.view());
    const std::vector<double> first = predict(stages[0], data.view());
    const std::vector<double> second = predict(stages[1], data.view());
    ASSERT_EQ(sum.size(), data.rows());
    for (std::size_t i = 0; i < sum.size(); ++i) {
        EXPECT_EQ(sum[i], (0.0 + first[i]) + second[i]);
    }
}

TEST(PredictBoosted, NoStagesPredictZeros) {
    const Rows data = analysis_rows();
    EXPECT_EQ(predict_boosted({}, data.view()), std::vector<double>(data.rows(), 0.0));
}

TEST(BoostedPredictionProblem, NeedsExactlyTheFeatureCountOfEveryStage) {
    std::vector<StagePredictor> stages = analysis_stages();
    EXPECT_EQ(boosted_prediction_problem(stages, 3), std::nullopt);
    EXPECT_EQ(boosted_prediction_problem(stages, 4), "x has 4 columns but the model has 3 features");
    EXPECT_EQ(boosted_prediction_problem(stages, 2), "x has 2 columns but the model has 3 features");
    EXPECT_EQ(boosted_prediction_problem({}, 7), std::nullopt);
    stages[1].primary_grid_tensor = grid_tensor({{{0.0}, {1.0, 2.0}, {0.0, 0.1}}});
    EXPECT_EQ(boosted_prediction_problem(stages, 3), "x has 3 columns but stage 1 of the model has 1 features");
}

TEST(BoostedPredictionProblem, NamesTheStageThatCannotEvaluate) {
    std::vector<StagePredictor> stages = analysis_stages();
    stages[1].primary_grid_tensor.backbone_values[2].clear();
    EXPECT_EQ(boosted_prediction_problem(stages, 3), "stage 1: feature 2 has no backbone values");
}

}  // namespace
}  // namespace zun
