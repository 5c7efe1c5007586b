#include "grid_tensor/histogram_binning.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor/bin_lanes.hpp"
#include "grid_tensor/fit_fixture.hpp"

namespace zun {
namespace {

using testing::columns_problem;
using testing::Problem;

std::vector<double> iota_values(std::size_t n) {
    std::vector<double> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        values[i] = static_cast<double>(i) * 0.5;
    }
    return values;
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
        {"quantiles on ties move to the run's end", {1, 1, 1, 2, 3}, 5, {3, 4}},
        // Quantiles 2, 4, 6, 8: 2 and 4 move to 6, the start of the 2s.
        {"moved quantiles merge", {1, 1, 1, 1, 1, 1, 2, 3, 4, 5}, 5, {6, 8}},
        // Quantiles 3, 6, 9: 3 moves to 7 and 6 merges with it; 9 lies in
        // the last run and is dropped.
        {"a quantile in the last run is dropped", {0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2}, 4, {7}},
        // Quantiles 2, 4, 7, 9: the first three fall on ties and move to 3,
        // 6 and 9, so every change of value stays a boundary (dropping them
        // would leave only 9).
        {"a tied column keeps its changes", {1, 1, 1, 2, 2, 2, 3, 3, 3, 4, 4, 4}, 5, {3, 6, 9}},
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

// The boundaries, thresholds and tie marks of one coded column, and every
// sample's code against the bin its value falls in.
void expect_column(const BinnedFeatures& binned, const Problem& problem, std::size_t j,
                   const std::vector<std::size_t>& boundaries, const std::vector<double>& thresholds,
                   const std::string& label) {
    const FeatureBins& bins = binned.features[j];
    EXPECT_EQ(bins.boundaries, boundaries) << label;
    EXPECT_EQ(bins.thresholds, thresholds) << label;
    ASSERT_EQ(bins.tie.size(), boundaries.size()) << label;
    for (std::size_t i = 0; i < problem.rows; ++i) {
        std::size_t expected = 0;
        while (expected < thresholds.size() && thresholds[expected] <= problem.x[i * problem.cols + j]) {
            ++expected;
        }
        EXPECT_EQ(binned.code(i, j), expected) << label << " sample " << i;
    }
}

TEST(BinFeaturesTest, BoundariesAndCodesOfEachColumn) {
    struct Case {
        const char* name;
        std::vector<double> column;  // in sample order
        std::uint32_t max_bins;
        std::vector<std::size_t> boundaries;
        std::vector<double> thresholds;
    };
    const std::vector<Case> cases = {
        // Shuffled rows: codes follow the samples, boundaries the sorted order.
        {"ten distinct values in four bins", {4.5, 0.0, 3.0, 1.0, 2.5, 0.5, 4.0, 1.5, 3.5, 2.0}, 4, {2, 5, 7},
         {1.0, 2.5, 3.5}},
        {"quantiles on ties moved", {2, 1, 3, 1, 1}, 5, {3, 4}, {2, 3}},
        {"at least as many bins as values: every change", {3, 1, 2, 2, 1, 2}, 6, {2, 5}, {2, 3}},
        {"a constant column has one bin", {7, 7, 7, 7}, 4, {}, {}},
        // Sorted 1, 2, 5, 5, 5, 8, 9: the only quantile (position 3) falls
        // inside the run of 5s and moves to its end.
        {"a quantile on a tie moves", {5, 1, 9, 5, 2, 8, 5}, 2, {5}, {8}},
        // Sorted 1, 2, 5, 5, 5, 5, 5: the only quantile lies in the last run,
        // so the column keeps every change of value.
        {"every quantile in the last run: every change", {5, 1, 5, 5, 2, 5, 5}, 2, {1, 2}, {2, 5}},
        {"negative zero and zero are one value", {-0.0, 1.0, 0.0, -1.0}, 4, {1, 3}, {-0.0, 1.0}},
        {"infinities sort like any value", {std::numeric_limits<double>::infinity(), 1, -2, 1}, 4, {1, 3},
         {1, std::numeric_limits<double>::infinity()}},
        {"a single sample", {3.0}, 8, {}, {}},
    };
    for (const Case& c : cases) {
        const Problem problem = columns_problem({c.column, iota_values(c.column.size())}, c.column);
        const auto binned = bin_features(problem.x_view(), c.max_bins);
        ASSERT_EQ(binned->n_samples, c.column.size());
        ASSERT_EQ(binned->n_features, 2u);
        EXPECT_EQ(binned->max_bins, c.max_bins);
        expect_column(*binned, problem, 0, c.boundaries, c.thresholds, c.name);
        EXPECT_EQ(binned->code_bytes(), 1u) << c.name;
    }
}

TEST(BinFeaturesTest, CodesWidenWithTheBinsAndTiesAreMarked) {
    struct Case {
        std::size_t rows;
        std::uint32_t max_bins;
        std::size_t code_bytes;
    };
    for (const Case& c : {Case{300, 256, 1}, Case{300, 257, 2}, Case{70000, 65536, 2}}) {
        const Problem problem = columns_problem({iota_values(c.rows)}, iota_values(c.rows));
        const auto binned = bin_features(problem.x_view(), c.max_bins);
        EXPECT_EQ(binned->code_bytes(), c.code_bytes) << c.max_bins;
        const std::size_t bins = std::min<std::size_t>(c.rows, c.max_bins);
        EXPECT_EQ(binned->features[0].bin_count(), bins) << c.max_bins;
        const std::vector<double>& thresholds = binned->features[0].thresholds;
        for (std::size_t i = 0; i < c.rows; ++i) {
            const auto above = std::upper_bound(thresholds.begin(), thresholds.end(), problem.x[i]);
            ASSERT_EQ(binned->code(i, 0), static_cast<std::size_t>(above - thresholds.begin()))
                << c.max_bins << " sample " << i;
        }
    }
    // Values closer than the tie distance are different values, so they
    // bound bins, but a cut between them is never made.
    const Problem tiny = columns_problem({{0.0, 1e-300, 2e-300, 1.0}}, {1, 2, 3, 4});
    const auto binned = bin_features(tiny.x_view(), 4);
    EXPECT_EQ(binned->features[0].boundaries, (std::vector<std::size_t>{1, 2, 3}));
    EXPECT_EQ(binned->features[0].tie, (std::vector<std::uint8_t>{1, 1, 0}));
}

// Coding sixteen thresholds at a time must give the binary search's codes:
// values equal to thresholds, signed zeros, infinities, values beyond the
// last threshold, up to the most thresholds it takes (256, 257 bins) and
// past them, where it leaves the coding to the search.
TEST(BinFeaturesTest, WideCodingGivesThePortableCodes) {
    if (!bin_lanes_available(BinLanes::avx512)) {
        GTEST_SKIP() << "no AVX-512F on this processor";
    }
    constexpr double inf = std::numeric_limits<double>::infinity();
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> rounded(4000);
    std::vector<double> distinct(4000);
    for (std::size_t i = 0; i < rounded.size(); ++i) {
        rounded[i] = std::round(normal(rng) * 100.0) / 100.0;
        distinct[i] = normal(rng);
    }
    const double specials[] = {-0.0, 0.0, inf, -inf, 1e300, -1e300};
    for (std::size_t i = 0; i < rounded.size(); i += 97) {
        rounded[i] = specials[(i / 97) % 6];
    }
    const Problem problem = columns_problem({rounded, distinct, iota_values(rounded.size())}, distinct);
    for (const std::uint32_t max_bins : {2u, 17u, 255u, 256u, 257u, 258u, 1000u}) {
        const auto portable = bin_features(problem.x_view(), max_bins, BinLanes::portable);
        const auto wide = bin_features(problem.x_view(), max_bins, BinLanes::avx512);
        for (std::size_t j = 0; j < 3; ++j) {
            ASSERT_EQ(wide->features[j].thresholds, portable->features[j].thresholds) << max_bins;
        }
        EXPECT_TRUE(wide->codes == portable->codes) << max_bins;
    }
}

TEST(BinFeaturesTest, BinsStartAtBoundariesOnly) {
    FeatureBins bins;
    bins.boundaries = {3, 5};
    EXPECT_EQ(bins.bin_starting_at(0, 9), 0u);
    EXPECT_EQ(bins.bin_starting_at(3, 9), 1u);
    EXPECT_EQ(bins.bin_starting_at(5, 9), 2u);
    EXPECT_EQ(bins.bin_starting_at(9, 9), 3u);
    EXPECT_EQ(bins.boundary_at(5), std::optional<std::size_t>{1});
    EXPECT_EQ(bins.boundary_at(4), std::nullopt);
    EXPECT_THROW(bins.bin_starting_at(4, 9), InternalError);
}

TEST(BinFeaturesTest, RefusesNaNAndTooFewBins) {
    const Problem with_nan = columns_problem({{1.0, std::nan(""), 2.0}}, {1, 2, 3});
    try {
        bin_features(with_nan.x_view(), 4);
        FAIL() << "NaN accepted";
    } catch (const InternalError& error) {
        EXPECT_NE(std::string(error.what()).find("feature 0 holds NaN at sample 1"), std::string::npos)
            << error.what();
    }
    const Problem problem = columns_problem({{1.0, 2.0}}, {1, 2});
    EXPECT_THROW(bin_features(problem.x_view(), 1), InternalError);
}

}  // namespace
}  // namespace zun
