// The register of weighings: stable weights stored for good in SQLite, each record numbered
// without gaps, chained to the one before by SHA-256 and sealed with an HMAC key, beside an
// event log kept the same way. docs/gateway.md, "Registered weighings", is its definition.
//
// Threads: registrations are queued to one writer thread, which stores all that wait in one
// transaction (a group commit: one synchronous disk write for many records), reads each record
// back, checks it, and only then answers each one. A checkpointer thread copies the journal
// into the database file meanwhile, so that the writer never waits for that. Queries share one
// reading connection; a verification and a prune open their own.
#pragma once

#include "register_config.h"

#include <nlohmann/json.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace gateway {

namespace sql {
class Db;
}

using Json = nlohmann::ordered_json;

// One stable reading, as registered. Weights are counts of the last digit with `decimals`
// places (12345 with 2 is 123.45); texts are the indicator's, in UTF-8.
struct Weighing {
    std::string scale;
    std::string model;
    std::string frame;  // the exact bytes of the frame or line the weight came from
    int64_t timeMs = 0; // Unix milliseconds (UTC) when the frame's last byte arrived
    std::optional<int64_t> gross, net, tare;
    int decimals = 0;
    std::optional<std::string> grossText, netText, tareText;
    std::optional<std::string> unit; // nullopt: the family has none
    std::optional<bool> stable;      // nullopt: the family does not tell motion
    bool overload = false;
    std::string reference; // the client's, at most 256 characters; may be empty
};

// What a record says about the program that made it.
struct SoftwareIdentity {
    std::string version;
    std::string sha256; // of the running executable, lowercase hexadecimal
};
// The identity of this process: `version` and the SHA-256 of /proc/self/exe (empty when the
// executable cannot be read).
SoftwareIdentity RunningSoftware(const std::string& version);

// The walk along one chain (the records, or the events).
struct ChainCheck {
    uint64_t checked = 0;             // records (or events) looked at
    uint64_t failures = 0;            // of them, those that failed, and ids found missing
    uint64_t firstId = 0, lastId = 0; // what the register's head says it holds
    // The first failure: the id and why ("hash", "mac", "gap" or "order"), in plain words.
    std::optional<uint64_t> failedId;
    std::string reason, text;
};

struct Verification {
    bool done = false; // false: the database could not be read (`error` says why)
    std::string error;
    ChainCheck records, events;
    bool Good() const { return done && records.failures == 0 && events.failures == 0; }
    // {"good":..,"records":{"checked":..,"first_id":..,"last_id":..,"failures":..,
    //  "first_failure":{"id":..,"reason":"hash","text":".."}|null},"events":{...}}
    Json ToJson() const;
};

class Register {
  public:
    // How a registration ended.
    enum class Outcome {
        Stored,  // committed, read back and checked: `record` is the stored record
        Refused, // the reading is not one the register takes (motion, overload, no net ...)
        Full,    // the register holds `capacity` records; nothing is overwritten
        Busy,    // too many registrations waiting, or the gateway is stopping
        Failed,  // the database failed (the disk, a lock held too long ...)
    };
    struct Result {
        Outcome outcome = Outcome::Failed;
        Json record;       // when Stored
        std::string error; // otherwise, in plain English
    };

    struct Options {
        RegisterSettings settings;
        std::string gateway; // the gateway's name, in every record
        SoftwareIdentity software;
        // true: the gateway serving (makes the database, its folder and the key when they are
        // missing); false: a command on an existing register (verify, prune).
        bool create = true;
    };

    // Opens (or makes) the register; nullptr with `error` saying what to check.
    static std::unique_ptr<Register> Open(const Options& options, std::string& error);
    ~Register(); // Finish()

    // Answers every registration queued, then refuses new ones (Busy). Queries, events,
    // verification and prune go on working.
    void Finish();
    Register(const Register&) = delete;
    Register& operator=(const Register&) = delete;

