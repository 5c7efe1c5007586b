#include "forest/epoch_scaling.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "matrix_view.hpp"

namespace zun {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kEps = 2.220446049250313e-16;

// A row-major matrix that owns its data and hands out views.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> data;

    MatrixView view() const { return MatrixView::contiguous(data.data(), rows, cols); }
    double at(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
};

Matrix matrix(std::size_t rows, std::size_t cols, std::vector<double> data) {
    return Matrix{rows, cols, std::move(data)};
}

VectorView view(const std::vector<double>& v) { return VectorView::contiguous(v.data(), v.size()); }

// design * weights, one sum per row in column order.
std::vector<double> apply_scaling_weights(const MatrixView& design, const std::vector<double>& weights) {
    std::vector<double> product(design.rows(), 0.0);
    for (std::size_t row = 0; row < design.rows(); ++row) {
        for (std::size_t col = 0; col < weights.size(); ++col) {
            product[row] += design(row, col) * weights[col];
        }
    }
    return product;
}

EpochScaling solve(const Matrix& d, const std::vector<double>& y) {
    const std::optional<EpochScaling> result = solve_epoch_scaling(d.view(), view(y));
    if (!result) {
        ADD_FAILURE() << "the solve reported failure";
        return {};
    }
    return *result;
}

void expect_near_all(const std::vector<double>& actual, const std::vector<double>& expected, double tol) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], tol) << "index " << i;
    }
}

// --- Full-rank systems -------------------------------------------------------

TEST(EpochScalingFullRank, RecoversExactWeightsAndReproducesY) {
    const Matrix d = matrix(5, 3,
                            {1.0, -2.0, 0.5,   //
                             0.3, 1.0, -1.0,   //
                             2.0, 0.1, 0.7,    //
                             -1.0, 0.4, 2.0,   //
                             0.6, -0.8, -0.3});
    const std::vector<double> truth = {1.25, -0.75, 3.0};
    const std::vector<double> y = apply_scaling_weights(d.view(), truth);

    const EpochScaling s = solve(d, y);
    expect_near_all(s.weights, truth, 1e-13);
    expect_near_all(apply_scaling_weights(d.view(), s.weights), y, 1e-13);
    EXPECT_EQ(s.kept_singular_values, 3U);
}

// One stage with independent f+ and -f- columns and a y they cannot reproduce,
// with the sums of its 2 x 2 normal equations.
struct TwoColumns {
    Matrix design;
    std::vector<double> y = {0.7, 1.1, -0.6, 2.9, 0.2, 0.1};
    double aa = 0, ab = 0, bb = 0, ay = 0, by = 0;

    TwoColumns() {
        const std::vector<double> f_plus = {1.0, 2.0, 0.5, 3.0, 1.5, 0.8};
        const std::vector<double> minus_f_minus = {-0.4, -1.1, -0.9, -0.2, -1.3, -0.6};
        std::vector<double> data;
        for (std::size_t i = 0; i < y.size(); ++i) {
            data.push_back(f_plus[i]);
            data.push_back(minus_f_minus[i]);
            aa += f_plus[i] * f_plus[i];
            ab += f_plus[i] * minus_f_minus[i];
            bb += minus_f_minus[i] * minus_f_minus[i];
            ay += f_plus[i] * y[i];
            by += minus_f_minus[i] * y[i];
        }
        design = matrix(y.size(), 2, data);
    }

    // The solution of (D'D + ridge I) w = D'y.
    std::vector<double> normal_solution(double ridge) const {
        const double a = aa + ridge;
        const double b = bb + ridge;
        const double det = a * b - ab * ab;
        return {(b * ay - ab * by) / det, (a * by - ab * ay) / det};
    }
};

// Without a ridge the weights are the ordinary least-squares fit.
TEST(EpochScalingFullRank, MatchesOrdinaryLeastSquaresOnTwoColumns) {
    const TwoColumns two;
    expect_near_all(solve(two.design, two.y).weights, two.normal_solution(0.0), 1e-12);
}

