#pragma once
// How a binned fit adds a sample into its bins, in the widths a fit can use
// (BinLanes): the exact change of a sample's statistics and its
// compensated addition into one bin per feature. All widths do the same
// IEEE operations in the same order on each statistic, so they give the
// same bits; the wider ones only take fewer instructions. Each width has
// its own loop over a sample's features: wide values may pass only between
// functions compiled for their width.
#include <cstddef>

#include <immintrin.h>

#include "grid_tensor/state.hpp"

namespace zun {

// Whether this processor runs the bin arithmetic of `lanes`.
bool bin_lanes_available(BinLanes lanes);

// The widest bin arithmetic this processor runs.
BinLanes best_bin_lanes();

// a + b as the float nearest it plus the exact remainder (Knuth's TwoSum).
inline void two_sum(double a, double b, double& total, double& remainder) {
    total = a + b;
    const double b_part = total - a;
    remainder = (a - (total - b_part)) + (b - b_part);
}

// Adds `value` to `sum` and the rounding error of that addition to `error`:
// the error term of Neumaier's compensated summation, found without a branch.
inline void add_compensated(double& sum, double& error, double value) {
    double remainder;
    two_sum(sum, value, sum, remainder);
    error += remainder;
}

// A sample's change of statistics, new minus old, exactly: the rounded
// difference and its remainder. The old statistics can be far larger than
// the new (a factor can fall twentyfold), and a rounded difference would
// carry an error of their size into every bin.
struct StatsChange {
    Stats5 rounded;
    Stats5 remainder;
};

// The arithmetic on a bin's five statistics, one statistic at a time. In
// single-component mode the f- statistics are 0 and stay 0.
struct PortableLanes {
    template <bool Single>
    static StatsChange change_between(const Stats5& before, const Stats5& after) {
        StatsChange change;
        two_sum(after.pp, -before.pp, change.rounded.pp, change.remainder.pp);
        two_sum(after.rp, -before.rp, change.rounded.rp, change.remainder.rp);
        if constexpr (!Single) {
            two_sum(after.mm, -before.mm, change.rounded.mm, change.remainder.mm);
            two_sum(after.pm, -before.pm, change.rounded.pm, change.remainder.pm);
            two_sum(after.rm, -before.rm, change.rounded.rm, change.remainder.rm);
        }
        return change;
    }

    template <bool Single>
    static void add_change(CompensatedStats5& bin, const StatsChange& change) {
        add_compensated(bin.sum.pp, bin.error.pp, change.rounded.pp);
        add_compensated(bin.sum.rp, bin.error.rp, change.rounded.rp);
        bin.error.pp += change.remainder.pp;
        bin.error.rp += change.remainder.rp;
        if constexpr (!Single) {
            add_compensated(bin.sum.mm, bin.error.mm, change.rounded.mm);
            add_compensated(bin.sum.pm, bin.error.pm, change.rounded.pm);
            add_compensated(bin.sum.rm, bin.error.rm, change.rounded.rm);
            bin.error.mm += change.remainder.mm;
            bin.error.pm += change.remainder.pm;
            bin.error.rm += change.remainder.rm;
        }
    }

    template <bool Single>
    static void add(CompensatedStats5& bin, const Stats5& products) {
        add_compensated(bin.sum.pp, bin.error.pp, products.pp);
        add_compensated(bin.sum.rp, bin.error.rp, products.rp);
        if constexpr (!Single) {
            add_compensated(bin.sum.mm, bin.error.mm, products.mm);
            add_compensated(bin.sum.pm, bin.error.pm, products.pm);
            add_compensated(bin.sum.rm, bin.error.rm, products.rm);
        }
    }

    // A sample's statistics into its bin on every feature (`row` holds its
    // codes; first_bin each feature's first bin).
    template <bool Single, class Code>
    static void add_to_bins(CompensatedStats5* bins, const std::size_t* first_bin, const Code* row, std::size_t p,
                            const Stats5& products) {
        for (std::size_t j = 0; j < p; ++j) {
            add<Single>(bins[first_bin[j] + row[j]], products);
        }
    }

