#include "register.h"

#include "digest.h"
#include "sqlite.h"

#include <sqlite3.h>

#ifdef _WIN32
#include "windows/private_file.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <span>

namespace gateway {

namespace {

namespace fs = std::filesystem;

// "TRVW" in the file's header: a database this register made.
constexpr int64_t kApplicationId = 0x54525657;
constexpr int kSchemaVersion = 1;
constexpr size_t kMaxFrame = 4096;
constexpr size_t kMaxReference = 256;
const std::string kZeroHash(64, '0');

const char* const kSchema = R"(
CREATE TABLE IF NOT EXISTS weighings(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    gateway TEXT NOT NULL,
    scale TEXT NOT NULL,
    model TEXT NOT NULL,
    frame BLOB NOT NULL,
    gross_counts INTEGER,
    net_counts INTEGER NOT NULL,
    tare_counts INTEGER,
    decimals INTEGER NOT NULL,
    gross_text TEXT,
    net_text TEXT NOT NULL,
    tare_text TEXT,
    unit TEXT,
    stable INTEGER,
    overload INTEGER NOT NULL,
    reference TEXT NOT NULL,
    software_version TEXT NOT NULL,
    software_sha256 TEXT NOT NULL,
    prev_hash TEXT NOT NULL,
    hash TEXT NOT NULL,
    mac TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS weighings_scale ON weighings(scale, id);
CREATE INDEX IF NOT EXISTS weighings_time ON weighings(time);
CREATE TABLE IF NOT EXISTS events(
    id INTEGER PRIMARY KEY,
    time INTEGER NOT NULL,
    kind TEXT NOT NULL,
    detail TEXT NOT NULL,
    prev_hash TEXT NOT NULL,
    hash TEXT NOT NULL,
    mac TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS head(
    chain TEXT PRIMARY KEY,
    first_id INTEGER NOT NULL,
    first_prev_hash TEXT NOT NULL,
    last_id INTEGER NOT NULL,
    last_hash TEXT NOT NULL,
    mac TEXT NOT NULL);
)";

// ---- the canonical form -------------------------------------------------------------------
//
// A record (or event) is hashed as its JSON text: the columns below in this order, no blanks,
// strings escaped only where JSON must, non-ASCII as UTF-8, the frame as lowercase hex.

enum class Kind { Int, OptInt, Text, OptText, Bytes, Bool, OptBool };
struct Column {
    const char* name;
    Kind kind;
};

constexpr Column kRecordColumns[] = {
    {"id", Kind::Int},
    {"time", Kind::Int},
    {"gateway", Kind::Text},
    {"scale", Kind::Text},
    {"model", Kind::Text},
    {"frame", Kind::Bytes},
    {"gross_counts", Kind::OptInt},
    {"net_counts", Kind::Int},
    {"tare_counts", Kind::OptInt},
    {"decimals", Kind::Int},
    {"gross_text", Kind::OptText},
    {"net_text", Kind::Text},
    {"tare_text", Kind::OptText},
    {"unit", Kind::OptText},
    {"stable", Kind::OptBool},
    {"overload", Kind::Bool},
    {"reference", Kind::Text},
    {"software_version", Kind::Text},
    {"software_sha256", Kind::Text},
    {"prev_hash", Kind::Text},
};
constexpr Column kEventColumns[] = {
    {"id", Kind::Int},      {"time", Kind::Int},       {"kind", Kind::Text},
    {"detail", Kind::Text}, {"prev_hash", Kind::Text},
};

// One chain: a table of sealed rows and its row in `head`.
struct Chain {
    const char* table;
    std::span<const Column> columns;
};
const Chain kRecords{"weighings", kRecordColumns};
const Chain kEvents{"events", kEventColumns};

std::string ColumnList(const Chain& c) {
    std::string s;
    for (const Column& col : c.columns)
        s += std::string(s.empty() ? "" : ", ") + col.name;
    return s + ", hash, mac";
}

// A column's value as the canonical form has it. A value of the wrong type (a number where
// a text belongs, a fraction where a count does) becomes a text no genuine record holds, so
// its hash fails.
Json ColumnValue(const sql::Statement& s, int i, Kind kind) {
    const int type = s.Type(i);
    const bool optional = kind == Kind::OptInt || kind == Kind::OptText || kind == Kind::OptBool;
    if (type == SQLITE_NULL) return optional ? Json(nullptr) : Json("(missing)");
    switch (kind) {
    case Kind::Int:
    case Kind::OptInt:
        if (type != SQLITE_INTEGER) return "(not a whole number)";
        return s.Int(i);
    case Kind::Bool:
    case Kind::OptBool:
        if (type != SQLITE_INTEGER || (s.Int(i) != 0 && s.Int(i) != 1)) return "(not 0 or 1)";
        return s.Int(i) == 1;
    case Kind::Bytes:
        return digest::Hex(s.Blob(i));
    case Kind::Text:
    case Kind::OptText:
        if (type != SQLITE_TEXT) return "(not a text)";
        return s.Text(i);
    }
    return nullptr;
}

std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A JSON string as Dump() writes it: only '"', '\\' and the control characters escaped.
void AppendString(std::string& out, std::string_view text) {
    out += '"';
    for (const char ch : text) {
        switch (ch) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(ch) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(ch));
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    out += '"';
}

// The canonical text of the statement's current row, written straight from its columns: the
// same text as Dump() of ColumnValue()s (the read-back of every registration compares them),
// without building the JSON object first.
std::string CanonicalText(const sql::Statement& s, const Chain& chain) {
    std::string out;
    out.reserve(1024);
    out += '{';
    int i = 0;
    for (const Column& col : chain.columns) {
        if (i > 0) out += ',';
        out += '"';
        out += col.name;
        out += "\":";
        const int type = s.Type(i);
        const bool optional =
            col.kind == Kind::OptInt || col.kind == Kind::OptText || col.kind == Kind::OptBool;
        if (type == SQLITE_NULL) {
            out += optional ? "null" : "\"(missing)\"";
        } else if (col.kind == Kind::Int || col.kind == Kind::OptInt) {
            out += type == SQLITE_INTEGER ? std::to_string(s.Int(i)) : "\"(not a whole number)\"";
        } else if (col.kind == Kind::Bool || col.kind == Kind::OptBool) {
            const bool ok = type == SQLITE_INTEGER && (s.Int(i) == 0 || s.Int(i) == 1);
            out += !ok ? "\"(not 0 or 1)\"" : s.Int(i) == 1 ? "true" : "false";
        } else if (col.kind == Kind::Bytes) {
            AppendString(out, digest::Hex(s.Blob(i)));
        } else if (type != SQLITE_TEXT) {
            out += "\"(not a text)\"";
        } else {
            AppendString(out, s.Text(i));
        }
        ++i;
    }
    out += '}';
    return out;
}

std::string HashOf(const Json& canonical) {
    return digest::Hex(digest::Sha256(Dump(canonical)));
}

std::string MacOf(const std::string& key, const std::string& hashHex) {
    const auto bytes = digest::FromHex(hashHex);
    if (!bytes || bytes->size() != 32) return {};
    return digest::Hex(digest::HmacSha256(key, *bytes));
}

// A row read from a chain's table: its canonical text (and, to serve it, its object), stored
// hash and mac.
struct Row {
    uint64_t id = 0;
    std::string text;
    Json canonical;
    std::string prevHash, hash, mac;
};

// Reads the current row of a statement that selects ColumnList(chain) (and maybe more after).
Row ReadRow(const sql::Statement& s, const Chain& chain, bool withObject) {
    Row r;
    r.text = CanonicalText(s, chain);
    const int n = static_cast<int>(chain.columns.size());
    if (withObject) {
        r.canonical = Json::object();
        for (int i = 0; i < n; ++i)
            r.canonical[chain.columns[static_cast<size_t>(i)].name] =
                ColumnValue(s, i, chain.columns[static_cast<size_t>(i)].kind);
    }
    r.id = static_cast<uint64_t>(s.Int(0));
    r.prevHash = s.Text(n - 1);
    r.hash = s.Text(n);
    r.mac = s.Text(n + 1);
    return r;
}

// Why a row fails, with its predecessor's hash as the chain says it must be (nullopt: the
// predecessor is missing, so the link cannot be checked): "" when it is good.
std::string RowFailure(const Row& r, const std::string& key,
                       const std::optional<std::string>& prevHash) {
    const std::string mac = MacOf(key, r.hash);
    if (mac.empty() || !digest::SameBytes(mac, r.mac)) return "mac";
    if (prevHash && !digest::SameBytes(*prevHash, r.prevHash)) return "order";
    if (!digest::SameBytes(digest::Hex(digest::Sha256(r.text)), r.hash)) return "hash";
    return "";
}

std::string ReasonText(const std::string& reason, const char* what) {
    if (reason == "hash")
        return std::string("its contents do not give its hash: a field of the ") + what +
               " was changed";
    if (reason == "mac")
        return "its hash is not sealed by the key: the hash was rewritten, or the key is not the "
               "one it was made with";
    if (reason == "order")
        return std::string("it does not follow the ") + what +
               " before it (its prev_hash is not that one's hash): records were swapped, moved "
               "or replaced";
    return "";
}

// ---- the head: where each chain begins and ends, sealed --------------------------------------

struct Head {
    uint64_t firstId = 1;
    std::string firstPrevHash = kZeroHash;
    uint64_t lastId = 0;
    std::string lastHash = kZeroHash;
    std::string mac;
    uint64_t Count() const { return lastId >= firstId ? lastId - firstId + 1 : 0; }
};

std::string HeadMac(const std::string& key, const char* chain, const Head& h) {
    Json j = Json::object();
    j["chain"] = chain;
    j["first_id"] = h.firstId;
    j["first_prev_hash"] = h.firstPrevHash;
    j["last_id"] = h.lastId;
    j["last_hash"] = h.lastHash;
    return digest::Hex(digest::HmacSha256(key, Dump(j)));
}

std::optional<Head> ReadHead(sql::Db& db, const char* chain) {
    auto s = db.Prepare(
        "SELECT first_id, first_prev_hash, last_id, last_hash, mac FROM head WHERE chain = ?");
    s.Bind(1, std::string_view(chain));
    if (!s.Step()) return std::nullopt;
    Head h;
    h.firstId = static_cast<uint64_t>(s.Int(0));
    h.firstPrevHash = s.Text(1);
    h.lastId = static_cast<uint64_t>(s.Int(2));
    h.lastHash = s.Text(3);
    h.mac = s.Text(4);
    return h;
}

void WriteHead(sql::Db& db, const std::string& key, const char* chain, const Head& h) {
    auto s = db.Prepare("INSERT OR REPLACE INTO head(chain, first_id, first_prev_hash, last_id, "
                        "last_hash, mac) VALUES (?, ?, ?, ?, ?, ?)");
    s.Bind(1, std::string_view(chain))
        .Bind(2, static_cast<int64_t>(h.firstId))
        .Bind(3, std::string_view(h.firstPrevHash))
        .Bind(4, static_cast<int64_t>(h.lastId))
        .Bind(5, std::string_view(h.lastHash))
        .Bind(6, std::string_view(HeadMac(key, chain, h)));
    s.Step();
}

bool HeadSealed(const std::string& key, const char* chain, const Head& h) {
    return digest::SameBytes(HeadMac(key, chain, h), h.mac);
}

// Binds a canonical object's values (in column order), then its hash and mac.
void BindRow(sql::Statement& s, const Chain& chain, const Json& canonical, const std::string& hash,
             const std::string& mac) {
    int i = 1;
    for (const Column& col : chain.columns) {
        const Json& v = canonical.at(col.name);
        if (v.is_null())
            s.BindNull(i);
        else if (col.kind == Kind::Bytes)
            s.BindBlob(i, *digest::FromHex(v.get<std::string>()));
        else if (v.is_boolean())
            s.Bind(i, static_cast<int64_t>(v.get<bool>() ? 1 : 0));
        else if (v.is_number_integer())
            s.Bind(i, v.get<int64_t>());
        else
            s.Bind(i, std::string_view(v.get_ref<const std::string&>()));
        ++i;
    }
    s.Bind(i, std::string_view(hash)).Bind(i + 1, std::string_view(mac));
}

std::string InsertSql(const Chain& c) {
    std::string marks;
    for (size_t i = 0; i < c.columns.size() + 2; ++i)
        marks += i == 0 ? "?" : ", ?";
    return std::string("INSERT INTO ") + c.table + "(" + ColumnList(c) + ") VALUES (" + marks + ")";
}

// Appends one event inside the caller's transaction.
void AppendEvent(sql::Db& db, const std::string& key, int64_t timeMs, const std::string& kind,
                 const Json& detail) {
    Head h = ReadHead(db, kEvents.table).value_or(Head{});
    Json e = Json::object();
    e["id"] = h.lastId + 1;
    e["time"] = timeMs;
    e["kind"] = kind;
    e["detail"] = Dump(detail);
    e["prev_hash"] = h.lastHash;
    const std::string hash = HashOf(e);
    const std::string mac = MacOf(key, hash);
    auto s = db.Prepare(InsertSql(kEvents));
    BindRow(s, kEvents, e, hash, mac);
    s.Step();
    h.lastId += 1;
    h.lastHash = hash;
    WriteHead(db, key, kEvents.table, h);
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// ---- checks of what a client sends ----------------------------------------------------------

// The number of code points of valid UTF-8 (no overlong forms, no surrogates), or nullopt.
std::optional<size_t> Utf8Length(std::string_view s) {
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++n) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return std::nullopt;
        }
        if (i + len > s.size()) return std::nullopt;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return std::nullopt;
            cp = cp << 6 | (cc & 0x3F);
        }
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        i += len;
    }
    return n;
}

