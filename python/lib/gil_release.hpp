#pragma once
// The interpreter lock released for a stretch of work that touches no Python
// object, and taken back however the stretch ends.
#include <Python.h>

#include "core_thread.hpp"

namespace zun::py {

class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;
    ~GilRelease() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Runs `work` without the lock on a core thread of its own, with as many
// workers per parallel region as one started on the calling thread would get.
// The caller keeps every object whose data `work` reads alive.
template <class Work>
auto without_gil_on_core_thread(Work&& work) {
    const int workers = calling_thread_workers();
    const GilRelease release;
    return run_on_core_thread(workers, work);
}

}  // namespace zun::py
