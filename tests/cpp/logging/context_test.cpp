#include "logging/context.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace zun::logging {
namespace {

TEST(LoggingContext, NestedWithEpochLeavesTheEpochAbsent) {
    with_epoch(2, [] {
        EXPECT_EQ(current_epoch(), 2u);
        with_epoch(3, [] { EXPECT_EQ(current_epoch(), 3u); });
        EXPECT_EQ(current_epoch(), std::nullopt);
    });
    EXPECT_EQ(current_epoch(), std::nullopt);
}

TEST(LoggingContext, TreeIdIsClearedEvenWhenTheActionThrows) {
    EXPECT_THROW(with_tree_id(7, []() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_EQ(current_tree_id(), std::nullopt);
    EXPECT_EQ(with_tree_id(4, [] { return *current_tree_id() * 10; }), 40u);
}

TEST(LoggingContext, EachThreadHasItsOwnContext) {
    with_epoch(5, [] {
        std::optional<std::uint64_t> seen_by_worker = 99;
        std::thread worker([&] { seen_by_worker = current_epoch(); });
        worker.join();
        EXPECT_EQ(seen_by_worker, std::nullopt);
        EXPECT_EQ(current_epoch(), 5u);
    });
}

}  // namespace
}  // namespace zun::logging
