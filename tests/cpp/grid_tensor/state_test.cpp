#include "grid_tensor/state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error.hpp"
#include "grid_tensor/histogram_binning.hpp"
#include "grid_tensor/refinement.hpp"
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
    ASSERT_EQ(state.samples.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(state.samples[i], (SampleRecord{1e-10, 1e-10, y[i], y[i]})) << i;
        EXPECT_EQ(state.prediction(i), 0.0) << i;
    }
    EXPECT_EQ(state.lambda_plus, 1e-10);
    EXPECT_EQ(state.lambda_minus, 1e-10);
    EXPECT_EQ(state.scaling, 1.0);
    EXPECT_FALSE(state.stats_ready);
    EXPECT_FALSE(state.guard_nan_gains);
    for (std::size_t j = 0; j < 2; ++j) {
        EXPECT_EQ(state.backbone[j], (std::vector<double>{1.0}));
        EXPECT_EQ(state.tilt[j], (std::vector<double>{0.0}));
        EXPECT_TRUE(state.split_positions[j].empty());
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

// A state with 64 samples on two features whose orders are reversed (sample
// i sits at position i of feature 0 and 63 - i of feature 1), feature 1 cut
// at positions 20 and 40.
struct ReversedFixture {
    static constexpr std::size_t n = 64;
    std::vector<double> x;
    std::vector<double> y = std::vector<double>(n, 0.0);
    GridTensorState state;

    static std::vector<double> values() {
        std::vector<double> v;
        for (std::size_t i = 0; i < n; ++i) {
            v.push_back(static_cast<double>(i));
            v.push_back(-static_cast<double>(i));
        }
        return v;
    }

    ReversedFixture()
        : x(values()),
          state(MatrixView::contiguous(x.data(), n, 2), VectorView::contiguous(y.data(), n),
                sort_features(MatrixView::contiguous(x.data(), n, 2))) {
        state.split_positions[1] = {20, 40};
    }
};

TEST(ChangedIntervalsTest, SmallMovesLocateTheirSamplesLargeOnesTakeWholeFeatures) {
    ReversedFixture f;
    using Changed = std::vector<std::vector<ChangedInterval>>;
    struct Case {
        const char* name;
        std::size_t feature, start, end;
        Changed expected;
    };
    const std::vector<Case> cases = {
        // Samples 1, 2 sit at positions 62, 61 of feature 1, in its interval 2.
        {"two samples", 0, 1, 3, {{{0, 1}}, {{2, 61}}}},
        // Positions 40 .. 44 of feature 1 hold samples 23 .. 19.
        {"five samples of feature 1", 1, 40, 45, {{{0, 19}}, {{2, 40}}}},
        // 8 or more of 64 samples: every interval of the other feature.
        {"ten samples", 0, 0, 10, {{{0, 0}}, {{0, 0}, {1, 20}, {2, 40}}}},
        {"a whole interval of feature 1", 1, 20, 40, {{{0, 0}}, {{1, 20}}}},
        {"across a cut", 1, 30, 64, {{{0, 0}}, {{1, 30}, {2, 40}}}},
        {"nothing", 0, 5, 5, {{}, {}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(changed_intervals(f.state, c.feature, c.start, c.end), c.expected) << c.name;
    }
}

TEST(ChangedIntervalsTest, RejectsRangesOutsideTheState) {
    ReversedFixture f;
    EXPECT_THROW(changed_intervals(f.state, 2, 0, 1), InternalError);
    EXPECT_THROW(changed_intervals(f.state, 0, 3, 2), InternalError);
    EXPECT_THROW(changed_intervals(f.state, 0, 0, 65), InternalError);
}

TEST(GridTensorStateTest, IntervalLookupsFollowTheCuts) {
    ReversedFixture f;
    const std::vector<std::pair<std::size_t, std::size_t>> expected = {{0, 0}, {19, 0}, {20, 1}, {39, 1}, {40, 2},
                                                                       {63, 2}};
    for (const auto& [position, interval] : expected) {
        EXPECT_EQ(f.state.interval_containing(1, position), interval) << position;
    }
    EXPECT_EQ(f.state.interval_start(1, 0), 0u);
    EXPECT_EQ(f.state.interval_end(1, 0), 20u);
    EXPECT_EQ(f.state.interval_start(1, 2), 40u);
    EXPECT_EQ(f.state.interval_end(1, 2), 64u);
}

TEST(GridTensorStateTest, CutExclusionCoversTiesIntervalEndsBinsAndNaNMarks) {
    // Sorted values 0, 1, 1, 2, 3, 4, 5, 6, 7, 8: a tie at position 2.
    const std::vector<double> x = {0, 1, 1, 2, 3, 4, 5, 6, 7, 8};
    const std::vector<double> y(10, 1.0);
    const auto view = MatrixView::contiguous(x.data(), 10, 1);
    GridTensorState state(view, VectorView::contiguous(y.data(), 10), sort_features(view));
    state.split_positions[0] = {5};
    const std::vector<bool> cut_only = {true, false, true, false, true, true, false, false, false, true};
    for (std::size_t q = 0; q < 10; ++q) {
        EXPECT_EQ(state.cut_excluded(0, q), cut_only[q]) << q;
    }
    // A NaN gain marked at 7.
    start_guarding_nan_gains(state);
    state.nan_gain[0][7] = 1;
    const std::vector<bool> with_mark = {true, false, true, false, true, true, false, true, false, true};
    for (std::size_t q = 0; q < 10; ++q) {
        EXPECT_EQ(state.cut_excluded(0, q), with_mark[q]) << q;
    }

    // Binned into at most five bins: boundaries 3, 4, 6 and 8 (the quantile
    // at 2 falls on the tie and moves to its end), the only positions that
    // may be cut. Then a cut at 6 and a NaN gain marked at 8.
    GridTensorState binned(view, VectorView::contiguous(y.data(), 10), nullptr, bin_features(view, 5));
    initialize_refinement(RefinementStrategy{}, binned);
    ASSERT_EQ(binned.binned->features[0].boundaries, (std::vector<std::size_t>{3, 4, 6, 8}));
    const std::vector<bool> boundaries_only = {true, true, true, false, false, true, false, true, false, true};
    for (std::size_t q = 0; q < 10; ++q) {
        EXPECT_EQ(binned.cut_excluded(0, q), boundaries_only[q]) << q;
    }
    binned.split_positions[0] = {6};
    binned.bin_sums.never_cut[0][3] = 1;
    const std::vector<bool> cut_and_mark = {true, true, true, false, false, true, true, true, true, true};
    for (std::size_t q = 0; q < 10; ++q) {
        EXPECT_EQ(binned.cut_excluded(0, q), cut_and_mark[q]) << q;
    }
    EXPECT_EQ(binned.value_at(0, 6), 5.0);
    EXPECT_THROW(binned.value_at(0, 5), InternalError);
}

TEST(GridTensorStateTest, ASingleSampleHasNoIntervalEndsToExclude) {
    const std::vector<double> x = {2.0};
    const std::vector<double> y = {1.0};
    const auto view = MatrixView::contiguous(x.data(), 1, 1);
    const GridTensorState state(view, VectorView::contiguous(y.data(), 1), sort_features(view));
    EXPECT_FALSE(state.cut_excluded(0, 0));
}

}  // namespace
}  // namespace zun
