#include "grid_tensor/splitting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "error.hpp"
#include "grid_tensor/fit_fixture.hpp"

namespace zun {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Split candidates with gains set by hand (one row per feature; NaN: never
// a candidate), so the search can be checked without the refinement.
struct HandCandidates final : SplitCandidates {
    std::vector<std::vector<double>> gains;

    bool may_cut(std::size_t feature, std::size_t position) const override {
        return !std::isnan(gains[feature][position]);
    }
    SplitCandidate at(std::size_t feature, std::size_t position) const override {
        const double j = static_cast<double>(feature);
        return {{0.1 * j, -0.1}, {0.2, 0.3 * j}, gains[feature][position]};
    }
};

// A state of zeros with one feature per row of gains.
struct HandState {
    testing::Problem problem;
    GridTensorState state;
    HandCandidates candidates;

    explicit HandState(const std::vector<std::vector<double>>& gains)
        : problem(testing::columns_problem(std::vector<std::vector<double>>(gains.size(), zeros(gains[0].size())),
                                           zeros(gains[0].size()))),
          state(problem.x_view(), problem.y_view()) {
        candidates.gains = gains;
        state.stats_ready = true;
    }

    static std::vector<double> zeros(std::size_t n) { return std::vector<double>(n, 0.0); }

    void init(const SplitStrategyParams& params) { init_candidates(state, candidates, params); }
    std::optional<FitAction> find(const SplitStrategyParams& params, Rng& rng) const {
        return find_move(state, candidates, params, rng);
    }

    // Cut c of feature j with the given resplit score.
    void add_cut(std::size_t j, std::size_t position, double score) {
        state.split_positions[j].push_back(position);
        state.resplit_score[j].push_back(score);
        state.resplit_left_update[j].push_back({0.5, 0.5});
        state.resplit_right_update[j].push_back({-0.5, -0.5});
    }
};

std::vector<CandidateRun> runs_of(const GridTensorState& state, std::size_t j) { return state.candidate_ranges[j]; }

TEST(CandidateRunsTest, InitialRunsAndShrinkingAfterASplit) {
    struct Case {
        const char* name;
        std::vector<double> gains;
        std::size_t min_samples;
        std::size_t split_at;
        std::vector<CandidateRun> initial;
        std::vector<CandidateRun> after;
    };
    const std::vector<Case> cases = {
        {"a = 1", {0, 0, 0, 0, 0}, 1, 2, {{1, 4}}, {{1, 1}, {3, 2}}},
        {"a = 2", {0, 0, 0, 0, 0}, 2, 2, {{2, 2}}, {}},
        {"NaN gains split runs", {0, 0, kNaN, 0, 0, 0, kNaN, 0}, 1, 4, {{1, 1}, {3, 3}, {7, 1}},
         {{1, 1}, {3, 1}, {5, 1}, {7, 1}}},
        {"a = 3 clips both ends", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 3, 3, {{3, 5}}, {{6, 2}}},
    };
    for (const Case& c : cases) {
        HandState hand({c.gains});
        const SplitStrategyParams params = BestSplit{c.min_samples, 0.0, 0.0};
        hand.init(params);
        EXPECT_EQ(runs_of(hand.state, 0), c.initial) << c.name;
        const CandidateLocation where = locate_candidate(hand.state.candidate_ranges[0], 0);
        // Find the run holding the cut position.
        std::size_t run = where.run_index;
        while (hand.state.candidate_ranges[0][run].start + hand.state.candidate_ranges[0][run].length <= c.split_at) {
            ++run;
        }
        remove_around_cut(hand.state, params, 0, run, c.split_at);
        EXPECT_EQ(runs_of(hand.state, 0), c.after) << c.name;
        std::size_t total = 0;
        for (const CandidateRun& r : c.after) {
            total += r.length;
        }
        EXPECT_EQ(hand.state.candidate_count[0], total) << c.name;
    }
}

TEST(CandidateRunsTest, OnlyTheNamedRunShrinks) {
    // a = 3: the zone around a cut at 5 is 3..7, yet run (3, 1) keeps position 3.
    HandState hand({{kNaN, 0, 0, 0, kNaN, 0, 0, 0, 0, 0}});
    const SplitStrategyParams params = BestSplit{3, 0.0, 0.0};
    hand.init(params);
    ASSERT_EQ(runs_of(hand.state, 0), (std::vector<CandidateRun>{{3, 1}, {5, 3}}));
    remove_around_cut(hand.state, params, 0, 1, 5);
    EXPECT_EQ(runs_of(hand.state, 0), (std::vector<CandidateRun>{{3, 1}}));
    EXPECT_EQ(hand.state.candidate_count[0], 1u);
    EXPECT_THROW(remove_around_cut(hand.state, params, 0, 1, 3), InternalError);
    EXPECT_THROW(remove_around_cut(hand.state, params, 1, 0, 3), InternalError);
}

TEST(CandidateRunsTest, NeedsInitializedStatistics) {
    HandState hand({{0, 0, 0}});
    hand.state.stats_ready = false;
    try {
        hand.init(RandomSplit{});
        FAIL() << "candidates built without statistics";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "Statistics are not initialized yet!");
    }
}

TEST(LocateCandidateTest, WalksTheRuns) {
    const std::vector<CandidateRun> runs = {{1, 2}, {5, 1}, {8, 3}};
    const std::vector<std::pair<std::size_t, CandidateLocation>> expected = {
        {0, {1, 0}}, {1, {2, 0}}, {2, {5, 1}}, {3, {8, 2}}, {5, {10, 2}}};
    for (const auto& [k, location] : expected) {
        const CandidateLocation found = locate_candidate(runs, k);
        EXPECT_EQ(found.position, location.position) << k;
        EXPECT_EQ(found.run_index, location.run_index) << k;
    }
    try {
        locate_candidate(runs, 6);
        FAIL() << "index beyond the runs was located";
    } catch (const InternalError& error) {
        EXPECT_STREQ(error.what(), "Invalid abstract index: 6");
    }
}

TEST(SampleDistinctSparseTest, SameDrawsAsTheDenseSample) {
    for (const auto& [n, k] : std::vector<std::pair<std::size_t, std::size_t>>{{10, 10}, {1000, 7}, {5, 0}, {1, 1}}) {
        Rng dense(99 + n);
        Rng sparse(99 + n);
        EXPECT_EQ(sample_distinct_sparse(sparse, n, k), dense.sample_distinct(n, k)) << n << " " << k;
        EXPECT_EQ(sparse.next_u64(), dense.next_u64());
    }
    Rng rng(1);
    EXPECT_THROW(sample_distinct_sparse(rng, 3, 4), InternalError);
}

Split find_split(const HandState& hand, const SplitStrategyParams& params, Rng& rng) {
    const auto move = hand.find(params, rng);
    EXPECT_TRUE(move.has_value());
    EXPECT_TRUE(move && std::holds_alternative<Split>(*move));
    return move && std::holds_alternative<Split>(*move) ? std::get<Split>(*move) : Split{};
}

TEST(FindMoveTest, BestSplitTakesTheFirstLargestGainWithItsPayload) {
    // Equal best gain 3 at feature 0 position 3 and feature 1 position 1.
    HandState hand({{kNaN, 1, 2, 3, 3, kNaN}, {kNaN, 3, 0, 0, 0, kNaN}});
    hand.init(BestSplit{});
    Rng rng(5);
    const Split split = find_split(hand, BestSplit{}, rng);
    EXPECT_EQ(split, (Split{{0.0, -0.1}, {0.2, 0.0}, 0, 3.0, 0, 3}));
}

TEST(FindMoveTest, RandomSplitExaminingEverythingAgreesWithBestSplit) {
    HandState hand({{kNaN, 1, 5, 3, 2, kNaN, 4, kNaN}, {kNaN, 2, 6, 6, 1, 0, 0, kNaN}});
    hand.init(BestSplit{});
    Rng rng(5);
    const Split best = find_split(hand, BestSplit{}, rng);
    EXPECT_EQ(best.feature, 1u);
    EXPECT_EQ(best.position, 2u);
    EXPECT_EQ(best.run_index, 0u);
    for (const double colsample : {1.0, 0.0, 0.5}) {
        Rng random(11);
        EXPECT_EQ(find_split(hand, RandomSplit{100, colsample, 1, 0.0, 0.0}, random), best) << colsample;
    }
    // Feature 0's runs are (1, 4) and (6, 1): the run index follows the position.
    hand.candidates.gains[1].assign(8, kNaN);
    hand.init(BestSplit{});
    Rng again(5);
    EXPECT_EQ(find_split(hand, RandomSplit{}, again), (Split{{0.0, -0.1}, {0.2, 0.0}, 0, 5.0, 0, 2}));
}

TEST(FindMoveTest, RandomSplitSamplesPositionsWithTheGenerator) {
    // 8 candidates, split_try 3: the examined positions are the generator's
    // sample of 3 out of 8 abstract indices; gain = position, so the best is
    // the largest sampled position.
    std::vector<double> gains = {kNaN};
    for (int q = 1; q <= 8; ++q) {
        gains.push_back(q);
    }
    gains.push_back(kNaN);
    HandState hand({gains});
    hand.init(BestSplit{});
    for (std::uint64_t seed = 0; seed < 5; ++seed) {
        Rng rng(seed);
        Rng replay(seed);
        const auto sample = replay.sample_distinct(8, 3);
        const std::size_t expected = 1 + *std::max_element(sample.begin(), sample.end());
        EXPECT_EQ(find_split(hand, RandomSplit{3, 1.0, 1, 0.0, 0.0}, rng).position, expected) << seed;
        EXPECT_EQ(rng.next_u64(), replay.next_u64()) << seed;
    }
}

TEST(FindMoveTest, RandomSplitSamplesFeaturesOnlyWhenTooFewAreEligible) {
    // Four features, only feature 2 has candidates; colsample 0.5 wants 2 of
    // them, more than are eligible, so 2 features are drawn and feature 2
    // contributes only when drawn.
    const std::vector<double> none(6, kNaN);
    HandState hand({none, none, {kNaN, 1, 2, 1, 0, kNaN}, none});
    hand.init(BestSplit{});
    std::size_t drawn = 0;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        Rng rng(seed);
        Rng replay(seed);
        const auto features = replay.sample_distinct(4, 2);
        const bool has_two = std::find(features.begin(), features.end(), 2u) != features.end();
        const auto move = hand.find(RandomSplit{10, 0.5, 1, 0.0, 0.0}, rng);
        EXPECT_EQ(move.has_value(), has_two) << seed;
        drawn += has_two ? 1 : 0;
    }
    EXPECT_GT(drawn, 0u);
    EXPECT_LT(drawn, 12u);
    Rng rng(1);
    EXPECT_THROW(hand.find(RandomSplit{10, 1.5, 1, 0.0, 0.0}, rng), FitError);
}

