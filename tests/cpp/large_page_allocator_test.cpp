#include "large_page_allocator.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <new>
#include <vector>

namespace zun {
namespace {

struct alignas(32) Wide {
    double values[4];
};

TEST(LargePageAllocator, SmallAndLargeBlocksHoldTheirContentsAndAlignment) {
    // Below, at and above the large-page size; large blocks start on a 2 MiB boundary.
    for (const std::size_t count : {std::size_t{1}, std::size_t{1000}, large_page_bytes / sizeof(Wide),
                                    3 * large_page_bytes / sizeof(Wide) + 5}) {
        LargeVector<Wide> items(count);
        const auto address = reinterpret_cast<std::uintptr_t>(items.data());
        EXPECT_EQ(address % alignof(Wide), 0u) << count;
        if (count * sizeof(Wide) >= large_page_bytes) {
            EXPECT_EQ(address % large_page_bytes, 0u) << count;
        }
        for (std::size_t i = 0; i < count; ++i) {
            items[i].values[3] = static_cast<double>(i);
        }
        const LargeVector<Wide> copy = items;
        EXPECT_EQ(copy.back().values[3], static_cast<double>(count - 1)) << count;
    }
}

TEST(LargePageAllocator, ImpossibleSizesThrowBadAlloc) {
    LargePageAllocator<Wide> allocator;
    EXPECT_THROW(allocator.allocate(static_cast<std::size_t>(-1) / 8), std::bad_alloc);
}

}  // namespace
}  // namespace zun
