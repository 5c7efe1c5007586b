#include "analysis/contributions.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "analysis/stages_fixture.hpp"
#include "forest/prediction.hpp"
#include "grid_tensor_builder.hpp"

namespace zun::analysis {
namespace {

constexpr std::size_t kFeatures = 6;
// Feature 4 varies in the model but takes one value in every row below;
// feature 5 has a single interval in every stage.
constexpr std::size_t kConstantInData = 4;
constexpr std::size_t kConstantInModel = 5;

// Three stages of random factors on six features, 0 to 3 cuts per feature
// and stage, with every combination of present and absent scalings.
std::vector<StagePredictor> random_stages(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> backbone(0.3, 3.0);
    std::uniform_real_distribution<double> tilt(-0.8, 0.8);
    std::uniform_real_distribution<double> cut(-1.0, 1.0);
    const std::vector<std::pair<std::optional<double>, std::optional<double>>> scalings = {
        {1.3, 0.6}, {std::nullopt, std::nullopt}, {0.7, 1.9}};
    std::vector<StagePredictor> stages;
    for (const auto& [plus, minus] : scalings) {
        std::vector<FeatureValues> features;
        for (std::size_t j = 0; j < kFeatures; ++j) {
            const std::size_t cuts = j == kConstantInModel ? 0 : 1 + rng() % 3;
            FeatureValues feature;
            for (std::size_t c = 0; c < cuts; ++c) {
                feature.splits.push_back(cut(rng));
            }
            std::sort(feature.splits.begin(), feature.splits.end());
            for (std::size_t k = 0; k <= cuts; ++k) {
                feature.backbone.push_back(backbone(rng));
                feature.tilt.push_back(tilt(rng));
            }
            features.push_back(feature);
        }
        stages.push_back(analysis_stage(features, backbone(rng), backbone(rng), plus, minus));
    }
    return stages;
}

// Rows of six features: uniform values with a NaN, a cut point and an
// infinity among them, feature kConstantInData fixed.
std::vector<double> random_rows(std::mt19937_64& rng, std::size_t rows, const std::vector<StagePredictor>& stages) {
    std::uniform_real_distribution<double> value(-1.2, 1.2);
    std::vector<double> values(rows * kFeatures);
    for (double& v : values) {
        v = value(rng);
    }
    for (std::size_t i = 0; i < rows; ++i) {
        values[i * kFeatures + kConstantInData] = 0.25;
    }
    values[1] = std::numeric_limits<double>::quiet_NaN();
    values[kFeatures + 2] = stages[0].primary_grid_tensor.splits[2].front();
    values[3] = std::numeric_limits<double>::infinity();
    return values;
}

// Shapley values by their definition: the value of every coalition S is the
// mean over the background rows of the model's prediction on the row that
// takes x's values on S and the background row's elsewhere.
std::vector<double> brute_force_shapley(const std::vector<StagePredictor>& stages, const double* x,
                                        const std::vector<double>& background) {
    const std::size_t p = kFeatures;
    const std::size_t rows = background.size() / p;
    std::vector<double> coalition(std::size_t{1} << p);
    for (std::size_t mask = 0; mask < coalition.size(); ++mask) {
        std::vector<double> hybrid = background;
        for (std::size_t b = 0; b < rows; ++b) {
            for (std::size_t j = 0; j < p; ++j) {
                if ((mask >> j & 1U) != 0) {
                    hybrid[b * p + j] = x[j];
                }
            }
        }
        coalition[mask] = mean(predict_boosted(stages, MatrixView::contiguous(hybrid.data(), rows, p)));
    }
    std::vector<double> factorial(p + 1, 1.0);
    for (std::size_t k = 1; k <= p; ++k) {
        factorial[k] = factorial[k - 1] * static_cast<double>(k);
    }
    std::vector<double> shapley(p, 0.0);
    for (std::size_t j = 0; j < p; ++j) {
        for (std::size_t mask = 0; mask < coalition.size(); ++mask) {
            if ((mask >> j & 1U) != 0) {
                continue;
            }
            const auto s = static_cast<std::size_t>(std::popcount(mask));
            const double weight = factorial[s] * factorial[p - 1 - s] / factorial[p];
            shapley[j] += weight * (coalition[mask | (std::size_t{1} << j)] - coalition[mask]);
        }
    }
    return shapley;
}

struct Problem {
    std::vector<StagePredictor> stages;
    std::vector<double> x;
    std::vector<double> background;

