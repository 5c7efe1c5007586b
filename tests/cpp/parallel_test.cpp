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

}  // namespace
}  // namespace zun
