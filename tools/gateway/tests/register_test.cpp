// The register of weighings through real SQLite files: what it stores and serves, what it
// refuses, its capacity, the prune, the key file, the event log, many threads at once, and
// a child process killed while it registers.
#include "register_helpers.h"

#include "digest.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using namespace regtest;
using gateway::Register;
using Outcome = Register::Outcome;

std::string KeyOf(const TempDir& dir) {
    std::ifstream f(dir / "weighings.db.key");
    std::string hex;
    f >> hex;
    return *gateway::digest::FromHex(hex);
}

TEST(Register, StoresChainsAndServesRecords) {
    TempDir dir;
    auto reg = OpenOrFail(Options(dir));
    const struct {
        const char* scale;
        int64_t net, time;
        const char* reference;
    } input[] = {
        {"truck1", 12345, kT0, "truck ABC-1234"},
        {"truck2", 800, kT0 + 1000, ""},
        {"truck1", 12400, kT0 + 2000, "truck XYZ-9"},
        {"truck1", 50, kT0 + 3000, ""},
    };
    std::string prev(64, '0');
    uint64_t id = 0;
    for (const auto& in : input) {
        const auto r = reg->Add(Sample(in.scale, in.net, in.time, in.reference));
        ASSERT_EQ(r.outcome, Outcome::Stored) << r.error;
        EXPECT_EQ(r.record["id"], ++id);
        EXPECT_EQ(r.record["prev_hash"], prev);
        EXPECT_EQ(r.record["check"], "ok");
        EXPECT_EQ(r.record["net_counts"], in.net);
        EXPECT_EQ(r.record["reference"], in.reference);
        prev = r.record["hash"];
        std::string error;
        const auto got = reg->Get(id, error);
        ASSERT_TRUE(got) << error;
        EXPECT_EQ(*got, r.record);
    }
    std::string error;
    EXPECT_FALSE(reg->Get(99, error));
    EXPECT_EQ(error, "");

    // Pages: by scale, time and after_id; next_after_id while a page is full.
    const struct {
        const char* scale; // nullptr: any
        int64_t from, to;  // 0: none
        uint64_t afterId;
        size_t limit;
        std::vector<int> ids;
        gateway::Json next;
    } pages[] = {
        {nullptr, 0, 0, 0, 100, {1, 2, 3, 4}, nullptr},
        {"truck1", 0, 0, 0, 100, {1, 3, 4}, nullptr},
        {"truck1", 0, 0, 0, 2, {1, 3}, 3},
        {"truck1", 0, 0, 3, 2, {4}, nullptr},
        {nullptr, kT0 + 1000, kT0 + 3000, 0, 100, {2, 3}, nullptr},
        {"nobody", 0, 0, 0, 100, {}, nullptr},
        {nullptr, 0, 0, 0, 5000, {1, 2, 3, 4}, nullptr}, // limit taken as 1000
    };
    for (const auto& p : pages) {
        Register::Query q;
        if (p.scale != nullptr) q.scale = p.scale;
        if (p.from != 0) q.fromMs = p.from;
        if (p.to != 0) q.toMs = p.to;
        q.afterId = p.afterId;
        q.limit = p.limit;
        const auto page = reg->Find(q, error);
        ASSERT_TRUE(page) << error;
        std::vector<int> ids;
        for (const auto& rec : (*page)["weighings"]) {
            ids.push_back(rec["id"]);
            EXPECT_EQ(rec["check"], "ok");
        }
        EXPECT_EQ(ids, p.ids) << (p.scale ? p.scale : "") << " after " << p.afterId;
        EXPECT_EQ((*page)["next_after_id"], p.next);
    }

    const auto v = reg->Verify();
    EXPECT_TRUE(v.Good()) << v.ToJson().dump();
    EXPECT_EQ(v.records.checked, 4u);
    EXPECT_EQ(v.records.lastId, 4u);
    const auto counts = reg->Counts(error);
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->records, 4u);
    EXPECT_EQ(counts->capacityLeft, 1000000u - 4);

    // WAL journal and the register's own mark in the file's header.
    reg.reset();
    EXPECT_EQ(Sql(dir / "weighings.db", "PRAGMA journal_mode").output, "wal\n");
    EXPECT_EQ(Sql(dir / "weighings.db", "PRAGMA application_id").output,
              std::to_string(0x54525657) + "\n");
}

