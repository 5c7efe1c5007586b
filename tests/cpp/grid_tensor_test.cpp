#include "grid_tensor.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "error.hpp"
#include "matrix_view.hpp"

namespace zun {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Two features whose factors are easy to multiply by hand:
// exp(log 2) = 2, exp(log 3) = 3, exp(-log 2) = 1/2.
GridTensor hand_record() {
    GridTensor gt;
    gt.splits = {{0.0}, {1.0, 2.0}};
    gt.backbone_values = {{2.0, 3.0}, {1.0, 4.0, 0.5}};
    gt.tilt_values = {{0.0, std::log(2.0)}, {std::log(3.0), 0.0, -std::log(2.0)}};
    gt.lambda_plus = 1.5;
    gt.lambda_minus = 0.5;
    return gt;
}

// A record whose features have different threshold counts, for layout checks.
GridTensor three_feature_record() {
    GridTensor gt;
    gt.splits = {{-1.0, 0.0, 0.5, 2.0}, {}, {0.25, 1.5}};
    gt.backbone_values = {{0.9, 1.1, 1.3, 0.7, 1.05}, {1.2}, {0.8, 1.4, 0.95}};
    gt.tilt_values = {{0.1, -0.3, 0.2, 0.05, -0.15}, {0.4}, {-0.2, 0.3, 0.0}};
    gt.lambda_plus = 1.7;
    gt.lambda_minus = 0.6;
    return gt;
}

// Row-major values mixing thresholds, infinities, NaN and ordinary draws.
std::vector<double> mixed_values(std::size_t rows, std::size_t cols, unsigned seed) {
    const std::vector<double> specials = {-1.0, 0.0, 0.5, 2.0, 0.25, 1.5, kNaN, kInf, -kInf};
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> uniform(-3.0, 3.0);
    std::vector<double> values(rows * cols);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = i % 3 == 0 ? specials[rng() % specials.size()] : uniform(rng);
    }
    return values;
}

// Bytes holding a matrix in some layout, and a view of them.
struct OwnedView {
    std::vector<unsigned char> bytes;
    MatrixView view;
};

void put(std::vector<unsigned char>& bytes, std::size_t offset, double value) {
    std::memcpy(bytes.data() + offset, &value, sizeof(double));
}

OwnedView fortran_order(const std::vector<double>& c, std::size_t rows, std::size_t cols) {
    std::vector<unsigned char> bytes(c.size() * sizeof(double));
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            put(bytes, (j * rows + i) * sizeof(double), c[i * cols + j]);
        }
    }
    const auto row_stride = static_cast<std::ptrdiff_t>(sizeof(double));
    const auto col_stride = static_cast<std::ptrdiff_t>(rows * sizeof(double));
    const MatrixView view(bytes.data(), rows, cols, row_stride, col_stride);
    return {std::move(bytes), view};
}

// Rows stored last to first; the view starts at the last stored row.
OwnedView reversed_rows(const std::vector<double>& c, std::size_t rows, std::size_t cols) {
    std::vector<unsigned char> bytes(c.size() * sizeof(double));
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            put(bytes, ((rows - 1 - i) * cols + j) * sizeof(double), c[i * cols + j]);
        }
    }
    const auto row_bytes = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    const MatrixView view(bytes.data() + (rows - 1) * cols * sizeof(double), rows, cols, -row_bytes,
                          sizeof(double));
    return {std::move(bytes), view};
}

OwnedView reversed_columns(const std::vector<double>& c, std::size_t rows, std::size_t cols) {
    std::vector<unsigned char> bytes(c.size() * sizeof(double));
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            put(bytes, (i * cols + (cols - 1 - j)) * sizeof(double), c[i * cols + j]);
        }
    }
    const auto row_bytes = static_cast<std::ptrdiff_t>(cols * sizeof(double));
    const MatrixView view(bytes.data() + (cols - 1) * sizeof(double), rows, cols, row_bytes,
                          -static_cast<std::ptrdiff_t>(sizeof(double)));
    return {std::move(bytes), view};
}

