#include "core_thread.hpp"

#include <omp.h>

namespace zun {

CoreThread::CoreThread(int workers, std::function<void()> work, std::function<void()> on_exit)
    : thread_([this, workers, work = std::move(work), on_exit = std::move(on_exit)] {
          omp_set_num_threads(workers);
          try {
              work();
          } catch (...) {
              failure_ = std::current_exception();
          }
          if (on_exit) {
              on_exit();
          }
      }) {}

CoreThread::~CoreThread() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CoreThread::join() {
    join_quietly();
    if (failure_) {
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

void CoreThread::join_quietly() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

int calling_thread_workers() { return omp_get_max_threads(); }

}  // namespace zun