bool ValidText(const std::optional<std::string>& t) {
    return !t || Utf8Length(*t).has_value();
}

// ---- the key file ---------------------------------------------------------------------------

// The key a key file's text holds: 64 hexadecimal digits and maybe a line break. Empty with
// `error` set when it holds none.
std::string KeyOfText(std::string text, const std::string& path, std::string& error) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const std::optional<std::string> key = text.size() == 64 ? digest::FromHex(text) : std::nullopt;
    if (!key) {
        error = "the register's key file " + path + " does not hold a key (64 hexadecimal digits)";
        return {};
    }
    return *key;
}

#ifdef _WIN32

// The key file on Windows: its access list stands in for the mode 0600.
std::string ReadKey(const std::string& path, bool& missing, std::string& error) {
    missing = false;
    std::string text, detail;
    switch (winfile::ReadPrivate(path, 130, text, detail)) {
    case winfile::ReadResult::Missing:
        missing = true;
        return {};
    case winfile::ReadResult::Failed:
        error = "cannot open the register's key file " + path + ": " + detail;
        return {};
    case winfile::ReadResult::NotAFile:
        error = "the register's key file " + path + " is not a regular file";
        return {};
    case winfile::ReadResult::OpenToOthers:
        error = "the register's key file " + path + " may be read by others (" + detail +
                "): let only SYSTEM and the Administrators read it and consider making a new "
                "register, since the key may be known";
        return {};
    case winfile::ReadResult::Ok:
        break;
    }
    return KeyOfText(std::move(text), path, error);
}

