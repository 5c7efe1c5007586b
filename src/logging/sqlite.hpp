#pragma once
// A thin owning layer over the SQLite C interface: a connection, a prepared
// statement and a transaction guard. Failures throw SqliteError carrying
// SQLite's own message.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace zun::sqlite {

class SqliteError : public std::runtime_error {
public:
    explicit SqliteError(const std::string& message) : std::runtime_error(message) {}
};

class Connection {
public:
    // sqlite3_open_v2 with `flags`; throws when the file cannot be opened,
    // with the system's description of the cause when there is one.
    Connection(const std::string& path, int flags);
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    // Runs one or more statements, discarding any result rows.
    void execute(const std::string& sql);
    sqlite3* handle() const { return db_; }
    std::string last_error() const;

private:
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Connection& connection, const std::string& sql);
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement();

    // Parameters are numbered from 1. Absent optionals bind NULL; SQLite
    // itself stores a NaN double as NULL.
    void bind_null(int index);
    void bind(int index, std::int64_t value);
    void bind(int index, double value);
    void bind(int index, const std::string& text);
    void bind(int index, const std::vector<std::uint8_t>& bytes);
    template <class T>
    void bind(int index, const std::optional<T>& value) {
        if (value) {
            bind(index, *value);
        } else {
            bind_null(index);
        }
    }

    // One step: true when a row is available, false when done.
    bool step();
    // Steps to completion, then resets for the next row (bindings are
    // replaced by the next binds).
    void run();
    void reset();
    std::int64_t column_int64(int column) const;

private:
    Connection& connection_;
    sqlite3_stmt* statement_ = nullptr;
};

// Begins a deferred transaction; rolls it back on destruction unless
// commit() succeeded.
class Transaction {
public:
    explicit Transaction(Connection& connection);
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    ~Transaction();

    void commit();

private:
    Connection& connection_;
    bool committed_ = false;
};

}  // namespace zun::sqlite
