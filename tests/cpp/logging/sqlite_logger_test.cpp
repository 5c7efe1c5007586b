#include "logging/sqlite_logger.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "error.hpp"
#include "logging/column_encoding.hpp"

namespace zun::logging {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// Every value as text, NULL as "NULL"; read through a separate connection.
Rows query(const std::string& path, const std::string& sql) {
    sqlite::Connection connection(path, SQLITE_OPEN_READONLY);
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(connection.handle(), sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
    Rows rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const auto* text = sqlite3_column_text(statement, c);
            row.emplace_back(text == nullptr ? "NULL" : reinterpret_cast<const char*>(text));
        }
        rows.push_back(std::move(row));
    }
    sqlite3_finalize(statement);
    return rows;
}

std::string single(const std::string& path, const std::string& sql) {
    const Rows rows = query(path, sql);
    return rows.size() == 1 && rows[0].size() == 1 ? rows[0][0] : "<not a single value>";
}

std::string count(const std::string& path, const std::string& table) {
    return single(path, "SELECT COUNT(*) FROM " + table);
}

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> counter{0};
        dir_ = std::filesystem::path(::testing::TempDir()) /
               ("run_log_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(dir_);
        path_ = (dir_ / "run.db").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    SqliteLogger started(LoggerConfig config = {}) const {
        config.path = path_;
        SqliteLogger logger(std::move(config));
        logger.start_run("{\"seed\":1}", 10, 3);
        return logger;
    }

    std::filesystem::path dir_;
    std::string path_;
};

