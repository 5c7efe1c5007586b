#include "grid_tensor/splitting.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_map>

#include <fmt/format.h>

#include "error.hpp"

namespace zun {

namespace {

// Keeps the first candidate with the largest gain: later ones replace it
// only when strictly larger. NaN gains are not candidates.
void offer(std::optional<Split>& best, std::size_t feature, std::size_t position, std::size_t run_index,
           const SplitCandidate& candidate) {
    if (std::isnan(candidate.gain)) {
        return;
    }
    if (!best || candidate.gain > best->gain) {
        best = Split{candidate.left, candidate.right, feature, candidate.gain, run_index, position};
    }
}

// floor(fraction * count) converted with saturation: negative or NaN gives
// 0, values beyond the unsigned range its maximum.
std::size_t wanted_features(double fraction, std::size_t count) {
    const double wanted = std::floor(fraction * static_cast<double>(count));
    if (!(wanted > 0.0)) {
        return 0;
    }
    if (wanted >= 18446744073709551616.0) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(wanted);
}

// wanted of the eligible features, at least one, in feature order so that
// equal gains are settled as when all are examined; all when there are no more.
std::vector<std::size_t> draw_among(const std::vector<std::size_t>& eligible, std::size_t wanted, Rng& rng) {
    const std::size_t count = std::max<std::size_t>(wanted, 1);
    if (eligible.size() <= count) {
        return eligible;
    }
    std::vector<std::size_t> drawn = sample_distinct_sparse(rng, eligible.size(), count);
    std::sort(drawn.begin(), drawn.end());
    for (std::size_t& k : drawn) {
        k = eligible[k];
    }
    return drawn;
}

std::vector<std::size_t> features_to_examine(const GridTensorState& state, const RandomSplit& params, Rng& rng) {
    std::vector<std::size_t> eligible;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        if (state.candidate_count[j] > 0) {
            eligible.push_back(j);
        }
    }
    const std::size_t wanted = wanted_features(params.colsample_bytree, state.n_features);
    if (params.colsample_eligible) {
        return draw_among(eligible, wanted, rng);
    }
    if (eligible.size() >= wanted) {
        return eligible;
    }
    if (wanted > state.n_features) {
        throw FitError(fmt::format("colsample_bytree {} asks for {} of {} features; it must not exceed 1",
                                        params.colsample_bytree, wanted, state.n_features));
    }
    return sample_distinct_sparse(rng, state.n_features, wanted);
}

std::optional<Split> random_split(const GridTensorState& state, const SplitCandidates& candidates,
                                  const RandomSplit& params, Rng& rng) {
    std::optional<Split> best;
    for (const std::size_t j : features_to_examine(state, params, rng)) {
        const std::size_t count = state.candidate_count[j];
        if (count == 0) {
            continue;
        }
        const auto& runs = state.candidate_ranges[j];
        if (count < params.split_try) {
            for (std::size_t r = 0; r < runs.size(); ++r) {
                for (std::size_t q = runs[r].start; q < runs[r].start + runs[r].length; ++q) {
                    offer(best, j, q, r, candidates.at(j, q));
                }
            }
            continue;
        }
        for (const std::size_t k : sample_distinct_sparse(rng, count, params.split_try)) {
            const CandidateLocation location = locate_candidate(runs, k);
            offer(best, j, location.position, location.run_index, candidates.at(j, location.position));
        }
    }
    return best;
}

std::optional<Split> best_split(const GridTensorState& state, const SplitCandidates& candidates) {
    std::optional<Split> best;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        candidates.for_each_in_runs(j, state.candidate_ranges[j],
                                    [&](std::size_t q, std::size_t r, const SplitCandidate& candidate) {
                                        offer(best, j, q, r, candidate);
                                    });
    }
    return best;
}

// The top_k best candidates, largest gain first, equal gains in collection
// order (a stable sort of all candidates cut to top_k, without sorting them
// all), and how many candidates there were.
struct TopList {
    std::vector<Split> best;
    std::size_t collected = 0;
};