// With a ridge the weights solve the ridge's normal equations; a ridge far
// above D'D leaves weights near zero, and a zero ridge is the plain solve.
TEST(EpochScalingRidge, MatchesRidgeNormalEquationsOnTwoColumns) {
    const TwoColumns two;
    const TriangularFactor factor = DesignQr::of(two.design.view(), view(two.y)).factor();
    for (const double ridge : {0.5, 10.0}) {
        const std::optional<EpochScaling> s = solve_epoch_scaling(factor, two.y.size(), ridge);
        ASSERT_TRUE(s.has_value());
        expect_near_all(s->weights, two.normal_solution(ridge), 1e-12);
    }
    const std::optional<EpochScaling> huge = solve_epoch_scaling(factor, two.y.size(), 1e12);
    ASSERT_TRUE(huge.has_value());
    expect_near_all(huge->weights, {0.0, 0.0}, 1e-10);
    EXPECT_EQ(solve_epoch_scaling(factor, two.y.size(), 0.0)->weights, solve(two.design, two.y).weights);
}

// The loop solves on a view of the first columns of a wider, preallocated
// design matrix; the row stride is the full width.
TEST(EpochScalingFullRank, ColumnPrefixViewOfWiderMatrixEqualsCompactCopy) {
    const std::size_t rows = 4, wide = 6, used = 4;
    const Matrix full = matrix(rows, wide,
                               {1.0, -0.5, 2.0, 0.3, 99.0, -99.0,  //
                                0.2, 1.5, -1.0, 0.8, 99.0, -99.0,  //
                                -0.7, 0.4, 0.6, 2.2, 99.0, -99.0,  //
                                1.1, -1.2, 0.9, -0.4, 99.0, -99.0});
    Matrix compact{rows, used, {}};
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < used; ++c) {
            compact.data.push_back(full.at(r, c));
        }
    }
    const std::vector<double> y = {0.5, -1.0, 2.0, 0.25};
    const MatrixView prefix(full.data.data(), rows, used, static_cast<std::ptrdiff_t>(wide * sizeof(double)),
                            sizeof(double));

    const std::optional<EpochScaling> from_view = solve_epoch_scaling(prefix, view(y));
    ASSERT_TRUE(from_view.has_value());
    EXPECT_EQ(from_view->weights, solve(compact, y).weights);
    EXPECT_EQ(apply_scaling_weights(prefix, from_view->weights),
              apply_scaling_weights(compact.view(), from_view->weights));
}

// --- Rank deficiency: the minimum-norm solution --------------------------------

// Two stages with identical combined grid tensors give identical f+ columns;
// the minimum-norm solution splits their weight equally.
TEST(EpochScalingRankDeficient, IdenticalColumnsShareTheirWeightEqually) {
    const std::vector<double> a = {1.0, 2.0, -0.5, 0.7, 1.3};
    const std::vector<double> b = {-0.3, 0.9, 1.4, -1.1, 0.2};
    std::vector<double> data;
    std::vector<double> y;
    for (std::size_t i = 0; i < a.size(); ++i) {
        data.insert(data.end(), {a[i], b[i], a[i]});
        y.push_back(3.0 * a[i] + 2.0 * b[i]);
    }
    const EpochScaling s = solve(matrix(a.size(), 3, data), y);
    expect_near_all(s.weights, {1.5, 2.0, 1.5}, 1e-12);
    EXPECT_EQ(s.kept_singular_values, 2U);
}

// More columns than rows: D w = y is met exactly and w lies in the row space,
// w = D^T (D D^T)^-1 y, worked out here with a 2 x 2 inverse.
TEST(EpochScalingRankDeficient, MoreColumnsThanRowsGivesMinimumNormSolution) {
    const Matrix d = matrix(2, 4, {1.0, 2.0, 0.0, 1.0,  //
                                   0.0, 1.0, 1.0, 1.0});
    const std::vector<double> y = {3.0, -1.0};
    // D D^T = [[6, 3], [3, 3]], inverse = [[1, -1], [-1, 2]] / 3.
    const double z0 = (y[0] - y[1]) / 3.0;
    const double z1 = (-y[0] + 2.0 * y[1]) / 3.0;
    const std::vector<double> expected = {z0, 2.0 * z0 + z1, z1, z0 + z1};

    const EpochScaling s = solve(d, y);
    expect_near_all(s.weights, expected, 1e-13);
    expect_near_all(apply_scaling_weights(d.view(), s.weights), y, 1e-13);
}

