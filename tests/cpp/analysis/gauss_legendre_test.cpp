#include "analysis/gauss_legendre.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>

namespace zun::analysis {
namespace {

double integrate_power(const QuadratureRule& rule, std::size_t power) {
    double sum = 0.0;
    for (std::size_t q = 0; q < rule.nodes.size(); ++q) {
        sum += rule.weights[q] * std::pow(rule.nodes[q], static_cast<double>(power));
    }
    return sum;
}

TEST(GaussLegendre, IntegratesPowersUpToTwiceTheNodesExactly) {
    for (const std::size_t n : {1, 2, 3, 4, 5, 8, 13, 30, 64}) {
        SCOPED_TRACE(testing::Message() << n << " nodes");
        const QuadratureRule rule = gauss_legendre(n);
        ASSERT_EQ(rule.nodes.size(), n);
        ASSERT_EQ(rule.weights.size(), n);
        for (std::size_t q = 0; q < n; ++q) {
            EXPECT_GT(rule.nodes[q], 0.0);
            EXPECT_LT(rule.nodes[q], 1.0);
            EXPECT_GT(rule.weights[q], 0.0);
            if (q > 0) {
                EXPECT_LT(rule.nodes[q - 1], rule.nodes[q]);
            }
        }
        for (std::size_t power = 0; power < 2 * n; ++power) {
            EXPECT_NEAR(integrate_power(rule, power), 1.0 / static_cast<double>(power + 1), 1e-14)
                << "t^" << power;
        }
        if (n <= 8) {
            // One degree more is beyond an n-point rule (its error, 3.6e-10
            // at 8 nodes, shrinks fast with n): a rule that passes this and
            // the loop above has the Gauss nodes.
            EXPECT_GT(std::abs(integrate_power(rule, 2 * n) - 1.0 / static_cast<double>(2 * n + 1)), 1e-10);
        }
    }
    EXPECT_TRUE(gauss_legendre(0).nodes.empty());
}

}  // namespace
}  // namespace zun::analysis