// Every row padded by one unused value, starting one byte into the buffer.
OwnedView padded_misaligned(const std::vector<double>& c, std::size_t rows, std::size_t cols) {
    const std::size_t row_bytes = (cols + 1) * sizeof(double);
    std::vector<unsigned char> bytes(1 + rows * row_bytes, 0xAB);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            put(bytes, 1 + i * row_bytes + j * sizeof(double), c[i * cols + j]);
        }
    }
    const MatrixView view(bytes.data() + 1, rows, cols, static_cast<std::ptrdiff_t>(row_bytes), sizeof(double));
    return {std::move(bytes), view};
}

TEST(IntervalOf, LocatesValuesByCountingThresholdsAtOrBelow) {
    const std::vector<double> three = {1.0, 2.0, 3.0};
    const struct {
        std::vector<double> thresholds;
        double value;
        std::size_t expected;
    } cases[] = {
        {{}, 5.0, 0},
        {{}, kNaN, 0},
        {{}, -kInf, 0},
        {three, 0.5, 0},     // below the first
        {three, 1.0, 1},     // equal to a threshold: interval on its right
        {three, 1.5, 1},
        {three, 2.0, 2},
        {three, 3.0, 3},     // equal to the last
        {three, 4.0, 3},     // above the last
        {three, kNaN, 0},
        {three, kInf, 3},
        {three, -kInf, 0},
        {{0.0}, -0.0, 1},    // -0 == 0
        {{0.0}, -1e-300, 0},
        {{-kInf, 0.0}, -kInf, 1},
        {{0.0, kInf}, kInf, 2},
        {{1.0, 2.0}, std::nextafter(2.0, 0.0), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(interval_of(c.thresholds, c.value), c.expected)
            << "value " << c.value << " over " << c.thresholds.size() << " thresholds";
    }
}

TEST(IntervalOf, AgreesWithLinearCountForManyThresholds) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> uniform(-10.0, 10.0);
    for (std::size_t m = 1; m <= 70; ++m) {
        std::vector<double> thresholds(m);
        for (auto& s : thresholds) {
            s = uniform(rng);
        }
        std::sort(thresholds.begin(), thresholds.end());
        thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
        std::vector<double> values(200);
        for (auto& v : values) {
            v = uniform(rng);
        }
        values.insert(values.end(), thresholds.begin(), thresholds.end());
        for (const double v : values) {
            const auto reference = static_cast<std::size_t>(
                std::count_if(thresholds.begin(), thresholds.end(), [v](double s) { return s <= v; }));
            ASSERT_EQ(interval_of(thresholds, v), reference) << "value " << v << " over " << m << " thresholds";
        }
    }
}

TEST(FeatureCount, CountsSplitLists) {
    EXPECT_EQ(feature_count(GridTensor{}), 0u);
    EXPECT_EQ(feature_count(three_feature_record()), 3u);
}

TEST(GridTensorPredict, RecordWithoutFeaturesPredictsLambdaDifference) {
    GridTensor gt;
    gt.lambda_plus = 2.5;
    gt.lambda_minus = 0.75;
    const double unused = 0.0;
    const auto x = MatrixView::contiguous(&unused, 4, 0);
    EXPECT_EQ(predict(gt, x), std::vector<double>(4, 1.75));
}

TEST(GridTensorPredict, MultipliesTheFactorsOfEachRowsIntervals) {
    // Row by row, (f+, f-) by hand:
    //   (-1, 0.5):   1.5 * 2 * 3   = 9,    0.5 * 2 * 1/3   = 1/3
    //   (0, 1):      1.5 * 6 * 4   = 36,   0.5 * 1.5 * 4   = 3
    //   (5, 2):      1.5 * 6 * 1/4 = 2.25, 0.5 * 1.5 * 1   = 0.75
    //   (NaN, inf):  1.5 * 2 * 1/4 = 0.75, 0.5 * 2 * 1     = 1
    const std::vector<double> x = {-1.0, 0.5, 0.0, 1.0, 5.0, 2.0, kNaN, kInf};
    const std::vector<double> expected = {9.0 - 1.0 / 3.0, 33.0, 1.5, -0.25};
    const auto predicted = predict(hand_record(), MatrixView::contiguous(x.data(), 4, 2));
    ASSERT_EQ(predicted.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(predicted[i], expected[i], 1e-12 * std::abs(expected[i])) << "row " << i;
    }
}

