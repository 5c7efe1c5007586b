#include "analysis/gauss_legendre.hpp"

#include <cmath>
#include <numbers>

namespace zun::analysis {
namespace {

struct LegendreValue {
    double value;       // P_n(x)
    double derivative;  // P_n'(x)
};

// Three-term recurrence; x strictly inside (-1, 1).
LegendreValue legendre(std::size_t n, double x) {
    double previous = 1.0;
    double current = x;
    for (std::size_t k = 2; k <= n; ++k) {
        const auto kd = static_cast<double>(k);
        const double next = ((2.0 * kd - 1.0) * x * current - (kd - 1.0) * previous) / kd;
        previous = current;
        current = next;
    }
    const auto nd = static_cast<double>(n);
    return {current, nd * (x * current - previous) / (x * x - 1.0)};
}

}  // namespace

QuadratureRule gauss_legendre(std::size_t n) {
    QuadratureRule rule{std::vector<double>(n), std::vector<double>(n)};
    const auto nd = static_cast<double>(n);
    // Roots of P_n on [-1, 1] come in pairs +-x; Newton from the usual cosine
    // guess converges to each in a few steps.
    for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
        double x = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) / (nd + 0.5));
        LegendreValue p = legendre(n, x);
        for (int step = 0; step < 100; ++step) {
            const double change = p.value / p.derivative;
            x -= change;
            p = legendre(n, x);
            if (std::abs(change) <= 1e-16) {
                break;
            }
        }
        // Weight on [-1, 1] is 2 / ((1 - x^2) P_n'(x)^2); on [0, 1] half of it.
        const double weight = 1.0 / ((1.0 - x * x) * p.derivative * p.derivative);
        rule.nodes[i] = (1.0 - x) / 2.0;
        rule.weights[i] = weight;
        rule.nodes[n - 1 - i] = (1.0 + x) / 2.0;
        rule.weights[n - 1 - i] = weight;
    }
    if (n % 2 == 1) {
        // The middle root is 0 exactly; Newton may leave it at a tiny offset.
        rule.nodes[n / 2] = 0.5;
    }
    return rule;
}

}  // namespace zun::analysis