// The hash is the SHA-256 of the record's JSON text exactly as docs/gateway.md defines it, and the
// mac the HMAC-SHA-256 of the hash's 32 bytes with the key file's key.
TEST(Register, HashAndMacAreTheDocumentedOnes) {
    TempDir dir;
    auto reg = OpenOrFail(Options(dir));
    const auto r = reg->Add(Sample("truck1", 12345, kT0, "truck \"ABC\" \\ \xC3\xA9"));
    ASSERT_EQ(r.outcome, Outcome::Stored) << r.error;
    const std::string canonical =
        R"({"id":1,"time":1796598772123,"gateway":"yard1","scale":"truck1","model":"5817",)"
        R"("frame":"0231534e3131323334353030303530300d","gross_counts":12845,"net_counts":12345,)"
        R"("tare_counts":500,"decimals":2,"gross_text":"12845","net_text":"12345",)"
        R"("tare_text":"5.00","unit":"kg","stable":true,"overload":false,)"
        R"("reference":"truck \"ABC\" \\ )"
        "\xC3\xA9"
        R"(","software_version":"2.0.15","software_sha256":")" +
        std::string(64, 'a') + R"(","prev_hash":")" + std::string(64, '0') + R"("})";
    const std::string hash = gateway::digest::Hex(gateway::digest::Sha256(canonical));
    // The same text from Python's json.dumps(record, separators=(",", ":"), ensure_ascii=False).
    EXPECT_EQ(hash, "f62d40d7f51eabc1de53ad25c9be92be7942d4a7e1e7182606f2dfa6dcef4454");
    EXPECT_EQ(r.record["hash"], hash);
    EXPECT_EQ(r.record["mac"], gateway::digest::Hex(gateway::digest::HmacSha256(
                                   KeyOf(dir), *gateway::digest::FromHex(hash))));
}

TEST(Register, RefusesWhatIsNotAStableWeight) {
    TempDir dir;
    auto reg = OpenOrFail(Options(dir));
    auto with = [](auto change) {
        gateway::Weighing w = Sample("truck1", 100);
        change(w);
        return w;
    };
    std::string longest;
    for (int i = 0; i < 256; ++i)
        longest += "\xC3\xA9"; // 256 characters, 512 bytes
    const struct {
        const char* what;
        gateway::Weighing w;
        const char* error; // nullptr: stored
    } cases[] = {
        {"motion", with([](auto& w) { w.stable = false; }), "the weight is in motion"},
        {"out of range", with([](auto& w) { w.overload = true; }),
         "the indicator reports out of range"},
        {"no net", with([](auto& w) { w.net.reset(); }), "the reading has no net weight"},
        {"no frame", with([](auto& w) { w.frame.clear(); }), "the reading has no frame"},
        {"huge frame", with([](auto& w) { w.frame.assign(4097, 'x'); }),
         "the frame is longer than 4096 bytes"},
        {"257 characters", with([&](auto& w) { w.reference = longest + "x"; }),
         "the reference is longer than 256 characters"},
        {"bad UTF-8", with([](auto& w) { w.reference = "\xC3("; }),
         "the reference is not valid UTF-8"},
        {"surrogate", with([](auto& w) { w.reference = "\xED\xA0\x80"; }),
         "the reference is not valid UTF-8"},
        {"line break", with([](auto& w) { w.reference = "a\nb"; }),
         "the reference holds a control character"},
        {"decimals", with([](auto& w) { w.decimals = 10; }), "the decimals are not 0 to 9"},
        {"bad text", with([](auto& w) { w.netText = "\xFF"; }),
         "a text of the reading is not valid UTF-8"},
        {"no time", with([](auto& w) { w.timeMs = 0; }), "the reading has no time"},
        // What is taken: 256 characters, and a family that does not tell motion.
        {"256 characters", with([&](auto& w) { w.reference = longest; }), nullptr},
        {"motion unknown", with([](auto& w) { w.stable.reset(); }), nullptr},
        {"no tare", with([](auto& w) { w.tare.reset(), w.tareText.reset(), w.gross.reset(); }),
         nullptr},
        // Every character a JSON text escapes, and some it does not, stored and read back.
        {"escapes", with([](auto& w) { w.grossText = "\"\\/\b\f\n\r\t\x01\x1f\x7f\xC3\xA9"; }),
         nullptr},
    };
    uint64_t stored = 0;
    for (const auto& c : cases) {
        const auto r = reg->Add(c.w);
        if (c.error == nullptr) {
            EXPECT_EQ(r.outcome, Outcome::Stored) << c.what << ": " << r.error;
            ++stored;
        } else {
            EXPECT_EQ(r.outcome, Outcome::Refused) << c.what;
            EXPECT_EQ(r.error, c.error) << c.what;
        }
    }
    std::string error;
    EXPECT_EQ(reg->Counts(error)->records, stored);
    EXPECT_TRUE(reg->Verify().Good());
}

