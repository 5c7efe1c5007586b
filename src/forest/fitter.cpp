#include "forest/fitter.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "float_format.hpp"
#include "forest/best_epoch.hpp"
#include "forest/epoch_scaling.hpp"
#include "forest/scaling_design.hpp"
#include "forest/validation_score.hpp"
#include "forest/grid_description.hpp"
#include "logging/buffers.hpp"
#include "logging/context.hpp"
#include "logging/logged_run.hpp"
#include "logging/sqlite_logger.hpp"
#include "logging/simple.hpp"
#include "random.hpp"
#include "stage_predictor/fitter.hpp"

namespace zun {
namespace {

constexpr const char* log_target = "zun::forest::fitter";

// The random parts of the rows come from a generator of their own, so the
// trees' seeds are the same with and without parts.
constexpr std::uint64_t parts_stream = 0x70617274735f7267;  // "parts_rg"

double mean_of_squares(const std::vector<double>& values) {
    double sum = 0.0;
    for (const double v : values) {
        sum += v * v;
    }
    return sum / static_cast<double>(values.size());
}

std::string weights_text(const std::vector<double>& weights) {
    std::string text = "[";
    for (std::size_t k = 0; k < weights.size(); ++k) {
        text += (k == 0 ? "" : ", ") + format_debug(weights[k]);
    }
    return text + "]";
}

void start_logging(const ZUNBoostedParams& params, FitControl& control) {
    const logging::Level level = logging::parse_level(params.log_level);
    control.set_level(level);
    // Remembered for code that logs outside any fit's context.
    logging::install_simple_logger();
    logging::set_max_level(level);
    logging::log_fmt(logging::Level::Info, log_target, "Fitting boosted model with hyperparameters: {}",
                     debug_text(params));
}

// What an epoch's scaling gave: a weight per design column, those the
// model's prediction now stands for (after a failed solve, the newest
// stage's f+ - f- alone), and that prediction on the training rows.
struct Rescaled {
    std::vector<double> weights;
    std::vector<double> prediction;
};

// Rescales every stage by the least-squares solve of this epoch.
Rescaled rescale_stages(const ScalingDesign& design, double ridge, std::uint64_t epoch,
                        std::vector<StagePredictor>& stages, StagePredictor& newest,
                        const Components& newest_components) {
    const std::optional<EpochScaling> scaling = design.solve(ridge);
    if (!scaling) {
        logging::log_fmt(logging::Level::Warn, log_target,
                         "OLS solve failed for OrthogonalGreedy, falling back to unscaled predictions");
        Rescaled unscaled{std::vector<double>(design.cols(), 0.0),
                          std::vector<double>(newest_components.f_plus.size())};
        unscaled.weights[2 * epoch] = 1.0;
        unscaled.weights[2 * epoch + 1] = 1.0;
        for (std::size_t i = 0; i < unscaled.prediction.size(); ++i) {
            unscaled.prediction[i] = newest_components.f_plus[i] - newest_components.f_minus[i];
        }
        return unscaled;
    }
    const std::vector<double>& w = scaling->weights;
    if (scaling->condition_number && *scaling->condition_number > unstable_condition_number) {
        const std::string warning = fmt::format(
            "Design matrix of epoch {} has condition number {:.3e}; the stage scalings are unstable. Use alpha >= 1 "
            "for stable scalings",
            epoch, *scaling->condition_number);
        logging::log(logging::Level::Warn, log_target, warning);
        // Also for a caller that issues it where its users look, whatever the level.
        if (FitControl* control = current_fit_control()) {
            control->warn(warning);
        }
    }
    logging::log_fmt(logging::Level::Info, log_target, "New projected weights (two-tensor mode): {}",
                     weights_text(w));
    for (std::size_t k = 0; k < stages.size() && 2 * k + 1 < w.size(); ++k) {
        stages[k].scaling_plus = w[2 * k];
        stages[k].scaling_minus = w[2 * k + 1];
    }
    newest.scaling_plus = w[2 * epoch];
    newest.scaling_minus = w[2 * epoch + 1];
    return {w, design.multiply(w)};
}

// Opens the run log when the caller named a database; a failure stops the fit.
std::unique_ptr<logging::LoggedRun> open_run_log(const ZUNBoostedParams& params, const MatrixView& x,
                                                 FitControl& control) {
    if (!params.visualdb_path) {
        return nullptr;
    }
    logging::log_fmt(logging::Level::Info, log_target, "Will save split events to database: {}",
                     *params.visualdb_path);
    logging::LoggerConfig config;
    config.path = *params.visualdb_path;
    return std::make_unique<logging::LoggedRun>(std::make_unique<logging::SqliteLogger>(std::move(config)),
                                                to_json(params), x.rows(), x.cols(), control);
}

// The scalings every stage holds after this epoch's solve, then the stage's
// combined grid with its components on the training rows.
void send_epoch_records(std::uint64_t epoch, const std::vector<StagePredictor>& stages, const StagePredictor& newest,
                        const Components& components) {
    for (std::size_t k = 0; k < stages.size(); ++k) {
        if (stages[k].scaling_plus) {
            logging::send_epoch_scaling(k, *stages[k].scaling_plus, epoch);
        }
    }
    if (newest.scaling_plus) {
        logging::send_epoch_scaling(epoch, *newest.scaling_plus, epoch);
    }
    logging::CombinedGridRecord record;
    record.energy = newest.energy;
    record.scaling = newest.scaling_plus;
    record.scaling_plus = newest.scaling_plus;
    record.scaling_minus = newest.scaling_minus;
    record.grid_json = grid_description_json(newest.primary_grid_tensor);
    record.f_plus = components.f_plus;
    record.f_minus = components.f_minus;
    record.epoch = epoch;
    logging::send_combined_grid(std::move(record));
}

void finish_run_log(logging::LoggedRun& run, const std::optional<std::string>& unfinished) {
    if (const std::optional<std::string> failure = run.finish(unfinished)) {
        logging::log_fmt(logging::Level::Warn, log_target, "Failed to flush events to database: {}", *failure);
    } else {
        logging::log_fmt(logging::Level::Info, log_target, "Successfully saved split events to database");
    }
}

// The note a run log's run gets when the fit ended early.
std::optional<std::string> unfinished_note(Interruption why) {
    switch (why) {
        case Interruption::None: return std::nullopt;
        case Interruption::Stop: return "unfinished: stopped early";
        case Interruption::Cancel: return "unfinished: interrupted";
    }
    return std::nullopt;
}

// The validation rows' score and the best epoch on them, when there are any.
struct Validation {
    ValidationScore score;
    BestEpoch best;
};

// The loop's state from one epoch to the next.
struct Boosting {
    const MatrixView& x;
    const VectorView& y;
    const ZUNBoostedParams& params;
    StagePredictorParams stage_params;
    Rng rng;
    std::vector<double> residuals;
    BoostedFitResult result;
    bool logged;
    std::optional<Validation> validation;
    // Set when the validation error stopped the fit.
    std::optional<std::string> stop_note;
};

// Scores the epoch just fitted on the validation rows.
void score_epoch(Boosting& b, std::uint64_t epoch, const GridTensor& combined, const std::vector<double>& weights) {
    Validation& v = *b.validation;
    v.score.append_stage(combined);
    const double error = v.score.error(weights);
    b.result.validation_errors.push_back(error);
    logging::log_fmt(logging::Level::Info, log_target, "Epoch {}, validation error: {}", epoch, error);
    // Recorded as the run's held-out error of the epoch.
    logging::send_epoch_training_error(error, logging::ErrorVariant::Test);
}

// Whether the validation error says to stop after this epoch; logs why.
bool validation_says_stop(Boosting& b, std::uint64_t epoch) {
    if (!b.validation) {
        return false;
    }
    BestEpoch& best = b.validation->best;
    best.record(b.result.validation_errors.back(), b.result.stages, b.residuals);
    const std::optional<EarlyStopping>& stopping = b.params.early_stopping;
    if (!stopping || best.epochs_since() < stopping->n_iter_no_change) {
        return false;
    }
    const std::uint64_t kept = *best.epoch();
    logging::log_fmt(logging::Level::Info, log_target,
                     "Stopping after epoch {}: the validation error has not improved by more than {} for {} epochs; "
                     "keeping the {} epochs up to the best, epoch {}, with validation error {}",
                     epoch, stopping->tol, stopping->n_iter_no_change, kept + 1, kept,
                     b.result.validation_errors[kept]);
    b.stop_note = fmt::format("stopped early: no improvement on the validation rows for {} epochs; best epoch {}",
                              stopping->n_iter_no_change, kept);
    return true;
}

void fit_epoch(Boosting& b, std::uint64_t epoch, const TreeRows& rows, ScalingDesign& design) {
    logging::log_fmt(logging::Level::Info, log_target, "Fitting epoch {}", epoch);
    if (epoch >= 1) {
        b.stage_params.tg_params.n_iter = decayed_iterations(b.stage_params.tg_params.n_iter, b.params.decay);
    }
    const VectorView r = VectorView::contiguous(b.residuals.data(), b.residuals.size());
    StageFitResult fitted = fit_stage(b.x, r, b.stage_params, b.rng, rows);
    StagePredictor& stage = fitted.stage;
    const Components& components = fitted.components;
    const auto rows_count = static_cast<double>(b.residuals.size());
    const double energy_plus = rows.sum_of_squares(components.f_plus) / rows_count;
    const double energy_minus = rows.sum_of_squares(components.f_minus) / rows_count;
    stage.energy = energy_plus + energy_minus;
    logging::log_fmt(logging::Level::Info, log_target, "Energy of epoch {}: f+={:.6f}, f-={:.6f}, total={:.6f}", epoch,
                     energy_plus, energy_minus, energy_plus + energy_minus);
    design.append_stage(components);

    const Rescaled rescaled = rescale_stages(design, b.params.scaling_ridge, epoch, b.result.stages, stage, components);
    for (std::size_t i = 0; i < b.residuals.size(); ++i) {
        b.residuals[i] = b.y[i] - rescaled.prediction[i];
    }
    if (b.logged) {
        send_epoch_records(epoch, b.result.stages, stage, components);
    }
    const double error = rows.sum_of_squares(b.residuals) / rows_count;
    logging::log_fmt(logging::Level::Info, log_target, "Epoch {}, error: {}", epoch, error);
    if (b.validation) {
        score_epoch(b, epoch, stage.primary_grid_tensor, rescaled.weights);
    }
    b.result.stages.push_back(std::move(stage));
    b.result.epoch_errors.push_back(error);
}

// The parts the caller gave, else random ones when asked for, else none.
TreeRows tree_rows(const MatrixView& x, const ZUNBoostedParams& params, std::optional<RowParts> parts) {
    const std::optional<std::uint32_t>& max_bins = params.sp_params.tg_params.max_bins;
    if (parts) {
        return TreeRows(x, std::move(*parts), max_bins);
    }
    if (params.row_partitions && *params.row_partitions > 1) {
        return TreeRows(x, random_row_parts(x.rows(), *params.row_partitions, params.seed ^ parts_stream), max_bins);
    }
    return TreeRows(x, max_bins);
}

// Every epoch, or those before an interruption; the interruption, if any.
Interruption fit_epochs(Boosting& b, FitControl& control, std::optional<RowParts> parts) {
    try {
        // x does not change during the fit: every tree of every epoch on the
        // same rows shares one sort, or one coding by bins when binned.
        const TreeRows rows = tree_rows(b.x, b.params, std::move(parts));
        ScalingDesign design(b.y, rows);
        for (std::uint64_t epoch = 0; epoch < b.params.epochs; ++epoch) {
            if (control.interruption() != Interruption::None) {
                throw FitInterrupted();
            }
            control.start_epoch(epoch);
            logging::with_epoch(epoch, [&] { fit_epoch(b, epoch, rows, design); });
            const bool stop = validation_says_stop(b, epoch);
            std::optional<double> validation_error;
            if (b.validation) {
                validation_error = b.result.validation_errors.back();
            }
            control.end_epoch({epoch, b.result.epoch_errors.back(), validation_error});
            if (stop) {
                break;
            }
        }
    } catch (const FitInterrupted&) {
        // Only an interruption throws this; a cancel is never taken for a stop.
        return control.interruption() == Interruption::Stop ? Interruption::Stop : Interruption::Cancel;
    }
    return Interruption::None;
}

}  // namespace

std::uint64_t decayed_iterations(std::uint64_t n_iter, double decay) {
    const double scaled = std::round(static_cast<double>(n_iter) * decay);
    std::uint64_t next = 0;
    if (scaled >= 18446744073709551616.0) {
        next = std::numeric_limits<std::uint64_t>::max();
    } else if (scaled > 0.0) {  // false for NaN and negatives
        next = static_cast<std::uint64_t>(scaled);
    }
    return next == 0 ? 1 : next;
}

BoostedFitResult fit_boosted(const MatrixView& x, const VectorView& y, const ZUNBoostedParams& params,
                             std::optional<RowParts> parts, std::optional<ValidationRows> validation) {
    FitControl control;
    return fit_boosted(x, y, params, control, std::move(parts), validation);
}

BoostedFitResult fit_boosted(const MatrixView& x, const VectorView& y, const ZUNBoostedParams& params,
                             FitControl& control, std::optional<RowParts> parts,
                             std::optional<ValidationRows> validation) {
    const FitScope scope(&control);
    start_logging(params, control);
    if (x.rows() == 0 || x.rows() != y.size()) {
        throw FitError(fmt::format("A boosted fit needs as many targets as rows and at least one row; got {} rows "
                                   "and {} targets",
                                   x.rows(), y.size()));
    }
    if (params.row_partitions && (*params.row_partitions == 0 || *params.row_partitions > x.rows())) {
        throw FitError(fmt::format("row_partitions must be None or from 1 to the number of rows ({}), got {}",
                                   x.rows(), *params.row_partitions));
    }
    if (params.early_stopping && !validation) {
        throw FitError("early stopping (n_iter_no_change) needs validation rows (x_valid and y_valid)");
    }
    // The design grows epoch by epoch; one that no allocation could ever
    // hold is refused before any work.
    (void)checked_count({x.rows(), 2, params.epochs}, "the design matrix (rows x 2 x epochs)");
    control.plan(params.epochs, params.sp_params.n_trees);
    const std::unique_ptr<logging::LoggedRun> run = open_run_log(params, x, control);
    Boosting b{x, y, params, params.sp_params, Rng(params.seed), std::vector<double>(y.size()), {}, run != nullptr,
               std::nullopt, std::nullopt};
    if (validation) {
        b.validation.emplace(Validation{ValidationScore(validation->x, validation->y, x.cols()),
                                        BestEpoch(params.early_stopping ? params.early_stopping->tol : 0.0)});
    }
    for (std::size_t i = 0; i < y.size(); ++i) {
        b.residuals[i] = y[i];
    }
    const Interruption ended_early = fit_epochs(b, control, std::move(parts));
    if (ended_early == Interruption::Cancel) {
        if (run) {
            finish_run_log(*run, unfinished_note(ended_early));
        }
        throw FitInterrupted();
    }

    BoostedFitResult& result = b.result;
    result.stopped_early = ended_early == Interruption::Stop;
    // The last epoch's error, summed as it was; the mean of y^2 without epochs.
    result.error = result.epoch_errors.empty() ? mean_of_squares(b.residuals) : result.epoch_errors.back();
    if (b.validation && b.validation->best.epoch()) {
        const std::uint64_t best = *b.validation->best.epoch();
        result.best_epoch = best;
        if (params.early_stopping) {
            // The model of the best epoch, as a fit of that many epochs gives it.
            b.residuals = b.validation->best.restore(result.stages);
            result.error = result.epoch_errors[best];
        }
    }
    result.y_hat.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        result.y_hat[i] = y[i] - b.residuals[i];
    }
    result.residuals = std::move(b.residuals);
    if (run) {
        finish_run_log(*run, b.stop_note ? b.stop_note : unfinished_note(ended_early));
    }
    return std::move(result);
}

}  // namespace zun