std::string MakeKey(const std::string& path, std::string& error) {
    const std::string key = digest::RandomBytes(32);
    if (key.size() != 32) {
        error = "no random bytes for the register's key (libcrypto)";
        return {};
    }
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::string detail;
    if (!winfile::WritePrivate(path, digest::Hex(key) + "\n", detail)) {
        error = "cannot make the register's key file " + path + ": " + detail;
        return {};
    }
    return key;
}

#else

std::string ModeText(mode_t mode) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// Reads the key (64 hexadecimal digits and maybe a line break). Empty with `error` set when the
// file is unsafe or not a key; `missing` when there is no file.
std::string ReadKey(const std::string& path, bool& missing, std::string& error) {
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            missing = true;
        } else {
            error = "cannot open the register's key file " + path + ": " + std::strerror(errno);
        }
        return {};
    }
    struct stat st {};
    std::string key;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "the register's key file " + path + " is not a regular file";
    } else if ((st.st_mode & 077) != 0) {
        error = "the register's key file " + path + " may be read by others (mode " +
                ModeText(st.st_mode) + "): make it its owner's only (chmod 600 " + path +
                ") and consider making a new register, since the key may be known";
    } else {
        char buf[130];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        key = KeyOfText(n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string(), path,
                        error);
    }
    ::close(fd);
    return error.empty() ? key : std::string();
}

// Makes a new key file (mode 0600) and writes it to the disk before the register uses it.
std::string MakeKey(const std::string& path, std::string& error) {
    const std::string key = digest::RandomBytes(32);
    if (key.size() != 32) {
        error = "no random bytes for the register's key (libcrypto)";
        return {};
    }
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot make the register's key file " + path + ": " + std::strerror(errno);
        return {};
    }
    const std::string text = digest::Hex(key) + "\n";
    const bool ok = ::fchmod(fd, 0600) == 0 &&
                    ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                    ::fsync(fd) == 0;
    const int saved = errno;
    ::close(fd);
    if (!ok) {
        ::unlink(path.c_str());
        error = "cannot write the register's key file " + path + ": " + std::strerror(saved);
        return {};
    }
    const int dir = ::open(fs::path(path).parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return key;
}

#endif

