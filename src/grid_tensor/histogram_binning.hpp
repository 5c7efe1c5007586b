#pragma once
// Histogram binning: limits each feature's cut positions to at most
// max_bins - 1 equal-count quantile boundaries and codes every sample by the
// bin it falls in on every feature. A fit codes its matrix once (a boosted
// fit once for all its trees); the sort that places the boundaries is freed
// as soon as they are known.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "large_page_allocator.hpp"
#include "matrix_view.hpp"

namespace zun {

// The widest registers a binned fit's arithmetic uses, as far as the
// processor has them: coding values and adding into bins one number at a
// time, four bin statistics in one 256-bit register, or five in one 512-bit
// register (which also codes sixteen thresholds at a time). All give the
// same bits; a fit takes the widest available (best_bin_lanes).
enum class BinLanes { portable, avx, avx512 };

// The most bins a fit may ask for: every bin index fits a 16-bit code.
inline constexpr std::uint64_t max_bins_limit = 65536;

// Whether `max_bins` asks for binning at all: fewer than two bins would
// leave no boundary, so such a value means an exact fit.
inline bool bins_requested(const std::optional<std::uint32_t>& max_bins) { return max_bins && *max_bins > 1; }

// Boundaries of one feature of `n` sorted values (value(q) reads sorted
// position q): quantile positions floor(n q / B), B = min(n, max_bins). A
// quantile inside a run of equal values moves to the end of the run, where
// the next value starts, so that a heavily tied column keeps a boundary
// between each pair of frequent values instead of losing most of them; one
// inside the last run has nowhere to go and is dropped.
template <typename ValueAt>
std::vector<std::size_t> quantile_boundaries(std::size_t n, std::size_t max_bins, const ValueAt& value) {
    std::vector<std::size_t> boundaries;
    const std::size_t bins = std::min(n, max_bins);
    // Written as a negated equality so a NaN on either side also counts as a change.
    const auto starts_value = [&value](std::size_t c) { return !(value(c) == value(c - 1)); };
    for (std::size_t q = 1; q < bins; ++q) {
        std::size_t c = n * q / bins;
        // At or before the last boundary, the quantile would move onto it.
        // Skipping it also keeps each scan on positions no earlier scan
        // passed, so all scans together cost O(n).
        if (c < 1 || (!boundaries.empty() && c <= boundaries.back())) {
            continue;
        }
        while (c < n && !starts_value(c)) {
            ++c;
        }
        if (c >= n) {
            // This quantile and every later one lie in the last run.
            break;
        }
        boundaries.push_back(c);
    }
    return boundaries;
}

// The bins of one feature. Bin b holds the sorted positions from
// boundaries[b - 1] (0 for the first bin) up to boundaries[b] (n for the
// last). Cuts lie only on boundaries, so every interval is a run of bins.
struct FeatureBins {
    std::vector<std::size_t> boundaries;
    // The feature's value at each boundary: the smallest value of the bin
    // the boundary starts, so a sample lies in the bin of the last threshold
    // at or below its value.
    std::vector<double> thresholds;
    // Per boundary, 1 when the value before it lies within tie_distance: a
    // cut there would separate equal values, so it is never made.
    std::vector<std::uint8_t> tie;

    std::size_t bin_count() const { return boundaries.size() + 1; }
    // The index of the boundary at `position`, if a bin starts there.
    std::optional<std::size_t> boundary_at(std::size_t position) const;
    // The bin that starts at `position`: 0 at position 0, bin_count() at the
    // end `n`, otherwise the bin of the boundary there (InternalError when
    // there is none).
    std::size_t bin_starting_at(std::size_t position, std::size_t n) const;
};

// Bin codes in the narrowest type that holds every feature's bin index.
using BinCodes = std::variant<LargeVector<std::uint8_t>, LargeVector<std::uint16_t>, LargeVector<std::uint32_t>>;

// A matrix coded by bins. Read-only once made, so every fit on the same
// matrix and max_bins can share one.
struct BinnedFeatures {
    std::size_t n_samples = 0;
    std::size_t n_features = 0;
    std::uint32_t max_bins = 0;
    std::vector<FeatureBins> features;
    // Sample-major: the codes of sample i for features 0 .. p - 1 are entries
    // i p .. i p + p - 1, so a moved sample's codes for all features lie
    // together.
    BinCodes codes;

    // The bin of `sample` on `feature`.
    std::size_t code(std::size_t sample, std::size_t feature) const;
    // Bytes per code: 1 up to 256 bins per feature, 2 up to 65,536, else 4.
    std::size_t code_bytes() const;
};

// Codes every column of x. Boundaries follow quantile_boundaries; a feature
// whose quantiles all fall inside its last run of equal values gets a
// boundary at every change of value instead, so it keeps every cut an exact
// fit has.
// Throws InternalError naming the column when x holds NaN, which has no
// place in an ascending order. Features are coded in parallel on the worker
// pool; the result does not depend on the number of threads.
std::shared_ptr<const BinnedFeatures> bin_features(const MatrixView& x, std::uint32_t max_bins);
// The same, coding with the arithmetic of `lanes`, which the processor must
// have.
std::shared_ptr<const BinnedFeatures> bin_features(const MatrixView& x, std::uint32_t max_bins, BinLanes lanes);

}  // namespace zun