TopList collect_top(const GridTensorState& state, const SplitCandidates& candidates, std::size_t top_k) {
    TopList list;
    list.best.reserve(std::min<std::size_t>(top_k, 1024));
    for (std::size_t j = 0; j < state.n_features; ++j) {
        candidates.for_each_in_runs(j, state.candidate_ranges[j],
                                    [&](std::size_t q, std::size_t r, const SplitCandidate& candidate) {
                                        const double gain = candidate.gain;
                                        if (std::isnan(gain)) {
                                            return;
                                        }
                                        ++list.collected;
                                        if (list.best.size() == top_k && !(top_k > 0 && gain > list.best.back().gain)) {
                                            return;
                                        }
                                        const auto at = std::upper_bound(
                                            list.best.begin(), list.best.end(), gain,
                                            [](double g, const Split& s) { return g > s.gain; });
                                        list.best.insert(at, Split{candidate.left, candidate.right, j, gain, r, q});
                                        if (list.best.size() > top_k) {
                                            list.best.pop_back();
                                        }
                                    });
    }
    return list;
}

std::optional<Split> top_k_split(const GridTensorState& state, const SplitCandidates& candidates,
                                 const TopKSplits& params, Rng& rng) {
    const TopList list = collect_top(state, candidates, params.top_k);
    if (list.collected == 0 || (list.collected < params.top_k && params.must_fill_all_k)) {
        return std::nullopt;
    }
    if (list.best.empty()) {
        throw FitError(
            fmt::format("TopKSplits found {} candidates but top_k is {}; top_k must be at least 1", list.collected,
                        params.top_k));
    }
    return list.best[rng.uniform_below(list.best.size())];
}

std::optional<Split> proposed_split(const GridTensorState& state, const SplitCandidates& candidates,
                                    const SplitStrategyParams& params, Rng& rng) {
    return std::visit(
        [&](const auto& variant) -> std::optional<Split> {
            using Variant = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<Variant, RandomSplit>) {
                return random_split(state, candidates, variant, rng);
            } else if constexpr (std::is_same_v<Variant, BestSplit>) {
                return best_split(state, candidates);
            } else {
                return top_k_split(state, candidates, variant, rng);
            }
        },
        params);
}

double min_split_loss(const SplitStrategyParams& params) {
    return std::visit([](const auto& variant) { return variant.min_split_loss; }, params);
}

std::optional<Resplit> resplit_candidate(const GridTensorState& state) {
    if (state.consecutive_resplits >= max_consecutive_resplits) {
        return std::nullopt;
    }
    std::optional<Resplit> best;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        const auto& scores = state.resplit_score[j];
        for (std::size_t c = 0; c < scores.size(); ++c) {
            if (std::isnan(scores[c]) || (best && !(scores[c] > best->score))) {
                continue;
            }
            best = Resplit{state.resplit_left_update[j][c], state.resplit_right_update[j][c], j, scores[c], c,
                           state.split_positions[j][c]};
        }
    }
    return best;
}

}  // namespace

std::size_t min_interval_samples(const SplitStrategyParams& params) {
    return std::visit([](const auto& variant) { return static_cast<std::size_t>(variant.min_interval_samples); },
                      params);
}

void init_candidates(GridTensorState& state, const SplitCandidates& candidates, const SplitStrategyParams& params) {
    if (!state.stats_ready) {
        throw InternalError("Statistics are not initialized yet!");
    }
    const std::size_t a = min_interval_samples(params);
    const std::size_t n = state.n_samples;
    // Exclusive end of the positions that leave a samples on the right.
    const std::size_t end_limit = n + 1 > a ? n + 1 - a : 0;
    for (std::size_t j = 0; j < state.n_features; ++j) {
        auto& runs = state.candidate_ranges[j];
        runs.clear();
        std::size_t total = 0;
        for (const CandidateRun& run : candidates.cuttable_runs(j, n)) {
            // Position 0 would leave the left side empty, whatever
            // min_interval_samples says (0 included).
            const std::size_t clipped_start = std::max({run.start, a, std::size_t{1}});
            const std::size_t clipped_end = std::min(run.start + run.length, end_limit);
            if (clipped_start < clipped_end) {
                runs.push_back({clipped_start, clipped_end - clipped_start});
                total += clipped_end - clipped_start;
            }
        }
        state.candidate_count[j] = total;
    }
}

