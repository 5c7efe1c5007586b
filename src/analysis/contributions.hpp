#pragma once
// Exact interventional Shapley values of a boosted model's predictions with
// respect to a set of background rows.
//
// A stage predicts s+ f+ - s- f-, each f a product lambda * prod_j a_j of
// per-feature factors. Against one background row z, the game of one product
// is v(S) = lambda * prod_{j in S} a_j(x_j) * prod_{j not in S} a_j(z_j), and
// the Shapley value of feature j is
//   (a_j - c_j) * lambda * integral_0^1 prod_{k != j} ((1 - t) c_k + t a_k) dt
// with c = a(z): the Shapley weight s!(p-1-s)!/p! is the Beta integral of
// t^s (1-t)^(p-1-s). Features where x and z share an interval are null
// players and drop out, and the integrand of the d others is a polynomial
// of degree d - 1, integrated exactly by ceil(d/2) Gauss-Legendre nodes.
// The values of a row are averaged over the background rows and summed over
// stages; they add up to the prediction minus the mean background prediction.
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "matrix_view.hpp"
#include "stage_predictor.hpp"

namespace zun::analysis {

// Why contributions cannot run on these inputs, or nullopt; the first failing
// check in the order callers see them.
std::optional<std::string> contributions_problem(std::span<const StagePredictor> stages, std::size_t x_columns,
                                                 std::size_t background_rows, std::size_t background_columns);

// Mean prediction over the background rows, summed in row order: the value
// every row's contributions start from.
// Precondition: contributions_problem(...) is nullopt.
double base_value(std::span<const StagePredictor> stages, const MatrixView& background);

// Writes `values` (x.rows() x x.cols(), row-major): the Shapley value of every
// feature of every row. Rows are split among the worker threads; each row's
// sums run in a fixed order, so the result does not depend on their number.
// Precondition: contributions_problem(...) is nullopt.
void contributions(std::span<const StagePredictor> stages, const MatrixView& x, const MatrixView& background,
                   std::span<double> values);

}  // namespace zun::analysis
