#include "analysis/ice_curves.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "analysis/stages_fixture.hpp"

namespace zun::analysis {
namespace {

TEST(IceCurves, AreTheStageColumnsWithTheFeatureReplaced) {
    const std::vector<StagePredictor> stages = analysis_stages();
    const Rows observations = analysis_rows();
    const std::vector<double> range = {-1.0, 0.0, 0.3, 0.5, std::numeric_limits<double>::quiet_NaN(), 9.0};
    const std::size_t width = 2 * stages.size();
    for (std::size_t feature = 0; feature < observations.cols; ++feature) {
        SCOPED_TRACE(testing::Message() << "feature " << feature);
        ASSERT_EQ(ice_curves_problem(stages, feature, observations.cols, observations.cols, range.size()),
                  std::nullopt);
        std::vector<double> curves(observations.rows() * range.size() * width, -1.0);
        ice_curves(stages, observations.view(), feature, VectorView::contiguous(range.data(), range.size()), curves);
        for (std::size_t k = 0; k < range.size(); ++k) {
            const Rows moved = observations.with(feature, range[k]);
            for (std::size_t l = 0; l < stages.size(); ++l) {
                const StageColumns columns = stage_columns(stages[l], moved.view());
                for (std::size_t i = 0; i < observations.rows(); ++i) {
                    SCOPED_TRACE(testing::Message() << "row " << i << ", value " << k << ", stage " << l);
                    const std::size_t at = (i * range.size() + k) * width + 2 * l;
                    expect_close(curves[at], columns.plus[i]);
                    expect_close(curves[at + 1], columns.minus[i]);
                }
            }
        }
    }
}

TEST(IcePredictions, AreTheCurvesSummedOverStagesForAnyThreadCount) {
    const std::vector<StagePredictor> stages = analysis_stages();
    // More rows than a block of work, so several threads share them.
    Rows observations;
    for (int copy = 0; copy < 80; ++copy) {
        for (const double value : analysis_rows().values) {
            observations.values.push_back(value + 0.01 * copy);
        }
    }
    const std::vector<double> range = {-1.0, 0.0, 0.3, std::numeric_limits<double>::quiet_NaN(), 9.0};
    const VectorView range_view = VectorView::contiguous(range.data(), range.size());
    const std::size_t width = 2 * stages.size();
    const int saved = omp_get_max_threads();
    for (std::size_t feature = 0; feature < observations.cols; ++feature) {
        SCOPED_TRACE(testing::Message() << "feature " << feature);
        std::vector<double> curves(observations.rows() * range.size() * width);
        ice_curves(stages, observations.view(), feature, range_view, curves);
        std::vector<std::vector<double>> by_threads;
        for (const int threads : {1, 3}) {
            omp_set_num_threads(threads);
            by_threads.emplace_back(observations.rows() * range.size(), -1.0);
            ice_predictions(stages, observations.view(), feature, range_view, by_threads.back());
        }
        omp_set_num_threads(saved);
        EXPECT_EQ(by_threads[0], by_threads[1]);
        for (std::size_t at = 0; at < by_threads[0].size(); ++at) {
            double sum = 0.0;
            for (std::size_t c = 0; c < width; ++c) {
                sum += curves[at * width + c];
            }
            expect_close(by_threads[0][at], sum);
        }
    }
}

TEST(IceCurves, NoStagesWriteNothing) {
    const Rows observations = analysis_rows();
    const std::vector<double> range = {0.0};
    std::vector<double> curves;
    ice_curves({}, observations.view(), 0, VectorView::contiguous(range.data(), 1), curves);
    EXPECT_TRUE(curves.empty());
}

TEST(IceCurvesProblem, ReportsTheFirstFailingCheck) {
    std::vector<StagePredictor> narrow = analysis_stages();
    narrow[1].primary_grid_tensor = grid_tensor({{{0.0}, {1.0, 2.0}, {0.0, 0.1}}, {{}, {1.0}, {0.0}}});
    std::vector<StagePredictor> broken = analysis_stages();
    broken[0].primary_grid_tensor.tilt_values[1].pop_back();
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::uint64_t feature;
        std::size_t observation_columns;
        std::size_t data_columns;
        std::size_t range_size;
        std::optional<std::string> problem;
    };
    const std::vector<Case> cases = {
        {"valid", analysis_stages(), 2, 3, 3, 1, std::nullopt},
        {"no stages, any width", {}, 0, 5, 5, 1, std::nullopt},
        {"feature index first", analysis_stages(), 3, 3, 2, 0, "feature_index 3 out of bounds (n_features=3)"},
        {"index far out of range", analysis_stages(), std::numeric_limits<std::uint64_t>::max(), 3, 3, 1,
         "feature_index 18446744073709551615 out of bounds (n_features=3)"},
        {"column counts before the range", analysis_stages(), 0, 3, 2, 0,
         "observations and data_x must have the same number of columns, got 3 and 2"},
        {"empty range", analysis_stages(), 0, 3, 3, 0, "x_range must contain at least one value"},
        {"grid width", narrow, 0, 3, 3, 4, "Feature count mismatch: observations has 3 columns but grid has 2"},
        {"tilts missing", broken, 0, 3, 3, 4,
         "stage 0: the combined grid tensor cannot be evaluated on its 3 features: feature 1 has 3 backbone values "
         "but only 2 tilt values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ice_curves_problem(c.stages, c.feature, c.observation_columns, c.data_columns, c.range_size),
                  c.problem);
    }
}

}  // namespace
}  // namespace zun::analysis
