#pragma once
// The run log database writer. start_run opens the database (creating or
// extending the schema) and inserts the run row at once; every later record
// is kept in memory until flush writes them all in one transaction.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "logging/run_logger.hpp"
#include "logging/sqlite.hpp"

namespace zun::logging {

struct LoggerConfig {
    std::string path;
    std::optional<std::string> label;
    bool log_residual_updates = false;
    // Only with log_residual_updates: one JSON row per event instead of one
    // row per residual update.
    bool residual_updates_as_blobs = false;
};

class SqliteLogger final : public RunLogger {
public:
    explicit SqliteLogger(LoggerConfig config) : config_(std::move(config)) {}

    void start_run(const std::string& params_json, std::uint64_t n_rows, std::uint64_t n_cols) override;
    void log_move_event(MoveEventMessage message) override;
    void log_combined_grid(CombinedGridRecord record) override;
    void log_epoch_scaling(EpochScalingMessage message) override;
    void log_component_state(ComponentStateMessage message) override;
    void log_epoch_training_error(EpochTrainingErrorMessage message) override;
    void log_tree_training_error(TreeTrainingErrorMessage message) override;
    void log_combination_choice(CombinationChoiceMessage message) override;
    void log_f_component_stats(FComponentStatsMessage message) override;
    void log_run_notes(std::string notes) override;
    std::optional<std::string> flush() override;

    std::optional<std::int64_t> run_id() const { return run_id_; }
    // Records kept and not yet written.
    std::size_t buffered_count() const;

private:
    // One row of training_errors; epoch-level errors have no tree.
    struct TrainingError {
        std::uint64_t epoch = 0;
        std::optional<std::uint64_t> tree_id;
        double err = 0.0;
        ErrorVariant variant = ErrorVariant::Train;
    };

    void insert_run_row();
    void write_buffers(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_events(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_residual_updates(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_combined_grids(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_epoch_scalings(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_component_states(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_f_component_stats(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_combination_choices(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_training_errors(sqlite::Connection& connection, std::int64_t run_id) const;
    void write_run_notes(sqlite::Connection& connection, std::int64_t run_id) const;
    void clear_buffers();

    LoggerConfig config_;
    std::optional<std::int64_t> run_id_;
    std::string params_json_;
    std::uint64_t n_rows_ = 0;
    std::uint64_t n_cols_ = 0;
    std::optional<sqlite::Connection> connection_;

    std::vector<MoveEventMessage> events_;
    std::vector<CombinedGridRecord> combined_grids_;
    std::vector<EpochScalingMessage> epoch_scalings_;
    std::vector<ComponentStateMessage> component_states_;
    std::vector<FComponentStatsMessage> f_component_stats_;
    std::vector<TrainingError> training_errors_;
    std::vector<CombinationChoiceMessage> combination_choices_;
    std::optional<std::string> run_notes_;
};

// Opens (or creates) the database at `path` and brings its schema up to date:
// open flags, pragmas, tables, migrations and indexes, in this order. Throws
// IoError naming the step that failed, the reason and the path.
sqlite::Connection open_run_log_database(const std::string& path);

}  // namespace zun::logging
