#include "grid_tensor/histogram_binning.hpp"

#include <cmath>
#include <limits>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "grid_tensor/state.hpp"
#include "grid_tensor/value_order.hpp"
#include "parallel.hpp"

namespace zun {

namespace {

// Rows coded per block of the parallel coding pass.
constexpr std::size_t coding_block_rows = 16384;

FeatureBins bins_of_column(const MatrixView& x, std::size_t column, std::size_t max_bins) {
    const std::vector<double> sorted = sorted_values(x, column);
    const std::size_t n = sorted.size();
    const auto value = [&sorted](std::size_t q) { return sorted[q]; };
    FeatureBins bins;
    if (n <= 1) {
        return bins;
    }
    bins.boundaries = quantile_boundaries(n, max_bins, value);
    if (bins.boundaries.empty()) {
        // Every quantile fell inside the last run of equal values: the
        // feature keeps every cut between different values.
        for (std::size_t q = 1; q < n; ++q) {
            if (!(value(q) == value(q - 1))) {
                bins.boundaries.push_back(q);
            }
        }
    }
    for (const std::size_t c : bins.boundaries) {
        bins.thresholds.push_back(value(c));
        bins.tie.push_back(std::abs(value(c) - value(c - 1)) < tie_distance ? 1 : 0);
    }
    return bins;
}

// The number of thresholds at or below `value`. A binary search whose
// halving compiles to a conditional move: the branches of a plain search
// mispredict on every other step, which made coding cost as much as sorting.
std::size_t bin_of(const std::vector<double>& thresholds, double value) {
    if (thresholds.empty()) {
        return 0;
    }
    const double* base = thresholds.data();
    std::size_t length = thresholds.size();
    // Thresholds are ascending: when base[half] is at or below the value, so
    // is everything before it, and the count carries on from there.
    while (length > 1) {
        const std::size_t half = length / 2;
        base = base[half] <= value ? base + half : base;
        length -= half;
    }
    return static_cast<std::size_t>(base - thresholds.data()) + (*base <= value ? 1 : 0);
}

template <class Code>
LargeVector<Code> coded_rows(const MatrixView& x, const std::vector<FeatureBins>& features) {
    const std::size_t n = x.rows();
    const std::size_t p = x.cols();
    LargeVector<Code> codes(checked_count({n, p}, "the bin codes (rows x features)", sizeof(Code)));
    parallel_for_blocks(n, coding_block_rows, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            for (std::size_t j = 0; j < p; ++j) {
                codes[i * p + j] = static_cast<Code>(bin_of(features[j].thresholds, x(i, j)));
            }
        }
    });
    return codes;
}

}  // namespace

std::optional<std::size_t> FeatureBins::boundary_at(std::size_t position) const {
    const auto found = std::lower_bound(boundaries.begin(), boundaries.end(), position);
    if (found == boundaries.end() || *found != position) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(found - boundaries.begin());
}

std::size_t FeatureBins::bin_starting_at(std::size_t position, std::size_t n) const {
    if (position == 0) {
        return 0;
    }
    if (position == n) {
        return bin_count();
    }
    const std::optional<std::size_t> boundary = boundary_at(position);
    if (!boundary) {
        throw InternalError(fmt::format("no bin starts at position {}", position));
    }
    return *boundary + 1;
}

std::size_t BinnedFeatures::code(std::size_t sample, std::size_t feature) const {
    require(sample < n_samples && feature < n_features, "BinnedFeatures::code: sample or feature outside the codes");
    return std::visit([&](const auto& table) { return static_cast<std::size_t>(table[sample * n_features + feature]); },
                      codes);
}

std::size_t BinnedFeatures::code_bytes() const {
    return std::visit([](const auto& table) { return sizeof(table[0]); }, codes);
}

std::shared_ptr<const BinnedFeatures> bin_features(const MatrixView& x, std::uint32_t max_bins) {
    require(max_bins > 1, "bin_features: binning needs max_bins of at least 2");
    auto binned = std::make_shared<BinnedFeatures>();
    binned->n_samples = x.rows();
    binned->n_features = x.cols();
    binned->max_bins = max_bins;
    binned->features.resize(x.cols());
    parallel_for_blocks(x.cols(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j) {
            binned->features[j] = bins_of_column(x, j, max_bins);
        }
    });
    std::size_t most_bins = 1;
    for (const FeatureBins& feature : binned->features) {
        most_bins = std::max(most_bins, feature.bin_count());
    }
    if (most_bins <= std::size_t{1} << 8) {
        binned->codes = coded_rows<std::uint8_t>(x, binned->features);
    } else if (most_bins <= std::size_t{1} << 16) {
        binned->codes = coded_rows<std::uint16_t>(x, binned->features);
    } else {
        require(most_bins - 1 <= std::numeric_limits<std::uint32_t>::max(),
                "bin_features: more bins than a 32-bit code can number");
        binned->codes = coded_rows<std::uint32_t>(x, binned->features);
    }
    return binned;
}

}  // namespace zun
