#pragma once
// Runs a fit on a core thread of its own while the calling thread waits
// without the interpreter lock, in short slices. Between slices, with the
// lock, it writes the fit's console lines through sys.stdout, issues its
// warnings as RuntimeWarning, calls the progress callback when due and lets
// Python handle pending signals. A Python exception from any of these
// (Ctrl-C's KeyboardInterrupt included) cancels the fit; the call waits for
// the fit to unwind, then raises it.
#include <Python.h>

#include <chrono>
#include <functional>
#include <optional>
#include <utility>

#include "fit_control.hpp"
#include "py_ref.hpp"

namespace zun::py {

class FitRunner {
public:
    // `callback` may be null; `workers` threads per parallel region.
    FitRunner(PyObject* callback, int workers);

    // The fit's context, with a queued console; `fit` runs with it installed.
    FitControl& control() { return control_; }

    // The fit's result; throws PythonErrorSet with the Python exception set,
    // or the fit's own exception.
    template <class Result>
    Result run(const std::function<Result()>& fit) {
        std::optional<Result> result;
        run_on_core_thread([&] { result.emplace(fit()); });
        return std::move(*result);
    }

    // Calls the callback once more, with the lock held, for a fit that is
    // done; a raised exception propagates and the return value is ignored.
    void report_done(const FitProgress& progress, double train_error);

private:
    void run_on_core_thread(const std::function<void()>& fit);
    // False with a Python exception set.
    bool serve(bool finished);
    bool call_back(const FitProgress& progress, std::optional<double> train_error, bool& keep_going,
                   std::optional<double> validation_error = std::nullopt);
    double elapsed() const;

    FitControl control_{FitControl::Console::Queued};
    PyRef callback_;
    int workers_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point last_call_;
};

}  // namespace zun::py