    // Registrations waiting beyond this many are refused (Busy).
    static constexpr size_t kMaxWaiting = 1024;
    // At most this many records go into one transaction.
    static constexpr size_t kMaxBatch = 256;

    // Queues a registration; `done` runs on the writer thread once it is answered (quickly:
    // the next batch waits for it), or at once on the caller's when it is refused before it
    // is queued (Refused, Busy). Never throws.
    void Add(Weighing w, std::function<void(Result)> done);
    // The same, waiting for the answer.
    Result Add(Weighing w);

    // One record by id, with "check"; nullopt when there is none. `error` is set (and nullopt
    // returned) when the database fails.
    std::optional<Json> Get(uint64_t id, std::string& error);

    // The latest record of a scale, with "check"; nullopt when it has none (or the database
    // fails: `error` is set).
    std::optional<Json> Last(const std::string& scale, std::string& error);

    struct Query {
        std::optional<std::string> scale;
        std::optional<int64_t> fromMs, toMs; // from <= time < to
        uint64_t afterId = 0;
        size_t limit = 100; // 1 to kMaxLimit
    };
    static constexpr size_t kMaxLimit = 1000;
    // {"weighings":[record, ...],"next_after_id":N|null}, in id order; nullopt on a database
    // failure (`error`).
    std::optional<Json> Find(const Query& q, std::string& error);

    // Walks both chains from the first record to the last. A failure found is written to the
    // event log (once: not again while the same id fails for the same reason). Setting
    // `cancel` ends it early (not done).
    Verification Verify(const std::atomic<bool>* cancel = nullptr);

    struct PruneResult {
        bool done = false;
        std::string error; // when not done (a failed verification, the database ...)
        uint64_t removed = 0;
        uint64_t firstKept = 0; // the first id left (the next id when none is left)
        uint64_t kept = 0;      // records left
    };
    // Removes the records older than retentionDays before `nowMs`, from the first on, up to the
    // first that is not that old. Verifies the register first and removes nothing from one
    // that fails.
    PruneResult Prune(int64_t nowMs);

    // Appends an event ("start", "stop", ...); `detail` is a JSON object. False (with `error`)
    // when it could not be stored.
    bool LogEvent(const std::string& kind, const Json& detail, std::string& error);

    // The latest event of a kind ({"id","time","kind","detail"}), nullopt when there is none
    // (or the database fails: `error`).
    std::optional<Json> LastEvent(const std::string& kind, std::string& error);

    struct Stats {
        uint64_t records = 0;
        uint64_t capacityLeft = 0;
        uint64_t lastId = 0;
    };
    std::optional<Stats> Counts(std::string& error);
    // Failing records and events found by the latest verification, and records read back
    // wrong after their commit.
    uint64_t VerificationFailures() const { return verificationFailures_.load(); }

    const RegisterSettings& Settings() const { return options_.settings; }
    const SoftwareIdentity& Software() const { return options_.software; }

    // The checks of a registration that need no database: empty when it may be stored.
    static std::string Refusal(const Weighing& w);

  private:
    struct Job {
        Weighing weighing;
        std::function<void(Result)> done;
    };
    explicit Register(Options options);
    void Prepare(); // opens the connections and the schema; throws
    void Writer();
    void Checkpointer();
    void Commit(std::deque<Job>& batch);

    const Options options_;
    std::string key_;
    std::unique_ptr<sql::Db> write_, read_, checkpoint_;
    std::mutex writeMu_, readMu_;

    std::mutex queueMu_;
    std::condition_variable queueCv_;
    std::deque<Job> queue_;
    bool stopping_ = false;
    std::thread writer_;
    std::condition_variable checkpointCv_;
    uint64_t commitsToCheckpoint_ = 0;
    std::thread checkpointer_;

    std::atomic<uint64_t> verificationFailures_{0};
    std::mutex loggedMu_;
    std::string lastLoggedFailure_; // "weighings 5 hash": not logged again
};

} // namespace gateway
