#pragma once
// Gauss-Legendre quadrature on [0, 1]: n nodes integrate every polynomial of
// degree up to 2n - 1 exactly (up to rounding). The contributions integrate
// products of linear factors with it, which have positive nodes and weights
// and so no cancellation.
#include <cstddef>
#include <vector>

namespace zun::analysis {

struct QuadratureRule {
    std::vector<double> nodes;    // ascending, inside (0, 1)
    std::vector<double> weights;  // positive, summing to 1
};

// The n-point rule; n = 0 gives an empty rule.
QuadratureRule gauss_legendre(std::size_t n);

}  // namespace zun::analysis
