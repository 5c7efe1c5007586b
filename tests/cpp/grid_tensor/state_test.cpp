#include "grid_tensor/state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
#include "matrix_view.hpp"

namespace zun {
namespace {

TEST(GridTensorStateTest, FreshStateHoldsTheInitialModelAndResiduals) {
    const std::vector<double> x = {0.5, 3.0, -1.0, 2.0};
    const std::vector<double> y = {1.0, -2.0};
    const GridTensorState state(MatrixView::contiguous(x.data(), 2, 2), VectorView::contiguous(y.data(), 2));

    EXPECT_EQ(state.n_samples, 2u);
    EXPECT_EQ(state.n_features, 2u);
    EXPECT_DOUBLE_EQ(state.sse, 5.0);
    EXPECT_EQ(state.residual, (std::vector<double>{1.0, -2.0}));
    EXPECT_EQ(state.residual_snapshot, state.residual);
    EXPECT_EQ(state.prediction, (std::vector<double>{0.0, 0.0}));
    EXPECT_EQ(state.f_plus, (std::vector<double>{1e-10, 1e-10}));
    EXPECT_EQ(state.f_minus, (std::vector<double>{1e-10, 1e-10}));
    EXPECT_EQ(state.lambda_plus, 1e-10);
    EXPECT_EQ(state.lambda_minus, 1e-10);
    EXPECT_EQ(state.scaling, 1.0);
    EXPECT_FALSE(state.stats_ready);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_EQ(state.backbone[j], (std::vector<double>{1.0}));
        EXPECT_EQ(state.tilt[j], (std::vector<double>{0.0}));
        EXPECT_TRUE(state.split_positions[j].empty());
        EXPECT_EQ(state.sample_interval[j], (std::vector<std::size_t>{0, 0}));
        EXPECT_EQ(state.interval_stats[j].size(), 1u);
        EXPECT_EQ(state.interval_count(j), 1u);
    }
    EXPECT_EQ(state.net_splits + state.split_count + state.resplit_count + state.merge_count +
                  state.consecutive_resplits,
              0u);
}

TEST(GridTensorStateTest, RejectsTargetsOfAnotherLength) {
    const std::vector<double> x = {1.0, 2.0, 3.0};
    const std::vector<double> y = {1.0, 2.0};
    EXPECT_THROW(GridTensorState(MatrixView::contiguous(x.data(), 3, 1), VectorView::contiguous(y.data(), 2)),
                 InternalError);
}

TEST(SortFeaturesTest, SortsStablyAndInvertsTheOrder) {
    // Column 0 has ties (2.0 three times) that must keep sample order; column 1
    // is read through a column-major view to exercise strides.
    const std::vector<double> column_major = {2.0, 1.0, 2.0, -std::numeric_limits<double>::infinity(), 2.0,
                                              5.0, 4.0, 3.0, 2.0, 1.0};
    const MatrixView x(column_major.data(), 5, 2, sizeof(double), 5 * sizeof(double));
    const auto sorted = sort_features(x);
    ASSERT_EQ(sorted->size(), 2u);
    EXPECT_EQ((*sorted)[0].sorted_order, (std::vector<std::size_t>{3, 1, 0, 2, 4}));
    EXPECT_EQ((*sorted)[0].sample_rank, (std::vector<std::size_t>{2, 1, 3, 0, 4}));
    EXPECT_EQ((*sorted)[0].tie, (std::vector<std::uint8_t>{0, 0, 0, 1, 1}));
    EXPECT_EQ((*sorted)[1].sorted_order, (std::vector<std::size_t>{4, 3, 2, 1, 0}));
    EXPECT_EQ((*sorted)[1].sample_rank, (std::vector<std::size_t>{4, 3, 2, 1, 0}));
    EXPECT_EQ((*sorted)[1].tie, (std::vector<std::uint8_t>{0, 0, 0, 0, 0}));
}

TEST(SortFeaturesTest, SignedZerosAreEqualAndTiesAreJudgedOnAbsoluteDistance) {
    // 0.0 and -0.0 compare equal, so they keep sample order and tie; values
    // 1e-17 apart tie, 1e-15 apart do not; two infinities do not (their
    // difference is NaN).
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> x = {0.0, -0.0, 1e-17, 5.0, 5.0 + 1e-15 * 5.0, -inf, -inf};
    const auto sorted = sort_features(MatrixView::contiguous(x.data(), x.size(), 1));
    EXPECT_EQ((*sorted)[0].sorted_order, (std::vector<std::size_t>{5, 6, 0, 1, 2, 3, 4}));
    EXPECT_EQ((*sorted)[0].tie, (std::vector<std::uint8_t>{0, 0, 0, 1, 1, 0, 0}));
}

TEST(SortFeaturesTest, NaNFeatureValueIsRejectedWithItsColumn) {
    const std::vector<double> x = {1.0, 2.0, 3.0, std::nan("")};
    try {
        sort_features(MatrixView::contiguous(x.data(), 2, 2));
        FAIL() << "NaN was sorted";
    } catch (const InternalError& error) {
        EXPECT_NE(std::string(error.what()).find("feature 1"), std::string::npos) << error.what();
    }
}

// A state with 8 samples on two features whose orders are reversed, feature
// 1 cut at positions 3 and 6 and given hand-made candidate runs.
struct RegionFixture {
    std::vector<double> x;
    std::vector<double> y = std::vector<double>(8, 0.0);
    GridTensorState state;