void Answer(const std::function<void(Register::Result)>& done, Register::Result r) {
    try {
        if (done) done(std::move(r));
    } catch (...) {
        // The caller's own failure; the writer goes on.
    }
}

} // namespace

// ---- outside the class ----------------------------------------------------------------------

SoftwareIdentity RunningSoftware(const std::string& version) {
    SoftwareIdentity id;
    id.version = version;
    if (auto h = digest::Sha256OfFile("/proc/self/exe")) id.sha256 = digest::Hex(*h);
    return id;
}

Json Verification::ToJson() const {
    auto part = [](const ChainCheck& c) {
        Json j = Json::object();
        j["checked"] = c.checked;
        j["first_id"] = c.firstId;
        j["last_id"] = c.lastId;
        j["failures"] = c.failures;
        if (c.failedId) {
            Json f = Json::object();
            f["id"] = *c.failedId;
            f["reason"] = c.reason;
            f["text"] = c.text;
            j["first_failure"] = f;
        } else {
            j["first_failure"] = nullptr;
        }
        return j;
    };
    Json j = Json::object();
    j["good"] = Good();
    if (!done) j["error"] = error;
    j["records"] = part(records);
    j["events"] = part(events);
    return j;
}

// ---- opening --------------------------------------------------------------------------------

Register::Register(Options options) : options_(std::move(options)) {}

std::unique_ptr<Register> Register::Open(const Options& options, std::string& error) {
    std::unique_ptr<Register> r(new Register(options));
    try {
        r->Prepare();
    } catch (const sql::Error& e) {
        error = "register " + options.settings.database + ": " + e.what();
        return nullptr;
    } catch (const std::runtime_error& e) {
        error = e.what();
        return nullptr;
    } catch (const std::exception& e) {
        error = std::string("register: ") + e.what();
        return nullptr;
    }
    if (options.create) {
        r->writer_ = std::thread([p = r.get()] { p->Writer(); });
        r->checkpointer_ = std::thread([p = r.get()] { p->Checkpointer(); });
    }
    return r;
}

void Register::Prepare() {
    const RegisterSettings& s = options_.settings;
    const bool exists = fs::exists(s.database);
    if (!exists && !options_.create)
        throw std::runtime_error("there is no register at " + s.database +
                                 " (the gateway makes it when it starts with a [register] table)");
    if (options_.create) {
        std::error_code ec;
        fs::create_directories(fs::path(s.database).parent_path(), ec);
        if (ec)
            throw std::runtime_error("cannot make the register's folder " +
                                     fs::path(s.database).parent_path().string() + ": " +
                                     ec.message());
    }
    write_ = std::make_unique<sql::Db>(s.database, options_.create ? sql::Db::Mode::ReadWriteCreate
                                                                   : sql::Db::Mode::ReadWrite);
    sql::Db& db = *write_;
    const bool empty = db.Value("SELECT count(*) FROM sqlite_master") == "0";
    if (empty && !options_.create) throw std::runtime_error(s.database + " holds no register");
    if (empty) {
        db.Exec("PRAGMA auto_vacuum = INCREMENTAL");
        db.Exec("PRAGMA application_id = " + std::to_string(kApplicationId));
        db.Exec("PRAGMA user_version = " + std::to_string(kSchemaVersion));
    } else if (db.Value("PRAGMA application_id") != std::to_string(kApplicationId)) {
        throw std::runtime_error(s.database +
                                 " is another SQLite database, not a register of weighings");
    } else if (db.Value("PRAGMA user_version") != std::to_string(kSchemaVersion)) {
        throw std::runtime_error(s.database + " is a register of another version (" +
                                 db.Value("PRAGMA user_version") + ")");
    }
    if (db.Value("PRAGMA journal_mode = WAL") != "wal")
        throw std::runtime_error("register " + s.database + ": SQLite cannot use its WAL journal");
    db.Exec("PRAGMA synchronous = FULL");

    const bool holdsData =
        !empty && db.Value("SELECT count(*) FROM sqlite_master WHERE name = 'head'") == "1" &&
        db.Value("SELECT count(*) FROM head WHERE last_id > 0") != "0";
    bool missing = false;
    std::string error;
    key_ = ReadKey(s.keyFile, missing, error);
    if (!error.empty()) throw std::runtime_error(error);
    if (missing) {
        if (!options_.create)
            throw std::runtime_error("the register's key file " + s.keyFile + " is missing");
        if (holdsData)
            throw std::runtime_error(
                "the register's key file " + s.keyFile + " is missing, but " + s.database +
                " holds records sealed with a key: put the key file back (a new key would make "
                "every record fail verification)");
        key_ = MakeKey(s.keyFile, error);
        if (!error.empty()) throw std::runtime_error(error);
    }

    if (options_.create) {
        sql::Transaction t(db);
        db.Exec(kSchema);
        // A new register begins both chains; an old one that lost a head was changed.
        for (const char* chain : {kRecords.table, kEvents.table})
            if (empty) WriteHead(db, key_, chain, Head{});
        t.Commit();
        for (const char* chain : {kRecords.table, kEvents.table}) {
            const std::optional<Head> h = ReadHead(db, chain);
            if (!h)
                throw std::runtime_error("the register " + s.database + " lost its head row of " +
                                         chain +
                                         ": it was changed (check it with --verify-weighings)");
            if (!HeadSealed(key_, chain, *h))
                throw std::runtime_error(
                    "the key in " + s.keyFile + " does not seal the register " + s.database +
                    ": it is not the key the register was made with, or the register was "
                    "changed (check it with --verify-weighings)");
        }
    } else if (db.Value("SELECT count(*) FROM sqlite_master WHERE name = 'head'") != "1") {
        throw std::runtime_error(s.database + " holds no register");
    }
    read_ = std::make_unique<sql::Db>(s.database, sql::Db::Mode::ReadWrite);
    if (options_.create) {
        // The writer's commits only append to the journal; the checkpointer folds it in.
        db.Exec("PRAGMA wal_autocheckpoint = 0");
        checkpoint_ = std::make_unique<sql::Db>(s.database, sql::Db::Mode::ReadWrite);
        checkpoint_->Exec("PRAGMA synchronous = FULL");
    }
}