TEST(FindMoveTest, ColsampleEligibleDrawsAmongTheEligibleFeatures) {
    // Features 0, 2 and 3 are eligible with their best gains 3, 2 and 1;
    // colsample 0.25 of 4 wants one: the generator's draw of 1 among the 3
    // eligible ones decides the feature. colsample 0 still examines one.
    const std::vector<double> none(6, kNaN);
    HandState hand({{kNaN, 3, 1, 0, 0, kNaN}, none, {kNaN, 1, 2, 1, 0, kNaN}, {kNaN, 0, 1, 0, 0, kNaN}});
    hand.init(BestSplit{});
    const std::vector<std::size_t> eligible = {0, 2, 3};
    std::vector<int> seen(4, 0);
    for (const double colsample : {0.25, 0.0}) {
        for (std::uint64_t seed = 0; seed < 12; ++seed) {
            Rng rng(seed);
            Rng replay(seed);
            const std::size_t expected = eligible[replay.sample_distinct(3, 1)[0]];
            const Split split = find_split(hand, RandomSplit{10, colsample, 1, 0.0, 0.0, true}, rng);
            EXPECT_EQ(split.feature, expected) << colsample << " " << seed;
            ++seen[split.feature];
        }
    }
    EXPECT_EQ(seen[1], 0);
    EXPECT_GT(std::min({seen[0], seen[2], seen[3]}), 0);
    // Wanting as many as are eligible examines them all: the best wins.
    for (std::uint64_t seed = 0; seed < 4; ++seed) {
        Rng rng(seed);
        EXPECT_EQ(find_split(hand, RandomSplit{10, 0.75, 1, 0.0, 0.0, true}, rng).feature, 0u) << seed;
    }
}

