#include "fit_result_class.hpp"

#include <new>
#include <string>

#include "errors.hpp"
#include "float_format.hpp"
#include "record_object.hpp"
#include "results.hpp"

namespace zun::py {
namespace {

PyTypeObject* fit_result_type = nullptr;  // created once, lives for the process

constexpr const char* kClassDoc =
    "What a fit returns beside its model: the training error, residuals and in-sample prediction.";

struct FitResultObject {
    PyObject ob_base;
    double error;
    PyRef residuals;  // constructed in place after allocation
    PyRef y_hat;
    PyRef epoch_errors;
    bool stopped_early;
    PyRef validation_errors;
    PyRef best_epoch;  // an int or None
};

FitResultObject& as_fit_result(PyObject* self) { return *reinterpret_cast<FitResultObject*>(self); }

void dealloc_fit_result(PyObject* self) {
    as_fit_result(self).residuals.~PyRef();
    as_fit_result(self).y_hat.~PyRef();
    as_fit_result(self).epoch_errors.~PyRef();
    as_fit_result(self).validation_errors.~PyRef();
    as_fit_result(self).best_epoch.~PyRef();
    free_instance(self);
}

PyObject* get_err(PyObject* self, void*) {
    return guarded([&] { return new_float(as_fit_result(self).error).release(); });
}

PyObject* get_residuals(PyObject* self, void*) { return PyRef(as_fit_result(self).residuals).release(); }

PyObject* get_y_hat(PyObject* self, void*) { return PyRef(as_fit_result(self).y_hat).release(); }

PyObject* get_epoch_errors(PyObject* self, void*) { return PyRef(as_fit_result(self).epoch_errors).release(); }

PyObject* get_validation_errors(PyObject* self, void*) {
    return PyRef(as_fit_result(self).validation_errors).release();
}

PyObject* get_best_epoch(PyObject* self, void*) { return PyRef(as_fit_result(self).best_epoch).release(); }

PyObject* get_stopped_early(PyObject* self, void*) { return PyBool_FromLong(as_fit_result(self).stopped_early ? 1 : 0); }

PyObject* repr(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const FitResultObject& result = as_fit_result(self);
        const std::string text = "FitResult(error=" + format_positional(result.error) +
                                 ", residuals=" + str_of(result.residuals.get()) +
                                 ", y_hat=" + str_of(result.y_hat.get()) + ")";
        return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    });
}

}  // namespace

PyTypeObject* create_fit_result_type() {
    static PyGetSetDef getters[] = {
        {"err", get_err, nullptr, "Mean squared training error of the fit: float.", nullptr},
        {"residuals", get_residuals, nullptr, "Final training residuals y - y_hat: numpy.ndarray of float64, shape (n,); the same array on every access.", nullptr},
        {"y_hat", get_y_hat, nullptr, "In-sample prediction: numpy.ndarray of float64, shape (n,); the same array on every access.", nullptr},
        {"epoch_errors", get_epoch_errors, nullptr,
         const_cast<char*>("Mean squared training residual after each completed epoch of a ZUN fit (empty for a "
                           "GridTensor fit)."),
         nullptr},
        {"stopped_early", get_stopped_early, nullptr,
         const_cast<char*>("True when the progress callback stopped the fit before its work was done."), nullptr},
        {"validation_errors", get_validation_errors, nullptr,
         const_cast<char*>("Mean squared error on the validation rows (x_valid, y_valid) after each epoch fitted, "
                           "in the units of y squared; empty without validation rows."),
         nullptr},
        {"best_epoch", get_best_epoch, nullptr,
         const_cast<char*>("The epoch (from 0) with the least validation error, the model's last when "
                           "n_iter_no_change stopped the fit; None without validation rows."),
         nullptr},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
        {Py_tp_doc, const_cast<char*>(kClassDoc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_fit_result)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_getset, getters},
        {0, nullptr},
    };
    fit_result_type = create_type("builtins.FitResult", sizeof(FitResultObject), slots);
    return fit_result_type;
}

PyRef new_fit_result(double error, const std::vector<double>& residuals, const std::vector<double>& y_hat,
                     const std::vector<double>& epoch_errors, bool stopped_early,
                     const std::vector<double>& validation_errors, std::optional<std::uint64_t> best_epoch) {
    PyRef residuals_array = new_array(residuals);
    PyRef y_hat_array = new_array(y_hat);
    PyRef epoch_errors_array = new_array(epoch_errors);
    PyRef validation_array = new_array(validation_errors);
    PyRef best = best_epoch ? PyRef::steal(check(PyLong_FromUnsignedLongLong(*best_epoch))) : PyRef::borrow(Py_None);
    PyRef object = PyRef::steal(check(PyType_GenericAlloc(fit_result_type, 0)));
    FitResultObject& result = as_fit_result(object.get());
    result.error = error;
    new (&result.residuals) PyRef(std::move(residuals_array));
    new (&result.y_hat) PyRef(std::move(y_hat_array));
    new (&result.epoch_errors) PyRef(std::move(epoch_errors_array));
    result.stopped_early = stopped_early;
    new (&result.validation_errors) PyRef(std::move(validation_array));
    new (&result.best_epoch) PyRef(std::move(best));
    return object;
}

}  // namespace zun::py