Register::~Register() {
    Finish();
}

void Register::Finish() {
    {
        std::lock_guard lock(queueMu_);
        stopping_ = true;
    }
    queueCv_.notify_all();
    checkpointCv_.notify_all();
    if (writer_.joinable()) writer_.join();
    if (checkpointer_.joinable()) checkpointer_.join();
}

// ---- registering ----------------------------------------------------------------------------

std::string Register::Refusal(const Weighing& w) {
    if (w.scale.empty() || w.scale.size() > 64 || !Utf8Length(w.scale))
        return "the scale's name is not valid";
    if (!w.net || !w.netText) return "the reading has no net weight";
    if (w.stable && !*w.stable) return "the weight is in motion";
    if (w.overload) return "the indicator reports out of range";
    if (w.frame.empty()) return "the reading has no frame";
    if (w.frame.size() > kMaxFrame)
        return "the frame is longer than " + std::to_string(kMaxFrame) + " bytes";
    if (w.decimals < 0 || w.decimals > 9) return "the decimals are not 0 to 9";
    if (w.timeMs <= 0) return "the reading has no time";
    const auto refLength = Utf8Length(w.reference);
    if (!refLength) return "the reference is not valid UTF-8";
    if (*refLength > kMaxReference)
        return "the reference is longer than " + std::to_string(kMaxReference) + " characters";
    for (const char c : w.reference)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return "the reference holds a control character";
    if (!Utf8Length(w.model) || !ValidText(w.grossText) || !ValidText(w.netText) ||
        !ValidText(w.tareText) || !ValidText(w.unit))
        return "a text of the reading is not valid UTF-8";
    return {};
}

void Register::Add(Weighing w, std::function<void(Result)> done) {
    Result r;
    try {
        if (std::string why = Refusal(w); !why.empty()) {
            r.outcome = Outcome::Refused;
            r.error = why;
        } else {
            std::unique_lock lock(queueMu_);
            if (stopping_ || !writer_.joinable()) {
                r.outcome = Outcome::Busy;
                r.error = "the gateway is stopping";
            } else if (queue_.size() >= kMaxWaiting) {
                r.outcome = Outcome::Busy;
                r.error = std::to_string(kMaxWaiting) + " registrations are already waiting";
            } else {
                queue_.push_back({std::move(w), std::move(done)});
                lock.unlock();
                queueCv_.notify_one();
                return;
            }
        }
    } catch (const std::exception& e) {
        r.outcome = Outcome::Failed;
        r.error = e.what();
    }
    Answer(done, std::move(r));
}

Register::Result Register::Add(Weighing w) {
    auto promise = std::make_shared<std::promise<Result>>();
    auto future = promise->get_future();
    Add(std::move(w), [promise](Result r) { promise->set_value(std::move(r)); });
    return future.get();
}

void Register::Writer() {
    std::deque<Job> batch;
    for (;;) {
        {
            std::unique_lock lock(queueMu_);
            queueCv_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return; // stopping, and all answered
            while (!queue_.empty() && batch.size() < kMaxBatch) {
                batch.push_back(std::move(queue_.front()));
                queue_.pop_front();
            }
        }
        Commit(batch);
        batch.clear();
        {
            std::lock_guard lock(queueMu_);
            commitsToCheckpoint_++;
        }
        checkpointCv_.notify_one();
    }
}

// Every 2 s with commits since the last, or at once after 1000 of them: the journal's pages are
// copied into the database file (without blocking the writer) and the journal is started again
// from its beginning when every reader is past it. Seldom, so that its writes and disk syncs
// rarely meet a commit's.
void Register::Checkpointer() {
    std::unique_lock lock(queueMu_);
    while (!stopping_) {
        checkpointCv_.wait_for(lock, std::chrono::milliseconds(2000),
                               [&] { return stopping_ || commitsToCheckpoint_ >= 1000; });
        if (commitsToCheckpoint_ == 0) continue;
        commitsToCheckpoint_ = 0;
        lock.unlock();
        try {
            checkpoint_->Exec("PRAGMA wal_checkpoint(PASSIVE)");
        } catch (...) {
            // Busy or failed: the next round tries again; the journal only grows meanwhile.
        }
        lock.lock();
    }
}