TEST(Register, AFullRegisterRefusesAndOverwritesNothing) {
    TempDir dir;
    std::vector<gateway::Json> kept;
    {
        auto reg = OpenOrFail(Options(dir, 3));
        for (int i = 0; i < 3; ++i)
            kept.push_back(reg->Add(Sample("truck1", 100 + i)).record);
        const auto r = reg->Add(Sample("truck1", 999));
        EXPECT_EQ(r.outcome, Outcome::Full);
        EXPECT_NE(r.error.find("the register is full (3 records): nothing is overwritten"),
                  std::string::npos)
            << r.error;
        std::string error;
        EXPECT_EQ(reg->Counts(error)->capacityLeft, 0u);
        for (const auto& k : kept)
            EXPECT_EQ(*reg->Get(k["id"], error), k);
        EXPECT_TRUE(reg->Verify().Good());
    }
    // More room: the ids go on.
    auto reg = OpenOrFail(Options(dir, 5));
    const auto r = reg->Add(Sample("truck1", 999));
    ASSERT_EQ(r.outcome, Outcome::Stored) << r.error;
    EXPECT_EQ(r.record["id"], 4);
    EXPECT_EQ(r.record["prev_hash"], kept.back()["hash"]);
}

TEST(Register, PruneRemovesOnlyOldRecordsAndTheChainStaysCheckable) {
    TempDir dir;
    const int64_t now = kT0 + 200 * kDay;
    const int64_t old = now - 91 * kDay, young = now - 89 * kDay;
    auto reg = OpenOrFail(Options(dir, 1000, 90));
    // An old record after a young one stays until every one before it may go.
    for (int64_t t : {old, old + 1, young, old + 2, young + 1})
        ASSERT_EQ(reg->Add(Sample("truck1", 100, t)).outcome, Outcome::Stored);
    std::string error;
    const std::string hash2 = (*reg->Get(2, error))["hash"];

    auto p = reg->Prune(now);
    ASSERT_TRUE(p.done) << p.error;
    EXPECT_EQ(p.removed, 2u);
    EXPECT_EQ(p.firstKept, 3u);
    EXPECT_FALSE(reg->Get(1, error));
    EXPECT_FALSE(reg->Get(2, error));
    const auto first = reg->Get(3, error);
    EXPECT_EQ((*first)["prev_hash"], hash2); // the cut is checkable
    EXPECT_EQ((*first)["check"], "ok");
    auto v = reg->Verify();
    EXPECT_TRUE(v.Good()) << v.ToJson().dump();
    EXPECT_EQ(v.records.checked, 3u);
    EXPECT_EQ(v.records.firstId, 3u);
    const auto event = reg->LastEvent("prune", error);
    ASSERT_TRUE(event) << error;
    EXPECT_EQ(event->at("detail")["removed"], 2);
    EXPECT_EQ(event->at("detail")["first_id"], 3);
    EXPECT_EQ(event->at("detail")["first_prev_hash"], hash2);

    // Nothing young is ever removed; a second prune at the same time removes nothing.
    p = reg->Prune(now);
    ASSERT_TRUE(p.done) << p.error;
    EXPECT_EQ(p.removed, 0u);

    // Everything old: all go, and the ids still go on from the last, also after a restart.
    p = reg->Prune(now + 100 * kDay);
    ASSERT_TRUE(p.done) << p.error;
    EXPECT_EQ(p.removed, 3u);
    EXPECT_EQ(p.firstKept, 6u);
    EXPECT_TRUE(reg->Verify().Good());
    EXPECT_EQ(reg->Counts(error)->records, 0u);
    reg = OpenOrFail(Options(dir, 1000, 90));
    const auto r = reg->Add(Sample("truck1", 100, now));
    EXPECT_EQ(r.record["id"], 6);
    v = reg->Verify();
    EXPECT_TRUE(v.Good()) << v.ToJson().dump();

    // A prune refuses to remove anything from a register that fails verification.
    reg.reset();
    Sql(dir / "weighings.db", "UPDATE weighings SET net_counts = 1 WHERE id = 6");
    reg = OpenOrFail(Options(dir, 1000, 90));
    p = reg->Prune(now + 1000 * kDay);
    EXPECT_FALSE(p.done);
    EXPECT_EQ(p.error, "the register fails verification (record 6: hash): nothing was removed; "
                       "see --verify-weighings");
    EXPECT_TRUE(reg->Get(6, error));
}