TEST(EpochScalingRankDeficient, ZeroMatrixGivesZeroWeightsAndNoConditionNumber) {
    const Matrix d = matrix(4, 2, std::vector<double>(8, 0.0));
    const std::vector<double> y = {1.0, -2.0, 3.0, 0.5};
    const EpochScaling s = solve(d, y);
    EXPECT_EQ(s.weights, std::vector<double>({0.0, 0.0}));
    EXPECT_EQ(s.kept_singular_values, 0U);
    EXPECT_FALSE(s.condition_number.has_value());
    EXPECT_EQ(apply_scaling_weights(d.view(), s.weights), std::vector<double>(4, 0.0));
}

// --- Tolerance: max(rows, cols) * sigma_max * 2^-52, kept only when above -------

struct ToleranceCase {
    const char* name;
    double largest;
    double smallest;
    bool kept;
};

// A 3 x 2 matrix diag(largest, smallest) with a zero third row, whose
// singular values are exactly its diagonal; tol = 3 * largest * 2^-52.
TEST(EpochScalingTolerance, CutsSingularValuesNotAboveTolerance) {
    const double at_tol_1 = 3.0 * 1.0 * kEps;
    const double at_tol_4 = 3.0 * 4.0 * kEps;
    const ToleranceCase cases[] = {
        {"exactly at tol, sigma_max 1", 1.0, at_tol_1, false},
        {"one ulp above tol, sigma_max 1", 1.0, std::nextafter(at_tol_1, 1.0), true},
        {"below tol", 1.0, 2.0 * kEps, false},
        // Catches a tolerance that ignores sigma_max or uses min(rows, cols).
        {"exactly at tol, sigma_max 4", 4.0, at_tol_4, false},
        {"one ulp above tol, sigma_max 4", 4.0, std::nextafter(at_tol_4, 1.0), true},
        {"above a min(rows, cols) based tol, not above the real one", 4.0, 2.5 * 4.0 * kEps, false},
    };
    for (const ToleranceCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Matrix d = matrix(3, 2, {c.largest, 0.0, 0.0, c.smallest, 0.0, 0.0});
        const std::vector<double> y = {2.0, 1.0, 5.0};
        const EpochScaling s = solve(d, y);
        ASSERT_EQ(s.weights.size(), 2U);
        EXPECT_DOUBLE_EQ(s.weights[0], 2.0 / c.largest);
        ASSERT_TRUE(s.condition_number.has_value());
        if (c.kept) {
            EXPECT_EQ(s.kept_singular_values, 2U);
            EXPECT_DOUBLE_EQ(s.weights[1], 1.0 / c.smallest);
            EXPECT_DOUBLE_EQ(*s.condition_number, c.largest / c.smallest);
        } else {
            EXPECT_EQ(s.kept_singular_values, 1U);
            EXPECT_EQ(s.weights[1], 0.0);
            // Only kept values count: the cut one does not blow up the ratio.
            EXPECT_DOUBLE_EQ(*s.condition_number, 1.0);
        }
    }
}

// --- Condition number ----------------------------------------------------------

TEST(EpochScalingConditionNumber, IsLargestOverSmallestOnDiagonal) {
    // Signs and order do not matter: singular values are 10, 2, 0.5.
    const Matrix d = matrix(4, 3, {0.0, -0.5, 0.0,  //
                                   10.0, 0.0, 0.0,  //
                                   0.0, 0.0, -2.0,  //
                                   0.0, 0.0, 0.0});
    const EpochScaling s = solve(d, {1.0, 2.0, 3.0, 4.0});
    ASSERT_TRUE(s.condition_number.has_value());
    EXPECT_NEAR(*s.condition_number, 20.0, 20.0 * 1e-14);
    expect_near_all(s.weights, {0.2, -2.0, -1.5}, 1e-14);
}