    // A sample's change of statistics into its bin on every feature.
    template <bool Single, class Code>
    static void add_change_to_bins(CompensatedStats5* bins, const std::size_t* first_bin, const Code* row,
                                   std::size_t p, const Stats5& before, const Stats5& after) {
        const StatsChange change = change_between<Single>(before, after);
        for (std::size_t j = 0; j < p; ++j) {
            add_change<Single>(bins[first_bin[j] + row[j]], change);
        }
    }
};

// The same arithmetic with four statistics (pp, mm, pm, rp) in the lanes of
// one 256-bit register and rm in a scalar one: per statistic the operations
// of PortableLanes in its order (see Avx512Lanes for why the bits agree). In
// single-component mode mm and pm ride along as zeros: their sums are +0,
// and +0 plus a change of +0 is +0, so they keep PortableLanes' bits.
struct AvxLanes {
    struct Values {
        __m256d four;
        double last;
    };

    struct Change {
        Values rounded;
        Values remainder;
    };

    template <bool Single>
    [[gnu::target("avx")]] static Values products(const Stats5& s) {
        if constexpr (Single) {
            return {_mm256_set_pd(s.rp, 0.0, 0.0, s.pp), 0.0};
        }
        return {_mm256_set_pd(s.rp, s.pm, s.mm, s.pp), s.rm};
    }

    [[gnu::target("avx")]] static void two_sum(__m256d a, __m256d b, __m256d& total, __m256d& remainder) {
        total = _mm256_add_pd(a, b);
        const __m256d b_part = _mm256_sub_pd(total, a);
        remainder = _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(total, b_part)), _mm256_sub_pd(b, b_part));
    }

    template <bool Single>
    [[gnu::target("avx")]] static Change change_between(const Stats5& before, const Stats5& after) {
        const Stats5 negated{-before.pp, -before.mm, -before.pm, -before.rp, -before.rm};
        const Values a = products<Single>(after);
        const Values b = products<Single>(negated);
        Change change;
        two_sum(a.four, b.four, change.rounded.four, change.remainder.four);
        change.rounded.last = 0.0;
        change.remainder.last = 0.0;
        if constexpr (!Single) {
            zun::two_sum(a.last, b.last, change.rounded.last, change.remainder.last);
        }
        return change;
    }

    template <bool Single>
    [[gnu::target("avx")]] static void add_change(CompensatedStats5& bin, const Change& change) {
        __m256d sum;
        __m256d remainder;
        two_sum(_mm256_loadu_pd(&bin.sum.pp), change.rounded.four, sum, remainder);
        const __m256d error = _mm256_loadu_pd(&bin.error.pp);
        _mm256_storeu_pd(&bin.sum.pp, sum);
        _mm256_storeu_pd(&bin.error.pp, _mm256_add_pd(_mm256_add_pd(error, remainder), change.remainder.four));
        if constexpr (!Single) {
            add_compensated(bin.sum.rm, bin.error.rm, change.rounded.last);
            bin.error.rm += change.remainder.last;
        }
    }

    template <bool Single>
    [[gnu::target("avx")]] static void add(CompensatedStats5& bin, const Values& products) {
        __m256d sum;
        __m256d remainder;
        two_sum(_mm256_loadu_pd(&bin.sum.pp), products.four, sum, remainder);
        const __m256d error = _mm256_loadu_pd(&bin.error.pp);
        _mm256_storeu_pd(&bin.sum.pp, sum);
        _mm256_storeu_pd(&bin.error.pp, _mm256_add_pd(error, remainder));
        if constexpr (!Single) {
            add_compensated(bin.sum.rm, bin.error.rm, products.last);
        }
    }

    template <bool Single, class Code>
    [[gnu::target("avx")]] static void add_to_bins(CompensatedStats5* bins, const std::size_t* first_bin,
                                                   const Code* row, std::size_t p, const Stats5& after) {
        const Values value = products<Single>(after);
        for (std::size_t j = 0; j < p; ++j) {
            add<Single>(bins[first_bin[j] + row[j]], value);
        }
    }

    template <bool Single, class Code>
    [[gnu::target("avx")]] static void add_change_to_bins(CompensatedStats5* bins, const std::size_t* first_bin,
                                                          const Code* row, std::size_t p, const Stats5& before,
                                                          const Stats5& after) {
        const Change change = change_between<Single>(before, after);
        for (std::size_t j = 0; j < p; ++j) {
            add_change<Single>(bins[first_bin[j] + row[j]], change);
        }
    }
};