TEST_F(RunLog, AFreshFileGetsTheWholeSchemaAndASecondWriterRunTwo) {
    SqliteLogger first = started();
    EXPECT_EQ(first.run_id(), 1);
    const Rows tables = query(path_, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid");
    const Rows expected_tables{{"runs"},
                               {"events"},
                               {"residual_updates"},
                               {"residual_update_blobs"},
                               {"error_reduction_summaries"},
                               {"combined_grids"},
                               {"epoch_scalings"},
                               {"component_states"},
                               {"f_component_stats"},
                               {"training_errors"},
                               {"combination_choices"},
                               {"combination_candidates"}};
    EXPECT_EQ(tables, expected_tables);
    const Rows columns = query(path_, "SELECT name FROM pragma_table_info('component_states')");
    const Rows expected_columns{{"run_id"},     {"epoch"},           {"tree_id"},    {"iter_no"},
                                {"col"},        {"data"},            {"intervals_count"}, {"created_at"},
                                {"backbone_data"}, {"tilt_data"},    {"lambda_plus"}, {"lambda_minus"}};
    EXPECT_EQ(columns, expected_columns);
    EXPECT_EQ(count(path_, "sqlite_master WHERE type = 'index' AND name LIKE 'idx_%'"), "9");
    EXPECT_EQ(single(path_, "PRAGMA journal_mode"), "wal");

    SqliteLogger second = started();  // the migrations now fail, quietly
    EXPECT_EQ(second.run_id(), 2);
    EXPECT_EQ(query(path_, "SELECT id, label, params_json, n_rows, n_cols, epochs, n_trees_per_epoch, run_type, "
                           "notes FROM runs ORDER BY id"),
              (Rows{{"1", "NULL", "{\"seed\":1}", "10", "3", "NULL", "NULL", "single_grid_tensor", "NULL"},
                    {"2", "NULL", "{\"seed\":1}", "10", "3", "NULL", "NULL", "single_grid_tensor", "NULL"}}));
    EXPECT_EQ(query(path_, "SELECT name FROM pragma_table_info('component_states')"), expected_columns);
}

// Each is the caller's path, not a broken invariant: an IoError naming the
// path and the system's or SQLite's reason, and nothing created or changed.
TEST_F(RunLog, UnusablePathsStopTheRunNamingPathAndReason) {
    const std::string text = "plain text, long enough to be read as a database header: 0123456789abcdef";
    const std::filesystem::path notes = dir_ / "notes.txt";
    std::ofstream(notes) << text;
    struct Case {
        const char* name;
        std::string path;
        std::string message;  // before " (path '...')"
    };
    const std::vector<Case> cases = {
        {"a directory", dir_.string(), "Failed to open sqlite database for logging: Is a directory"},
        {"a missing parent", (dir_ / "missing" / "run.db").string(),
         "Failed to open sqlite database for logging: No such file or directory"},
        {"a file that is not a database", notes.string(), "Failed to apply pragmas: file is not a database"},
        {"a path under a regular file", (notes / "run.db").string(),
         "Failed to open sqlite database for logging: Not a directory"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoggerConfig config;
        config.path = c.path;
        SqliteLogger logger(config);
        try {
            logger.start_run("{}", 1, 1);
            ADD_FAILURE() << "start_run succeeded";
        } catch (const IoError& error) {
            EXPECT_EQ(error.what(), c.message + " (path '" + c.path + "')");
        }
        std::vector<std::string> entries;
        for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
            entries.push_back(entry.path().filename().string());
        }
        EXPECT_EQ(entries, std::vector<std::string>{"notes.txt"});
        std::stringstream content;
        content << std::ifstream(notes).rdbuf();
        EXPECT_EQ(content.str(), text);
    }
}

TEST_F(RunLog, FlushErrorsWithoutAConnectionOnlyWhenThereIsSomethingToWrite) {
    LoggerConfig config;
    config.path = path_;
    SqliteLogger logger(config);
    EXPECT_EQ(logger.flush(), std::nullopt);
    logger.log_epoch_scaling({0, 1.0, 0});
    EXPECT_EQ(logger.flush(), "logger connection not initialized");
    EXPECT_FALSE(std::filesystem::exists(path_));
}

// Another connection holding the write lock makes every write fail, so a
// flush that succeeds did not write.
TEST_F(RunLog, EmptyFlushTouchesNothingAndAFailedFlushKeepsItsRecords) {
    SqliteLogger logger = started();
    sqlite::Connection blocker(path_, SQLITE_OPEN_READWRITE);
    blocker.execute("BEGIN EXCLUSIVE");
    EXPECT_EQ(logger.flush(), std::nullopt);

    logger.log_move_event({0, 1, MoveEvent{}});
    logger.log_epoch_training_error({0, 0.5, ErrorVariant::Train});
    const std::optional<std::string> failure = logger.flush();
    ASSERT_TRUE(failure.has_value());
    EXPECT_NE(failure->find("locked"), std::string::npos) << *failure;
    EXPECT_EQ(logger.buffered_count(), 2u);

    blocker.execute("ROLLBACK");
    EXPECT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(logger.buffered_count(), 0u);
    EXPECT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(count(path_, "events"), "1");
    EXPECT_EQ(count(path_, "training_errors"), "1");
}

TEST_F(RunLog, ANaNInANotNullColumnFailsTheWholeFlush) {
    SqliteLogger logger = started();
    logger.log_move_event({0, 1, MoveEvent{}});
    logger.log_tree_training_error({0, 1, std::numeric_limits<double>::quiet_NaN(), ErrorVariant::Train});
    const std::optional<std::string> failure = logger.flush();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, "NOT NULL constraint failed: training_errors.err");
    EXPECT_EQ(count(path_, "events"), "0") << "rows written before the failure are rolled back";
    EXPECT_EQ(logger.buffered_count(), 2u);
    EXPECT_EQ(single(path_, "PRAGMA integrity_check"), "ok");
}

TEST_F(RunLog, NotesAloneAreWrittenToTheirOwnRunOnly) {
    SqliteLogger first = started();
    SqliteLogger second = started();
    second.log_run_notes("unfinished: interrupted");
    EXPECT_EQ(second.buffered_count(), 1u);
    ASSERT_EQ(second.flush(), std::nullopt);
    EXPECT_EQ(second.buffered_count(), 0u);
    EXPECT_EQ(query(path_, "SELECT id, notes FROM runs ORDER BY id"),
              (Rows{{"1", "NULL"}, {"2", "unfinished: interrupted"}}));
}

