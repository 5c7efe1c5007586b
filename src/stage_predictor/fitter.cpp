#include "stage_predictor/fitter.hpp"

#include <fmt/format.h>

#include "checked_size.hpp"
#include "error.hpp"
#include "fit_control.hpp"
#include "grid_tensor/fit.hpp"
#include "logging/buffers.hpp"
#include "logging/context.hpp"
#include "logging/held_output.hpp"
#include "logging/simple.hpp"
#include "parallel.hpp"
#include "stage_predictor/aggregate_bagged.hpp"

namespace zun {
namespace {

constexpr const char* log_target = "zun::stage_predictor::fitter";

struct RestoreContext {
    std::optional<std::uint64_t> epoch;
    std::optional<std::uint64_t> tree_id;
    ~RestoreContext() {
        logging::set_epoch(epoch);
        logging::set_tree_id(tree_id);
    }
};

// A fitted tree and what its job logged, still to be released.
struct TreeJob {
    GridTensor tree;
    logging::HeldOutput output;
};

// Each part's share of the residuals, gathered once for all its trees.
std::vector<std::vector<double>> part_targets(const VectorView& r, const TreeRows& rows) {
    std::vector<std::vector<double>> targets;
    if (!rows.whole()) {
        targets.reserve(rows.count());
        for (std::size_t p = 0; p < rows.count(); ++p) {
            targets.push_back(rows.part(p).gather(r));
        }
    }
    return targets;
}

std::vector<GridTensor> fit_trees(const VectorView& r, const StagePredictorParams& params, Rng& rng,
                                  const TreeRows& rows) {
    // Seeds are drawn here, on the calling thread, so every tree's generator
    // is the same whatever the number of workers.
    std::vector<std::uint64_t> seeds(checked_count({params.n_trees}, "the tree seeds", sizeof(std::uint64_t)));
    for (std::uint64_t& seed : seeds) {
        seed = rng.next_u64();
    }
    const std::vector<std::vector<double>> targets = part_targets(r, rows);
    const std::optional<std::uint64_t> epoch = logging::current_epoch();
    // OpenMP runs jobs on this thread too, and every job clears the context
    // of the thread it ran on: the caller's values are put back afterwards.
    const RestoreContext restore{epoch, logging::current_tree_id()};
    const auto fit_tree = [&](std::size_t t) {
        TreeJob job;
        const logging::HoldOutput hold(job.output);
        const auto body = [&] {
            return logging::with_tree_id(t, [&] {
                Rng tree_rng(seeds[t]);
                const RowPart& part = rows.part_of_tree(t);
                const VectorView target =
                    rows.whole() ? r : VectorView::contiguous(targets[t % rows.count()].data(), part.size());
                FitOutput fitted =
                    fit_grid_tensor(part.x(), target, params_for_part(params.tg_params, part.size(), rows.row_count()),
                                    tree_rng, part.sorted(), part.binned());
                logging::log_fmt(logging::Level::Debug, log_target,
                                 "Fitted tree grid, lambda+: {}, lambda-: {}, error: {}",
                                 fitted.grid_tensor.lambda_plus, fitted.grid_tensor.lambda_minus, fitted.error);
                logging::send_tree_training_error(fitted.error, logging::ErrorVariant::Train);
                if (FitControl* control = current_fit_control()) {
                    control->tree_done();
                }
                return std::move(fitted.grid_tensor);
            });
        };
        // Worker threads carry the caller's epoch only while the job runs.
        job.tree = epoch ? logging::with_epoch(*epoch, body) : body();
        return job;
    };
    std::vector<TreeJob> jobs = parallel_map<TreeJob>(seeds.size(), fit_tree);
    // Stopped trees are cut short: the stage is not the one asked for.
    if (const FitControl* control = current_fit_control(); control && control->interruption() != Interruption::None) {
        throw FitInterrupted();
    }
    std::vector<GridTensor> trees;
    trees.reserve(jobs.size());
    for (TreeJob& job : jobs) {
        logging::release(std::move(job.output));
        trees.push_back(std::move(job.tree));
    }
    return trees;
}

std::string optional_mean(const std::vector<double>& values) {
    if (values.empty()) {
        return "None";
    }
    double sum = 0.0;
    for (const double v : values) {
        sum += v;
    }
    return fmt::format("Some({})", sum / static_cast<double>(values.size()));
}

}  // namespace

StageFitResult fit_stage(const MatrixView& x, const VectorView& r, const StagePredictorParams& params, Rng& rng,
                         const TreeRows& rows) {
    if (x.rows() == 0) {
        throw FitError("Cannot fit a stage without training rows");
    }
    std::vector<GridTensor> trees = fit_trees(r, params, rng, rows);

    const double trim_percentage = 1.0 - params.similarity_threshold;
    logging::log_fmt(logging::Level::Info, log_target,
                     "Using bagged two-tensor aggregation with similarity_threshold={}, trim_percentage={}",
                     params.similarity_threshold, trim_percentage);
    GridTensor combined = aggregate_bagged(
        trees, [&](const std::vector<std::vector<double>>& splits) { return rows.count_intervals(splits); },
        trim_percentage);

    StageFitResult result;
    StagePredictor& stage = result.stage;
    stage.candidate_indices.emplace(trees.size());
    for (std::size_t t = 0; t < trees.size(); ++t) {
        (*stage.candidate_indices)[t] = t;
    }
    stage.grid_tensors = std::move(trees);
    stage.scaling_plus = combined.lambda_plus;
    stage.scaling_minus = combined.lambda_minus;
    stage.primary_grid_tensor = std::move(combined);
    stage.aggregation_method = params.aggregation_method;

    // One evaluation serves the stage's prediction here and the boosting
    // loop's energy and design columns.
    result.components = compute_f_plus_minus(stage.primary_grid_tensor, x);
    result.prediction = stage_prediction(stage, result.components);
    logging::log_fmt(logging::Level::Debug, log_target, "Combined preds mean: {}", optional_mean(result.prediction));
    result.residuals.resize(x.rows());
    double squares = 0.0;
    for (std::size_t i = 0; i < x.rows(); ++i) {
        result.residuals[i] = r[i] - result.prediction[i];
        squares += result.residuals[i] * result.residuals[i];
    }
    result.error = squares / static_cast<double>(x.rows());
    logging::log_fmt(logging::Level::Info, log_target, "Combined tree grid error: {}, lambda+: {}, lambda-: {}",
                     result.error, stage.primary_grid_tensor.lambda_plus, stage.primary_grid_tensor.lambda_minus);
    logging::send_epoch_training_error(result.error, logging::ErrorVariant::Train);
    return result;
}

}  // namespace zun