// Stores the batch in one transaction, then reads each record back and checks it before it is
// answered. A failed commit answers every one of them with the failure: none is stored.
void Register::Commit(std::deque<Job>& batch) {
    struct Pending {
        Job* job;
        Json canonical;
        std::string hash, mac;
    };
    std::vector<Pending> stored;
    std::vector<std::pair<Job*, Result>> answers;
    std::lock_guard lock(writeMu_);
    try {
        sql::Db& db = *write_;
        sql::Transaction t(db);
        std::optional<Head> head = ReadHead(db, kRecords.table);
        if (!head || !HeadSealed(key_, kRecords.table, *head))
            throw std::runtime_error("the register's head is not sealed by its key: it was "
                                     "changed (check it with --verify-weighings)");
        Head h = *head;
        auto insert = db.Prepare(InsertSql(kRecords));
        for (Job& job : batch) {
            if (h.Count() >= options_.settings.capacity) {
                Result r;
                r.outcome = Outcome::Full;
                r.error = "the register is full (" + std::to_string(options_.settings.capacity) +
                          " records): nothing is overwritten; remove old records with "
                          "--prune-weighings or raise [register] capacity";
                answers.emplace_back(&job, std::move(r));
                continue;
            }
            const Weighing& w = job.weighing;
            Json c = Json::object();
            c["id"] = h.lastId + 1;
            c["time"] = w.timeMs;
            c["gateway"] = options_.gateway;
            c["scale"] = w.scale;
            c["model"] = w.model;
            c["frame"] = digest::Hex(w.frame);
            c["gross_counts"] = w.gross ? Json(*w.gross) : Json(nullptr);
            c["net_counts"] = *w.net;
            c["tare_counts"] = w.tare ? Json(*w.tare) : Json(nullptr);
            c["decimals"] = w.decimals;
            c["gross_text"] = w.grossText ? Json(*w.grossText) : Json(nullptr);
            c["net_text"] = *w.netText;
            c["tare_text"] = w.tareText ? Json(*w.tareText) : Json(nullptr);
            c["unit"] = w.unit ? Json(*w.unit) : Json(nullptr);
            c["stable"] = w.stable ? Json(*w.stable) : Json(nullptr);
            c["overload"] = w.overload;
            c["reference"] = w.reference;
            c["software_version"] = options_.software.version;
            c["software_sha256"] = options_.software.sha256;
            c["prev_hash"] = h.lastHash;
            Pending p{&job, std::move(c), {}, {}};
            p.hash = HashOf(p.canonical);
            p.mac = MacOf(key_, p.hash);
            insert.Reset();
            BindRow(insert, kRecords, p.canonical, p.hash, p.mac);
            insert.Step();
            h.lastId += 1;
            h.lastHash = p.hash;
            stored.push_back(std::move(p));
        }
        if (!stored.empty()) {
            WriteHead(db, key_, kRecords.table, h);
            t.Commit();
        }
    } catch (const std::exception& e) {
        // Rolled back: none of the batch is stored.
        const auto* se = dynamic_cast<const sql::Error*>(&e);
        const bool busy = se != nullptr && se->Code() == SQLITE_BUSY;
        stored.clear();
        for (Job& job : batch) {
            const bool answered = std::any_of(answers.begin(), answers.end(),
                                              [&](const auto& a) { return a.first == &job; });
            if (answered) continue;
            Result r;
            r.outcome = busy ? Outcome::Busy : Outcome::Failed;
            r.error = busy ? "the register's database is locked by another program (a prune?): "
                             "try again"
                           : std::string("the register could not store it: ") + e.what();
            answers.emplace_back(&job, std::move(r));
        }
    }
    // Read back what was committed, and check it as a verification would.
    if (!stored.empty()) {
        try {
            auto s =
                write_->Prepare("SELECT " + ColumnList(kRecords) + " FROM weighings WHERE id = ?");
            for (Pending& p : stored) {
                Result r;
                s.Reset();
                s.Bind(1, p.canonical["id"].get<int64_t>());
                std::string why;
                if (!s.Step()) {
                    why = "it is not there";
                } else {
                    const Row row = ReadRow(s, kRecords, false);
                    if (row.text != Dump(p.canonical) || row.hash != p.hash || row.mac != p.mac)
                        why = "it differs from what was written";
                    else if (!RowFailure(row, key_, p.canonical["prev_hash"].get<std::string>())
                                  .empty())
                        why = "it does not verify";
                }
                if (why.empty()) {
                    r.outcome = Outcome::Stored;
                    r.record = p.canonical;
                    r.record["hash"] = p.hash;
                    r.record["mac"] = p.mac;
                    r.record["check"] = "ok";
                } else {
                    verificationFailures_++;
                    r.outcome = Outcome::Failed;
                    r.error = "record " + p.canonical["id"].dump() +
                              " was committed but read back wrong: " + why +
                              " (check the disk, then the register with --verify-weighings)";
                }
                answers.emplace_back(p.job, std::move(r));
            }
        } catch (const std::exception& e) {
            for (Pending& p : stored) {
                Result r;
                r.outcome = Outcome::Failed;
                r.error = std::string("the register could not read the record back: ") + e.what();
                answers.emplace_back(p.job, std::move(r));
            }
        }
    }
    for (auto& [job, result] : answers)
        Answer(job->done, std::move(result));
}

// ---- reading --------------------------------------------------------------------------------

namespace {

// A read transaction: the head and the rows read under it agree.
class ReadTransaction {
  public:
    explicit ReadTransaction(sql::Db& db) : db_(db) { db_.Exec("BEGIN"); }
    ~ReadTransaction() {
        try {
            db_.Exec("COMMIT");
        } catch (...) {
        }
    }
    ReadTransaction(const ReadTransaction&) = delete;
    ReadTransaction& operator=(const ReadTransaction&) = delete;

