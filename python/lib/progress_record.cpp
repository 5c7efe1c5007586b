#include "progress_record.hpp"

#include "errors.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

PyStructSequence_Field fields[] = {
    {"epoch", "the epoch under way, or just done (from 0)"},
    {"trees_done", "trees of that epoch fitted so far"},
    {"total_trees", "trees per epoch"},
    {"epochs", "epochs the fit was asked for"},
    {"elapsed", "seconds since the fit started"},
    {"train_error", "mean squared training residual after the epoch, None while it runs"},
    {"validation_error", "mean squared error on the validation rows after the epoch; None while it runs or "
                         "without validation rows"},
    {nullptr, nullptr},
};

PyStructSequence_Desc description = {"_zunmerak.FitProgress", "Progress of a fit, as its callback receives it.",
                                     fields, 7};

// Created on first use, with the interpreter lock held; lives for the process.
PyTypeObject* progress_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = PyStructSequence_NewType(&description);
        check(reinterpret_cast<PyObject*>(type));
    }
    return type;
}

PyRef new_count(std::uint64_t value) { return PyRef::steal(check(PyLong_FromUnsignedLongLong(value))); }

}  // namespace

PyRef new_progress_record(const FitProgress& progress, double elapsed, std::optional<double> train_error,
                          std::optional<double> validation_error) {
    PyRef items[] = {new_count(progress.epoch),   new_count(progress.trees_done), new_count(progress.trees_per_epoch),
                     new_count(progress.epochs),  new_float(elapsed),             new_optional_float(train_error),
                     new_optional_float(validation_error)};
    PyRef record = PyRef::steal(check(PyStructSequence_New(progress_type())));
    for (Py_ssize_t i = 0; i < 7; ++i) {
        PyStructSequence_SetItem(record.get(), i, items[i].release());  // steals
    }
    return record;
}

}  // namespace zun::py
