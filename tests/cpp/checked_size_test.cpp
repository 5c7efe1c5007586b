#include "checked_size.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "error.hpp"

namespace zun {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kTwoTo63 = std::uint64_t{1} << 63;

TEST(CheckedCount, ProductsThatOneAllocationHoldsAreCounts) {
    struct Case {
        std::vector<std::uint64_t> extents;
        std::size_t element_bytes;
        std::size_t count;
    };
    const std::vector<Case> cases = {
        {{}, 8, 1},
        {{400, 2, 5}, 8, 4000},
        {{0, kMax}, 8, 0},
        {{kMax, 0, kMax}, 8, 0},
        {{std::uint64_t{1} << 59}, 8, std::size_t{1} << 59},  // 2^62 bytes: within the signed range
        {{kTwoTo63 - 1}, 1, kTwoTo63 - 1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checked_count(c.extents, "a buffer", c.element_bytes), c.count);
    }
}

TEST(CheckedCount, WrappingOrOversizedProductsAreSizeErrors) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> extents;
        std::size_t element_bytes;
    };
    const std::vector<Case> cases = {
        {"rows x 2 x 2^63 wraps to zero", {40, 2, kTwoTo63}, 8},
        {"rows x 2 x (2^61 + 1) wraps to a small count", {400, 2, (std::uint64_t{1} << 61) + 1}, 8},
        {"the bytes of 2^64 - 1 seeds wrap", {kMax}, 8},
        {"2^60 doubles exceed the signed range", {std::uint64_t{1} << 60}, 8},
        {"2^63 bytes exceed the signed range", {kTwoTo63}, 1},
        {"ICE rows x values x columns", {std::uint64_t{1} << 33, std::uint64_t{1} << 33, 4}, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_THROW(checked_count(c.extents, "a buffer", c.element_bytes), SizeError);
    }
}

TEST(CheckedCount, TheErrorIsAnAllocationFailureNamingWhatWasAskedFor) {
    try {
        checked_count({40, 2, kTwoTo63}, "the design matrix (rows x 2 x epochs)");
        FAIL() << "no error";
    } catch (const std::bad_alloc& error) {
        EXPECT_STREQ(error.what(),
                     "cannot allocate the design matrix (rows x 2 x epochs): 40 x 2 x 9223372036854775808 elements "
                     "of 8 bytes exceed the address space");
    }
}

}  // namespace
}  // namespace zun