    MatrixView x_view() const { return MatrixView::contiguous(x.data(), x.size() / kFeatures, kFeatures); }
    MatrixView background_view() const {
        return MatrixView::contiguous(background.data(), background.size() / kFeatures, kFeatures);
    }
};

Problem random_problem(std::uint64_t seed, std::size_t rows, std::size_t background_rows) {
    std::mt19937_64 rng(seed);
    Problem problem{random_stages(rng), {}, {}};
    problem.x = random_rows(rng, rows, problem.stages);
    problem.background = random_rows(rng, background_rows, problem.stages);
    // Two background rows alike on every feature, so they merge.
    std::copy_n(problem.background.begin(), kFeatures, problem.background.begin() + kFeatures);
    return problem;
}

std::vector<double> computed_contributions(const Problem& problem) {
    std::vector<double> values(problem.x.size(), -1.0);
    contributions(problem.stages, problem.x_view(), problem.background_view(), values);
    return values;
}

TEST(Contributions, AreTheShapleyValuesOfTheCoalitionGame) {
    for (const std::uint64_t seed : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        const Problem problem = random_problem(seed, 8, 9);
        ASSERT_EQ(contributions_problem(problem.stages, kFeatures, 9, kFeatures), std::nullopt);
        const std::vector<double> values = computed_contributions(problem);
        for (std::size_t i = 0; i < 8; ++i) {
            const std::vector<double> expected =
                brute_force_shapley(problem.stages, problem.x.data() + i * kFeatures, problem.background);
            for (std::size_t j = 0; j < kFeatures; ++j) {
                EXPECT_NEAR(values[i * kFeatures + j], expected[j], 1e-10) << "row " << i << ", feature " << j;
            }
            EXPECT_EQ(values[i * kFeatures + kConstantInData], 0.0);
            EXPECT_EQ(values[i * kFeatures + kConstantInModel], 0.0);
        }
    }
}

TEST(Contributions, AddUpToThePredictionFromTheBaseValue) {
    const Problem problem = random_problem(4, 50, 30);
    const std::vector<double> values = computed_contributions(problem);
    const std::vector<double> predictions = predict_boosted(problem.stages, problem.x_view());
    const double base = base_value(problem.stages, problem.background_view());
    EXPECT_DOUBLE_EQ(base, mean(predict_boosted(problem.stages, problem.background_view())));
    for (std::size_t i = 0; i < predictions.size(); ++i) {
        double sum = base;
        for (std::size_t j = 0; j < kFeatures; ++j) {
            sum += values[i * kFeatures + j];
        }
        EXPECT_NEAR(sum, predictions[i], 1e-12 * std::max(1.0, std::abs(predictions[i]))) << "row " << i;
    }
}

TEST(Contributions, DoNotDependOnTheThreadCount) {
    // More rows than one block of work, so several threads share them.
    const Problem problem = random_problem(5, 70, 20);
    const int saved = omp_get_max_threads();
    omp_set_num_threads(1);
    const std::vector<double> one = computed_contributions(problem);
    omp_set_num_threads(3);
    const std::vector<double> three = computed_contributions(problem);
    omp_set_num_threads(saved);
    EXPECT_EQ(one, three);
}

TEST(Contributions, OfAModelWithoutStagesAreZero) {
    const Problem problem = random_problem(6, 3, 2);
    std::vector<double> values(problem.x.size(), -1.0);
    contributions({}, problem.x_view(), problem.background_view(), values);
    EXPECT_EQ(values, std::vector<double>(values.size(), 0.0));
    EXPECT_EQ(base_value({}, problem.background_view()), 0.0);
}

TEST(ContributionsProblem, ReportsTheFirstFailingCheck) {
    std::vector<StagePredictor> broken = analysis_stages();
    broken[1].primary_grid_tensor.tilt_values[2].pop_back();
    struct Case {
        const char* name;
        std::vector<StagePredictor> stages;
        std::size_t x_columns;
        std::size_t background_rows;
        std::size_t background_columns;
        std::optional<std::string> problem;
    };
    const std::vector<Case> cases = {
        {"valid", analysis_stages(), 3, 1, 3, std::nullopt},
        {"no stages, any width", {}, 7, 1, 7, std::nullopt},
        {"column counts first", analysis_stages(), 3, 0, 2,
         "x and background must have the same number of columns, got 3 and 2"},
        {"no background rows", analysis_stages(), 3, 0, 3, "background must contain at least one row"},
        {"model width", analysis_stages(), 2, 4, 2, "x has 2 columns but the model has 3 features"},
        {"tilts missing", broken, 3, 4, 3,
         "stage 1: feature 2 has 4 backbone values but only 3 tilt values"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(contributions_problem(c.stages, c.x_columns, c.background_rows, c.background_columns), c.problem);
    }
}

}  // namespace
}  // namespace zun::analysis
