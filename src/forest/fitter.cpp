#include "forest/fitter.hpp"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "float_format.hpp"
#include "forest/epoch_scaling.hpp"
#include "forest/grid_description.hpp"
#include "grid_tensor/histogram_binning.hpp"
#include "grid_tensor/state.hpp"
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

// Column-major n_rows x (2 epochs) design matrix, filled one epoch at a time;
// each solve reads a view of its first columns.
class DesignMatrix {
public:
    DesignMatrix(std::size_t rows, std::uint64_t epochs)
        : rows_(rows), values_(checked_count({rows, 2, epochs}, "the design matrix (rows x 2 x epochs)"), 0.0) {}

    void set_stage_columns(std::uint64_t epoch, const Components& components) {
        double* plus = column(2 * epoch);
        double* minus = column(2 * epoch + 1);
        for (std::size_t i = 0; i < rows_; ++i) {
            plus[i] = components.f_plus[i];
            minus[i] = -components.f_minus[i];
        }
    }

    MatrixView first_columns(std::size_t count) const {
        return MatrixView(values_.data(), rows_, count, sizeof(double),
                          static_cast<std::ptrdiff_t>(rows_ * sizeof(double)));
    }

private:
    double* column(std::size_t index) { return values_.data() + index * rows_; }

    std::size_t rows_;
    std::vector<double> values_;
};

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

void start_logging(const ZUNBoostedParams& params) {
    logging::install_simple_logger();
    logging::set_max_level(logging::parse_level(params.log_level));
    logging::log_fmt(logging::Level::Info, log_target, "Fitting boosted model with hyperparameters: {}",
                     debug_text(params));
}

// Rescales every stage by the least-squares solve of this epoch; returns the
// model's prediction on the training rows.
std::vector<double> rescale_stages(const DesignMatrix& design, const VectorView& y, std::uint64_t epoch,
                                   std::vector<StagePredictor>& stages, StagePredictor& newest,
                                   const Components& newest_components) {
    const MatrixView columns = design.first_columns(2 * epoch + 2);
    const std::optional<EpochScaling> scaling = solve_epoch_scaling(columns, y);
    if (!scaling) {
        logging::log_fmt(logging::Level::Warn, log_target,
                         "OLS solve failed for OrthogonalGreedy, falling back to unscaled predictions");
        std::vector<double> prediction(y.size());
        for (std::size_t i = 0; i < prediction.size(); ++i) {
            prediction[i] = newest_components.f_plus[i] - newest_components.f_minus[i];
        }
        return prediction;
    }
    const std::vector<double>& w = scaling->weights;
    if (scaling->condition_number && *scaling->condition_number > unstable_condition_number) {
        logging::log_fmt(logging::Level::Warn, log_target,
                         "Design matrix of epoch {} has condition number {:.3e}; the stage scalings are unstable. "
                         "Use alpha >= 1 for stable scalings",
                         epoch, *scaling->condition_number);
    }
    logging::log_fmt(logging::Level::Info, log_target, "New projected weights (two-tensor mode): {}",
                     weights_text(w));
    for (std::size_t k = 0; k < stages.size() && 2 * k + 1 < w.size(); ++k) {
        stages[k].scaling_plus = w[2 * k];
        stages[k].scaling_minus = w[2 * k + 1];
    }
    newest.scaling_plus = w[2 * epoch];
    newest.scaling_minus = w[2 * epoch + 1];
    return apply_scaling_weights(columns, w);
}

// Opens the run log when the caller named a database; a failure stops the fit.
std::unique_ptr<logging::LoggedRun> open_run_log(const ZUNBoostedParams& params, const MatrixView& x) {
    if (!params.visualdb_path) {
        return nullptr;
    }
    logging::log_fmt(logging::Level::Info, log_target, "Will save split events to database: {}",
                     *params.visualdb_path);
    logging::LoggerConfig config;
    config.path = *params.visualdb_path;
    return std::make_unique<logging::LoggedRun>(std::make_unique<logging::SqliteLogger>(std::move(config)),
                                                to_json(params), x.rows(), x.cols());
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

void finish_run_log(logging::LoggedRun& run) {
    if (const std::optional<std::string> failure = run.finish()) {
        logging::log_fmt(logging::Level::Warn, log_target, "Failed to flush events to database: {}", *failure);
    } else {
        logging::log_fmt(logging::Level::Info, log_target, "Successfully saved split events to database");
    }
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

BoostedFitResult fit_boosted(const MatrixView& x, const VectorView& y, const ZUNBoostedParams& params) {
    start_logging(params);
    if (x.rows() == 0 || x.rows() != y.size()) {
        throw FitError(fmt::format("A boosted fit needs as many targets as rows and at least one row; got {} rows "
                                   "and {} targets",
                                   x.rows(), y.size()));
    }
    const std::unique_ptr<logging::LoggedRun> run = open_run_log(params, x);
    StagePredictorParams stage_params = params.sp_params;
    Rng rng(params.seed);
    std::vector<double> residuals(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        residuals[i] = y[i];
    }
    BoostedFitResult result;
    DesignMatrix design(x.rows(), params.epochs);
    // x does not change during the fit: every tree of every epoch shares one
    // sort, or one coding by bins when binned.
    const std::optional<std::uint32_t>& max_bins = params.sp_params.tg_params.max_bins;
    const std::shared_ptr<const BinnedFeatures> binned = bins_requested(max_bins) ? bin_features(x, *max_bins) : nullptr;
    const std::shared_ptr<const SortedFeatures> sorted = binned ? nullptr : sort_features(x);

    for (std::uint64_t epoch = 0; epoch < params.epochs; ++epoch) {
        logging::with_epoch(epoch, [&] {
            logging::log_fmt(logging::Level::Info, log_target, "Fitting epoch {}", epoch);
            if (epoch >= 1) {
                stage_params.tg_params.n_iter = decayed_iterations(stage_params.tg_params.n_iter, params.decay);
            }
            const VectorView r = VectorView::contiguous(residuals.data(), residuals.size());
            StagePredictor stage = fit_stage(x, r, stage_params, rng, sorted, binned).stage;

            const Components components = compute_f_plus_minus(stage.primary_grid_tensor, x);
            const double energy_plus = mean_of_squares(components.f_plus);
            const double energy_minus = mean_of_squares(components.f_minus);
            stage.energy = energy_plus + energy_minus;
            logging::log_fmt(logging::Level::Info, log_target, "Energy of epoch {}: f+={:.6f}, f-={:.6f}, total={:.6f}",
                             epoch, energy_plus, energy_minus, energy_plus + energy_minus);
            design.set_stage_columns(epoch, components);

            const std::vector<double> prediction =
                rescale_stages(design, y, epoch, result.stages, stage, components);
            for (std::size_t i = 0; i < residuals.size(); ++i) {
                residuals[i] = y[i] - prediction[i];
            }
            if (run) {
                send_epoch_records(epoch, result.stages, stage, components);
            }
            logging::log_fmt(logging::Level::Info, log_target, "Epoch {}, error: {}", epoch,
                             mean_of_squares(residuals));
            result.stages.push_back(std::move(stage));
        });
    }

    result.error = mean_of_squares(residuals);
    result.y_hat.resize(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        result.y_hat[i] = y[i] - residuals[i];
    }
    result.residuals = std::move(residuals);
    if (run) {
        finish_run_log(*run);
    }
    return result;
}

}  // namespace zun