  private:
    sql::Db& db_;
};

// A record as served: its canonical keys, its hash and mac, and "check": "ok" or why it fails
// ("hash", "mac", "order", "gap"). `before` is the hash of the record with the id before (nullopt
// when there is none).
Json Served(const Row& r, const std::string& key, const Head& h,
            const std::optional<std::string>& before) {
    std::string why;
    if (r.id < h.firstId || r.id > h.lastId) {
        why = "order";
    } else {
        const std::optional<std::string> link = r.id == h.firstId ? h.firstPrevHash : before;
        why = RowFailure(r, key, link);
        if (why.empty() && !link) why = "gap";
        if (why.empty() && r.id == h.lastId && !digest::SameBytes(r.hash, h.lastHash))
            why = "order";
    }
    Json j = r.canonical;
    j["hash"] = r.hash;
    j["mac"] = r.mac;
    j["check"] = why.empty() ? "ok" : why;
    return j;
}

std::string SelectServed(const std::string& where) {
    return "SELECT " + ColumnList(kRecords) +
           ", (SELECT p.hash FROM weighings p WHERE p.id = w.id - 1) FROM weighings w " + where;
}

const int kBeforeColumn = static_cast<int>(std::size(kRecordColumns)) + 2;

std::string GapText(uint64_t from, uint64_t to, const char* what) {
    if (from == to) return std::string(what) + " " + std::to_string(from) + " is missing";
    return std::string(what) + "s " + std::to_string(from) + " to " + std::to_string(to) +
           " are missing";
}

// Walks one chain in id order; cancelled (nullopt) when `cancel` is set meanwhile.
std::optional<ChainCheck> Walk(sql::Db& db, const std::string& key, const Chain& chain,
                               const std::atomic<bool>* cancel) {
    const bool records = &chain == &kRecords;
    const char* what = records ? "record" : "event";
    ChainCheck c;
    const std::optional<Head> head = ReadHead(db, chain.table);
    const Head h = head.value_or(Head{});
    c.firstId = h.firstId;
    c.lastId = h.lastId;
    auto fail = [&](uint64_t id, const std::string& reason, const std::string& text) {
        c.failures++;
        if (!c.failedId) {
            c.failedId = id;
            c.reason = reason;
            c.text = text;
        }
    };
    auto s = db.Prepare("SELECT " + ColumnList(chain) + " FROM " + chain.table + " ORDER BY id");
    uint64_t expected = h.firstId;
    std::string prev = h.firstPrevHash;
    bool lastFailed = false;
    while (s.Step()) {
        if (cancel != nullptr && (c.checked & 1023) == 0 && cancel->load()) return std::nullopt;
        const Row r = ReadRow(s, chain, false);
        c.checked++;
        if (r.id < h.firstId || r.id > h.lastId) {
            fail(r.id, "order",
                 std::string(what) + " " + std::to_string(r.id) +
                     " lies outside the ids the register's head gives (" +
                     std::to_string(h.firstId) + " to " + std::to_string(h.lastId) + ")");
            continue;
        }
        std::optional<std::string> link = prev;
        if (r.id > expected) {
            fail(expected, "gap", GapText(expected, r.id - 1, what));
            link.reset();
        }
        const std::string why = RowFailure(r, key, link);
        if (!why.empty()) fail(r.id, why, ReasonText(why, what));
        lastFailed = !why.empty();
        prev = r.hash;
        expected = r.id + 1;
    }
    if (expected <= h.lastId) {
        fail(expected, "gap", GapText(expected, h.lastId, what));
    } else if (h.lastId >= h.firstId && !lastFailed && !digest::SameBytes(prev, h.lastHash)) {
        fail(h.lastId, "order",
             std::string("the last ") + what + " is not the one the register's head names");
    }
    if (!head) {
        fail(h.lastId, "mac", std::string("the register's head of the ") + what + "s is missing");
    } else if (!HeadSealed(key, chain.table, h)) {
        fail(h.lastId, "mac",
             std::string("the register's head of the ") + what +
                 "s (first and last id, last hash) is not sealed by the key");
    }
    return c;
}

} // namespace

std::optional<Json> Register::Get(uint64_t id, std::string& error) {
    try {
        std::lock_guard lock(readMu_);
        ReadTransaction tx(*read_);
        const Head h = ReadHead(*read_, kRecords.table).value_or(Head{});
        auto s = read_->Prepare(SelectServed("WHERE w.id = ?"));
        s.Bind(1, static_cast<int64_t>(std::min<uint64_t>(id, INT64_MAX)));
        if (!s.Step()) return std::nullopt;
        return Served(ReadRow(s, kRecords, true), key_, h, s.OptText(kBeforeColumn));
    } catch (const std::exception& e) {
        error = std::string("the register could not be read: ") + e.what();
    }
    return std::nullopt;
}

std::optional<Json> Register::Last(const std::string& scale, std::string& error) {
    try {
        std::lock_guard lock(readMu_);
        ReadTransaction tx(*read_);
        const Head h = ReadHead(*read_, kRecords.table).value_or(Head{});
        auto s = read_->Prepare(SelectServed("WHERE w.scale = ? ORDER BY w.id DESC LIMIT 1"));
        s.Bind(1, std::string_view(scale));
        if (!s.Step()) return std::nullopt;
        return Served(ReadRow(s, kRecords, true), key_, h, s.OptText(kBeforeColumn));
    } catch (const std::exception& e) {
        error = std::string("the register could not be read: ") + e.what();
    }
    return std::nullopt;
}

std::optional<Json> Register::Find(const Query& q, std::string& error) {
    try {
        std::string where = "WHERE w.id > ?";
        if (q.scale) where += " AND w.scale = ?";
        if (q.fromMs) where += " AND w.time >= ?";
        if (q.toMs) where += " AND w.time < ?";
        where += " ORDER BY w.id LIMIT ?";
        const size_t limit = std::clamp<size_t>(q.limit, 1, kMaxLimit);
        std::lock_guard lock(readMu_);
        ReadTransaction tx(*read_);
        const Head h = ReadHead(*read_, kRecords.table).value_or(Head{});
        auto s = read_->Prepare(SelectServed(where));
        int i = 1;
        s.Bind(i++, static_cast<int64_t>(std::min<uint64_t>(q.afterId, INT64_MAX)));
        if (q.scale) s.Bind(i++, std::string_view(*q.scale));
        if (q.fromMs) s.Bind(i++, *q.fromMs);
        if (q.toMs) s.Bind(i++, *q.toMs);
        s.Bind(i, static_cast<int64_t>(limit));
        Json list = Json::array();
        uint64_t last = 0;
        while (s.Step()) {
            const Row r = ReadRow(s, kRecords, true);
            last = r.id;
            list.push_back(Served(r, key_, h, s.OptText(kBeforeColumn)));
        }
        const Json next = list.size() == limit ? Json(last) : Json(nullptr);
        Json out = Json::object();
        out["weighings"] = std::move(list);
        out["next_after_id"] = next;
        return out;
    } catch (const std::exception& e) {
        error = std::string("the register could not be read: ") + e.what();
    }
    return std::nullopt;
}