void remove_around_cut(GridTensorState& state, const SplitStrategyParams& params, std::size_t feature,
                       std::size_t run_index, std::size_t position) {
    if (feature >= state.n_features || run_index >= state.candidate_ranges[feature].size()) {
        throw InternalError(fmt::format("remove_around_cut: no candidate run {} in feature {} of {}", run_index,
                                        feature, state.n_features));
    }
    const std::size_t a = min_interval_samples(params);
    // Excluded zone [zone_start, zone_end): positions closer than a to the cut.
    const std::size_t zone_start = position + 1 >= a ? position + 1 - a : 0;
    const std::size_t zone_end = position + a;
    if (zone_start >= zone_end) {
        return;
    }
    auto& runs = state.candidate_ranges[feature];
    const CandidateRun run = runs[run_index];
    const std::size_t run_end = run.start + run.length;
    std::vector<CandidateRun> pieces;
    if (run.start < std::min(run_end, zone_start)) {
        pieces.push_back({run.start, std::min(run_end, zone_start) - run.start});
    }
    if (std::max(run.start, zone_end) < run_end) {
        const std::size_t start = std::max(run.start, zone_end);
        pieces.push_back({start, run_end - start});
    }
    std::size_t kept = 0;
    for (const CandidateRun& piece : pieces) {
        kept += piece.length;
    }
    // The pieces lie inside the run they replace, so putting them in its
    // place keeps the list sorted by start.
    runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(run_index));
    runs.insert(runs.begin() + static_cast<std::ptrdiff_t>(run_index), pieces.begin(), pieces.end());
    state.candidate_count[feature] = state.candidate_count[feature] + kept - run.length;
}

CandidateLocation locate_candidate(const std::vector<CandidateRun>& runs, std::size_t k) {
    std::size_t remaining = k;
    for (std::size_t r = 0; r < runs.size(); ++r) {
        if (remaining < runs[r].length) {
            return {runs[r].start + remaining, r};
        }
        remaining -= runs[r].length;
    }
    throw InternalError(fmt::format("Invalid abstract index: {}", k));
}

std::vector<std::size_t> sample_distinct_sparse(Rng& rng, std::size_t n, std::size_t k) {
    if (k > n) {
        throw InternalError(fmt::format("cannot draw {} distinct indices from {}", k, n));
    }
    // Partial Fisher-Yates over a virtual identity array: only displaced
    // entries are stored.
    std::unordered_map<std::size_t, std::size_t> displaced;
    displaced.reserve(k);
    const auto value_at = [&displaced](std::size_t index) {
        const auto found = displaced.find(index);
        return found == displaced.end() ? index : found->second;
    };
    std::vector<std::size_t> result;
    result.reserve(k);
    for (std::size_t i = 0; i < k; ++i) {
        const auto pick = i + static_cast<std::size_t>(rng.uniform_below(n - i));
        const std::size_t picked = value_at(pick);
        displaced[pick] = value_at(i);
        result.push_back(picked);
    }
    return result;
}

std::optional<FitAction> find_move(const GridTensorState& state, const SplitCandidates& candidates,
                                   const SplitStrategyParams& params, Rng& rng) {
    std::optional<Split> split = proposed_split(state, candidates, params, rng);
    if (split && !(split->gain >= min_split_loss(params))) {
        split.reset();
    }
    const std::optional<Resplit> resplit = resplit_candidate(state);
    if (split && resplit) {
        if (split->gain > resplit->score) {
            return *split;
        }
        return *resplit;
    }
    if (split) {
        return *split;
    }
    if (resplit) {
        return *resplit;
    }
    return std::nullopt;
}

}  // namespace zun