TEST_F(RunLog, TrainingErrorsReplaceOnlyTreeLevelRows) {
    SqliteLogger logger = started();
    logger.log_tree_training_error({1, 2, 0.5, ErrorVariant::Train});
    logger.log_tree_training_error({1, 2, 0.25, ErrorVariant::Train});
    logger.log_tree_training_error({1, 2, 0.75, ErrorVariant::Test});
    logger.log_epoch_training_error({1, 1.5, ErrorVariant::Train});
    logger.log_epoch_training_error({1, 1.25, ErrorVariant::Train});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT run_id, epoch, tree_id, err, variant FROM training_errors "
                           "ORDER BY tree_id IS NULL, variant, err"),
              (Rows{{"1", "1", "2", "0.75", "test"},
                    {"1", "1", "2", "0.25", "train"},
                    {"1", "1", "NULL", "1.25", "train"},
                    {"1", "1", "NULL", "1.5", "train"}}));
}

TEST_F(RunLog, CombinationChoicesMarkTheBestAndReplaceTheirCandidates) {
    SqliteLogger logger = started();
    logger.log_combination_choice({0, "BaggedTwoTensor", 9, {{0, 0.0}, {1, 0.5}}});
    logger.log_combination_choice({1, "BaggedTwoTensor", 2, {{2, 0.0}, {0, 0.25}, {1, 0.5}}});
    logger.log_combination_choice({1, "BaggedTwoTensor", std::nullopt, {{3, 0.0}}});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT epoch, tree_id, candidate_score, is_best FROM combination_candidates "
                           "ORDER BY epoch, tree_id"),
              (Rows{{"0", "0", "0.0", "0"}, {"0", "1", "0.5", "0"}, {"1", "3", "0.0", "0"}}));
    EXPECT_EQ(query(path_, "SELECT epoch, method, best_index, candidates_json FROM combination_choices ORDER BY epoch"),
              (Rows{{"0", "BaggedTwoTensor", "9", R"([{"score":0.0,"tree_id":0},{"score":0.5,"tree_id":1}])"},
                    {"1", "BaggedTwoTensor", "NULL", R"([{"score":0.0,"tree_id":3}])"}}));

    logger.log_combination_choice({0, "BaggedTwoTensor", 1, {{1, 0.0}, {0, 0.5}}});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT tree_id, is_best FROM combination_candidates WHERE epoch = 0 ORDER BY tree_id"),
              (Rows{{"0", "0"}, {"1", "1"}}));
}

TEST_F(RunLog, CombinedGridsStoreTheirArraysAsJsonOrNull) {
    SqliteLogger logger = started();
    logger.log_combined_grid({2.5, 1.0, 1.0, 0.5, R"({"a":1})", std::nullopt, std::vector<double>{1.0, -0.5}, 0});
    logger.log_combined_grid({std::nullopt, std::nullopt, std::nullopt, std::nullopt, "{}",
                              std::vector<double>{3.0, std::numeric_limits<double>::infinity()}, std::nullopt, 1});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT epoch, energy, scaling, scaling_plus, scaling_minus, grid_json, f_plus_json, "
                           "f_minus_json FROM combined_grids ORDER BY epoch"),
              (Rows{{"0", "2.5", "1.0", "1.0", "0.5", R"({"a":1})", "NULL", "[1.0,-0.5]"},
                    {"1", "NULL", "NULL", "NULL", "NULL", "{}", "[3.0,null]", "NULL"}}));
}

