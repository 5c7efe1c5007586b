#include "stage_predictor/tree_rows.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "error.hpp"
#include "matrix_view.hpp"
#include "stage_predictor/aggregate_bagged.hpp"

namespace zun {
namespace {

TEST(RandomRowParts, EveryRowLiesInExactlyOnePartOfNearEqualSize) {
    struct Case {
        std::size_t rows;
        std::size_t count;
    };
    for (const Case c : {Case{10, 1}, Case{10, 3}, Case{10, 10}, Case{1001, 8}, Case{7, 4}}) {
        SCOPED_TRACE(std::to_string(c.rows) + " rows in " + std::to_string(c.count));
        const std::vector<std::vector<std::size_t>> parts = random_row_parts(c.rows, c.count, 5);
        ASSERT_EQ(parts.size(), c.count);
        std::vector<int> seen(c.rows, 0);
        for (const std::vector<std::size_t>& part : parts) {
            EXPECT_TRUE(std::is_sorted(part.begin(), part.end()));
            EXPECT_GE(part.size(), c.rows / c.count);
            EXPECT_LE(part.size(), c.rows / c.count + 1);
            for (const std::size_t row : part) {
                ASSERT_LT(row, c.rows);
                ++seen[row];
            }
        }
        EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<std::ptrdiff_t>(c.rows));
    }
}

TEST(RandomRowParts, TheSeedDecidesThePartsAndTheyMixTheRows) {
    EXPECT_EQ(random_row_parts(500, 4, 9), random_row_parts(500, 4, 9));
    EXPECT_NE(random_row_parts(500, 4, 9), random_row_parts(500, 4, 10));
    // Not runs of consecutive rows: the first part reaches past the first quarter.
    EXPECT_GT(random_row_parts(500, 4, 9).front().back(), 125U);
}

TEST(TreeRows, PartsHoldTheirRowsOfXAndGatherTheirEntries) {
    const std::vector<double> x = {0.0, 10.0, 1.0, 11.0, 2.0, 12.0, 3.0, 13.0};  // 4 rows, 2 columns
    const MatrixView view = MatrixView::contiguous(x.data(), 4, 2);
    const TreeRows rows(view, {{3, 1}, {0, 2}}, std::nullopt);
    ASSERT_EQ(rows.count(), 2U);
    EXPECT_FALSE(rows.whole());
    const RowPart& first = rows.part(0);
    ASSERT_EQ(first.size(), 2U);
    EXPECT_EQ(first.x()(0, 0), 3.0);
    EXPECT_EQ(first.x()(1, 1), 11.0);
    EXPECT_EQ(&rows.part_of_tree(3), &rows.part(1));
    const std::vector<double> target = {100.0, 101.0, 102.0, 103.0};
    EXPECT_EQ(first.gather(VectorView::contiguous(target.data(), 4)), std::vector<double>({103.0, 101.0}));
    ASSERT_NE(first.sorted(), nullptr);
    EXPECT_EQ(first.binned(), nullptr);
    EXPECT_NE(TreeRows(view, {{0, 1, 2, 3}}, 4).part(0).binned(), nullptr);
    EXPECT_TRUE(TreeRows(view, std::nullopt).whole());
}

// However a part holds its rows (sorted or binned), its counts are those of
// the rows one by one: a value at a split lies right of it, -0.0 equals 0.0.
TEST(TreeRows, IntervalCountsAreThoseOfTheRowsOneByOne) {
    std::vector<double> x;
    for (std::size_t i = 0; i < 40; ++i) {
        x.push_back(static_cast<double>((i * 7) % 5) - 2.0);  // ties on -2 .. 2
        x.push_back(i % 3 == 0 ? -0.0 : (i % 3 == 1 ? 0.0 : 0.5));
    }
    const MatrixView view = MatrixView::contiguous(x.data(), 40, 2);
    const std::vector<std::vector<double>> splits = {{-1.0, 0.5, 2.0}, {0.0}};
    const IntervalCounts expected = count_rows(splits, view);
    ASSERT_EQ(expected[0], std::vector<std::uint64_t>({8, 16, 8, 8}));
    ASSERT_EQ(expected[1], std::vector<std::uint64_t>({0, 40}));
    std::vector<std::vector<std::size_t>> halves(2);
    for (std::size_t i = 0; i < 40; ++i) {
        halves[i % 2].push_back(i);
    }
    for (const std::optional<std::uint32_t> max_bins : {std::optional<std::uint32_t>{}, std::optional<std::uint32_t>{4}}) {
        SCOPED_TRACE(max_bins ? "binned" : "sorted");
        EXPECT_EQ(TreeRows(view, max_bins).count_intervals(splits), expected);
        EXPECT_EQ(TreeRows(view, halves, max_bins).count_intervals(splits), expected);
    }
}

TEST(ParamsForPart, SumScaledTermsFollowThePartsShareAndCountsStay) {
    GridTensorParams params;
    params.n_iter = 7;
    params.split_strategy_params = TopKSplits{5, false, 3, 2.0, 0.5};
    params.refinement_strategy_params.alpha = 4.0;
    params.refinement_strategy_params.tilt_tau = 0.2;
    params.refinement_strategy_params.tilt_rho = 1.0;
    EXPECT_EQ(params_for_part(params, 100, 100), params);

    GridTensorParams expected = params;
    expected.split_strategy_params = TopKSplits{5, false, 3, 0.5, 0.5};
    expected.refinement_strategy_params.alpha = 1.0;
    expected.refinement_strategy_params.tilt_tau = 0.05;
    expected.refinement_strategy_params.tilt_rho = 0.25;
    EXPECT_EQ(params_for_part(params, 25, 100), expected);
}

TEST(TreeRows, PartsThatDoNotPartitionTheRowsAreRefused) {
    const std::vector<double> x(6, 1.0);
    const MatrixView view = MatrixView::contiguous(x.data(), 3, 2);
    struct Case {
        const char* name;
        std::vector<std::vector<std::size_t>> parts;
        std::string message;
    };
    const Case cases[] = {
        {"no part", {}, "at least one part"},
        {"an empty part", {{0, 1, 2}, {}}, "part 1 holds no row"},
        {"a row beyond x", {{0, 1}, {2, 3}}, "part 1 names row 3 of a matrix of 3 rows"},
        {"a row twice", {{0, 1}, {1, 2}}, "row 1 lies in more than one part"},
        {"a row left out", {{0}, {2}}, "row 1 lies in no part"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            TreeRows(view, c.parts, std::nullopt);
            ADD_FAILURE() << "no error";
        } catch (const FitError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
}  // namespace zun