TEST(FindMoveTest, SplitTryZeroProposesOnlyResplits) {
    HandState hand({{kNaN, 1, 2, 1, 0, kNaN}});
    hand.init(BestSplit{});
    Rng rng(3);
    const SplitStrategyParams params = RandomSplit{0, 1.0, 1, 0.0, 0.0};
    EXPECT_FALSE(hand.find(params, rng).has_value());
    hand.add_cut(0, 3, -1.0);
    const auto move = hand.find(params, rng);
    ASSERT_TRUE(move && std::holds_alternative<Resplit>(*move));
}

TEST(FindMoveTest, TopKDrawsAmongTheBestInStableOrder) {
    // Gains in collection order: f0: 5 (pos 1), 7 (2), 5 (3); f1: 7 (1), 1 (2).
    // Stable by gain: (f0 p2), (f1 p1), (f0 p1), (f0 p3), (f1 p2).
    HandState hand({{kNaN, 5, 7, 5, kNaN}, {kNaN, 7, 1, kNaN, kNaN}});
    hand.init(BestSplit{});
    const std::vector<std::pair<std::size_t, std::size_t>> order = {{0, 2}, {1, 1}, {0, 1}, {0, 3}, {1, 2}};
    for (const std::size_t top_k : {1u, 3u, 5u}) {
        for (std::uint64_t seed = 0; seed < 6; ++seed) {
            Rng rng(seed);
            Rng replay(seed);
            const std::size_t index = replay.uniform_below(top_k);
            const Split split = find_split(hand, TopKSplits{top_k, true, 1, 0.0, 0.0}, rng);
            EXPECT_EQ(split.feature, order[index].first) << top_k << " " << seed;
            EXPECT_EQ(split.position, order[index].second) << top_k << " " << seed;
        }
    }
    Rng rng(0);
    EXPECT_FALSE(hand.find(TopKSplits{6, true, 1, 0.0, 0.0}, rng).has_value());
    const Split any = find_split(hand, TopKSplits{6, false, 1, 0.0, 0.0}, rng);
    EXPECT_FALSE(std::isnan(any.gain));
    EXPECT_THROW(hand.find(TopKSplits{0, false, 1, 0.0, 0.0}, rng), FitError);
}

