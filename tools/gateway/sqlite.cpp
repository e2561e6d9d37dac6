#include "sqlite.h"

#include <sqlite3.h>

#include <cstring>

namespace gateway::sql {

std::string Message(sqlite3* db, int code) {
    std::string m = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
    const int os = db != nullptr ? sqlite3_system_errno(db) : 0;
    if (os != 0 && (code & 0xff) == SQLITE_IOERR) m += std::string(" (") + std::strerror(os) + ")";
    return m;
}

namespace {

[[noreturn]] void Fail(sqlite3* db, int code) {
    throw Error(code & 0xff, Message(db, code));
}

} // namespace

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
    const int rc =
        sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        Fail(db, rc);
    }
}

Statement::~Statement() {
    sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept : db_(other.db_), stmt_(other.stmt_) {
    other.stmt_ = nullptr;
}

Statement& Statement::Bind(int i, int64_t value) {
    const int rc = sqlite3_bind_int64(stmt_, i, value);
    if (rc != SQLITE_OK) Fail(db_, rc);
    return *this;
}

Statement& Statement::Bind(int i, std::string_view text) {
    const int rc =
        sqlite3_bind_text64(stmt_, i, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    if (rc != SQLITE_OK) Fail(db_, rc);
    return *this;
}

Statement& Statement::Bind(int i, const std::optional<int64_t>& value) {
    return value ? Bind(i, *value) : BindNull(i);
}

Statement& Statement::Bind(int i, const std::optional<std::string>& text) {
    return text ? Bind(i, std::string_view(*text)) : BindNull(i);
}

Statement& Statement::BindBlob(int i, std::string_view bytes) {
    // A zero-length blob is still a blob, not NULL.
    const int rc = sqlite3_bind_blob64(stmt_, i, bytes.empty() ? "" : bytes.data(), bytes.size(),
                                       SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) Fail(db_, rc);
    return *this;
}

Statement& Statement::BindNull(int i) {
    const int rc = sqlite3_bind_null(stmt_, i);
    if (rc != SQLITE_OK) Fail(db_, rc);
    return *this;
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    Fail(db_, rc);
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
}

int Statement::Type(int col) const {
    return sqlite3_column_type(stmt_, col);
}

bool Statement::IsNull(int col) const {
    return sqlite3_column_type(stmt_, col) == SQLITE_NULL;
}

int64_t Statement::Int(int col) const {
    return sqlite3_column_int64(stmt_, col);
}

std::optional<int64_t> Statement::OptInt(int col) const {
    if (IsNull(col)) return std::nullopt;
    return Int(col);
}

std::string Statement::Text(int col) const {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p != nullptr ? std::string(p, static_cast<size_t>(n)) : std::string();
}

std::optional<std::string> Statement::OptText(int col) const {
    if (IsNull(col)) return std::nullopt;
    return Text(col);
}

std::string Statement::Blob(int col) const {
    const auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, col));
    const int n = sqlite3_column_bytes(stmt_, col);
    return p != nullptr ? std::string(p, static_cast<size_t>(n)) : std::string();
}

Db::Db(const std::string& path, Mode mode) {
    int flags = SQLITE_OPEN_NOMUTEX; // one thread uses a connection at a time
    switch (mode) {
    case Mode::ReadWriteCreate:
        flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        break;
    case Mode::ReadWrite:
        flags |= SQLITE_OPEN_READWRITE;
        break;
    case Mode::ReadOnly:
        flags |= SQLITE_OPEN_READONLY;
        break;
    }
    const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string m = Message(db_, rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw Error(rc & 0xff, m);
    }
    sqlite3_extended_result_codes(db_, 1);
    // Another process (a prune, a verification) may hold the lock for a moment.
    sqlite3_busy_timeout(db_, 5000);
}

Db::~Db() {
    sqlite3_close_v2(db_);
}

void Db::Exec(std::string_view sql) {
    const std::string text(sql);
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &err);
    sqlite3_free(err);
    if (rc != SQLITE_OK) Fail(db_, rc);
}

std::string Db::Value(std::string_view sql) {
    Statement s(db_, sql);
    return s.Step() ? s.Text(0) : std::string();
}

int64_t Db::Changes() const {
    return sqlite3_changes64(db_);
}

Transaction::Transaction(Db& db) : db_(db) {
    db_.Exec("BEGIN IMMEDIATE");
}

Transaction::~Transaction() {
    if (!done_) {
        try {
            db_.Exec("ROLLBACK");
        } catch (...) {
            // A failed commit may have rolled back already.
        }
    }
}

void Transaction::Commit() {
    db_.Exec("COMMIT");
    done_ = true;
}

} // namespace gateway::sql
