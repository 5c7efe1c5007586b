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
    for (const std::optional<std::uint16_t> max_bins :
         {std::optional<std::uint16_t>{}, std::optional<std::uint16_t>{0}, std::optional<std::uint16_t>{1}}) {
        GridTensorState state = initialized_state(problem, strategy);
        const auto gains = state.split_gain;
        const auto prefix = state.prefix_stats;
        apply_binning(state, max_bins);
        EXPECT_TRUE(state.bin_boundaries[0].empty());
        EXPECT_EQ(state.prefix_stats, prefix);
        // NaN != NaN, so compare NaN marks and values separately.
        for (std::size_t q = 0; q < 10; ++q) {
            EXPECT_EQ(std::isnan(state.split_gain[0][q]), std::isnan(gains[0][q]));
            if (!std::isnan(gains[0][q])) {
                EXPECT_EQ(state.split_gain[0][q], gains[0][q]);
            }
        }
    }
}

TEST(ApplyBinningTest, TenDistinctValuesInFourBins) {
    // Column 1 is constant: it gets no boundary and keeps its per-position sums.
    const Problem problem = columns_problem({iota_values(10), std::vector<double>(10, 2.0)}, targets(10));
    GridTensorState state = initialized_state(problem, RefinementStrategy{});
    const auto before = state;
    apply_binning(state, 4);

    EXPECT_EQ(state.bin_boundaries[0], (std::vector<std::size_t>{2, 5, 7}));
    ASSERT_EQ(state.bin_prefix_stats[0].size(), 4u);
    const std::vector<std::size_t> record_at = {1, 4, 6, 9};
    for (std::size_t l = 0; l < 4; ++l) {
        EXPECT_EQ(state.bin_prefix_stats[0][l], before.prefix_stats[0][record_at[l]]) << l;
    }
    EXPECT_TRUE(state.prefix_stats[0].empty());
    for (std::size_t q = 0; q < 10; ++q) {
        const bool boundary = q == 2 || q == 5 || q == 7;
        if (boundary) {
            EXPECT_EQ(state.split_gain[0][q], before.split_gain[0][q]) << q;
            EXPECT_EQ(state.left_update[0][q], before.left_update[0][q]) << q;
            EXPECT_EQ(state.side_gains[0][q], before.side_gains[0][q]) << q;
            EXPECT_FALSE(std::isnan(state.split_gain[0][q])) << q;
        } else {
            EXPECT_TRUE(std::isnan(state.split_gain[0][q])) << q;
            EXPECT_TRUE(std::isnan(state.left_update[0][q].x) && std::isnan(state.right_update[0][q].y)) << q;
            EXPECT_TRUE(std::isnan(state.side_gains[0][q].x)) << q;
        }
    }
    EXPECT_TRUE(state.bin_boundaries[1].empty());
    EXPECT_EQ(state.prefix_stats[1], before.prefix_stats[1]);
}

TEST(ApplyBinningTest, SingleSampleIsLeftAlone) {
    const Problem problem = columns_problem({{3.0}}, {1.0});
    GridTensorState state = initialized_state(problem, RefinementStrategy{});
    apply_binning(state, 8);
    EXPECT_TRUE(state.bin_boundaries[0].empty());
    EXPECT_EQ(state.prefix_stats[0].size(), 1u);
}

}  // namespace
}  // namespace zun
