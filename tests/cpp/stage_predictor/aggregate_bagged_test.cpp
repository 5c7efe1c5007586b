#include "stage_predictor/aggregate_bagged.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "error.hpp"
#include "grid_tensor.hpp"
#include "grid_tensor_builder.hpp"
#include "logging/simple.hpp"
#include "matrix_view.hpp"
#include "stage_predictor/combine_grids.hpp"

namespace zun {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Row-major training data that hands out a view.
struct Data {
    std::vector<double> values;
    std::size_t cols = 1;

    MatrixView view() const { return MatrixView::contiguous(values.data(), values.size() / cols, cols); }
};

// A one-feature bag cut at 0 with backbone 1 and tilt (t, -t): on data with
// one row on each side of 0 it is already normalised, and the shape distance
// of two such bags is exactly 2 |t_a - t_b|.
GridTensor tilted_bag(double t) {
    return grid_tensor({{{0.0}, {1.0, 1.0}, {t, -t}}}, std::exp(t), std::exp(-2.0 * t));
}

const Data one_row_each_side{{-1.0, 1.0}, 1};

std::vector<GridTensor> tilted_bags(const std::vector<double>& tilts) {
    std::vector<GridTensor> bags;
    for (const double t : tilts) {
        bags.push_back(tilted_bag(t));
    }
    return bags;
}

// The rows per union interval, located the way prediction locates them.
IntervalCounts row_counts(const std::vector<std::vector<double>>& union_splits, const Data& data) {
    const MatrixView x = data.view();
    IntervalCounts counts;
    for (std::size_t j = 0; j < union_splits.size(); ++j) {
        counts.emplace_back(union_splits[j].size() + 1, 0);
        for (std::size_t i = 0; i < x.rows(); ++i) {
            ++counts[j][interval_of(union_splits[j], x(i, j))];
        }
    }
    return counts;
}

// Every aligned bag rescaled to count-weighted geometric mean 1 of its
// backbone and count-weighted mean 0 of its tilt, feature by feature.
std::vector<GridTensor> normalised_aligned(const std::vector<GridTensor>& bags, const IntervalCounts& counts) {
    std::vector<GridTensor> aligned = combine_grids(bags);
    for (GridTensor& bag : aligned) {
        for (std::size_t j = 0; j < counts.size(); ++j) {
            double rows = 0.0;
            double log_sum = 0.0;
            double tilt_sum = 0.0;
            for (std::size_t k = 0; k < counts[j].size(); ++k) {
                rows += static_cast<double>(counts[j][k]);
                log_sum += static_cast<double>(counts[j][k]) * clamped_log(bag.backbone_values[j][k]);
                tilt_sum += static_cast<double>(counts[j][k]) * bag.tilt_values[j][k];
            }
            for (double& b : bag.backbone_values[j]) {
                b = std::exp(clamped_log(b) - log_sum / rows);
            }
            for (double& t : bag.tilt_values[j]) {
                t -= tilt_sum / rows;
            }
        }
    }
    return aligned;
}

// merge_aligned_grids of the normalised bags at `selection`, in that order.
GridTensor expected_merge(const std::vector<GridTensor>& bags, const Data& data,
                          const std::vector<std::size_t>& selection) {
    const std::vector<GridTensor> aligned = combine_grids(bags);
    const IntervalCounts counts = row_counts(aligned.front().splits, data);
    const std::vector<GridTensor> normalised = normalised_aligned(bags, counts);
    std::vector<GridTensor> members;
    for (const std::size_t g : selection) {
        members.push_back(normalised[g]);
    }
    return merge_aligned_grids(members, counts);
}

void expect_same_grid(const GridTensor& actual, const GridTensor& expected) {
    EXPECT_EQ(actual.splits, expected.splits);
    EXPECT_EQ(actual.intervals, expected.intervals);
    EXPECT_EQ(actual.observation_counts, expected.observation_counts);
    EXPECT_EQ(actual.scaling, expected.scaling);
    EXPECT_NEAR(actual.lambda_plus, expected.lambda_plus, 1e-12 * std::abs(expected.lambda_plus));
    EXPECT_NEAR(actual.lambda_minus, expected.lambda_minus, 1e-12 * std::abs(expected.lambda_minus));
    ASSERT_EQ(actual.backbone_values.size(), expected.backbone_values.size());
    ASSERT_EQ(actual.tilt_values.size(), expected.tilt_values.size());
    for (std::size_t j = 0; j < expected.backbone_values.size(); ++j) {
        ASSERT_EQ(actual.backbone_values[j].size(), expected.backbone_values[j].size());
        ASSERT_EQ(actual.tilt_values[j].size(), expected.tilt_values[j].size());
        for (std::size_t k = 0; k < expected.backbone_values[j].size(); ++k) {
            EXPECT_NEAR(actual.backbone_values[j][k], expected.backbone_values[j][k], 1e-12)
                << "feature " << j << " interval " << k;
            EXPECT_NEAR(actual.tilt_values[j][k], expected.tilt_values[j][k], 1e-12)
                << "feature " << j << " interval " << k;
        }
    }
}

// Info lines written while `action` runs.
std::string captured_info(const std::function<void()>& action) {
    logging::install_simple_logger();
    logging::set_max_level(logging::Level::Info);
    ::testing::internal::CaptureStdout();
    try {
        action();
    } catch (...) {
        ::testing::internal::GetCapturedStdout();
        logging::set_max_level(logging::Level::Off);
        throw;
    }
    const std::string output = ::testing::internal::GetCapturedStdout();
    logging::set_max_level(logging::Level::Off);
    return output;
}

std::string info_line(const std::string& text) {
    return "[zun::stage_predictor::aggregate_bagged] [INFO] " + text + "\n";
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The FitError text of aggregate_bagged, or "" when it returns.
std::string fit_error(const std::vector<GridTensor>& bags, const Data& data, double trim_percentage) {
    try {
        aggregate_bagged(bags, data.view(), trim_percentage);
    } catch (const FitError& error) {
        return error.what();
    }
    return "";
}

// Two features; the bags cut them differently, and no training row lies
// beyond 3 on feature 1, so a union interval stays empty there.
const Data two_features{{-2.0, 0.5,   //
                         -1.0, 1.5,   //
                         0.0, -1.0,   //  on bag 0's split of feature 0
                         0.5, 2.0,    //  on a split of feature 1
                         1.0, 0.0,    //
                         2.5, 1.0,    //
                         3.0, 2.5},   //
                        2};

std::vector<GridTensor> three_bags() {
    return {
        grid_tensor({{{0.0}, {0.5, 2.0}, {0.3, -0.2}}, {{1.0, 3.0}, {1.0, 2.0, 4.0}, {0.0, 0.1, 0.4}}}, 1.5, 0.8),
        grid_tensor({{{0.7}, {3.0, 1.0}, {-0.1, 0.2}}, {{2.0}, {0.5, 1.5}, {0.25, -0.5}}}, 0.6, 1.2),
        grid_tensor({{{-1.5, 0.7}, {1.0, 2.0, 0.25}, {0.0, 0.5, -0.5}}, {{}, {3.0}, {0.7}}}, 2.5, 0.3),
    };
}

TEST(AggregateBagged, NoBagsIsAnError) {
    EXPECT_EQ(fit_error({}, two_features, 1.0), "Cannot aggregate empty grid list");
    EXPECT_EQ(fit_error({}, two_features, 0.5), "Cannot aggregate empty grid list");
}

TEST(AggregateBagged, SingleBagIsReturnedUnchangedWhateverTheTrim) {
    // Neither the training rows nor the trim reach a single bag: no recount,
    // no normalisation, no merge, and so no error for a trim that keeps none.
    const GridTensor bag = three_bags()[0];
    for (const double trim : {1.0, 0.5, 0.0, nan}) {
        SCOPED_TRACE(trim);
        const GridTensor result = aggregate_bagged({bag}, two_features.view(), trim);
        EXPECT_EQ(result, bag);
    }
}

TEST(AggregateBagged, TrimOfOneOrMoreMergesEveryBagWithoutDistances) {
    const std::vector<GridTensor> bags = three_bags();
    const GridTensor expected = expected_merge(bags, two_features, {0, 1, 2});
    struct Case {
        double trim;
        const char* shown;
    };
    for (const Case c : {Case{1.0, "1.00"}, Case{1.5, "1.50"}, Case{inf, "inf"}}) {
        SCOPED_TRACE(c.shown);
        GridTensor result;
        const std::string log = captured_info([&] { result = aggregate_bagged(bags, two_features.view(), c.trim); });
        expect_same_grid(result, expected);
        EXPECT_TRUE(contains(log, info_line(fmt::format(
                                      "trim_percentage is {}, combining all 3 grids without distance computation",
                                      c.shown))))
            << log;
        EXPECT_FALSE(contains(log, "pairwise")) << log;
        EXPECT_FALSE(contains(log, "medoid")) << log;
    }
}

TEST(AggregateBagged, ResultCountsTheTrainingRowsOfEveryUnionInterval) {
    const std::vector<GridTensor> bags = three_bags();
    // Union splits: feature 0 {-1.5, 0, 0.7}, feature 1 {1, 2, 3}. A value on a
    // split belongs to the interval on its right.
    const IntervalCounts expected = {{1, 1, 2, 3}, {3, 2, 2, 0}};
    for (const double trim : {1.0, 0.5}) {
        SCOPED_TRACE(trim);
        const GridTensor result = aggregate_bagged(bags, two_features.view(), trim);
        EXPECT_EQ(result.observation_counts, expected);
        EXPECT_EQ(row_counts(result.splits, two_features), expected);
        EXPECT_EQ(result.scaling, 1.0);
        for (const auto& per_feature : result.observation_counts) {
            EXPECT_EQ(std::accumulate(per_feature.begin(), per_feature.end(), std::uint64_t{0}), 7u);
        }
    }
}

TEST(AggregateBagged, KeepCountIsTheCeilingOfTheTrimShareNearestTheMedoidFirst) {
    // Bags on a line at unit shape distance: the middle one is the medoid and
    // the nearest ones join it; equal distances keep index order.
    struct Case {
        const char* name;
        std::vector<double> tilts;
        double trim;
        std::vector<std::size_t> selection;
        std::string medoid_line;
        std::string selection_line;
    };
    const std::vector<Case> cases = {
        {"5 bags at 0.5 keep 3",
         {0.0, 0.5, 1.0, 1.5, 2.0},
         0.5,
         {2, 1, 3},
         "Selected grid 2 as median (medoid) with total distance 6.000000",
         "Selected 3 out of 5 grids (trim_percentage=0.50, keep_count=3)"},
        {"4 bags at 0.01 keep the medoid alone",
         {0.0, 0.5, 1.0, 1.5},
         0.01,
         {1},
         "Selected grid 1 as median (medoid) with total distance 4.000000",
         "Selected 1 out of 4 grids (trim_percentage=0.01, keep_count=1)"},
        {"4 bags just below 1 keep all, sorted by distance",
         {1.5, 0.0, 0.5, 1.0},
         0.99,
         {2, 1, 3, 0},
         "Selected grid 2 as median (medoid) with total distance 4.000000",
         "Selected 4 out of 4 grids (trim_percentage=0.99, keep_count=4)"},
        {"equal distances keep index order",
         {0.0, 0.5, 1.0, 1.5},
         0.5,
         {1, 0},
         "Selected grid 1 as median (medoid) with total distance 4.000000",
         "Selected 2 out of 4 grids (trim_percentage=0.50, keep_count=2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<GridTensor> bags = tilted_bags(c.tilts);
        GridTensor result;
        const std::string log =
            captured_info([&] { result = aggregate_bagged(bags, one_row_each_side.view(), c.trim); });
        expect_same_grid(result, expected_merge(bags, one_row_each_side, c.selection));
        EXPECT_TRUE(contains(log, info_line(fmt::format(
                                      "Computing pairwise component-shape distances for {} bags (parallel)",
                                      bags.size()))))
            << log;
        EXPECT_TRUE(contains(log, info_line(c.medoid_line))) << log;
        EXPECT_TRUE(contains(log, info_line(c.selection_line))) << log;
        EXPECT_TRUE(contains(log, info_line(fmt::format("Using pre-computed distances to median bag {}",
                                                        c.selection.front()))))
            << log;
    }
}

TEST(AggregateBagged, KeepCountOfFiveAtHalfMergesTheThreeMiddleTilts) {
    // The merged tilt is the mean of the kept tilts (0.5, 1, 1.5), the
    // coefficients the geometric means of theirs.
    const GridTensor result =
        aggregate_bagged(tilted_bags({0.0, 0.5, 1.0, 1.5, 2.0}), one_row_each_side.view(), 0.5);
    ASSERT_EQ(result.tilt_values.size(), 1u);
    ASSERT_EQ(result.tilt_values[0].size(), 2u);
    EXPECT_NEAR(result.tilt_values[0][0], 1.0, 1e-12);
    EXPECT_NEAR(result.tilt_values[0][1], -1.0, 1e-12);
    EXPECT_NEAR(result.lambda_plus, std::exp(1.0), 1e-12);
    EXPECT_NEAR(result.lambda_minus, std::exp(-2.0), 1e-12);
}

TEST(AggregateBagged, EqualTotalDistancesMakeTheLowerIndexTheMedoid) {
    // Two bags always tie; which one survives a keep count of 1 follows the order.
    struct Case {
        std::vector<double> tilts;
        double kept_tilt;
    };
    for (const Case& c : {Case{{0.25, 1.0}, 0.25}, Case{{1.0, 0.25}, 1.0}}) {
        SCOPED_TRACE(c.kept_tilt);
        GridTensor result;
        const std::string log = captured_info(
            [&] { result = aggregate_bagged(tilted_bags(c.tilts), one_row_each_side.view(), 0.5); });
        EXPECT_TRUE(contains(log, info_line("Selected grid 0 as median (medoid) with total distance 1.500000")))
            << log;
        ASSERT_EQ(result.tilt_values.size(), 1u);
        ASSERT_EQ(result.tilt_values[0].size(), 2u);
        EXPECT_NEAR(result.tilt_values[0][0], c.kept_tilt, 1e-12);
    }
}

TEST(AggregateBagged, TrimKeepingNoBagIsAnError) {
    const std::vector<GridTensor> bags = tilted_bags({0.0, 0.5, 1.0});
    for (const double trim : {0.0, -0.5, -inf, nan}) {
        SCOPED_TRACE(trim);
        EXPECT_EQ(fit_error(bags, one_row_each_side, trim), "Cannot combine empty candidate grids");
    }
    const std::string log =
        captured_info([&] { EXPECT_THROW(aggregate_bagged(bags, one_row_each_side.view(), 0.0), FitError); });
    EXPECT_TRUE(contains(log, info_line("Selected 0 out of 3 grids (trim_percentage=0.00, keep_count=0)"))) << log;
}

TEST(AggregateBagged, DistanceWeighsEveryIntervalByItsRows) {
    // Rows 3 and 1 on the two sides of 0. Bag 1 has backbone (e, e^-3) and tilt
    // (1, -3), both already at count-weighted centre 0, so against the flat
    // bag 0: LP differs by (2, -6), LM by (0, 0), and d = sqrt(3 * 4 + 1 * 36).
    const Data rows{{-1.0, -2.0, -3.0, 1.0}, 1};
    const std::vector<GridTensor> bags = {
        grid_tensor({{{0.0}, {1.0, 1.0}, {0.0, 0.0}}}),
        grid_tensor({{{0.0}, {std::exp(1.0), std::exp(-3.0)}, {1.0, -3.0}}}),
    };
    const std::string log = captured_info([&] { aggregate_bagged(bags, rows.view(), 0.5); });
    EXPECT_TRUE(contains(log, info_line(fmt::format("Selected grid 0 as median (medoid) with total distance {:.6f}",
                                                    std::sqrt(48.0)))))
        << log;
}

TEST(AggregateBagged, NormalisationRemovesConstantFactorsFromTheDistance) {
    const GridTensor base = three_bags()[0];
    struct Case {
        const char* name;
        double backbone_factor;  // on feature 0
        double tilt_shift;       // on feature 1
    };
    const std::vector<Case> cases = {
        {"backbone factor", 7.0, 0.0},
        {"tilt shift", 1.0, 0.75},
        {"both", 0.2, -1.25},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        GridTensor shifted = base;
        for (double& b : shifted.backbone_values[0]) {
            b *= c.backbone_factor;
        }
        for (double& t : shifted.tilt_values[1]) {
            t += c.tilt_shift;
        }
        // Different coefficients leave the shape distance alone too.
        shifted.lambda_plus = 9.0;
        for (const std::vector<GridTensor>& bags :
             {std::vector<GridTensor>{base, shifted}, std::vector<GridTensor>{shifted, base}}) {
            GridTensor result;
            const std::string log = captured_info([&] { result = aggregate_bagged(bags, two_features.view(), 0.99); });
            EXPECT_TRUE(contains(log, info_line("Selected grid 0 as median (medoid) with total distance 0.000000")))
                << log;
            // Both bags are kept, and they have the same normalised shape.
            const GridTensor alone = expected_merge(bags, two_features, {0});
            expect_same_grid(result, GridTensor{alone.splits, alone.observation_counts, alone.intervals, 1.0,
                                                alone.backbone_values, alone.tilt_values,
                                                std::sqrt(base.lambda_plus * 9.0), base.lambda_minus});
        }
    }
}

TEST(AggregateBagged, EmptyUnionIntervalDoesNotShiftTheNormalisation) {
    // Bag 1 equals bag 0 where rows lie but adds a cut at 10, beyond every row,
    // with wild values. Normalised on the rows only, the bags differ only in
    // that empty interval, whose weight 1e-12 leaves a distance of
    // sqrt(1e-12 * (7^2 + 1^2)) (LP differs by 7, LM by -1 there).
    const Data rows{{-1.0, -2.0, 1.0, 2.0}, 1};
    const std::vector<GridTensor> bags = {
        grid_tensor({{{0.0}, {4.0, 1.0}, {1.0, 0.0}}}),
        grid_tensor({{{0.0, 10.0}, {4.0, 1.0, std::exp(3.0)}, {1.0, 0.0, 4.0}}}),
    };
    GridTensor result;
    const std::string log = captured_info([&] { result = aggregate_bagged(bags, rows.view(), 0.99); });
    EXPECT_TRUE(contains(log, info_line(fmt::format("Selected grid 0 as median (medoid) with total distance {:.6f}",
                                                    std::sqrt(50e-12)))))
        << log;
    EXPECT_EQ(result.observation_counts, (IntervalCounts{{2, 2, 0}}));
    expect_same_grid(result, expected_merge(bags, rows, {0, 1}));
}

TEST(AggregateBagged, NanInTrainingDataIsAnError) {
    Data with_nan = two_features;
    with_nan.values[5] = nan;
    for (const double trim : {1.0, 0.5}) {
        SCOPED_TRACE(trim);
        EXPECT_THROW(aggregate_bagged(three_bags(), with_nan.view(), trim), FitError);
    }
}

}  // namespace
}  // namespace zun