// Nearly proportional f+ and -f- columns, as a stage gives without tilt
// regularisation: columns u and u + e v with orthogonal u, v of norm 1 have
// condition number sigma_max^2 / e, about 2 / e. It must exceed the 1e10 at
// which the boosting loop warns. Both the ratio and the weights are only
// determined to about condition number * 2^-52 relative, here 3e-5.
TEST(EpochScalingConditionNumber, NearlyProportionalColumnsGiveLargeConditionNumber) {
    const double e = std::ldexp(1.0, -36);
    const double u[] = {0.5, 0.5, 0.5, 0.5};
    const double v[] = {0.5, -0.5, 0.5, -0.5};
    std::vector<double> data;
    for (std::size_t i = 0; i < 4; ++i) {
        data.insert(data.end(), {u[i], u[i] + e * v[i]});  // exact in floating point
    }
    // Singular values of [[1, 1], [0, e]]: product e, squares summing to 2 + e^2.
    const double sum = 2.0 + e * e;
    const double largest_sq = (sum + std::sqrt(sum * sum - 4.0 * e * e)) / 2.0;
    const double expected = largest_sq / e;

    // y = u + v = (1 - 1/e) u + (1/e) (u + e v): large, cancelling weights.
    const EpochScaling s = solve(matrix(4, 2, data), {1.0, 0.0, 1.0, 0.0});
    ASSERT_TRUE(s.condition_number.has_value());
    EXPECT_GT(*s.condition_number, 1e10);
    EXPECT_NEAR(*s.condition_number, expected, expected * 1e-4);
    EXPECT_EQ(s.kept_singular_values, 2U);
    ASSERT_EQ(s.weights.size(), 2U);
    EXPECT_NEAR(s.weights[0], 1.0 - 1.0 / e, 1e-4 / e);
    EXPECT_NEAR(s.weights[1], 1.0 / e, 1e-4 / e);
}

// --- Empty and invalid input ---------------------------------------------------

TEST(EpochScalingEmpty, NoRowsOrNoColumnsGiveZeroWeights) {
    const std::vector<double> no_y;
    const std::vector<double> three_y = {1.0, 2.0, 3.0};
    struct Case {
        const char* name;
        Matrix d;
        const std::vector<double>* y;
    };
    const Case cases[] = {
        {"no rows, two columns", matrix(0, 2, {}), &no_y},
        {"three rows, no columns", matrix(3, 0, {}), &three_y},
        {"no rows, no columns", matrix(0, 0, {}), &no_y},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const EpochScaling s = solve(c.d, *c.y);
        EXPECT_EQ(s.weights, std::vector<double>(c.d.cols, 0.0));
        EXPECT_FALSE(s.condition_number.has_value());
        EXPECT_EQ(s.kept_singular_values, 0U);
        EXPECT_EQ(apply_scaling_weights(c.d.view(), s.weights), std::vector<double>(c.d.rows, 0.0));
    }
}

// A size mismatch is the caller's bug; a non-finite value comes from the data
// and must stop the fit with an error the user sees.
TEST(EpochScalingInvalid, NonFiniteInputStopsTheFitNamingTheValue) {
    struct Case {
        const char* name;
        Matrix d;
        std::vector<double> y;
        std::string message_part;
    };
    const Case cases[] = {
        {"NaN in design", matrix(2, 2, {1.0, 0.0, kNaN, 1.0}), {1.0, 2.0},
         "design matrix holds nan at row 1, column 0"},
        {"infinity in design", matrix(2, 2, {1.0, -kInf, 0.0, 1.0}), {1.0, 2.0},
         "design matrix holds -inf at row 0, column 1"},
        {"NaN in y", matrix(2, 2, {1.0, 0.0, 0.0, 1.0}), {1.0, kNaN}, "y holds nan at row 1"},
        {"infinity in y", matrix(2, 2, {1.0, 0.0, 0.0, 1.0}), {kInf, 1.0}, "y holds inf at row 0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            (void)solve_epoch_scaling(c.d.view(), view(c.y));
            ADD_FAILURE() << "no error";
        } catch (const FitError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message_part), std::string::npos) << error.what();
        }
    }
}

TEST(EpochScalingInvalid, SizeMismatchIsAnInternalError) {
    const Matrix d = matrix(2, 2, {1.0, 0.0, 0.0, 1.0});
    try {
        (void)solve_epoch_scaling(d.view(), view({1.0}));
        ADD_FAILURE() << "no error";
    } catch (const InternalError& error) {
        EXPECT_NE(std::string(error.what()).find("has 2 rows but y has 1 entries"), std::string::npos)
            << error.what();
    }
}

}  // namespace
}  // namespace zun
