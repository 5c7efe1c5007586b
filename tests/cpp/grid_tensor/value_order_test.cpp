#include "grid_tensor/value_order.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

}  // namespace
}  // namespace zun
