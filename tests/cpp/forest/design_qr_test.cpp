#include "forest/design_qr.hpp"

#include <gtest/gtest.h>

#include <Eigen/Dense>
#include <Eigen/SVD>
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "forest/epoch_scaling.hpp"
#include "random.hpp"

namespace zun {
namespace {

constexpr double kEps = 2.220446049250313e-16;

using Columns = std::vector<std::vector<double>>;

double uniform(Rng& rng) { return static_cast<double>(rng.next_u32()) / 4294967296.0 - 0.5; }

std::vector<double> random_vector(Rng& rng, std::size_t n) {
    std::vector<double> v(n);
    for (double& x : v) {
        x = uniform(rng);
    }
    return v;
}

Eigen::MatrixXd dense(const Columns& columns, std::size_t rows, std::size_t count) {
    Eigen::MatrixXd d(static_cast<Eigen::Index>(rows), static_cast<Eigen::Index>(count));
    for (std::size_t j = 0; j < count; ++j) {
        for (std::size_t i = 0; i < rows; ++i) {
            d(static_cast<Eigen::Index>(i), static_cast<Eigen::Index>(j)) = columns[j][i];
        }
    }
    return d;
}

// The minimum-norm least-squares weights from an SVD of the whole design,
// with the same cut: independent of the factorisation under test.
std::vector<double> reference_weights(const Eigen::MatrixXd& d, const std::vector<double>& y) {
    const Eigen::JacobiSVD<Eigen::MatrixXd> svd(d, Eigen::ComputeThinU | Eigen::ComputeThinV);
    const Eigen::VectorXd& sigma = svd.singularValues();
    const double largest = sigma.size() == 0 ? 0.0 : sigma.maxCoeff();
    const double tol = static_cast<double>(std::max(d.rows(), d.cols())) * largest * kEps;
    const Eigen::Map<const Eigen::VectorXd> target(y.data(), static_cast<Eigen::Index>(y.size()));
    Eigen::VectorXd c = svd.matrixU().transpose() * target;
    for (Eigen::Index i = 0; i < c.size(); ++i) {
        c(i) = sigma(i) > tol ? c(i) / sigma(i) : 0.0;
    }
    const Eigen::VectorXd w = svd.matrixV() * c;
    return {w.begin(), w.end()};
}

void expect_close(const std::vector<double>& actual, const std::vector<double>& expected, double relative) {
    ASSERT_EQ(actual.size(), expected.size());
    double scale = 0.0;
    for (const double e : expected) {
        scale = std::max(scale, std::abs(e));
    }
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(actual[i], expected[i], relative * std::max(scale, 1.0)) << "entry " << i;
    }
}

struct DesignCase {
    const char* name;
    std::size_t rows;
    Columns columns;  // appended two at a time, as the boosting loop does
};

// Well conditioned, rank deficient (a repeated and a zero column) and wide.
std::vector<DesignCase> design_cases() {
    Rng rng(7);
    std::vector<DesignCase> cases;
    Columns tall;
    for (int j = 0; j < 8; ++j) {
        tall.push_back(random_vector(rng, 300));
    }
    cases.push_back({"well conditioned 300 x 8", 300, tall});
    Columns deficient = {random_vector(rng, 50), random_vector(rng, 50)};
    deficient.push_back(deficient[0]);
    deficient.push_back(std::vector<double>(50, 0.0));
    deficient.push_back(random_vector(rng, 50));
    deficient.push_back(deficient[1]);
    cases.push_back({"identical and zero columns 50 x 6", 50, deficient});
    Columns wide;
    for (int j = 0; j < 10; ++j) {
        wide.push_back(random_vector(rng, 6));
    }
    cases.push_back({"wide 6 x 10", 6, wide});
    return cases;
}

TEST(DesignQr, GrowingFactorSolvesAsAnSvdOfTheWholeDesignAfterEveryStage) {
    for (const DesignCase& c : design_cases()) {
        SCOPED_TRACE(c.name);
        Rng rng(11);
        const std::vector<double> y = random_vector(rng, c.rows);
        DesignQr qr(VectorView::contiguous(y.data(), y.size()));
        for (std::size_t count = 2; count <= c.columns.size(); count += 2) {
            SCOPED_TRACE(count);
            qr.append_columns(std::span(c.columns).subspan(count - 2, 2));
            const Eigen::MatrixXd d = dense(c.columns, c.rows, count);
            const std::optional<EpochScaling> scaling = solve_epoch_scaling(qr.factor(), c.rows);
            ASSERT_TRUE(scaling.has_value());
            const std::vector<double> expected = reference_weights(d, y);
            expect_close(scaling->weights, expected, 1e-12);

            const Eigen::Map<const Eigen::VectorXd> w(scaling->weights.data(), static_cast<Eigen::Index>(count));
            const Eigen::VectorXd product = d * w;
            expect_close(qr.multiply(scaling->weights), {product.begin(), product.end()}, 1e-12);
        }
    }
}

// Blocks of rows factorised apart and stacked give the factor of all rows:
// the same R^T R (= D^T D) and the same weights.
TEST(DesignQr, StackedBlockFactorsSolveAsTheWholeDesign) {
    Rng rng(3);
    const std::size_t rows = 90;
    const std::size_t cols = 6;
    Columns columns;
    for (std::size_t j = 0; j < cols; ++j) {
        columns.push_back(random_vector(rng, rows));
    }
    const std::vector<double> y = random_vector(rng, rows);
    // Blocks of 40, 45 and 5 rows: the last has fewer rows than columns.
    const std::size_t bounds[] = {0, 40, 85, 90};
    std::vector<TriangularFactor> parts;
    for (std::size_t b = 0; b + 1 < std::size(bounds); ++b) {
        const std::size_t n = bounds[b + 1] - bounds[b];
        Columns block;
        for (const std::vector<double>& column : columns) {
            block.emplace_back(column.begin() + static_cast<std::ptrdiff_t>(bounds[b]),
                               column.begin() + static_cast<std::ptrdiff_t>(bounds[b + 1]));
        }
        DesignQr qr(VectorView::contiguous(y.data() + bounds[b], n));
        qr.append_columns(block);
        parts.push_back(qr.factor());
    }
    EXPECT_EQ(parts[2].rows, 5U);

    const TriangularFactor stacked = stack_factors(parts);
    ASSERT_EQ(stacked.rows, cols);
    const Eigen::MatrixXd d = dense(columns, rows, cols);
    const Eigen::Map<const Eigen::MatrixXd> r(stacked.r.data(), static_cast<Eigen::Index>(stacked.rows),
                                              static_cast<Eigen::Index>(cols));
    const Eigen::MatrixXd gram = d.transpose() * d;
    EXPECT_LT((r.transpose() * r - gram).norm(), 1e-12 * gram.norm());

    const std::optional<EpochScaling> scaling = solve_epoch_scaling(stacked, rows);
    ASSERT_TRUE(scaling.has_value());
    expect_close(scaling->weights, reference_weights(d, y), 1e-12);
}

TEST(DesignQr, NonFiniteColumnIsRefusedAndLeavesTheFactorAsItWas) {
    const std::vector<double> y = {1.0, 2.0, 3.0};
    DesignQr qr(VectorView::contiguous(y.data(), y.size()));
    const Columns first = {{1.0, 0.0, 1.0}, {0.0, 1.0, 1.0}};
    qr.append_columns(first);
    const TriangularFactor before = qr.factor();
    const Columns bad = {{1.0, 2.0, 0.5}, {0.0, std::numeric_limits<double>::infinity(), 1.0}};
    try {
        qr.append_columns(bad);
        ADD_FAILURE() << "no error";
    } catch (const FitError& error) {
        EXPECT_NE(std::string(error.what()).find("holds inf at row 1, column 3"), std::string::npos) << error.what();
    }
    EXPECT_EQ(qr.cols(), 2U);
    EXPECT_EQ(qr.factor().r, before.r);
    EXPECT_EQ(qr.factor().qty, before.qty);
}

}  // namespace
}  // namespace zun
