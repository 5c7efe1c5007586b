#include "logging/sqlite.hpp"

#include <sqlite3.h>

#include <system_error>
#include <utility>

#include <fmt/format.h>

namespace zun::sqlite {

Connection::Connection(const std::string& path, int flags) {
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        // SQLite says "unable to open database file" whatever the cause; the
        // system's error number, when it has one, says which.
        const int system_error = db_ != nullptr ? sqlite3_system_errno(db_) : 0;
        const std::string message = system_error != 0 ? std::generic_category().message(system_error)
                                    : db_ != nullptr  ? sqlite3_errmsg(db_)
                                                      : sqlite3_errstr(rc);
        // SQLite hands out a handle even on failure; it must still be closed.
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw SqliteError(message);
    }
}

Connection::Connection(Connection&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        sqlite3_close_v2(db_);
        db_ = std::exchange(other.db_, nullptr);
    }
    return *this;
}

Connection::~Connection() { sqlite3_close_v2(db_); }

std::string Connection::last_error() const { return sqlite3_errmsg(db_); }

void Connection::execute(const std::string& sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message != nullptr ? message : last_error();
        sqlite3_free(message);
        throw SqliteError(text);
    }
}

Statement::Statement(Connection& connection, const std::string& sql) : connection_(connection) {
    if (sqlite3_prepare_v2(connection.handle(), sql.c_str(), static_cast<int>(sql.size() + 1), &statement_,
                           nullptr) != SQLITE_OK) {
        throw SqliteError(connection.last_error());
    }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

namespace {
void check_bind(int rc, const Connection& connection) {
    if (rc != SQLITE_OK) {
        throw SqliteError(connection.last_error());
    }
}
}  // namespace

void Statement::bind_null(int index) { check_bind(sqlite3_bind_null(statement_, index), connection_); }

void Statement::bind(int index, std::int64_t value) {
    check_bind(sqlite3_bind_int64(statement_, index, value), connection_);
}

void Statement::bind(int index, double value) {
    check_bind(sqlite3_bind_double(statement_, index, value), connection_);
}

void Statement::bind(int index, const std::string& text) {
    check_bind(sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8),
               connection_);
}

void Statement::bind(int index, const std::vector<std::uint8_t>& bytes) {
    // A zero-length blob must still be a blob, not NULL: pass a valid pointer.
    static const std::uint8_t empty = 0;
    const void* data = bytes.empty() ? &empty : bytes.data();
    check_bind(sqlite3_bind_blob64(statement_, index, data, bytes.size(), SQLITE_TRANSIENT), connection_);
}

bool Statement::step() {
    const int rc = sqlite3_step(statement_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc == SQLITE_DONE) {
        return false;
    }
    const std::string message = connection_.last_error();
    sqlite3_reset(statement_);
    throw SqliteError(message);
}

void Statement::run() {
    while (step()) {
    }
    reset();
}

void Statement::reset() { sqlite3_reset(statement_); }

std::int64_t Statement::column_int64(int column) const { return sqlite3_column_int64(statement_, column); }

Transaction::Transaction(Connection& connection) : connection_(connection) { connection_.execute("BEGIN DEFERRED"); }

Transaction::~Transaction() {
    if (!committed_) {
        // A failed statement may already have ended the transaction; then
        // there is nothing left to undo and the error is of no interest.
        sqlite3_exec(connection_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

void Transaction::commit() {
    connection_.execute("COMMIT");
    committed_ = true;
}

}  // namespace zun::sqlite
