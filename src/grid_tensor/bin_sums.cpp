#include "grid_tensor/bin_sums.hpp"

#include <cmath>
#include <limits>
#include <type_traits>
#include <variant>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "grid_tensor/bin_lanes.hpp"

namespace zun {

namespace {

constexpr double nan_value = std::numeric_limits<double>::quiet_NaN();
constexpr SplitCandidate not_a_candidate{{nan_value, nan_value}, {nan_value, nan_value}, nan_value};

// The bins of the moved feature whose samples a move rescales: [first,
// last), with `left` below `middle` and `right` from it.
struct MovedBins {
    std::size_t first = 0;
    std::size_t middle = 0;
    std::size_t last = 0;
    ComponentRatios left;
    ComponentRatios right;
};

// One pass over the samples in index order, reading each sample's codes
// once. Rescales the moved samples; with Rebuild every bin is summed from
// scratch, otherwise each moved sample's change is added to its bins.
// Returns whether every moved sample's statistics stay bounded.
template <bool Rebuild, bool Single, class Lanes, class Code>
bool sample_pass(const RefinementStrategy& strategy, GridTensorState& state, const Code* codes, std::size_t feature,
                 const MovedBins& moved) {
    const std::size_t n = state.n_samples;
    const std::size_t p = state.n_features;
    SampleRecord* samples = state.samples.data();
    CompensatedStats5* bins = state.bin_sums.bins.data();
    const std::size_t* first_bin = state.bin_sums.first_bin.data();
    const std::size_t moved_width = moved.last - moved.first;
    if constexpr (Rebuild) {
        std::fill(state.bin_sums.bins.begin(), state.bin_sums.bins.end(), CompensatedStats5{});
    }
    bool bounded = true;
    for (std::size_t i = 0; i < n; ++i) {
        const Code* row = codes + i * p;
        const std::size_t bin = row[feature];
        // One unsigned comparison: bins below `first` wrap around to large values.
        const bool moves = bin - moved.first < moved_width;
        if (!Rebuild && !moves) {
            continue;
        }
        SampleRecord& sample = samples[i];
        Stats5 before;
        if constexpr (!Rebuild) {
            before = sample_products(strategy, sample, Single);
        }
        if (moves) {
            rescale_sample(sample, bin < moved.middle ? moved.left : moved.right);
            bounded = bounded && has_bounded_statistics(sample);
        }
        const Stats5 after = sample_products(strategy, sample, Single);
        if constexpr (Rebuild) {
            Lanes::template add_to_bins<Single>(bins, first_bin, row, p, after);
        } else {
            Lanes::template add_change_to_bins<Single>(bins, first_bin, row, p, before, after);
        }
    }
    return bounded;
}

// The pass with its bin arithmetic in 512-bit (below: 256-bit) registers.
// The target attribute keeps the wide instructions inside these functions,
// called only where the processor was found to have them; flattening
// inlines the whole pass, lanes included, into them.
template <bool Rebuild, bool Single, class Code>
[[gnu::target("avx512f"), gnu::flatten]] bool sample_pass_avx512(const RefinementStrategy& strategy,
                                                                  GridTensorState& state, const Code* codes,
                                                                  std::size_t feature, const MovedBins& moved) {
    return sample_pass<Rebuild, Single, Avx512Lanes>(strategy, state, codes, feature, moved);
}

template <bool Rebuild, bool Single, class Code>
[[gnu::target("avx"), gnu::flatten]] bool sample_pass_avx(const RefinementStrategy& strategy, GridTensorState& state,
                                                           const Code* codes, std::size_t feature,
                                                           const MovedBins& moved) {
    return sample_pass<Rebuild, Single, AvxLanes>(strategy, state, codes, feature, moved);
}

template <bool Rebuild, bool Single, class Code>
bool lanes_pass(const RefinementStrategy& strategy, GridTensorState& state, const Code* codes, std::size_t feature,
                const MovedBins& moved) {
    switch (state.bin_sums.lanes) {
        case BinLanes::avx512:
            return sample_pass_avx512<Rebuild, Single>(strategy, state, codes, feature, moved);
        case BinLanes::avx:
            return sample_pass_avx<Rebuild, Single>(strategy, state, codes, feature, moved);
        case BinLanes::portable:
            break;
    }
    return sample_pass<Rebuild, Single, PortableLanes>(strategy, state, codes, feature, moved);
}

template <bool Rebuild>
bool run_pass(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
              const MovedBins& moved) {
    const bool single_mode = single_component_mode(state);
    return std::visit(
        [&](const auto& table) {
            const auto* codes = table.data();
            return single_mode ? lanes_pass<Rebuild, true>(strategy, state, codes, feature, moved)
                               : lanes_pass<Rebuild, false>(strategy, state, codes, feature, moved);
        },
        state.binned->codes);
}

// The running sums of every interval of `feature` and its interval
// statistics.
void refresh_feature_sums(GridTensorState& state, std::size_t feature) {
    const FeatureBins& feature_bins = state.binned->features[feature];
    BinSums& sums = state.bin_sums;
    const std::size_t base = sums.first_bin[feature];
    const std::size_t intervals = state.interval_count(feature);
    auto& interval_stats = state.interval_stats[feature];
    require(interval_stats.size() == intervals, "refresh_feature_sums: one interval record per interval");
    std::size_t bin = 0;
    for (std::size_t k = 0; k < intervals; ++k) {
        const std::size_t start = state.interval_start(feature, k);
        const std::size_t end = state.interval_end(feature, k);
        const std::size_t end_bin = feature_bins.bin_starting_at(end, state.n_samples);
        Stats5 running;
        for (; bin < end_bin; ++bin) {
            running += sums.bins[base + bin].value();
            sums.running[base + bin] = running;
        }
        interval_stats[k] = {running, end - start};
    }
}

template <bool Single>
SplitCandidate candidate_at(const RefinementStrategy& strategy, const GridTensorState& state, std::size_t feature,
                            std::size_t position) {
    if (state.cut_excluded(feature, position)) {
        return not_a_candidate;
    }
    const std::size_t k = state.interval_containing(feature, position);
    const std::size_t bin = state.binned->features[feature].bin_starting_at(position, state.n_samples);
    // The position is not the interval's first, so its bin is not either:
    // the running sum of the bin before it covers [interval start, position).
    const Stats5& left = state.bin_sums.running[state.bin_sums.first_bin[feature] + bin - 1];
    return cut_candidate(strategy, state.interval_stats[feature][k].sums, left, Single);
}

constexpr double unit_roundoff = 0x1p-53;

// Whether a bin's kept sum may have drifted from the sum of its current
// statistics by more than `relative` of its size. The compensation is exact
// at every addition, but adding the compensations up rounds, each time by at
// most a unit roundoff of the compensation so far: so the drift is about
// additions x unit roundoff x |compensation|. The size of the sum stands in
// for the size of its terms, which it cannot exceed. A sum that overflowed
// is left as it is.
bool drifted(double sum, double error, double additions, double relative) {
    return error != 0.0 && std::isfinite(error) &&
           additions * unit_roundoff * std::abs(error) > relative * std::abs(sum + error);
}

bool drift_suspected(const BinSums& sums) {
    const double additions = static_cast<double>(sums.updated_since_rebuild) + 1.0;
    const double relative = sums.drift_threshold;
    for (const CompensatedStats5& bin : sums.bins) {
        const Stats5& s = bin.sum;
        const Stats5& e = bin.error;
        if (drifted(s.pp, e.pp, additions, relative) || drifted(s.mm, e.mm, additions, relative) ||
            drifted(s.pm, e.pm, additions, relative) || drifted(s.rp, e.rp, additions, relative) ||
            drifted(s.rm, e.rm, additions, relative)) {
            return true;
        }
    }
    return false;
}

template <bool Single>
void mark_nan_gains(const RefinementStrategy& strategy, GridTensorState& state) {
    for (std::size_t j = 0; j < state.n_features; ++j) {
        const auto& boundaries = state.binned->features[j].boundaries;
        auto& never_cut = state.bin_sums.never_cut[j];
        for (std::size_t t = 0; t < boundaries.size(); ++t) {
            if (never_cut[t] == 0 && std::isnan(candidate_at<Single>(strategy, state, j, boundaries[t]).gain)) {
                never_cut[t] = 1;
            }
        }
    }
}

}  // namespace

void initialize_bin_sums(const RefinementStrategy& strategy, GridTensorState& state) {
    require(state.is_binned(), "initialize_bin_sums: the state is not binned");
    BinSums& sums = state.bin_sums;
    sums.first_bin.assign(state.n_features + 1, 0);
    sums.never_cut.resize(state.n_features);
    for (std::size_t j = 0; j < state.n_features; ++j) {
        const FeatureBins& feature_bins = state.binned->features[j];
        sums.first_bin[j + 1] = sums.first_bin[j] + feature_bins.bin_count();
        sums.never_cut[j] = feature_bins.tie;
    }
    const std::size_t total = checked_count({sums.first_bin.back()}, "the bin sums", sizeof(CompensatedStats5));
    sums.bins.assign(total, CompensatedStats5{});
    sums.running.assign(total, Stats5{});
    run_pass<true>(strategy, state, 0, MovedBins{});
    refresh_binned_statistics(strategy, state);
}

bool move_binned_samples(const RefinementStrategy& strategy, GridTensorState& state, std::size_t feature,
                         std::size_t start, std::size_t middle, std::size_t end, const ComponentRatios& left,
                         const ComponentRatios& right) {
    require(state.is_binned() && feature < state.n_features && start <= middle && middle <= end &&
                end <= state.n_samples,
            "move_binned_samples: feature or positions outside the binned state");
    const std::size_t n = state.n_samples;
    const FeatureBins& feature_bins = state.binned->features[feature];
    const MovedBins moved{feature_bins.bin_starting_at(start, n), feature_bins.bin_starting_at(middle, n),
                          feature_bins.bin_starting_at(end, n), left, right};
    BinSums& sums = state.bin_sums;
    const std::size_t count = end - start;
    if (sums.rebuild_divisor != 0 && count * sums.rebuild_divisor >= n) {
        sums.updated_since_rebuild = 0;
        return run_pass<true>(strategy, state, feature, moved);
    }
    sums.updated_since_rebuild += count;
    const bool bounded = run_pass<false>(strategy, state, feature, moved);
    if (drift_suspected(sums)) {
        sums.updated_since_rebuild = 0;
        ++sums.drift_rebuilds;
        run_pass<true>(strategy, state, feature, MovedBins{});
    }
    return bounded;
}

void refresh_binned_statistics(const RefinementStrategy& strategy, GridTensorState& state) {
    const bool single_mode = single_component_mode(state);
    for (std::size_t j = 0; j < state.n_features; ++j) {
        refresh_feature_sums(state, j);
        const std::size_t cuts = state.split_positions[j].size();
        require(state.resplit_score[j].size() == cuts, "refresh_binned_statistics: one resplit entry per cut");
        for (std::size_t c = 0; c < cuts; ++c) {
            compute_resplit_values(strategy, state, j, c, single_mode);
        }
    }
    if (state.guard_nan_gains) {
        if (single_mode) {
            mark_nan_gains<true>(strategy, state);
        } else {
            mark_nan_gains<false>(strategy, state);
        }
    }
}

SplitCandidate binned_split_candidate(const RefinementStrategy& strategy, const GridTensorState& state,
                                      std::size_t feature, std::size_t position, bool single_mode) {
    return single_mode ? candidate_at<true>(strategy, state, feature, position)
                       : candidate_at<false>(strategy, state, feature, position);
}

std::vector<CandidateRun> binned_cuttable_runs(const GridTensorState& state, std::size_t feature) {
    std::vector<CandidateRun> runs;
    for (const std::size_t position : state.binned->features[feature].boundaries) {
        if (!state.cut_excluded(feature, position)) {
            append_to_runs(runs, position);
        }
    }
    return runs;
}

}  // namespace zun