TEST(GridTensorPredict, IgnoresTheScalingField) {
    GridTensor scaled = hand_record();
    scaled.scaling = 7.0;
    const std::vector<double> x = {-1.0, 0.5, 0.0, 1.0};
    const auto view = MatrixView::contiguous(x.data(), 2, 2);
    EXPECT_EQ(predict(scaled, view), predict(hand_record(), view));
}

TEST(GridTensorPredict, FewerColumnsUseTheLeadingFeaturesOnly) {
    GridTensor first_only = three_feature_record();
    first_only.splits.resize(1);
    first_only.backbone_values.resize(1);
    first_only.tilt_values.resize(1);
    const std::vector<double> x = {-2.0, -1.0, 0.3, 0.5, 7.0, kNaN};
    const auto view = MatrixView::contiguous(x.data(), x.size(), 1);
    const auto narrow = predict(three_feature_record(), view);
    EXPECT_EQ(narrow, predict(first_only, view));
    // Feature 0 alone at -2 (interval 0): 1.7 * 0.9 e^0.1 - 0.6 * 0.9 e^-0.1.
    EXPECT_NEAR(narrow[0], 1.7 * 0.9 * std::exp(0.1) - 0.6 * 0.9 * std::exp(-0.1), 1e-12);
}

TEST(GridTensorPredict, UsesOneExponentialPerFactorInColumnOrderForAnyThreadCount) {
    // Tilts large enough that summing them, or multiplying the backbones
    // first, changes the last bits; rows enough for several parallel blocks.
    GridTensor gt;
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> tilt(-3.0, 3.0);
    std::uniform_real_distribution<double> backbone(0.3, 3.0);
    for (int j = 0; j < 12; ++j) {
        gt.splits.push_back({0.0});
        gt.backbone_values.push_back({backbone(rng), backbone(rng)});
        gt.tilt_values.push_back({tilt(rng), tilt(rng)});
    }
    gt.lambda_plus = 1.3;
    gt.lambda_minus = 0.9;
    const std::size_t rows = 2 * prediction_block_rows + 50;
    const auto x = mixed_values(rows, 12, 3);
    omp_set_num_threads(3);
    const auto predicted = predict(gt, MatrixView::contiguous(x.data(), rows, 12));
    omp_set_num_threads(1);
    EXPECT_EQ(predict(gt, MatrixView::contiguous(x.data(), rows, 12)), predicted);
    for (std::size_t i = 0; i < rows; ++i) {
        double plus = gt.lambda_plus;
        double minus = gt.lambda_minus;
        for (std::size_t j = 0; j < 12; ++j) {
            const std::size_t k = x[i * 12 + j] >= 0.0 ? 1 : 0;
            const double b = gt.backbone_values[j][k];
            const double t = gt.tilt_values[j][k];
            plus *= std::exp(t) * b;
            minus *= std::exp(-t) * b;
        }
        EXPECT_EQ(predicted[i], plus - minus) << "row " << i;
    }
}

TEST(GridTensorPredict, AnyMemoryLayoutGivesTheSameResult) {
    const std::size_t rows = 9;
    const std::size_t cols = 3;
    const auto values = mixed_values(rows, cols, 5);
    const GridTensor gt = three_feature_record();
    const auto reference = predict(gt, MatrixView::contiguous(values.data(), rows, cols));
    const struct {
        const char* name;
        OwnedView (*make)(const std::vector<double>&, std::size_t, std::size_t);
    } layouts[] = {
        {"fortran order", fortran_order},
        {"reversed rows", reversed_rows},
        {"reversed columns", reversed_columns},
        {"padded, misaligned", padded_misaligned},
    };
    for (const auto& layout : layouts) {
        const OwnedView owned = layout.make(values, rows, cols);
        EXPECT_EQ(predict(gt, owned.view), reference) << layout.name;
    }
}

TEST(GridTensorPredict, ZeroRowsGiveAnEmptyVector) {
    const double unused = 0.0;
    EXPECT_TRUE(predict(three_feature_record(), MatrixView::contiguous(&unused, 0, 3)).empty());
}

