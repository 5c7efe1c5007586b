#pragma once
// The worker pool (OpenMP) and its two operations: a parallel map whose
// results come back in index order, and a loop over blocks of indices whose
// bodies write only their own outputs; so results never depend on the number
// of threads or on scheduling. An exception inside a job is caught on its
// worker and rethrown on the calling thread; nothing reaches std::terminate.
// Every job of a map runs in the caller's fit context (FitControl).
#include <algorithm>
#include <cstddef>
#include <exception>
#include <optional>
#include <vector>

#include "fit_control.hpp"

namespace zun {

// Throws and catches once on the calling thread, the first time only. The
// first exception of a thread makes the runtime allocate that thread's
// exception state; with little memory left that allocation aborts the
// process, so every worker does it up front, when the pool starts a map.
void prepare_worker_thread() noexcept;
bool worker_thread_prepared() noexcept;

template <class Result, class Job>
std::vector<Result> parallel_map(std::size_t count, const Job& job) {
    std::vector<std::optional<Result>> slots(count);
    std::vector<std::exception_ptr> failures(count);
    const auto n = static_cast<long long>(count);
    FitControl* const control = current_fit_control();
#pragma omp parallel
    prepare_worker_thread();
#pragma omp parallel for schedule(dynamic, 1)
    for (long long i = 0; i < n; ++i) {
        const auto index = static_cast<std::size_t>(i);
        const FitScope scope(control);
        try {
            slots[index].emplace(job(index));
        } catch (...) {
            failures[index] = std::current_exception();
        }
    }
    // The lowest failing index wins, whatever finished first.
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
    std::vector<Result> results;
    results.reserve(count);
    for (std::optional<Result>& slot : slots) {
        results.push_back(std::move(*slot));
    }
    return results;
}

// Calls body(begin, end) for consecutive blocks of `block` indices covering
// [0, count), in parallel when there is more than one block. Inside a fit
// that already runs on the pool the blocks run on the calling thread.
template <class Body>
void parallel_for_blocks(std::size_t count, std::size_t block, const Body& body) {
    const std::size_t blocks = block == 0 ? 0 : (count + block - 1) / block;
    std::vector<std::exception_ptr> failures(blocks);
    const auto n = static_cast<long long>(blocks);
#pragma omp parallel for schedule(static) if (blocks > 1)
    for (long long b = 0; b < n; ++b) {
        const auto index = static_cast<std::size_t>(b);
        try {
            body(index * block, std::min(count, (index + 1) * block));
        } catch (...) {
            failures[index] = std::current_exception();
        }
    }
    for (const std::exception_ptr& failure : failures) {
        if (failure) {
            std::rethrow_exception(failure);
        }
    }
}

}  // namespace zun
