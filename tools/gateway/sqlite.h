// A thin owner of SQLite connections and statements for the register. Every failure throws
// sql::Error with SQLite's message (and the operating system's reason for an I/O failure);
// the register catches them at its edge.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace gateway::sql {

class Error : public std::runtime_error {
  public:
    Error(int code, const std::string& what) : std::runtime_error(what), code_(code) {}
    int Code() const { return code_; } // SQLite's primary result code
  private:
    int code_;
};

class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&&) = delete;

    // Parameters count from 1, as in SQLite.
    Statement& Bind(int i, int64_t value);
    Statement& Bind(int i, std::string_view text);
    Statement& Bind(int i, const std::optional<int64_t>& value);
    Statement& Bind(int i, const std::optional<std::string>& text);
    Statement& BindBlob(int i, std::string_view bytes);
    Statement& BindNull(int i);

    // True while it yields a row; false when it is done.
    bool Step();
    // Ready to run again, with its parameters kept.
    void Reset();

    // Columns count from 0. Type() is SQLite's: SQLITE_INTEGER, SQLITE_TEXT, SQLITE_NULL ...
    int Type(int col) const;
    bool IsNull(int col) const;
    int64_t Int(int col) const;
    std::optional<int64_t> OptInt(int col) const;
    std::string Text(int col) const;
    std::optional<std::string> OptText(int col) const;
    std::string Blob(int col) const;

  private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

class Db {
  public:
    enum class Mode { ReadWriteCreate, ReadWrite, ReadOnly };
    Db(const std::string& path, Mode mode); // throws Error
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void Exec(std::string_view sql);
    Statement Prepare(std::string_view sql) { return Statement(db_, sql); }
    // The single value of a query ("PRAGMA journal_mode"), as text; empty when none.
    std::string Value(std::string_view sql);
    int64_t Changes() const;

  private:
    sqlite3* db_ = nullptr;
};

// An immediate transaction (it takes the write lock at once, so two writers never meet half-way),
// rolled back unless Commit() is called.
class Transaction {
  public:
    explicit Transaction(Db& db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void Commit();

  private:
    Db& db_;
    bool done_ = false;
};

// The message of a failed call: SQLite's text, with the operating system's when it has one.
std::string Message(sqlite3* db, int code);

} // namespace gateway::sql
