#include "forest/parameter_ranges.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace zun {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

using Change = std::function<void(ZUNBoostedParams&)>;

RefinementStrategyParams& refinement(ZUNBoostedParams& params) {
    return params.sp_params.tg_params.refinement_strategy_params;
}

Change alpha(double value) {
    return [=](ZUNBoostedParams& p) { refinement(p).alpha = value; };
}
Change tilt_tau(double value) {
    return [=](ZUNBoostedParams& p) { refinement(p).tilt_tau = value; };
}
Change tilt_rho(double value) {
    return [=](ZUNBoostedParams& p) { refinement(p).tilt_rho = value; };
}
Change split(SplitStrategyParams value) {
    return [=](ZUNBoostedParams& p) { p.sp_params.tg_params.split_strategy_params = value; };
}
Change similarity(double value) {
    return [=](ZUNBoostedParams& p) { p.sp_params.similarity_threshold = value; };
}

TEST(BoostedParamsProblem, NamesTheParameterItsValueAndTheRange) {
    struct Case {
        const char* name;
        Change change;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {"no trees", [](ZUNBoostedParams& p) { p.sp_params.n_trees = 0; }, "n_trees must be at least 1, got 0"},
        {"alpha NaN", alpha(nan), "alpha must be a finite number >= 0, got NaN"},
        {"alpha inf", alpha(inf), "alpha must be a finite number >= 0, got inf"},
        {"alpha -inf", alpha(-inf), "alpha must be a finite number >= 0, got -inf"},
        {"alpha negative", alpha(-0.25), "alpha must be a finite number >= 0, got -0.25"},
        {"scaling_ridge negative", [](ZUNBoostedParams& p) { p.scaling_ridge = -1.0; },
         "scaling_ridge must be a finite number >= 0, got -1.0"},
        {"scaling_ridge inf", [](ZUNBoostedParams& p) { p.scaling_ridge = inf; },
         "scaling_ridge must be a finite number >= 0, got inf"},
        {"tilt_tau NaN", tilt_tau(nan), "tilt_tau must be a finite number >= 0, got NaN"},
        {"tilt_tau inf", tilt_tau(inf), "tilt_tau must be a finite number >= 0, got inf"},
        {"tilt_tau negative", tilt_tau(-1.0), "tilt_tau must be a finite number >= 0, got -1.0"},
        {"tilt_rho NaN", tilt_rho(nan), "tilt_rho must be a finite number >= 0, got NaN"},
        {"tilt_rho -inf", tilt_rho(-inf), "tilt_rho must be a finite number >= 0, got -inf"},
        {"tilt_rho negative", tilt_rho(-2.0), "tilt_rho must be a finite number >= 0, got -2.0"},
        {"min_split_loss NaN, random", split(RandomSplit{10, 1.0, 1, nan, 0.0}),
         "min_split_loss must be a number (any value but NaN), got NaN"},
        {"min_split_loss NaN, best", split(BestSplit{1, nan, 0.0}),
         "min_split_loss must be a number (any value but NaN), got NaN"},
        {"min_split_loss NaN, top k", split(TopKSplits{3, true, 1, nan, 0.0}),
         "min_split_loss must be a number (any value but NaN), got NaN"},
        {"similarity_threshold NaN", similarity(nan), "similarity_threshold must be a number below 1, got NaN"},
        {"similarity_threshold 1", similarity(1.0), "similarity_threshold must be a number below 1, got 1.0"},
        {"similarity_threshold inf", similarity(inf), "similarity_threshold must be a number below 1, got inf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZUNBoostedParams params;
        c.change(params);
        EXPECT_EQ(boosted_params_problem(params), c.problem);
    }
}

TEST(BoostedParamsProblem, ValuesWithAMeaningStayAccepted) {
    struct Case {
        const char* name;
        Change change;
    };
    const std::vector<Case> cases = {
        {"defaults", [](ZUNBoostedParams&) {}},
        {"zero ridge and penalties", [](ZUNBoostedParams& p) { refinement(p) = {RefinementKind::L2, 0.0, 0.0, 0.0, 0.0, inf}; }},
        {"carried-only values", [](ZUNBoostedParams& p) {
             refinement(p).prior_sample_size = nan;
             refinement(p).update_clamp = -inf;
         }},
        {"colsample_bytree NaN, negative min_split_loss and complexity NaN",
         split(RandomSplit{10, nan, 1, -1.0, nan})},
        {"colsample_bytree 0 and min_split_loss -inf", split(RandomSplit{10, 0.0, 1, -inf, 0.0})},
        {"min_split_loss inf", split(BestSplit{1, inf, 0.0})},
        {"decay NaN", [](ZUNBoostedParams& p) { p.decay = nan; }},
        {"decay negative", [](ZUNBoostedParams& p) { p.decay = -3.0; }},
        {"similarity_threshold negative", similarity(-inf)},
        {"similarity_threshold just below 1", similarity(0.9999)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZUNBoostedParams params;
        c.change(params);
        EXPECT_EQ(boosted_params_problem(params), std::nullopt);
    }
}

}  // namespace
}  // namespace zun
