#include "logging/sqlite_logger.hpp"

#include <sqlite3.h>

#include <array>
#include <utility>

#include <fmt/format.h>

#include "error.hpp"
#include "logging/column_encoding.hpp"
#include "logging/timestamp.hpp"

namespace zun::logging {
namespace {

constexpr std::array<const char*, 8> tables_before_migrations{
    "CREATE TABLE IF NOT EXISTS runs ("
    "id INTEGER PRIMARY KEY, created_at TEXT NOT NULL, label TEXT, params_json TEXT NOT NULL, "
    "n_rows INTEGER NOT NULL, n_cols INTEGER NOT NULL, epochs INTEGER, n_trees_per_epoch INTEGER, "
    "run_type TEXT DEFAULT 'single_grid_tensor' CHECK(run_type IN ('single_grid_tensor', 'zun_boosted')), "
    "notes TEXT)",
    "CREATE TABLE IF NOT EXISTS events ("
    "id INTEGER PRIMARY KEY, run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER, tree_id INTEGER, "
    "iter_no INTEGER NOT NULL, action TEXT NOT NULL CHECK(action IN ('split','resplit','merge')), "
    "col INTEGER NOT NULL, left_interval_idx INTEGER NOT NULL, split_value REAL, update_a REAL, update_b REAL, "
    "left_count INTEGER, right_count INTEGER, gain REAL, err_before REAL, err_after REAL, "
    "n_cells_after INTEGER NOT NULL, created_at TEXT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS residual_updates ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER, tree_id INTEGER, iter_no INTEGER NOT NULL, "
    "sample_id INTEGER NOT NULL, residual REAL NOT NULL, y_hat REAL, "
    "PRIMARY KEY (run_id, epoch, tree_id, iter_no, sample_id))",
    "CREATE TABLE IF NOT EXISTS residual_update_blobs ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER, tree_id INTEGER, iter_no INTEGER NOT NULL, "
    "data TEXT NOT NULL, PRIMARY KEY (run_id, epoch, tree_id, iter_no))",
    "CREATE TABLE IF NOT EXISTS error_reduction_summaries ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER, tree_id INTEGER, iter_no INTEGER NOT NULL, "
    "col INTEGER NOT NULL, min_val REAL NOT NULL, max_val REAL NOT NULL, mean_val REAL NOT NULL, "
    "nan_count INTEGER NOT NULL, total_count INTEGER NOT NULL, PRIMARY KEY (run_id, epoch, tree_id, iter_no, col))",
    "CREATE TABLE IF NOT EXISTS combined_grids ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, energy REAL, scaling REAL, "
    "scaling_plus REAL, scaling_minus REAL, grid_json TEXT NOT NULL, f_plus_json TEXT, f_minus_json TEXT, "
    "PRIMARY KEY (run_id, epoch))",
    "CREATE TABLE IF NOT EXISTS epoch_scalings ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, scaling REAL NOT NULL, "
    "optimization_epoch INTEGER NOT NULL, PRIMARY KEY (run_id, epoch, optimization_epoch))",
    "CREATE TABLE IF NOT EXISTS component_states ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, tree_id INTEGER NOT NULL, "
    "iter_no INTEGER NOT NULL, col INTEGER NOT NULL, data BLOB NOT NULL, intervals_count INTEGER NOT NULL, "
    "created_at TEXT NOT NULL, PRIMARY KEY (run_id, epoch, tree_id, iter_no, col))",
};

// Columns added to component_states after it first shipped. On a database
// that already has them each fails with a duplicate-column error, which is
// expected and discarded.
constexpr std::array<const char*, 4> migrations{
    "ALTER TABLE component_states ADD COLUMN backbone_data BLOB",
    "ALTER TABLE component_states ADD COLUMN tilt_data BLOB",
    "ALTER TABLE component_states ADD COLUMN lambda_plus REAL",
    "ALTER TABLE component_states ADD COLUMN lambda_minus REAL",
};

constexpr std::array<const char*, 4> tables_after_migrations{
    "CREATE TABLE IF NOT EXISTS f_component_stats ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, tree_id INTEGER NOT NULL, "
    "iter_no INTEGER NOT NULL, component TEXT NOT NULL CHECK(component IN ('f_plus', 'f_minus')), "
    "min_val REAL NOT NULL, max_val REAL NOT NULL, mean_val REAL NOT NULL, std_val REAL, p25 REAL, p50 REAL, "
    "p75 REAL, p95 REAL, p99 REAL, n_samples INTEGER NOT NULL, "
    "PRIMARY KEY (run_id, epoch, tree_id, iter_no, component))",
    "CREATE TABLE IF NOT EXISTS training_errors ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER, tree_id INTEGER, err REAL NOT NULL, "
    "created_at TEXT NOT NULL, variant TEXT NOT NULL DEFAULT 'train' CHECK(variant IN ('train','test')), "
    "PRIMARY KEY (run_id, epoch, tree_id, variant))",
    "CREATE TABLE IF NOT EXISTS combination_choices ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, method TEXT NOT NULL, "
    "best_index INTEGER, candidates_json TEXT NOT NULL, created_at TEXT NOT NULL, "
    "PRIMARY KEY (run_id, epoch, method))",
    "CREATE TABLE IF NOT EXISTS combination_candidates ("
    "run_id INTEGER NOT NULL REFERENCES runs(id), epoch INTEGER NOT NULL, tree_id INTEGER NOT NULL, "
    "candidate_score REAL NOT NULL, is_best INTEGER NOT NULL DEFAULT 0, created_at TEXT NOT NULL, "
    "PRIMARY KEY (run_id, epoch, tree_id))",
};

constexpr std::array<const char*, 9> indexes{
    "CREATE INDEX IF NOT EXISTS idx_events_run_iter ON events(run_id, iter_no)",
    "CREATE INDEX IF NOT EXISTS idx_events_run_action_col ON events(run_id, action, col)",
    "CREATE INDEX IF NOT EXISTS idx_residual_updates_run_iter ON residual_updates(run_id, iter_no)",
    "CREATE INDEX IF NOT EXISTS idx_residual_updates_run_sample ON residual_updates(run_id, sample_id)",
    "CREATE INDEX IF NOT EXISTS idx_error_summaries_run_iter ON error_reduction_summaries(run_id, iter_no)",
    "CREATE INDEX IF NOT EXISTS idx_component_states_loc ON component_states(run_id, epoch, tree_id, col, iter_no)",
    "CREATE INDEX IF NOT EXISTS idx_f_stats_run_iter ON f_component_stats(run_id, epoch, tree_id, iter_no)",
    "CREATE INDEX IF NOT EXISTS idx_f_stats_component ON f_component_stats(component)",
    "CREATE INDEX IF NOT EXISTS idx_combination_candidates_run_epoch ON combination_candidates(run_id, epoch)",
};

// Counts, epochs and ids are unsigned in the core and signed in SQLite.
std::int64_t as_sql(std::uint64_t value) { return static_cast<std::int64_t>(value); }

std::optional<std::int64_t> as_sql(const std::optional<std::uint64_t>& value) {
    return value ? std::optional<std::int64_t>(as_sql(*value)) : std::nullopt;
}

void discard_errors(sqlite::Connection& connection, const char* sql) {
    try {
        connection.execute(sql);
    } catch (const sqlite::SqliteError&) {
    }
}

void apply_pragmas(sqlite::Connection& connection) {
    connection.execute("PRAGMA synchronous = NORMAL");
    connection.execute("PRAGMA temp_store = MEMORY");
    connection.execute("PRAGMA cache_size = 100000");
    // Memory-mapped I/O is only a speed-up; builds without it refuse quietly.
    discard_errors(connection, "PRAGMA mmap_size=1073741824");
    connection.execute("PRAGMA journal_mode = WAL");
}

void init_schema(sqlite::Connection& connection) {
    for (const char* sql : tables_before_migrations) {
        connection.execute(sql);
    }
    for (const char* sql : migrations) {
        discard_errors(connection, sql);
    }
    for (const char* sql : tables_after_migrations) {
        connection.execute(sql);
    }
    for (const char* sql : indexes) {
        connection.execute(sql);
    }
}

template <class Step>
void run_setup_step(const char* what, const std::string& path, Step&& step) {
    try {
        step();
    } catch (const sqlite::SqliteError& error) {
        throw IoError(fmt::format("{}: {} (path '{}')", what, error.what(), path));
    }
}

}  // namespace

sqlite::Connection open_run_log_database(const std::string& path) {
    std::optional<sqlite::Connection> connection;
    run_setup_step("Failed to open sqlite database for logging", path, [&] {
        connection.emplace(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX);
    });
    run_setup_step("Failed to apply pragmas", path, [&] { apply_pragmas(*connection); });
    run_setup_step("Failed to init schema", path, [&] { init_schema(*connection); });
    return std::move(*connection);
}

void SqliteLogger::start_run(const std::string& params_json, std::uint64_t n_rows, std::uint64_t n_cols) {
    params_json_ = params_json;
    n_rows_ = n_rows;
    n_cols_ = n_cols;
    if (!connection_) {
        connection_.emplace(open_run_log_database(config_.path));
    }
    insert_run_row();
}

void SqliteLogger::insert_run_row() {
    require(connection_.has_value(), "connection must be initialized");
    run_setup_step("Failed to insert run", config_.path, [&] {
        sqlite::Statement insert(*connection_,
                                 "INSERT INTO runs (created_at, label, params_json, n_rows, n_cols, epochs, "
                                 "n_trees_per_epoch, run_type) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8) RETURNING id");
        insert.bind(1, now_rfc3339_utc());
        insert.bind(2, config_.label);
        insert.bind(3, params_json_);
        insert.bind(4, as_sql(n_rows_));
        insert.bind(5, as_sql(n_cols_));
        insert.bind_null(6);
        insert.bind_null(7);
        insert.bind(8, std::string("single_grid_tensor"));
        if (!insert.step()) {
            throw sqlite::SqliteError("the insert returned no id");
        }
        run_id_ = insert.column_int64(0);
        insert.run();
    });
}

void SqliteLogger::log_move_event(MoveEventMessage message) { events_.push_back(std::move(message)); }
void SqliteLogger::log_combined_grid(CombinedGridRecord record) { combined_grids_.push_back(std::move(record)); }
void SqliteLogger::log_epoch_scaling(EpochScalingMessage message) { epoch_scalings_.push_back(message); }

void SqliteLogger::log_component_state(ComponentStateMessage message) {
    component_states_.push_back(std::move(message));
}

void SqliteLogger::log_epoch_training_error(EpochTrainingErrorMessage message) {
    training_errors_.push_back({message.epoch, std::nullopt, message.err, message.variant});
}

void SqliteLogger::log_tree_training_error(TreeTrainingErrorMessage message) {
    training_errors_.push_back({message.epoch, message.tree_id, message.err, message.variant});
}

void SqliteLogger::log_combination_choice(CombinationChoiceMessage message) {
    combination_choices_.push_back(std::move(message));
}

void SqliteLogger::log_f_component_stats(FComponentStatsMessage message) { f_component_stats_.push_back(message); }
void SqliteLogger::log_run_notes(std::string notes) { run_notes_ = std::move(notes); }

std::size_t SqliteLogger::buffered_count() const {
    return events_.size() + combined_grids_.size() + epoch_scalings_.size() + component_states_.size() +
           f_component_stats_.size() + training_errors_.size() + combination_choices_.size() +
           (run_notes_ ? 1 : 0);
}

std::optional<std::string> SqliteLogger::flush() {
    if (buffered_count() == 0) {
        return std::nullopt;
    }
    if (!connection_) {
        return "logger connection not initialized";
    }
    try {
        sqlite::Transaction transaction(*connection_);
        if (!run_id_) {
            return "run_id not set; call start_run before flush";
        }
        write_buffers(*connection_, *run_id_);
        transaction.commit();
    } catch (const sqlite::SqliteError& error) {
        return error.what();
    }
    clear_buffers();
    return std::nullopt;
}

void SqliteLogger::write_buffers(sqlite::Connection& connection, std::int64_t run_id) const {
    write_events(connection, run_id);
    write_residual_updates(connection, run_id);
    write_combined_grids(connection, run_id);
    write_epoch_scalings(connection, run_id);
    write_component_states(connection, run_id);
    write_f_component_stats(connection, run_id);
    write_combination_choices(connection, run_id);
    write_training_errors(connection, run_id);
    write_run_notes(connection, run_id);
}

void SqliteLogger::write_run_notes(sqlite::Connection& connection, std::int64_t run_id) const {
    if (!run_notes_) {
        return;
    }
    sqlite::Statement update(connection, "UPDATE runs SET notes = ?1 WHERE id = ?2");
    update.bind(1, *run_notes_);
    update.bind(2, run_id);
    update.run();
}

void SqliteLogger::write_events(sqlite::Connection& connection, std::int64_t run_id) const {
    if (events_.empty()) {
        return;
    }
    const std::string created_at = now_rfc3339_utc();
    sqlite::Statement insert(connection,
                             "INSERT INTO events (run_id, epoch, tree_id, iter_no, action, col, left_interval_idx, "
                             "split_value, update_a, update_b, left_count, right_count, gain, err_before, err_after, "
                             "n_cells_after, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, "
                             "?13, ?14, ?15, ?16, ?17)");
    for (const MoveEventMessage& message : events_) {
        const MoveEvent& e = message.event;
        insert.bind(1, run_id);
        insert.bind(2, as_sql(message.epoch));
        insert.bind(3, as_sql(message.tree_id));
        insert.bind(4, as_sql(e.iter_no));
        insert.bind(5, std::string(action_text(e.action)));
        insert.bind(6, as_sql(e.col));
        insert.bind(7, as_sql(e.left_interval_idx));
        insert.bind(8, e.split_value);
        insert.bind(9, e.update_a);
        insert.bind(10, e.update_b);
        insert.bind(11, as_sql(e.left_count));
        insert.bind(12, as_sql(e.right_count));
        insert.bind(13, e.gain);
        insert.bind(14, e.err_before);
        insert.bind(15, e.err_after);
        insert.bind(16, as_sql(e.n_cells_after));
        insert.bind(17, created_at);
        insert.run();
    }
}

void SqliteLogger::write_residual_updates(sqlite::Connection& connection, std::int64_t run_id) const {
    if (!config_.log_residual_updates || events_.empty()) {
        return;
    }
    if (config_.residual_updates_as_blobs) {
        sqlite::Statement insert(connection,
                                 "INSERT OR REPLACE INTO residual_update_blobs (run_id, epoch, tree_id, iter_no, data) "
                                 "VALUES (?1, ?2, ?3, ?4, ?5)");
        for (const MoveEventMessage& message : events_) {
            if (message.event.residual_updates.empty()) {
                continue;
            }
            insert.bind(1, run_id);
            insert.bind(2, as_sql(message.epoch));
            insert.bind(3, as_sql(message.tree_id));
            insert.bind(4, as_sql(message.event.iter_no));
            insert.bind(5, residual_updates_json(message.event.residual_updates));
            insert.run();
        }
        return;
    }
    sqlite::Statement insert(connection,
                             "INSERT INTO residual_updates (run_id, epoch, tree_id, iter_no, sample_id, residual, "
                             "y_hat) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    for (const MoveEventMessage& message : events_) {
        for (const ResidualUpdate& update : message.event.residual_updates) {
            insert.bind(1, run_id);
            insert.bind(2, as_sql(message.epoch));
            insert.bind(3, as_sql(message.tree_id));
            insert.bind(4, as_sql(message.event.iter_no));
            insert.bind(5, static_cast<std::int64_t>(update.sample_id));
            insert.bind(6, static_cast<double>(update.residual));
            insert.bind(7, update.y_hat ? std::optional<double>(*update.y_hat) : std::nullopt);
            insert.run();
        }
    }
}

void SqliteLogger::write_combined_grids(sqlite::Connection& connection, std::int64_t run_id) const {
    if (combined_grids_.empty()) {
        return;
    }
    sqlite::Statement insert(connection,
                             "INSERT OR REPLACE INTO combined_grids (run_id, epoch, energy, scaling, scaling_plus, "
                             "scaling_minus, grid_json, f_plus_json, f_minus_json) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)");
    const auto array_text = [](const std::optional<std::vector<double>>& values) {
        return values ? std::optional<std::string>(json_array(*values)) : std::nullopt;
    };
    for (const CombinedGridRecord& record : combined_grids_) {
        insert.bind(1, run_id);
        insert.bind(2, as_sql(record.epoch));
        insert.bind(3, record.energy);
        insert.bind(4, record.scaling);
        insert.bind(5, record.scaling_plus);
        insert.bind(6, record.scaling_minus);
        insert.bind(7, record.grid_json);
        insert.bind(8, array_text(record.f_plus));
        insert.bind(9, array_text(record.f_minus));
        insert.run();
    }
}

void SqliteLogger::write_epoch_scalings(sqlite::Connection& connection, std::int64_t run_id) const {
    if (epoch_scalings_.empty()) {
        return;
    }
    sqlite::Statement insert(connection,
                             "INSERT OR REPLACE INTO epoch_scalings (run_id, epoch, scaling, optimization_epoch) "
                             "VALUES (?1, ?2, ?3, ?4)");
    for (const EpochScalingMessage& message : epoch_scalings_) {
        insert.bind(1, run_id);
        insert.bind(2, as_sql(message.epoch));
        insert.bind(3, message.scaling);
        insert.bind(4, as_sql(message.optimization_epoch));
        insert.run();
    }
}

void SqliteLogger::write_component_states(sqlite::Connection& connection, std::int64_t run_id) const {
    if (component_states_.empty()) {
        return;
    }
    const std::string created_at = now_rfc3339_utc();
    sqlite::Statement insert(connection,
                             "INSERT OR REPLACE INTO component_states (run_id, epoch, tree_id, iter_no, col, data, "
                             "intervals_count, created_at, backbone_data, tilt_data, lambda_plus, lambda_minus) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    for (const ComponentStateMessage& message : component_states_) {
        const ComponentState& s = message.state;
        insert.bind(1, run_id);
        insert.bind(2, as_sql(message.epoch));
        insert.bind(3, as_sql(message.tree_id));
        insert.bind(4, as_sql(s.iter_no));
        insert.bind(5, as_sql(s.col));
        insert.bind(6, s.data);
        insert.bind(7, as_sql(s.intervals_count));
        insert.bind(8, created_at);
        insert.bind(9, s.backbone_data);
        insert.bind(10, s.tilt_data);
        insert.bind(11, s.lambda_plus);
        insert.bind(12, s.lambda_minus);
        insert.run();
    }
}

void SqliteLogger::write_f_component_stats(sqlite::Connection& connection, std::int64_t run_id) const {
    if (f_component_stats_.empty()) {
        return;
    }
    sqlite::Statement insert(connection,
                             "INSERT OR REPLACE INTO f_component_stats (run_id, epoch, tree_id, iter_no, component, "
                             "min_val, max_val, mean_val, std_val, p25, p50, p75, p95, p99, n_samples) "
                             "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)");
    const auto write = [&](const FComponentStatsMessage& message, const char* component, const ComponentStats& s) {
        insert.bind(1, run_id);
        insert.bind(2, as_sql(message.epoch));
        insert.bind(3, as_sql(message.tree_id));
        insert.bind(4, as_sql(message.iter_no));
        insert.bind(5, std::string(component));
        insert.bind(6, s.min_val);
        insert.bind(7, s.max_val);
        insert.bind(8, s.mean_val);
        insert.bind(9, s.std_val);
        insert.bind(10, s.p25);
        insert.bind(11, s.p50);
        insert.bind(12, s.p75);
        insert.bind(13, s.p95);
        insert.bind(14, s.p99);
        insert.bind(15, as_sql(s.n_samples));
        insert.run();
    };
    for (const FComponentStatsMessage& message : f_component_stats_) {
        write(message, "f_plus", message.f_plus);
        write(message, "f_minus", message.f_minus);
    }
}

void SqliteLogger::write_combination_choices(sqlite::Connection& connection, std::int64_t run_id) const {
    if (combination_choices_.empty()) {
        return;
    }
    const std::string created_at = now_rfc3339_utc();
    sqlite::Statement insert_choice(connection,
                                    "INSERT OR REPLACE INTO combination_choices (run_id, epoch, method, best_index, "
                                    "candidates_json, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    sqlite::Statement delete_candidates(connection,
                                        "DELETE FROM combination_candidates WHERE run_id = ?1 AND epoch = ?2");
    sqlite::Statement insert_candidate(connection,
                                       "INSERT OR REPLACE INTO combination_candidates (run_id, epoch, tree_id, "
                                       "candidate_score, is_best, created_at) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (const CombinationChoiceMessage& choice : combination_choices_) {
        insert_choice.bind(1, run_id);
        insert_choice.bind(2, as_sql(choice.epoch));
        insert_choice.bind(3, choice.method);
        insert_choice.bind(4, as_sql(choice.best_index));
        insert_choice.bind(5, candidates_json(choice.candidates));
        insert_choice.bind(6, created_at);
        insert_choice.run();

        delete_candidates.bind(1, run_id);
        delete_candidates.bind(2, as_sql(choice.epoch));
        delete_candidates.run();

        for (const CombinationCandidate& candidate : choice.candidates) {
            const bool is_best = choice.best_index && *choice.best_index == candidate.tree_id;
            insert_candidate.bind(1, run_id);
            insert_candidate.bind(2, as_sql(choice.epoch));
            insert_candidate.bind(3, as_sql(candidate.tree_id));
            insert_candidate.bind(4, candidate.score);
            insert_candidate.bind(5, std::int64_t{is_best ? 1 : 0});
            insert_candidate.bind(6, created_at);
            insert_candidate.run();
        }
    }
}

void SqliteLogger::write_training_errors(sqlite::Connection& connection, std::int64_t run_id) const {
    if (training_errors_.empty()) {
        return;
    }
    const std::string created_at = now_rfc3339_utc();
    sqlite::Statement insert(connection,
                             "INSERT OR REPLACE INTO training_errors (run_id, epoch, tree_id, err, created_at, "
                             "variant) VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    for (const TrainingError& error : training_errors_) {
        insert.bind(1, run_id);
        insert.bind(2, as_sql(error.epoch));
        insert.bind(3, as_sql(error.tree_id));
        insert.bind(4, error.err);
        insert.bind(5, created_at);
        insert.bind(6, std::string(variant_text(error.variant)));
        insert.run();
    }
}

void SqliteLogger::clear_buffers() {
    run_notes_.reset();
    events_.clear();
    combined_grids_.clear();
    epoch_scalings_.clear();
    component_states_.clear();
    f_component_stats_.clear();
    training_errors_.clear();
    combination_choices_.clear();
}

}  // namespace zun::logging
