#include "parallel.hpp"

#include <gtest/gtest.h>
#include <omp.h>

#include <stdexcept>
#include <string>

namespace zun {
namespace {

TEST(ParallelMap, ResultsComeBackInIndexOrderForAnyThreadCount) {
    for (const int threads : {1, 2, 3, 5}) {
        omp_set_num_threads(threads);
        const std::vector<std::size_t> squares =
            parallel_map<std::size_t>(101, [](std::size_t i) { return i * i; });
        ASSERT_EQ(squares.size(), 101u);
        for (std::size_t i = 0; i < squares.size(); ++i) {
            EXPECT_EQ(squares[i], i * i) << "threads " << threads;
        }
    }
}

TEST(ParallelMap, EveryWorkerHasThrownOnceBeforeItsJobs) {
    for (const int threads : {1, 2, 4}) {
        omp_set_num_threads(threads);
        const std::vector<int> prepared =
            parallel_map<int>(16, [](std::size_t) { return worker_thread_prepared() ? 1 : 0; });
        EXPECT_EQ(prepared, std::vector<int>(16, 1)) << "threads " << threads;
    }
}

TEST(ParallelMap, TheLowestFailingJobsErrorReachesTheCaller) {
    omp_set_num_threads(3);
    const auto job = [](std::size_t i) -> int {
        if (i == 17 || i == 40) {
            throw std::runtime_error("job " + std::to_string(i) + " failed");
        }
        return static_cast<int>(i);
    };
    try {
        parallel_map<int>(64, job);
        FAIL() << "expected the job's exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "job 17 failed");
    }
    // The pool is still usable afterwards.
    EXPECT_EQ(parallel_map<int>(4, [](std::size_t i) { return static_cast<int>(i) + 1; }).back(), 4);
}

TEST(ParallelMap, NoJobsGiveNoResults) {
    EXPECT_TRUE(parallel_map<int>(0, [](std::size_t) { return 1; }).empty());
}

TEST(ParallelForBlocks, EveryIndexOnceInWholeBlocksForAnyThreadCount) {
    const std::vector<std::pair<std::size_t, std::size_t>> cases = {{0, 4}, {1, 4}, {10, 3}, {12, 3}, {1000, 7}};
    for (const int threads : {1, 2, 3}) {
        omp_set_num_threads(threads);
        for (const auto& [count, block] : cases) {
            std::vector<int> visits(count, 0);
            parallel_for_blocks(count, block, [&](std::size_t begin, std::size_t end) {
                EXPECT_EQ(begin % block, 0u) << count;
                EXPECT_TRUE(end == begin + block || end == count) << count;
                for (std::size_t i = begin; i < end; ++i) {
                    ++visits[i];
                }
            });
            EXPECT_EQ(visits, std::vector<int>(count, 1)) << count << " " << block << " " << threads;
        }
    }
}

TEST(ParallelForBlocks, TheLowestFailingBlocksErrorReachesTheCaller) {
    omp_set_num_threads(3);
    try {
        parallel_for_blocks(100, 10, [](std::size_t begin, std::size_t) {
            if (begin == 30 || begin == 70) {
                throw std::runtime_error("block " + std::to_string(begin) + " failed");
            }
        });
        FAIL() << "expected the block's exception";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "block 30 failed");
    }
}

}  // namespace
}  // namespace zun
