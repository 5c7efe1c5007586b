#pragma once
// The statistics of a binned fit. Cuts lie only on bin boundaries, so every
// interval is a run of bins and the sums over each bin's samples are all the
// refinement needs. A move changes only the moved samples' statistics: each
// moved sample's change (new minus old) is added into its bin on every
// feature, a cost of moved samples times features, with the sums of all bins
// small enough to stay in cache. The changes are exact and their additions
// compensated, so the sums keep the bits of the current statistics however
// much these cancel, until a sum falls many orders of magnitude below the
// terms it once held; a cheap estimate of that drift, made after each move,
// then has every bin summed again from the sample records. A move of every
// sample does that at once, which costs no more than adding its changes
// (BinSums says when).
#include <cstddef>
#include <vector>

#include "grid_tensor/reducer.hpp"
#include "grid_tensor/refinement.hpp"
#include "grid_tensor/split_candidates.hpp"
#include "grid_tensor/state.hpp"

namespace zun {

// Sums every bin of a fresh binned state from its sample records, then the
// running sums, interval statistics and resplit values.
void initialize_bin_sums(const RefinementStrategy& strategy, GridTensorState& state);

// After a move gave new values to the intervals of `feature` covering
// positions [start, end): rescales the components of those samples (`left`
// below position `middle`, `right` from it) and brings the bin sums up to
// date. start, middle and end are bin boundaries (or 0 and n). Returns
// whether every moved sample's statistics stay bounded.
bool move_binned_samples(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                         std::size_t start, std::size_t middle, std::size_t end, const ComponentRatios& left,
                         const ComponentRatios& right);

// From the bin sums: the running sums of every interval, the interval
// statistics and every cut's resplit values; while guarding, NaN gains mark
// their boundaries for good.
void refresh_binned_statistics(const RefinementStrategy& strategy, GridTensorState& state);

// The candidate of a cut at `position` of a binned feature; NaN gain when the
// position can never be cut.
SplitCandidate binned_split_candidate(const RefinementStrategy& strategy, const GridTensorState& state,
                                      std::size_t feature, std::size_t position, bool single_mode);

// The runs of boundaries of a binned feature that may be cut, ascending.
std::vector<CandidateRun> binned_cuttable_runs(const GridTensorState& state, std::size_t feature);

}  // namespace zun