TEST(Register, KeyFile) {
    const struct {
        const char* what;
        const char* prepare; // shell commands in the folder before the second open
        bool create;
        const char* error; // part of the message; nullptr: it opens
    } cases[] = {
        {"kept", "", true, nullptr},
        {"readable by others", "chmod 644 weighings.db.key", true,
         "may be read by others (mode 0644): make it its owner's only (chmod 600 "},
        {"readable by the group", "chmod 640 weighings.db.key", true,
         "may be read by others (mode 0640)"},
        {"missing beside sealed records", "rm weighings.db.key", true, "is missing, but"},
        {"missing for a command", "rm weighings.db.key", false, "is missing"},
        {"another key",
         "rm weighings.db.key && printf '%064d\\n' 7 > weighings.db.key && "
         "chmod 600 weighings.db.key",
         true, "does not seal the register"},
        {"not a key", "printf 'hello' > weighings.db.key", true,
         "does not hold a key (64 hexadecimal digits)"},
        {"no register for a command", "rm weighings.db*", false, "there is no register at"},
        {"head deleted",
         SQLITE3_PROGRAM " weighings.db \"DELETE FROM head WHERE chain = 'weighings'\"", true,
         "lost its head row of weighings"},
        {"another database",
         "rm weighings.db* && " SQLITE3_PROGRAM " weighings.db "
         "'CREATE TABLE t(a)'",
         true, "is another SQLite database"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        {
            auto reg = OpenOrFail(Options(dir));
            ASSERT_EQ(reg->Add(Sample("truck1", 100)).outcome, Outcome::Stored);
        }
        struct stat st {};
        ASSERT_EQ(::stat((dir / "weighings.db.key").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u); // made so at the first start
        EXPECT_EQ(KeyOf(dir).size(), 32u);
        ASSERT_EQ(Shell("cd " + Quote(dir.Path().string()) + " && " + c.prepare).status, 0);
        auto o = Options(dir);
        o.create = c.create;
        std::string error;
        auto reg = Register::Open(o, error);
        if (c.error == nullptr) {
            EXPECT_TRUE(reg) << error;
        } else {
            EXPECT_FALSE(reg);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(Register, EventLogIsChainedAndLogsEachFailureOnce) {
    TempDir dir;
    auto reg = OpenOrFail(Options(dir));
    std::string error;
    gateway::Json detail = {{"version", "2.0.15"}};
    ASSERT_TRUE(reg->LogEvent("start", detail, error)) << error;
    ASSERT_EQ(reg->Add(Sample("truck1", 100)).outcome, Outcome::Stored);
    ASSERT_TRUE(reg->LogEvent("stop", gateway::Json::object(), error)) << error;
    auto v = reg->Verify();
    EXPECT_TRUE(v.Good());
    EXPECT_EQ(v.events.checked, 2u);

    Sql(dir / "weighings.db", "UPDATE weighings SET reference = 'x' WHERE id = 1");
    for (int i = 0; i < 3; ++i) {
        v = reg->Verify();
        EXPECT_EQ(v.records.failedId, 1u);
    }
    EXPECT_EQ(reg->VerificationFailures(), 1u);
    const auto e = reg->LastEvent("verification_failed", error);
    ASSERT_TRUE(e) << error;
    EXPECT_EQ(e->at("id"), 3); // logged once, after start and stop
    EXPECT_EQ(e->at("detail")["id"], 1);
    EXPECT_EQ(e->at("detail")["reason"], "hash");
    EXPECT_EQ(v.events.checked, 3u);
    EXPECT_EQ(v.events.failures, 0u);
}

// Eight threads at once: every registration is stored once, in one chain, ids without a gap.
TEST(Register, ManyThreadsShareCommits) {
    TempDir dir;
    auto reg = OpenOrFail(Options(dir));
    constexpr int kThreads = 8, kEach = 40;
    std::vector<std::thread> threads;
    std::mutex mu;
    std::set<int64_t> ids;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0; n < kEach; ++n) {
                const auto r = reg->Add(Sample("scale" + std::to_string(t), n));
                ASSERT_EQ(r.outcome, Outcome::Stored) << r.error;
                std::lock_guard lock(mu);
                EXPECT_TRUE(ids.insert(r.record["id"].get<int64_t>()).second);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    ASSERT_EQ(ids.size(), size_t{kThreads * kEach});
    EXPECT_EQ(*ids.begin(), 1);
    EXPECT_EQ(*ids.rbegin(), kThreads * kEach);
    const auto v = reg->Verify();
    EXPECT_TRUE(v.Good()) << v.ToJson().dump();
}

// A child registers from four threads and is killed at random moments, then started again:
// every id it was told was stored is there and verifies, the ids have no gap, and no record
// is partly written.
TEST(Register, SurvivesKillsWhileRegistering) {
    TempDir dir;
    const std::string db = dir / "weighings.db", key = dir / "weighings.db.key";
    std::mt19937 random(std::random_device{}());
    std::set<int64_t> reported;
    int kills = 0;
    for (int round = 0; round < 22; ++round) {
        int out[2];
        ASSERT_EQ(::pipe(out), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        const std::string child = REGISTER_CRASH_CHILD;
        std::vector<char*> argv{const_cast<char*>(child.c_str()), const_cast<char*>(db.c_str()),
                                const_cast<char*>(key.c_str()), const_cast<char*>("4"), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, child.c_str(), &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);

        // Read its lines; kill it a random while after it is ready (and has stored some).
        std::string text;
        bool ready = false, killed = false;
        auto readyAt = std::chrono::steady_clock::now();
        const auto killAfter = std::chrono::milliseconds(random() % 150);
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            pollfd p{out[0], POLLIN, 0};
            ::poll(&p, 1, 5);
            char buf[4096];
            if ((p.revents & (POLLIN | POLLHUP)) != 0) {
                const ssize_t n = ::read(out[0], buf, sizeof buf);
                if (n <= 0) break; // it is gone
                text.append(buf, static_cast<size_t>(n));
            }
            if (!ready && text.find("ready\n") != std::string::npos) {
                ready = true;
                readyAt = std::chrono::steady_clock::now();
            }
            const auto now = std::chrono::steady_clock::now();
            if (!killed && ((ready && now - readyAt >= killAfter) || now > giveUp)) {
                ::kill(pid, SIGKILL);
                killed = true;
            }
        }
        ::close(out[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(ready) << text;
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << text;
        ++kills;
        // Whole lines only: the last may have been cut by the kill.
        std::istringstream lines(text.substr(0, text.rfind('\n') + 1));
        std::string line;
        while (std::getline(lines, line)) {
            if (line == "ready") continue;
            ASSERT_EQ(line.rfind("failed", 0), std::string::npos) << line;
            reported.insert(std::stoll(line));
        }
    }
    EXPECT_GE(kills, 20);
    EXPECT_FALSE(reported.empty());

    EXPECT_EQ(Sql(db, "PRAGMA integrity_check").output, "ok\n");
    auto reg = OpenOrFail(Options(dir, 1000000, 90, false));
    const auto v = reg->Verify();
    EXPECT_TRUE(v.Good()) << v.ToJson().dump();
    EXPECT_EQ(v.records.firstId, 1u);
    EXPECT_EQ(v.records.checked, v.records.lastId); // ids 1 to the last, none missing
    std::string error;
    for (const int64_t id : reported) {
        const auto r = reg->Get(static_cast<uint64_t>(id), error);
        ASSERT_TRUE(r) << "id " << id << " was answered as stored but is not there " << error;
        EXPECT_EQ((*r)["check"], "ok");
    }
    EXPECT_LE(*reported.rbegin(), static_cast<int64_t>(v.records.lastId));
}

} // namespace