TEST(FindMoveTest, MinSplitLossAcceptsEqualityOnly) {
    HandState hand({{kNaN, 2, kNaN}});
    hand.init(BestSplit{});
    Rng rng(0);
    EXPECT_TRUE(hand.find(BestSplit{1, 2.0, 0.0}, rng).has_value());
    EXPECT_FALSE(hand.find(BestSplit{1, 2.0000001, 0.0}, rng).has_value());
}

TEST(FindMoveTest, ChoiceBetweenSplitAndResplit) {
    HandState hand({{kNaN, 2, 4, 1, 0, 0, kNaN}, {kNaN, 0, 0, 0, 0, 0, kNaN}});
    hand.init(BestSplit{});
    hand.add_cut(0, 5, 1.0);
    hand.add_cut(1, 2, 4.0);  // equal to the best split gain: the resplit wins
    hand.add_cut(1, 4, 4.0);  // a later equal score does not replace it
    hand.add_cut(1, 5, kNaN);
    Rng rng(0);
    auto move = hand.find(BestSplit{}, rng);
    ASSERT_TRUE(move && std::holds_alternative<Resplit>(*move));
    EXPECT_EQ(std::get<Resplit>(*move), (Resplit{{0.5, 0.5}, {-0.5, -0.5}, 1, 4.0, 0, 2}));

    hand.candidates.gains[0][2] = 4.5;  // strictly larger: the split wins
    move = hand.find(BestSplit{}, rng);
    ASSERT_TRUE(move && std::holds_alternative<Split>(*move));

    hand.candidates.gains[0][2] = 3.0;
    hand.state.consecutive_resplits = max_consecutive_resplits;  // resplits exhausted
    move = hand.find(BestSplit{}, rng);
    ASSERT_TRUE(move && std::holds_alternative<Split>(*move));
    hand.state.consecutive_resplits = max_consecutive_resplits - 1;
    move = hand.find(BestSplit{}, rng);
    ASSERT_TRUE(move && std::holds_alternative<Resplit>(*move));
}

}  // namespace
}  // namespace zun
