#include "analysis/contributions.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

#include <fmt/format.h>

#include "analysis/gauss_legendre.hpp"
#include "analysis/stage_factors.hpp"
#include "forest/prediction.hpp"
#include "parallel.hpp"

namespace zun::analysis {
namespace {

// Explained rows per block of work handed to a worker thread; a row costs
// (background patterns x stages) small games, so blocks can be short.
constexpr std::size_t kBlockRows = 16;

// One stage as the contributions see it. Only features with more than one
// interval can tell two rows apart; the factors of the others are the same
// for every row, so they are folded into the scales.
struct StageTerms {
    const GridTensor* grid;
    std::vector<std::size_t> active;
    std::vector<FeatureFactors> factors;  // indexed like `active`
    double scale_plus;                    // s+ lambda+ and the fixed plus factors
    double scale_minus;                   // s- lambda- and the fixed minus factors
};

StageTerms stage_terms(const StagePredictor& stage) {
    const GridTensor& grid = stage.primary_grid_tensor;
    const std::size_t features = feature_count(grid);
    // One entry per backbone value: the stage evaluation clamps every
    // interval to the last one, and a stage that can be evaluated has a tilt
    // for each.
    std::vector<FeatureFactors> all = interval_factors(grid, features);
    StageTerms terms{&grid, {}, {}, scaling_plus_or_default(stage) * grid.lambda_plus,
                     scaling_minus_or_default(stage) * grid.lambda_minus};
    for (std::size_t j = 0; j < features; ++j) {
        if (all[j].plus.size() > 1 && !grid.splits[j].empty()) {
            terms.active.push_back(j);
            terms.factors.push_back(std::move(all[j]));
        } else {
            terms.scale_plus = terms.scale_plus * all[j].plus[0];
            terms.scale_minus = terms.scale_minus * all[j].minus[0];
        }
    }
    return terms;
}

// A row's intervals and factors on the active features of one stage.
struct RowFactors {
    std::vector<std::size_t> intervals;
    std::vector<double> plus;
    std::vector<double> minus;
};

void look_up(const StageTerms& terms, const MatrixView& x, std::size_t row, RowFactors& out) {
    const std::size_t width = terms.active.size();
    out.intervals.resize(width);
    out.plus.resize(width);
    out.minus.resize(width);
    for (std::size_t a = 0; a < width; ++a) {
        const std::size_t k = clamped_interval(*terms.grid, terms.active[a], x(row, terms.active[a]));
        out.intervals[a] = k;
        out.plus[a] = terms.factors[a].plus[k];
        out.minus[a] = terms.factors[a].minus[k];
    }
}

// The background rows of one stage, merged where they fall into the same
// intervals of every active feature (they play the same games), in
// lexicographic order of those intervals.
struct BackgroundPatterns {
    std::vector<RowFactors> patterns;
    std::vector<double> counts;
};

BackgroundPatterns background_patterns(const StageTerms& terms, const MatrixView& background) {
    std::vector<RowFactors> rows(background.rows());
    for (std::size_t b = 0; b < background.rows(); ++b) {
        look_up(terms, background, b, rows[b]);
    }
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](std::size_t left, std::size_t right) { return rows[left].intervals < rows[right].intervals; });
    BackgroundPatterns merged;
    for (const std::size_t b : order) {
        if (!merged.patterns.empty() && merged.patterns.back().intervals == rows[b].intervals) {
            merged.counts.back() += 1.0;
        } else {
            merged.patterns.push_back(std::move(rows[b]));
            merged.counts.push_back(1.0);
        }
    }
    return merged;
}

struct PreparedStage {
    StageTerms terms;
    BackgroundPatterns background;
};

// The features where an explained row and a background row differ, and both
// rows' factors on them, for the plus and the minus product.
struct DifferingFeatures {
    std::vector<std::size_t> positions;  // indices into the stage's active features
    std::vector<double> row_plus, row_minus, background_plus, background_minus;
    std::size_t count = 0;

    explicit DifferingFeatures(std::size_t width)
        : positions(width), row_plus(width), row_minus(width), background_plus(width), background_minus(width) {}
};

// Scratch space of one worker: sized once for the widest stage.
class Workspace {
public:
    explicit Workspace(std::size_t width)
        : differing(width), prefix_plus(width), prefix_minus(width), linear_plus(width), linear_minus(width),
          integral_plus(width), integral_minus(width) {}

    DifferingFeatures differing;
    std::vector<double> prefix_plus, prefix_minus, linear_plus, linear_minus, integral_plus, integral_minus;
    RowFactors row;
};

