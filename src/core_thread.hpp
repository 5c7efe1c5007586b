#pragma once
// A thread of its own for one call into the core. Its parallel regions get
// the number of workers the call asks for, and it ends with the call, taking
// its OpenMP pool along: GCC's runtime keeps a pool per thread that started a
// parallel region, and in a process forked later the next region of that
// same thread would wait for workers that were never copied.
#include <exception>
#include <functional>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace zun {

class CoreThread {
public:
    // Starts `work` at once with `workers` threads per parallel region;
    // `on_exit` runs on the thread after it, also when it throws.
    CoreThread(int workers, std::function<void()> work, std::function<void()> on_exit = {});
    CoreThread(const CoreThread&) = delete;
    CoreThread& operator=(const CoreThread&) = delete;
    // Waits for the thread if nobody has.
    ~CoreThread();

    // Waits for the work; rethrows its exception.
    void join();
    // Waits for the work and forgets its exception.
    void join_quietly();

private:
    std::exception_ptr failure_;
    std::thread thread_;
};

// The workers a parallel region started on the calling thread would get:
// OMP_NUM_THREADS, or what omp_set_num_threads (threadpoolctl) set there.
int calling_thread_workers();

// Runs `work` on a core thread of its own with `workers` threads per region
// and returns its result; rethrows its exception.
template <class Work>
auto run_on_core_thread(int workers, Work&& work) {
    using Result = decltype(work());
    if constexpr (std::is_void_v<Result>) {
        CoreThread(workers, [&] { work(); }).join();
    } else {
        std::optional<Result> result;
        CoreThread(workers, [&] { result.emplace(work()); }).join();
        return std::move(*result);
    }
}

}  // namespace zun
