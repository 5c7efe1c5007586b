#pragma once
// The worker pool (OpenMP) and its one operation: a parallel map whose
// results come back in index order, so they never depend on the number of
// threads or on scheduling. An exception inside a job is caught on its
// worker and rethrown on the calling thread; nothing reaches std::terminate.
// Every job runs in the caller's fit context (FitControl).
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

}  // namespace zun