// integral_0^1 prod_{k != i} ((1 - t) c_k + t a_k) dt for every differing
// feature i, for both products at once: at each node the leave-one-out
// products come from prefix and suffix products.
void leave_one_out_integrals(const QuadratureRule& rule, Workspace& work) {
    const DifferingFeatures& f = work.differing;
    const std::size_t d = f.count;
    std::fill_n(work.integral_plus.begin(), d, 0.0);
    std::fill_n(work.integral_minus.begin(), d, 0.0);
    for (std::size_t q = 0; q < rule.nodes.size(); ++q) {
        const double t = rule.nodes[q];
        const double s = 1.0 - t;
        double prefix_plus = rule.weights[q];
        double prefix_minus = rule.weights[q];
        for (std::size_t i = 0; i < d; ++i) {
            work.prefix_plus[i] = prefix_plus;
            work.prefix_minus[i] = prefix_minus;
            work.linear_plus[i] = s * f.background_plus[i] + t * f.row_plus[i];
            work.linear_minus[i] = s * f.background_minus[i] + t * f.row_minus[i];
            prefix_plus = prefix_plus * work.linear_plus[i];
            prefix_minus = prefix_minus * work.linear_minus[i];
        }
        double suffix_plus = 1.0;
        double suffix_minus = 1.0;
        for (std::size_t i = d; i-- > 0;) {
            work.integral_plus[i] += work.prefix_plus[i] * suffix_plus;
            work.integral_minus[i] += work.prefix_minus[i] * suffix_minus;
            suffix_plus = suffix_plus * work.linear_plus[i];
            suffix_minus = suffix_minus * work.linear_minus[i];
        }
    }
}

// Adds count times the Shapley values of one stage's game against one
// background pattern to `sums` (indexed by feature).
void add_pair(const StageTerms& terms, const RowFactors& pattern, double count,
              const std::vector<QuadratureRule>& rules, Workspace& work, std::span<double> sums) {
    const RowFactors& row = work.row;
    DifferingFeatures& f = work.differing;
    double same_plus = 1.0;
    double same_minus = 1.0;
    std::size_t d = 0;
    for (std::size_t a = 0; a < row.intervals.size(); ++a) {
        if (row.intervals[a] == pattern.intervals[a]) {
            same_plus = same_plus * row.plus[a];
            same_minus = same_minus * row.minus[a];
            continue;
        }
        f.positions[d] = a;
        f.row_plus[d] = row.plus[a];
        f.row_minus[d] = row.minus[a];
        f.background_plus[d] = pattern.plus[a];
        f.background_minus[d] = pattern.minus[a];
        ++d;
    }
    if (d == 0) {
        return;
    }
    f.count = d;
    leave_one_out_integrals(rules[(d + 1) / 2], work);
    const double plus = count * terms.scale_plus * same_plus;
    const double minus = count * terms.scale_minus * same_minus;
    for (std::size_t i = 0; i < d; ++i) {
        const double value = plus * (f.row_plus[i] - f.background_plus[i]) * work.integral_plus[i] -
                             minus * (f.row_minus[i] - f.background_minus[i]) * work.integral_minus[i];
        sums[terms.active[f.positions[i]]] += value;
    }
}

void explain_row(std::span<const PreparedStage> stages, const MatrixView& x, std::size_t row,
                 const std::vector<QuadratureRule>& rules, double background_rows, Workspace& work,
                 std::span<double> values) {
    std::fill(values.begin(), values.end(), 0.0);
    for (const PreparedStage& stage : stages) {
        look_up(stage.terms, x, row, work.row);
        for (std::size_t b = 0; b < stage.background.patterns.size(); ++b) {
            add_pair(stage.terms, stage.background.patterns[b], stage.background.counts[b], rules, work, values);
        }
    }
    for (double& value : values) {
        value /= background_rows;
    }
}

}  // namespace

std::optional<std::string> contributions_problem(std::span<const StagePredictor> stages, std::size_t x_columns,
                                                 std::size_t background_rows, std::size_t background_columns) {
    if (x_columns != background_columns) {
        return fmt::format("x and background must have the same number of columns, got {} and {}", x_columns,
                           background_columns);
    }
    if (background_rows == 0) {
        return "background must contain at least one row";
    }
    return boosted_prediction_problem(stages, x_columns);
}

double base_value(std::span<const StagePredictor> stages, const MatrixView& background) {
    const std::vector<double> predictions = predict_boosted(stages, background);
    double sum = 0.0;
    for (const double prediction : predictions) {
        sum += prediction;
    }
    return sum / static_cast<double>(background.rows());
}

void contributions(std::span<const StagePredictor> stages, const MatrixView& x, const MatrixView& background,
                   std::span<double> values) {
    std::vector<PreparedStage> prepared;
    std::size_t widest = 0;
    for (const StagePredictor& stage : stages) {
        StageTerms terms = stage_terms(stage);
        BackgroundPatterns patterns = background_patterns(terms, background);
        widest = std::max(widest, terms.active.size());
        prepared.push_back({std::move(terms), std::move(patterns)});
    }
    // d differing features need ceil(d / 2) nodes.
    std::vector<QuadratureRule> rules;
    for (std::size_t n = 0; n <= (widest + 1) / 2; ++n) {
        rules.push_back(gauss_legendre(n));
    }
    const std::size_t p = x.cols();
    const auto background_rows = static_cast<double>(background.rows());
    parallel_for_blocks(x.rows(), kBlockRows, [&](std::size_t begin, std::size_t end) {
        Workspace work(widest);
        for (std::size_t i = begin; i < end; ++i) {
            explain_row(prepared, x, i, rules, background_rows, work, values.subspan(i * p, p));
        }
    });
}

}  // namespace zun::analysis
