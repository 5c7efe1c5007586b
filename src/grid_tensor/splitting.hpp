#pragma once
// The split search: keeps per feature the runs of positions that may still be
// cut, picks a split candidate with the random, best or top-k strategy, looks
// for the best resplit and proposes the better of the two. Split candidates
// are evaluated on request (SplitCandidates), resplit values read from the
// state; moves are applied by the reducer.
#include <cstddef>
#include <optional>
#include <variant>
#include <vector>

#include "grid_tensor/params.hpp"
#include "grid_tensor/split_candidates.hpp"
#include "grid_tensor/state.hpp"
#include "random.hpp"

namespace zun {

// A new cut at sorted position `position` of `feature`.
struct Split {
    UpdatePair left;
    UpdatePair right;
    std::size_t feature = 0;
    double gain = 0.0;
    std::size_t run_index = 0;  // candidate run that holds the position
    std::size_t position = 0;
    bool operator==(const Split&) const = default;
};

// Refits the two intervals beside existing cut `cut_index`, which stays put.
struct Resplit {
    UpdatePair left;
    UpdatePair right;
    std::size_t feature = 0;
    double score = 0.0;
    std::size_t cut_index = 0;
    std::size_t position = 0;
    bool operator==(const Resplit&) const = default;
};

using FitAction = std::variant<Split, Resplit>;

// Resplits proposed in a row before only a split can follow.
inline constexpr std::size_t max_consecutive_resplits = 5;

std::size_t min_interval_samples(const SplitStrategyParams& params);

// Candidate runs from the positions that may be cut, clipped so every cut
// leaves min_interval_samples on each side.
void init_candidates(GridTensorState& state, const SplitCandidates& candidates, const SplitStrategyParams& params);

// Shrinks run `run_index` of `feature` by the zone around a new cut at
// `position` (only that run: neighbours keep their positions).
void remove_around_cut(GridTensorState& state, const SplitStrategyParams& params, std::size_t feature,
                       std::size_t run_index, std::size_t position);

// Position and run of abstract candidate index k of a feature's runs.
struct CandidateLocation {
    std::size_t position = 0;
    std::size_t run_index = 0;
};
CandidateLocation locate_candidate(const std::vector<CandidateRun>& runs, std::size_t k);

// k distinct indices from [0, n) in draw order, with the draws and result of
// Rng::sample_distinct but memory in k instead of n.
std::vector<std::size_t> sample_distinct_sparse(Rng& rng, std::size_t n, std::size_t k);

// The next move, or nullopt when none is possible. Changes nothing but the
// generator's position.
std::optional<FitAction> find_move(const GridTensorState& state, const SplitCandidates& candidates,
                                   const SplitStrategyParams& params, Rng& rng);

}  // namespace zun