// The same arithmetic with a bin's five statistics in the lanes of one
// 512-bit register: each lane does PortableLanes' operations in its order,
// and IEEE addition is the same in a lane as in a scalar register, so the
// bits are those of PortableLanes. A bin's update is a few instructions
// instead of a few dozen. A sample's statistics enter the registers from
// scalars, not through memory: a wide load of values just stored one by one
// would wait for the stores.
struct Avx512Lanes {
    // Lanes of pp, mm, pm, rp, rm; only pp and rp in single-component mode.
    template <bool Single>
    static constexpr __mmask8 lanes = Single ? 0b01001 : 0b11111;

    struct Change {
        __m512d rounded;
        __m512d remainder;
    };

    template <bool Single>
    [[gnu::target("avx512f")]] static __m512d products(const Stats5& s) {
        if constexpr (Single) {
            return _mm512_set_pd(0.0, 0.0, 0.0, 0.0, s.rp, 0.0, 0.0, s.pp);
        }
        return _mm512_set_pd(0.0, 0.0, 0.0, s.rm, s.rp, s.pm, s.mm, s.pp);
    }

    // TwoSum lane by lane.
    [[gnu::target("avx512f")]] static void two_sum(__m512d a, __m512d b, __m512d& total, __m512d& remainder) {
        total = _mm512_add_pd(a, b);
        const __m512d b_part = _mm512_sub_pd(total, a);
        remainder = _mm512_add_pd(_mm512_sub_pd(a, _mm512_sub_pd(total, b_part)), _mm512_sub_pd(b, b_part));
    }

    template <bool Single>
    [[gnu::target("avx512f")]] static Change change_between(const Stats5& before, const Stats5& after) {
        // Negated as PortableLanes does, not subtracted from zero: the two
        // differ in the sign of a zero.
        const Stats5 negated{-before.pp, -before.mm, -before.pm, -before.rp, -before.rm};
        Change change;
        two_sum(products<Single>(after), products<Single>(negated), change.rounded, change.remainder);
        return change;
    }

    template <bool Single>
    [[gnu::target("avx512f")]] static void add_change(CompensatedStats5& bin, const Change& change) {
        __m512d sum;
        __m512d remainder;
        two_sum(_mm512_maskz_loadu_pd(lanes<Single>, &bin.sum.pp), change.rounded, sum, remainder);
        const __m512d error = _mm512_maskz_loadu_pd(lanes<Single>, &bin.error.pp);
        _mm512_mask_storeu_pd(&bin.sum.pp, lanes<Single>, sum);
        _mm512_mask_storeu_pd(&bin.error.pp, lanes<Single>,
                              _mm512_add_pd(_mm512_add_pd(error, remainder), change.remainder));
    }

    template <bool Single>
    [[gnu::target("avx512f")]] static void add(CompensatedStats5& bin, __m512d products) {
        __m512d sum;
        __m512d remainder;
        two_sum(_mm512_maskz_loadu_pd(lanes<Single>, &bin.sum.pp), products, sum, remainder);
        const __m512d error = _mm512_maskz_loadu_pd(lanes<Single>, &bin.error.pp);
        _mm512_mask_storeu_pd(&bin.sum.pp, lanes<Single>, sum);
        _mm512_mask_storeu_pd(&bin.error.pp, lanes<Single>, _mm512_add_pd(error, remainder));
    }

    template <bool Single, class Code>
    [[gnu::target("avx512f")]] static void add_to_bins(CompensatedStats5* bins, const std::size_t* first_bin,
                                                       const Code* row, std::size_t p, const Stats5& after) {
        const __m512d value = products<Single>(after);
        for (std::size_t j = 0; j < p; ++j) {
            add<Single>(bins[first_bin[j] + row[j]], value);
        }
    }

    template <bool Single, class Code>
    [[gnu::target("avx512f")]] static void add_change_to_bins(CompensatedStats5* bins, const std::size_t* first_bin,
                                                              const Code* row, std::size_t p, const Stats5& before,
                                                              const Stats5& after) {
        const Change change = change_between<Single>(before, after);
        for (std::size_t j = 0; j < p; ++j) {
            add_change<Single>(bins[first_bin[j] + row[j]], change);
        }
    }
};

}  // namespace zun
