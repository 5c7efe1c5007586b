#include "grid_tensor/logging_helpers.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <vector>

#include "fit_control.hpp"
#include "grid_tensor/fit.hpp"
#include "grid_tensor/fit_fixture.hpp"
#include "logging/column_encoding.hpp"
#include "logging/context.hpp"
#include "logging/manager.hpp"
#include "logging/simple.hpp"

namespace zun {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

TEST(Percentile, InterpolatesBetweenOrderStatistics) {
    struct Case {
        std::vector<double> values;
        double q;
        double expected;
    };
    const std::vector<Case> cases{
        {{4, 1, 3, 2}, 0.25, 1.75}, {{4, 1, 3, 2}, 0.5, 2.5}, {{4, 1, 3, 2}, 1.0, 4.0}, {{4, 1, 3, 2}, 0.0, 1.0},
        {{7}, 0.25, 7.0},           {{7}, 0.99, 7.0},         {{1, 2, 3}, 0.5, 2.0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(percentile(c.values, c.q), c.expected) << "q " << c.q;
    }
    EXPECT_TRUE(std::isnan(percentile({}, 0.5)));
}

TEST(ComponentStatistics, PopulationSpreadAndNaNFreeExtremes) {
    const logging::ComponentStats stats = component_statistics({3.0, 1.0});
    EXPECT_EQ(stats.std_val, 1.0);
    EXPECT_EQ(stats.mean_val, 2.0);
    EXPECT_EQ(stats.min_val, 1.0);
    EXPECT_EQ(stats.max_val, 3.0);
    EXPECT_EQ(stats.p50, 2.0);
    EXPECT_EQ(stats.p99, 0.99 * 3.0 + 0.01 * 1.0);
    EXPECT_EQ(stats.n_samples, 2u);
    const logging::ComponentStats with_nan = component_statistics({2.0, std::nan(""), -1.0});
    EXPECT_EQ(with_nan.min_val, -1.0);
    EXPECT_EQ(with_nan.max_val, 2.0);
}

// One feature with distinct values in no particular order.
testing::Problem shuffled_problem() {
    std::vector<double> column{0.7, -1.2, 3.4, 0.1, 2.2, -0.4, 1.9, 5.0, -2.5, 0.9, 4.1, 1.3};
    std::vector<double> y(column.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        y[i] = column[i] > 1.0 ? 3.0 : 0.5;
    }
    return testing::columns_problem({column}, y);
}

std::vector<std::size_t> ascending_samples(const std::vector<double>& column) {
    std::vector<std::size_t> order(column.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return column[a] < column[b]; });
    return order;
}

TEST(BuildMoveEvent, SplitsCountAndListTheSamplesOfTheCutInterval) {
    const testing::Problem problem = shuffled_problem();
    GridTensorParams params;
    params.split_strategy_params = BestSplit{};
    GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), params);
    const RefinementStrategy strategy = make_refinement_strategy(params.refinement_strategy_params);
    Rng rng(1);
    const std::vector<std::size_t> order = ascending_samples(problem.x);
    const std::size_t n = problem.rows;

    std::vector<std::size_t> cuts;  // sorted positions, tracked here independently
    for (std::uint64_t pass = 0; pass < 3; ++pass) {
        const double sse_before = state.sse;
        const std::optional<FitAction> move = fit_pass(state, params, strategy, rng);
        ASSERT_TRUE(move.has_value());
        const logging::MoveEvent event = build_move_event(state, *move, sse_before, pass);
        const std::size_t q = std::visit([](const auto& m) { return m.position; }, *move);
        if (std::holds_alternative<Split>(*move)) {
            cuts.insert(std::upper_bound(cuts.begin(), cuts.end(), q), q);
        }
        const auto at = std::find(cuts.begin(), cuts.end(), q);
        ASSERT_NE(at, cuts.end());
        const std::size_t h = static_cast<std::size_t>(at - cuts.begin());
        const std::size_t start = h == 0 ? 0 : cuts[h - 1];
        const std::size_t end = h + 1 < cuts.size() ? cuts[h + 1] : n;

        EXPECT_EQ(event.left_interval_idx, h);
        EXPECT_EQ(event.left_count, q - start);
        EXPECT_EQ(event.right_count, end - q);
        EXPECT_EQ(event.split_value, problem.x[order[q]]);
        EXPECT_EQ(event.n_cells_after, cuts.size() + 1);
        EXPECT_EQ(event.err_before, sse_before);
        EXPECT_EQ(event.err_after, state.sse);
        EXPECT_EQ(event.iter_no, pass);
        EXPECT_EQ(event.update_a, state.backbone[0][h] * std::cosh(state.tilt[0][h]));
        ASSERT_EQ(event.residual_updates.size(), end - start);
        for (std::size_t k = 0; k < event.residual_updates.size(); ++k) {
            const logging::ResidualUpdate& u = event.residual_updates[k];
            const std::size_t i = order[start + k];
            EXPECT_EQ(u.sample_id, i);
            EXPECT_EQ(u.residual, static_cast<float>(problem.y[i] - state.prediction(i)));
            EXPECT_EQ(u.y_hat, static_cast<float>(state.prediction(i)));
        }
    }
}

