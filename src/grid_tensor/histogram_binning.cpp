#include "grid_tensor/histogram_binning.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include <immintrin.h>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "grid_tensor/bin_lanes.hpp"
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

// A feature's thresholds laid out for counting them sixteen at a time: 16
// blocks of 16 and one more block, then the last threshold of each block.
// NaN pads every place without a threshold; `NaN <= value` is false, so
// padding is never counted.
struct WideThresholds {
    static constexpr std::size_t block = 16;
    static constexpr std::size_t most = block * block;
    std::array<double, most + block> padded;
    std::array<double, block> block_last;

    explicit WideThresholds(const std::vector<double>& thresholds) {
        padded.fill(std::numeric_limits<double>::quiet_NaN());
        std::copy(thresholds.begin(), thresholds.end(), padded.begin());
        for (std::size_t b = 0; b < block; ++b) {
            block_last[b] = padded[b * block + block - 1];
        }
    }
};

// How many of the eight thresholds from `thresholds` are at or below `value`
// (the same in every lane).
[[gnu::target("avx512f,popcnt")]] inline std::size_t at_or_below(const double* thresholds, __m512d value) {
    const __mmask8 below = _mm512_cmp_pd_mask(_mm512_loadu_pd(thresholds), value, _CMP_LE_OQ);
    return static_cast<std::size_t>(__builtin_popcount(below));
}

// bin_of for at most WideThresholds::most thresholds: the blocks whose last
// threshold is at or below the value are below it whole; in the next block
// count the thresholds at or below it. Four comparisons of eight lanes
// instead of eight dependent steps of a binary search.
[[gnu::target("avx512f,popcnt")]] inline std::size_t wide_bin_of(const WideThresholds& table, double value) {
    const __m512d v = _mm512_set1_pd(value);
    const std::size_t blocks = at_or_below(table.block_last.data(), v) + at_or_below(table.block_last.data() + 8, v);
    const double* next = table.padded.data() + blocks * WideThresholds::block;
    return blocks * WideThresholds::block + at_or_below(next, v) + at_or_below(next + 8, v);
}

template <class Code>
[[gnu::target("avx512f,popcnt"), gnu::flatten]] void code_rows_wide(const MatrixView& x,
                                                                   const std::vector<WideThresholds>& tables,
                                                                   std::size_t begin, std::size_t end, Code* codes) {
    const std::size_t p = x.cols();
    for (std::size_t i = begin; i < end; ++i) {
        for (std::size_t j = 0; j < p; ++j) {
            codes[i * p + j] = static_cast<Code>(wide_bin_of(tables[j], x(i, j)));
        }
    }
}

template <class Code>
LargeVector<Code> coded_rows(const MatrixView& x, const std::vector<FeatureBins>& features, BinLanes lanes) {
    const std::size_t n = x.rows();
    const std::size_t p = x.cols();
    LargeVector<Code> codes(checked_count({n, p}, "the bin codes (rows x features)", sizeof(Code)));
    const bool wide = lanes == BinLanes::avx512 && std::all_of(features.begin(), features.end(), [](const auto& f) {
                          return f.thresholds.size() <= WideThresholds::most;
                      });
    std::vector<WideThresholds> tables;
    if (wide) {
        for (const FeatureBins& feature : features) {
            tables.emplace_back(feature.thresholds);
        }
    }
    parallel_for_blocks(n, coding_block_rows, [&](std::size_t begin, std::size_t end) {
        if (wide) {
            code_rows_wide(x, tables, begin, end, codes.data());
            return;
        }
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
    return bin_features(x, max_bins, best_bin_lanes());
}

std::shared_ptr<const BinnedFeatures> bin_features(const MatrixView& x, std::uint32_t max_bins, BinLanes lanes) {
    require(bin_lanes_available(lanes), "bin_features: the processor lacks the registers asked for");
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
        binned->codes = coded_rows<std::uint8_t>(x, binned->features, lanes);
    } else if (most_bins <= std::size_t{1} << 16) {
        binned->codes = coded_rows<std::uint16_t>(x, binned->features, lanes);
    } else {
        require(most_bins - 1 <= std::numeric_limits<std::uint32_t>::max(),
                "bin_features: more bins than a 32-bit code can number");
        binned->codes = coded_rows<std::uint32_t>(x, binned->features, lanes);
    }
    return binned;
}

}  // namespace zun
