#include "grid_tensor/value_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace zun {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kDenormal = std::numeric_limits<double>::denorm_min();

TEST(OrderKeyTest, OrdersLikeTheValuesAndJoinsTheTwoZeros) {
    const std::vector<double> ascending = {-kInf, -1e300, -2.5, -1.0, -kDenormal, 0.0,
                                           kDenormal, 1e-300, 1.0, 1.0 + 1e-16 * 2, 3e300, kInf};
    for (std::size_t i = 1; i < ascending.size(); ++i) {
        EXPECT_LT(order_key(ascending[i - 1]), order_key(ascending[i])) << ascending[i - 1] << " " << ascending[i];
    }
    EXPECT_EQ(order_key(-0.0), order_key(0.0));
}

// The stable order of std::stable_sort by value, for comparison.
std::vector<std::size_t> stable_order(const std::vector<double>& values) {
    std::vector<std::size_t> order(values.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return values[a] < values[b]; });
    return order;
}

TEST(SortByValueTest, SameOrderAsAStableComparisonSort) {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    const auto draws = [&](std::size_t n, double grid) {
        std::vector<double> values(n);
        for (double& v : values) {
            v = grid > 0 ? std::round(normal(rng) * grid) / grid : normal(rng);
        }
        return values;
    };
    struct Case {
        std::string name;
        std::vector<double> values;
    };
    std::vector<double> specials = {0.0, -0.0, kInf, -kInf, kDenormal, -kDenormal, 1.0, -1.0, 0.0, -0.0, kInf};
    const std::vector<Case> cases = {
        {"empty", {}},
        {"one", {4.0}},
        {"signed zeros and extremes", specials},
        {"distinct", draws(1000, 0)},
        {"many ties", draws(1000, 2)},
        {"all equal", std::vector<double>(50, -3.0)},
    };
    for (const Case& c : cases) {
        std::vector<ValueIndex> items(c.values.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            items[i] = {c.values[i], i};
        }
        sort_by_value(items);
        std::vector<std::size_t> order;
        for (const ValueIndex& item : items) {
            order.push_back(item.index);
            EXPECT_EQ(item.value, c.values[item.index]) << c.name;
        }
        EXPECT_EQ(order, stable_order(c.values)) << c.name;
    }
}

// Values only must give the pairs' values bit for bit: the sign of each zero
// too, which the keys do not tell apart.
TEST(SortedValuesTest, BitForBitTheValuesOfTheSortedPairs) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> pick(0, 3);
    std::vector<double> zeros_among_values(5000);
    for (double& v : zeros_among_values) {
        const double choices[] = {0.0, -0.0, 1.5, -2.5};
        v = choices[pick(rng)];
    }
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> distinct(70000);
    for (double& v : distinct) {
        v = uniform(rng);
    }
    struct Case {
        std::string name;
        std::vector<double> values;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"negative zero first", {-0.0, 0.0, -1.0, 0.0, -0.0}},
        {"only zeros", {0.0, -0.0, -0.0, 0.0}},
        {"positive zeros only", {0.0, 2.0, 0.0, -2.0}},
        {"extremes", {kInf, -0.0, -kInf, kDenormal, -kDenormal, 0.0}},
        {"zeros among values", zeros_among_values},
        {"distinct", distinct},
    };
    for (const Case& c : cases) {
        const MatrixView column = MatrixView::contiguous(c.values.data(), c.values.size(), 1);
        const std::vector<ValueIndex> pairs = sorted_column(column, 0);
        const std::vector<double> values = sorted_values(column, 0);
        ASSERT_EQ(values.size(), pairs.size()) << c.name;
        for (std::size_t q = 0; q < values.size(); ++q) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(values[q]), std::bit_cast<std::uint64_t>(pairs[q].value))
                << c.name << " position " << q;
        }
    }
}

}  // namespace
}  // namespace zun
