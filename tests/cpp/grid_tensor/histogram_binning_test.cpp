#include "grid_tensor/histogram_binning.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <vector>

#include "grid_tensor/fit_fixture.hpp"
#include "grid_tensor/refinement.hpp"

namespace zun {
namespace {

using testing::columns_problem;
using testing::initialized_state;
using testing::Problem;

std::vector<double> iota_values(std::size_t n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = static_cast<double>(i) * 0.5;
    }
    return values;
}

std::vector<double> targets(std::size_t n) {
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) {
        y[i] = std::sin(static_cast<double>(i)) * 3.0;  // both signs
    }
    return y;
}

TEST(QuantileBoundariesTest, WorkedExamples) {
    struct Case {
        const char* name;
        std::vector<double> values;
        std::size_t max_bins;
        std::vector<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {"ten distinct values, four bins", iota_values(10), 4, {2, 5, 7}},
        {"quantiles on ties are dropped, not moved", {1, 1, 1, 2, 3}, 5, {3, 4}},
        {"fewer values than bins: every change", {1, 1, 2, 2, 2, 3}, 50, {2, 5}},
        {"all equal", {4, 4, 4, 4}, 3, {}},
        {"three values, more bins than values", iota_values(3), 7, {1, 2}},
        {"NaN on one side counts as a change", {1, std::nan(""), 2, 3}, 2, {2}},
        {"NaN next to NaN too", {1, std::nan(""), std::nan(""), 3}, 2, {2}},
    };
    for (const Case& c : cases) {
        const auto value = [&c](std::size_t q) { return c.values[q]; };
        EXPECT_EQ(quantile_boundaries(c.values.size(), c.max_bins, value), c.expected) << c.name;
    }
}

TEST(ApplyBinningTest, AbsentZeroOrOneBinLeavesTheStateUnchanged) {
    const Problem problem = columns_problem({iota_values(10)}, targets(10));
    const RefinementStrategy strategy{};
    const GridTensorState before = initialized_state(problem, strategy);
    for (const std::optional<std::uint16_t> max_bins :
         {std::optional<std::uint16_t>{}, std::optional<std::uint16_t>{0}, std::optional<std::uint16_t>{1}}) {
        GridTensorState state = initialized_state(problem, strategy);
        apply_binning(state, max_bins);
        EXPECT_FALSE(state.is_binned(0));
        EXPECT_EQ(state.checkpoints, before.checkpoints);
        for (std::size_t q = 0; q < 10; ++q) {
            EXPECT_EQ(state.cut_excluded(0, q), before.cut_excluded(0, q)) << q;
        }
    }
}

TEST(ApplyBinningTest, TenDistinctValuesInFourBins) {
    // Column 1 is constant: it gets no boundary.
    const Problem problem = columns_problem({iota_values(10), std::vector<double>(10, 2.0)}, targets(10));
    const RefinementStrategy strategy{};
    GridTensorState state = initialized_state(problem, strategy);
    const GridTensorState before = state;
    apply_binning(state, 4);

    EXPECT_EQ(state.bin_boundaries[0], (std::vector<std::size_t>{2, 5, 7}));
    EXPECT_FALSE(state.is_binned(1));
    const bool single_mode = single_component_mode(state);
    for (std::size_t q = 0; q < 10; ++q) {
        const bool boundary = q == 2 || q == 5 || q == 7;
        const SplitCandidate binned = split_candidate(strategy, state, 0, q, single_mode);
        EXPECT_EQ(state.cut_excluded(0, q), !boundary) << q;
        if (boundary) {
            // A boundary keeps the candidate it had: the statistics are the same.
            EXPECT_EQ(binned, split_candidate(strategy, before, 0, q, single_mode)) << q;
            EXPECT_FALSE(std::isnan(binned.gain)) << q;
        } else {
            EXPECT_TRUE(std::isnan(binned.gain) && std::isnan(binned.left.x) && std::isnan(binned.right.y)) << q;
        }
        EXPECT_TRUE(state.cut_excluded(1, q)) << q;
    }
}

TEST(ApplyBinningTest, SingleSampleIsLeftAlone) {
    const Problem problem = columns_problem({{3.0}}, {1.0});
    GridTensorState state = initialized_state(problem, RefinementStrategy{});
    apply_binning(state, 8);
    EXPECT_FALSE(state.is_binned(0));
}

}  // namespace
}  // namespace zun