std::optional<Register::Stats> Register::Counts(std::string& error) {
    try {
        std::lock_guard lock(readMu_);
        const Head h = ReadHead(*read_, kRecords.table).value_or(Head{});
        Stats s;
        s.records = h.Count();
        s.capacityLeft =
            options_.settings.capacity > s.records ? options_.settings.capacity - s.records : 0;
        s.lastId = h.lastId;
        return s;
    } catch (const std::exception& e) {
        error = std::string("the register could not be read: ") + e.what();
    }
    return std::nullopt;
}

std::optional<Json> Register::LastEvent(const std::string& kind, std::string& error) {
    try {
        std::lock_guard lock(readMu_);
        auto s = read_->Prepare(
            "SELECT id, time, kind, detail FROM events WHERE kind = ? ORDER BY id DESC LIMIT 1");
        s.Bind(1, std::string_view(kind));
        if (!s.Step()) return std::nullopt;
        Json e = Json::object();
        e["id"] = s.Int(0);
        e["time"] = s.Int(1);
        e["kind"] = s.Text(2);
        e["detail"] = Json::parse(s.Text(3), nullptr, false);
        return e;
    } catch (const std::exception& e) {
        error = std::string("the register could not be read: ") + e.what();
    }
    return std::nullopt;
}

// ---- verification, prune, events ------------------------------------------------------------

Verification Register::Verify(const std::atomic<bool>* cancel) {
    Verification v;
    try {
        sql::Db db(options_.settings.database, sql::Db::Mode::ReadWrite);
        std::optional<ChainCheck> records, events;
        {
            ReadTransaction tx(db);
            records = Walk(db, key_, kRecords, cancel);
            if (records) events = Walk(db, key_, kEvents, cancel);
        }
        if (!records || !events) {
            v.error = "the verification was cancelled";
            return v;
        }
        v.records = *records;
        v.events = *events;
        v.done = true;
    } catch (const std::exception& e) {
        v.error = std::string("the register could not be read: ") + e.what();
        return v;
    }
    verificationFailures_ = v.records.failures + v.events.failures;
    if (!v.Good()) {
        const bool inRecords = v.records.failures > 0;
        const ChainCheck& c = inRecords ? v.records : v.events;
        const std::string what = std::string(inRecords ? "record " : "event ") +
                                 std::to_string(*c.failedId) + " " + c.reason;
        std::lock_guard lock(loggedMu_);
        if (what != lastLoggedFailure_) {
            Json d = Json::object();
            d["chain"] = inRecords ? "weighings" : "events";
            d["id"] = *c.failedId;
            d["reason"] = c.reason;
            d["failures"] = c.failures;
            d["checked"] = c.checked;
            std::string error;
            if (LogEvent("verification_failed", d, error)) lastLoggedFailure_ = what;
        }
    }
    return v;
}

Register::PruneResult Register::Prune(int64_t nowMs) {
    PruneResult res;
    const Verification v = Verify();
    if (!v.done) {
        res.error = v.error;
        return res;
    }
    if (!v.Good()) {
        const ChainCheck& c = v.records.failures > 0 ? v.records : v.events;
        res.error = std::string("the register fails verification (") +
                    (v.records.failures > 0 ? "record " : "event ") + std::to_string(*c.failedId) +
                    ": " + c.reason + "): nothing was removed; see --verify-weighings";
        return res;
    }
    const int64_t cutoff = nowMs - static_cast<int64_t>(options_.settings.retentionDays) * 86400000;
    try {
        std::lock_guard lock(writeMu_);
        sql::Db db(options_.settings.database, sql::Db::Mode::ReadWrite);
        {
            sql::Transaction t(db);
            std::optional<Head> head = ReadHead(db, kRecords.table);
            if (!head || !HeadSealed(key_, kRecords.table, *head))
                throw std::runtime_error("the register's head is not sealed by its key");
            Head h = *head;
            // The first record that is not old enough; all before it go.
            auto first = db.Prepare("SELECT id FROM weighings WHERE time >= ? ORDER BY id LIMIT 1");
            first.Bind(1, cutoff);
            const uint64_t keepFrom =
                first.Step() ? static_cast<uint64_t>(first.Int(0)) : h.lastId + 1;
            if (keepFrom > h.firstId) {
                std::string prev = h.lastHash;
                if (keepFrom <= h.lastId) {
                    auto p = db.Prepare("SELECT prev_hash FROM weighings WHERE id = ?");
                    p.Bind(1, static_cast<int64_t>(keepFrom));
                    if (!p.Step()) throw std::runtime_error("a record vanished while pruning");
                    prev = p.Text(0);
                }
                auto del = db.Prepare("DELETE FROM weighings WHERE id < ?");
                del.Bind(1, static_cast<int64_t>(keepFrom));
                del.Step();
                res.removed = static_cast<uint64_t>(db.Changes());
                h.firstId = keepFrom;
                h.firstPrevHash = prev;
                WriteHead(db, key_, kRecords.table, h);
            }
            res.firstKept = h.firstId;
            res.kept = h.Count();
            Json d = Json::object();
            d["removed"] = res.removed;
            d["first_id"] = h.firstId;
            d["first_prev_hash"] = h.firstPrevHash;
            d["older_than"] = cutoff;
            d["retention_days"] = options_.settings.retentionDays;
            AppendEvent(db, key_, NowMs(), "prune", d);
            t.Commit();
        }
        db.Exec("PRAGMA incremental_vacuum"); // the freed pages go back to the file system
        res.done = true;
    } catch (const std::exception& e) {
        res.error = std::string("the prune failed, nothing was removed: ") + e.what();
    }
    return res;
}

bool Register::LogEvent(const std::string& kind, const Json& detail, std::string& error) {
    try {
        std::lock_guard lock(writeMu_);
        sql::Transaction t(*write_);
        AppendEvent(*write_, key_, NowMs(), kind, detail);
        t.Commit();
        return true;
    } catch (const std::exception& e) {
        error = std::string("the register could not log the event: ") + e.what();
    }
    return false;
}

} // namespace gateway