TEST_F(RunLog, ComponentStatesKeepTheirBytesAndTheLaterOfTwoEqualKeys) {
    SqliteLogger logger = started();
    const double inf = std::numeric_limits<double>::infinity();
    ComponentState state;
    state.data = interval_data({-inf, 1.0, 2.0}, {1.0, 2.0, inf}, {0.5, 1.0, 2.0});
    state.backbone_data = f64_bytes({0.5, 1.0, 2.0});
    state.lambda_plus = 3.0;
    state.iter_no = 4;
    state.col = 1;
    state.intervals_count = 3;
    logger.log_component_state({0, 2, state});
    state.lambda_plus = 4.0;  // same key: replaces the row above
    logger.log_component_state({0, 2, state});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT epoch, tree_id, iter_no, col, length(data), intervals_count, length(backbone_data), "
                           "tilt_data, lambda_plus, lambda_minus FROM component_states"),
              (Rows{{"0", "2", "4", "1", "72", "3", "24", "NULL", "4.0", "NULL"}}));
    EXPECT_EQ(single(path_, "SELECT hex(substr(data, 1, 8)) || hex(substr(data, 41, 8)) FROM component_states"),
              "000000000000F0FF000000000000F07F");
}

TEST_F(RunLog, EventsAndTheirResidualUpdatesFollowTheConfiguration) {
    MoveEvent event;
    event.split_value = 0.5;
    event.left_count = 2;
    event.gain = std::numeric_limits<double>::quiet_NaN();  // a nullable column takes NULL
    event.residual_updates = {{0.5f, 3, 0.1f}, {std::nullopt, 4, -2.0f}};
    event.iter_no = 7;
    event.col = 1;
    event.left_interval_idx = 2;
    event.n_cells_after = 6;
    event.action = MoveAction::Resplit;
    struct Case {
        bool rows;
        bool blobs;
        const char* updates;
        const char* blobs_json;
    };
    for (const Case& c : {Case{false, false, "0", "0"}, Case{false, true, "0", "0"}, Case{true, false, "2", "0"},
                          Case{true, true, "0", "1"}}) {
        SCOPED_TRACE(std::to_string(c.rows) + std::to_string(c.blobs));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        LoggerConfig config;
        config.log_residual_updates = c.rows;
        config.residual_updates_as_blobs = c.blobs;
        SqliteLogger logger = started(config);
        logger.log_move_event({3, 4, event});
        logger.log_move_event({3, 5, MoveEvent{}});  // no updates: never a blob row
        ASSERT_EQ(logger.flush(), std::nullopt);
        EXPECT_EQ(count(path_, "residual_updates"), c.updates);
        EXPECT_EQ(count(path_, "residual_update_blobs"), c.blobs_json);
        EXPECT_EQ(query(path_, "SELECT epoch, tree_id, iter_no, action, col, left_interval_idx, split_value, update_a, "
                               "left_count, right_count, gain, n_cells_after FROM events ORDER BY id LIMIT 1"),
                  (Rows{{"3", "4", "7", "resplit", "1", "2", "0.5", "NULL", "2", "NULL", "NULL", "6"}}));
    }
    EXPECT_EQ(single(path_, "SELECT data FROM residual_update_blobs"),
              R"([{"sample_id":3,"residual":0.1,"y_hat":0.5},{"sample_id":4,"residual":-2.0,"y_hat":null}])");
}

TEST_F(RunLog, ResidualUpdateRowsWidenTheirFloats) {
    LoggerConfig config;
    config.log_residual_updates = true;
    SqliteLogger logger = started(config);
    MoveEvent event;
    event.residual_updates = {{0.5f, 3, 0.25f}, {std::nullopt, 4, -2.0f}};
    logger.log_move_event({1, 2, event});
    ASSERT_EQ(logger.flush(), std::nullopt);
    EXPECT_EQ(query(path_, "SELECT epoch, tree_id, iter_no, sample_id, residual, y_hat FROM residual_updates "
                           "ORDER BY sample_id"),
              (Rows{{"1", "2", "0", "3", "0.25", "0.5"}, {"1", "2", "0", "4", "-2.0", "NULL"}}));
}

}  // namespace
}  // namespace zun::logging
