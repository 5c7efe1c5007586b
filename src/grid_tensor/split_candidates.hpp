#pragma once
// What the split search reads about split candidates: whether a position may
// ever be cut, and the closed-form update and gain of a cut at a position.
// The refinement computes them from the fitting state's statistics when the
// search asks, so no per-position table of gains is kept between moves.
#include <cstddef>
#include <functional>
#include <vector>

#include "grid_tensor/state.hpp"

namespace zun {

// The relative changes of the two sides of a cut and the cut's gain; a NaN
// gain means the position is not a candidate.
struct SplitCandidate {
    UpdatePair left;
    UpdatePair right;
    double gain = 0.0;
    bool operator==(const SplitCandidate&) const = default;
};

// Adds `position` to ascending runs: to the last run when it follows it,
// otherwise as a new run.
inline void append_to_runs(std::vector<CandidateRun>& runs, std::size_t position) {
    if (!runs.empty() && runs.back().start + runs.back().length == position) {
        ++runs.back().length;
    } else {
        runs.push_back({position, 1});
    }
}

class SplitCandidates {
public:
    using Visitor = std::function<void(std::size_t position, std::size_t run, const SplitCandidate& candidate)>;

    virtual ~SplitCandidates() = default;

    // False for a position that can never be cut.
    virtual bool may_cut(std::size_t feature, std::size_t position) const = 0;

    // The candidate at `position` of `feature`.
    virtual SplitCandidate at(std::size_t feature, std::size_t position) const = 0;

    // The maximal runs of consecutive positions among 0 .. n - 1 of `feature`
    // that may be cut, ascending.
    virtual std::vector<CandidateRun> cuttable_runs(std::size_t feature, std::size_t n) const {
        std::vector<CandidateRun> runs;
        for (std::size_t q = 0; q < n; ++q) {
            if (may_cut(feature, q)) {
                append_to_runs(runs, q);
            }
        }
        return runs;
    }

    // at() for every position of `runs` that may be cut, runs in order and
    // positions ascending, with the index of the run.
    virtual void for_each_in_runs(std::size_t feature, const std::vector<CandidateRun>& runs,
                                  const Visitor& visit) const {
        for (std::size_t r = 0; r < runs.size(); ++r) {
            for (std::size_t q = runs[r].start; q < runs[r].start + runs[r].length; ++q) {
                if (may_cut(feature, q)) {
                    visit(q, r, at(feature, q));
                }
            }
        }
    }
};

}  // namespace zun