    static std::vector<double> values() {
        std::vector<double> v;
        for (int i = 0; i < 8; ++i) {
            v.push_back(i);
            v.push_back(-i);
        }
        return v;
    }

    RegionFixture()
        : x(values()),
          state(MatrixView::contiguous(x.data(), 8, 2), VectorView::contiguous(y.data(), 8),
                sort_features(MatrixView::contiguous(x.data(), 8, 2))) {
        state.split_positions[1] = {3, 6};
        state.candidate_ranges[0] = {{1, 7}};
        state.candidate_ranges[1] = {{1, 2}, {4, 2}, {7, 1}};
    }
};

TEST(AffectedRegionsTest, CoversTheMovedSamplesInEveryFeature) {
    RegionFixture f;
    // Samples 1 and 2 (positions 1, 2 of feature 0) sit at positions 6 and 5
    // of feature 1, which lie in interval 1 ([3, 6)) and interval 2 ([6, 8)).
    const auto regions = affected_regions(f.state, 0, 1, 3);
    ASSERT_EQ(regions.size(), 2u);
    EXPECT_EQ(regions[0], (AffectedRegion{1, 2, 0, 0, 0}));
    // Span [3, 7] overlaps runs (4, 2) and (7, 1).
    EXPECT_EQ(regions[1], (AffectedRegion{5, 6, 1, 2, 1}));

    // A move in feature 1 comes first; sample 7 (position 0 of feature 1)
    // sits at position 7 of feature 0.
    const auto other = affected_regions(f.state, 1, 0, 1);
    ASSERT_EQ(other.size(), 2u);
    EXPECT_EQ(other[0], (AffectedRegion{0, 0, 1, 0, 1}));  // no run overlaps position 0
    EXPECT_EQ(other[1], (AffectedRegion{7, 7, 0, 0, 0}));
}

TEST(AffectedRegionsTest, RejectsRangesOutsideTheState) {
    RegionFixture f;
    EXPECT_THROW(affected_regions(f.state, 2, 0, 1), InternalError);
    EXPECT_THROW(affected_regions(f.state, 0, 3, 2), InternalError);
    EXPECT_THROW(affected_regions(f.state, 0, 0, 9), InternalError);
}

TEST(GridTensorStateTest, IntervalLookupsFollowTheCuts) {
    RegionFixture f;
    const std::vector<std::size_t> expected = {0, 0, 0, 1, 1, 1, 2, 2};
    for (std::size_t position = 0; position < 8; ++position) {
        EXPECT_EQ(f.state.interval_containing(1, position), expected[position]) << position;
    }
    EXPECT_EQ(f.state.interval_start(1, 0), 0u);
    EXPECT_EQ(f.state.interval_end(1, 0), 3u);
    EXPECT_EQ(f.state.interval_start(1, 2), 6u);
    EXPECT_EQ(f.state.interval_end(1, 2), 8u);

    recompute_sample_interval(f.state, 1, 2, 7);
    // Positions 2..6 of feature 1 hold samples 5..1.
    EXPECT_EQ(f.state.sample_interval[1], (std::vector<std::size_t>{0, 2, 1, 1, 1, 0, 0, 0}));
}

}  // namespace
}  // namespace zun