TEST(MeanFactor, IsBackboneTimesCoshOfTilt) {
    GridTensor gt;
    gt.backbone_values = {{2.0, 0.5, 4.0}, {1.5}};
    gt.tilt_values = {{0.0, std::log(2.0), -std::log(2.0)}, {0.0}};
    const auto mean = mean_factor(gt);
    ASSERT_EQ(mean.size(), 2u);
    ASSERT_EQ(mean[0].size(), 3u);
    EXPECT_EQ(mean[0][0], 2.0);                 // zero tilt: the backbone itself
    EXPECT_NEAR(mean[0][1], 0.5 * 1.25, 1e-14);  // (2 + 1/2) / 2 = 1.25
    EXPECT_NEAR(mean[0][2], 4.0 * 1.25, 1e-14);
    EXPECT_EQ(mean[1], std::vector<double>{1.5});
}

TEST(MeanFactor, PairsListsUpToTheShorterOne) {
    GridTensor gt;
    gt.backbone_values = {{1.0, 2.0, 3.0}, {4.0}, {5.0}};
    gt.tilt_values = {{0.0, 0.0}, {0.0, 0.0}};
    const std::vector<std::vector<double>> expected = {{1.0, 2.0}, {4.0}};
    EXPECT_EQ(mean_factor(gt), expected);

    gt.backbone_values.resize(1);
    const std::vector<std::vector<double>> first_only = {{1.0, 2.0}};
    EXPECT_EQ(mean_factor(gt), first_only);
    EXPECT_TRUE(mean_factor(GridTensor{}).empty());
}

TEST(EvaluationProblem, NamesWhatWouldBeReadOutOfBounds) {
    const auto with = [](auto change) {
        GridTensor gt = hand_record();
        change(gt);
        return gt;
    };
    const struct {
        const char* name;
        GridTensor record;
        std::size_t columns;
        std::optional<std::string> expected;
    } cases[] = {
        {"all columns", hand_record(), 2, std::nullopt},
        {"fewer columns", hand_record(), 1, std::nullopt},
        {"no columns", hand_record(), 0, std::nullopt},
        {"too many columns", hand_record(), 3, "x has 3 columns but the model has 2 features"},
        {"short backbone list", with([](GridTensor& g) { g.backbone_values.pop_back(); }), 2,
         "x has 2 columns but the model has 1 features"},
        {"short tilt list", with([](GridTensor& g) { g.tilt_values.pop_back(); }), 2,
         "x has 2 columns but the model has 1 features"},
        {"short tilt list, narrow x", with([](GridTensor& g) { g.tilt_values.pop_back(); }), 1, std::nullopt},
        {"short split list", with([](GridTensor& g) { g.splits.clear(); }), 1,
         "x has 1 columns but the model has 0 features"},
        {"missing backbone value", with([](GridTensor& g) { g.backbone_values[1].pop_back(); }), 2,
         "feature 1 has 2 thresholds but 2 backbone values and 3 tilt values"},
        {"missing tilt value", with([](GridTensor& g) { g.tilt_values[0].pop_back(); }), 2,
         "feature 0 has 1 thresholds but 2 backbone values and 1 tilt values"},
        {"missing value beyond x", with([](GridTensor& g) { g.tilt_values[1].clear(); }), 1, std::nullopt},
        {"extra values", with([](GridTensor& g) { g.backbone_values[0].push_back(9.0); }), 2, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(evaluation_problem(c.record, c.columns), c.expected) << c.name;
    }
}

TEST(GridTensorPredict, ThrowsOnAMalformedRecordOrTooWideMatrix) {
    const std::vector<double> x = {0.0, 1.0, 2.0};
    GridTensor short_tilt = hand_record();
    short_tilt.tilt_values[1].resize(2);
    try {
        predict(short_tilt, MatrixView::contiguous(x.data(), 1, 2));
        ADD_FAILURE() << "a missing tilt value was not reported";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "feature 1 has 2 thresholds but 3 backbone values and 2 tilt values");
    }
    EXPECT_THROW(predict(hand_record(), MatrixView::contiguous(x.data(), 1, 3)), InternalError);
    // Checked even when there is no row to evaluate.
    EXPECT_THROW(predict(hand_record(), MatrixView::contiguous(x.data(), 0, 3)), InternalError);
}

}  // namespace
}  // namespace zun
