#include "fit_runner.hpp"

#include <string>
#include <vector>

#include "core_thread.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "progress_record.hpp"

namespace zun::py {
namespace {

using Clock = std::chrono::steady_clock;

// Short enough that Ctrl-C feels immediate, long enough to cost nothing.
constexpr std::chrono::milliseconds slice{50};
// How often, at most, the callback hears from an epoch under way.
constexpr std::chrono::milliseconds progress_interval{500};

// All lines in one write, then a flush, so that they show at once in a
// notebook or a pipe. False with the exception of write or flush set.
bool write_lines(const std::vector<std::string>& lines) {
    PyObject* const current = PySys_GetObject("stdout");  // borrowed
    if (lines.empty() || current == nullptr || current == Py_None) {
        return true;  // nothing to write, or no console at all (pythonw)
    }
    const PyRef out = PyRef::borrow(current);
    std::string text;
    for (const std::string& line : lines) {
        text += line;
    }
    const PyRef str =
        PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (!str || !PyRef::steal(PyObject_CallMethod(out.get(), "write", "O", str.get()))) {
        return false;
    }
    return PyObject_HasAttrString(out.get(), "flush") == 0 ||
           static_cast<bool>(PyRef::steal(PyObject_CallMethod(out.get(), "flush", nullptr)));
}

// For a fit that is being abandoned: its last lines still show, and the
// exception that abandoned it stays the one raised.
void write_keeping_the_error(const std::vector<std::string>& lines) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!write_lines(lines)) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
}

}  // namespace

FitRunner::FitRunner(PyObject* callback, int workers) : callback_(PyRef::borrow(callback)), workers_(workers) {}

void FitRunner::run_on_core_thread(const std::function<void()>& fit) {
    started_ = last_call_ = Clock::now();
    if (callback_) {
        control_.report_epochs();
    }
    CoreThread core(
        workers_,
        [this, &fit] {
            const FitScope scope(&control_);
            fit();
        },
        [this] { control_.finish(); });
    // However this frame is left, the fit never outlives it.
    struct Abandon {
        FitControl& control;
        CoreThread& core;
        bool armed = true;
        ~Abandon() {
            if (armed) {
                control.interrupt(Interruption::Cancel);
                const GilRelease release;
                core.join_quietly();
            }
        }
    } abandon{control_, core};

    for (bool finished = false; !finished;) {
        {
            const GilRelease release;
            control_.wait(slice);
        }
        finished = control_.finished();
        if (!serve(finished)) {
            control_.interrupt(Interruption::Cancel);
            {
                const GilRelease release;
                core.join_quietly();
            }
            abandon.armed = false;
            write_keeping_the_error(control_.take_lines());
            throw PythonErrorSet{};
        }
    }
    abandon.armed = false;
    const GilRelease release;
    core.join();
}

bool FitRunner::serve(bool finished) {
    try {
        if (!write_lines(control_.take_lines())) {
            return false;
        }
        for (const std::string& warning : control_.take_warnings()) {
            if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) < 0) {
                return false;  // a filter made it an error
            }
        }
        if (callback_) {
            bool keep_going = true;
            if (const std::optional<EpochEnd> end = control_.pending_epoch_end()) {
                FitProgress progress = control_.progress();
                progress.epoch = end->epoch;
                if (!call_back(progress, end->error, keep_going, end->validation_error)) {
                    return false;
                }
                if (!keep_going) {
                    control_.interrupt(Interruption::Stop);
                }
                control_.acknowledge_epoch_end();
            } else if (!finished && Clock::now() - last_call_ >= progress_interval) {
                if (!call_back(control_.progress(), std::nullopt, keep_going)) {
                    return false;
                }
                if (!keep_going) {
                    control_.interrupt(Interruption::Stop);
                }
            }
        }
        return PyErr_CheckSignals() == 0;
    } catch (const PythonErrorSet&) {
        return false;
    }
}

bool FitRunner::call_back(const FitProgress& progress, std::optional<double> train_error, bool& keep_going,
                          std::optional<double> validation_error) {
    last_call_ = Clock::now();
    const PyRef record = new_progress_record(progress, elapsed(), train_error, validation_error);
    const PyRef answer = PyRef::steal(PyObject_CallFunctionObjArgs(callback_.get(), record.get(), nullptr));
    if (!answer) {
        return false;
    }
    keep_going = answer.get() != Py_False;
    return true;
}

void FitRunner::report_done(const FitProgress& progress, double train_error) {
    bool ignored = true;
    if (callback_ && !call_back(progress, train_error, ignored)) {
        throw PythonErrorSet{};
    }
}

double FitRunner::elapsed() const { return std::chrono::duration<double>(Clock::now() - started_).count(); }

}  // namespace zun::py