TEST(FeatureSnapshot, AFeatureWithoutCutsIsOneUnboundedInterval) {
    const testing::Problem problem = shuffled_problem();
    const GridTensorState state = prepare_fit(problem.x_view(), problem.y_view(), GridTensorParams{});
    const logging::ComponentState snapshot = feature_snapshot(state, 0, 5);
    EXPECT_EQ(snapshot.intervals_count, 1u);
    EXPECT_EQ(snapshot.iter_no, 5u);
    EXPECT_EQ(logging::doubles_from_bytes(snapshot.data),
              (std::vector<double>{-inf, inf, state.backbone[0][0] * std::cosh(state.tilt[0][0])}));
    EXPECT_EQ(snapshot.lambda_plus, state.lambda_plus);
}

class FitEmission : public ::testing::Test {
protected:
    void SetUp() override { fit_.set_level(logging::Level::Warn); }

    static FitOutput fit(const testing::Problem& problem) {
        GridTensorParams params;
        params.n_iter = 4;
        Rng rng(9);
        return fit_grid_tensor(problem.x_view(), problem.y_view(), params, rng);
    }

    FitControl fit_;
    const FitScope scope_{&fit_};
};

struct Collected {
    std::vector<logging::MoveEventMessage> events;
    std::vector<logging::ComponentStateMessage> states;
    std::vector<logging::FComponentStatsMessage> stats;
    std::vector<std::size_t> kind_order;
};

Collected collect(logging::Receiver& receiver) {
    Collected collected;
    while (std::optional<logging::LogMessage> message = receiver.try_receive()) {
        collected.kind_order.push_back(message->index());
        if (auto* e = std::get_if<logging::MoveEventMessage>(&*message)) {
            collected.events.push_back(*e);
        } else if (auto* s = std::get_if<logging::ComponentStateMessage>(&*message)) {
            collected.states.push_back(*s);
        } else {
            collected.stats.push_back(std::get<logging::FComponentStatsMessage>(*message));
        }
    }
    return collected;
}

TEST_F(FitEmission, AFitOutsideAnEpochWarnsOnceAndSendsNothing) {
    const testing::Problem problem = testing::random_problem(3, 60, 2, false, false);
    auto [sender, receiver] = logging::make_channel();
    fit_.install_sender(sender);
    ::testing::internal::CaptureStdout();
    logging::with_tree_id(1, [&] { fit(problem); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "[zun::grid_tensor::logging_helpers] [WARN] Logging events dropped: epoch context not set\n");
    EXPECT_FALSE(receiver.try_receive().has_value());
}

TEST_F(FitEmission, ALoggedFitSendsItsMovesSnapshotsFinalStatesThenStatistics) {
    const testing::Problem problem = testing::random_problem(3, 60, 2, false, false);
    const FitOutput unlogged = fit(problem);
    auto [sender, receiver] = logging::make_channel();
    fit_.install_sender(sender);
    const FitOutput logged = logging::with_epoch(3, [&] { return logging::with_tree_id(1, [&] { return fit(problem); }); });
    fit_.clear_sender();
    EXPECT_EQ(logged.grid_tensor, unlogged.grid_tensor);
    EXPECT_EQ(logged.y_hat, unlogged.y_hat);

    const Collected got = collect(receiver);
    const std::size_t moves = got.events.size();
    const std::size_t p = problem.cols;
    ASSERT_GT(moves, 0u);
    ASSERT_EQ(got.states.size(), (moves + 1) * p);
    ASSERT_EQ(got.stats.size(), moves);
    for (std::size_t k = 0; k < moves; ++k) {
        EXPECT_EQ(got.events[k].event.iter_no, k);
        EXPECT_EQ(got.stats[k].iter_no, k);
        EXPECT_EQ(got.stats[k].f_plus.n_samples, problem.rows);
    }
    for (const auto& state : got.states) {
        EXPECT_EQ(state.epoch, 3u);
        EXPECT_EQ(state.tree_id, 1u);
    }
    // Each move is followed by one snapshot per feature; the final states and
    // then the statistics come last.
    std::vector<std::size_t> expected_order;
    for (std::size_t k = 0; k < moves; ++k) {
        expected_order.push_back(0);
        expected_order.insert(expected_order.end(), p, 1);
    }
    expected_order.insert(expected_order.end(), p, 1);
    expected_order.insert(expected_order.end(), moves, 4);
    EXPECT_EQ(got.kind_order, expected_order);

    // The final states describe the returned, identified grid tensor.
    for (std::size_t j = 0; j < p; ++j) {
        const logging::ComponentState& final_state = got.states[moves * p + j].state;
        const auto& intervals = logged.grid_tensor.intervals[j];
        const std::size_t k = intervals.size();
        EXPECT_EQ(final_state.col, j);
        EXPECT_EQ(final_state.iter_no, moves) << "the pass counter where the loop stopped";
        EXPECT_EQ(final_state.intervals_count, k);
        const std::vector<double> data = logging::doubles_from_bytes(final_state.data);
        ASSERT_EQ(data.size(), 3 * k);
        for (std::size_t m = 0; m < k; ++m) {
            EXPECT_EQ(data[m], intervals[m].first);
            EXPECT_EQ(data[k + m], intervals[m].second);
            EXPECT_EQ(data[2 * k + m], mean_factor(logged.grid_tensor)[j][m]);
        }
        EXPECT_EQ(logging::doubles_from_bytes(*final_state.backbone_data), logged.grid_tensor.backbone_values[j]);
        EXPECT_EQ(final_state.lambda_minus, logged.grid_tensor.lambda_minus);
    }
}

}  // namespace
}  // namespace zun
