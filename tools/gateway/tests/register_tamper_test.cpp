// Records changed behind the register's back with the sqlite3 program: each change is found by
// the verification with the right id and reason, marked in every answer that serves the
// record, and named by `tarvel-gateway --verify-weighings`, which exits non-zero. Also the
// gateway's [register] table, its commands, and its start and stop in the event log.
#include "register_helpers.h"

#include <sys/stat.h>

namespace {

using namespace regtest;
using gateway::Register;

// A configuration with only a [register] table (the commands read nothing else).
std::string Config(const TempDir& dir, const std::string& table) {
    const std::string path = dir / "gateway.toml";
    WriteFile(path, "[gateway]\nname = \"yard1\"\n\n[register]\n" + table);
    return path;
}

std::string Gateway(const std::string& config, const std::string& option) {
    return std::string(TARVEL_GATEWAY) + " --config " + Quote(config) + " " + option;
}

TEST(RegisterTamper, EachChangeIsFoundWithItsIdAndReason) {
    // One register of ten records, copied for each case.
    TempDir source;
    {
        auto reg = OpenOrFail(Options(source));
        for (int i = 1; i <= 10; ++i)
            ASSERT_EQ(reg->Add(Sample(i % 2 ? "truck1" : "truck2", 1000 * i, kT0 + i,
                                      "truck ABC-" + std::to_string(i)))
                          .outcome,
                      Register::Outcome::Stored);
        std::string error;
        ASSERT_TRUE(reg->LogEvent("start", gateway::Json::object(), error)) << error;
    }
    const struct {
        const char* what;
        const char* sql;
        const char* chain; // "record" or "event"
        uint64_t id;
        const char* reason;
        uint64_t marked; // the record served with "check" set to `reason` (0: none)
    } cases[] = {
        {"a net weight", "UPDATE weighings SET net_counts = net_counts + 1 WHERE id = 4", "record",
         4, "hash", 4},
        {"a time", "UPDATE weighings SET time = time + 1 WHERE id = 6", "record", 6, "hash", 6},
        {"a reference", "UPDATE weighings SET reference = 'truck ABC-8x' WHERE id = 8", "record", 8,
         "hash", 8},
        {"one byte of the frame",
         "UPDATE weighings SET frame = CAST(replace(CAST(frame AS TEXT), '3', '4') AS BLOB) "
         "WHERE id = 3",
         "record", 3, "hash", 3},
        {"a weight made a fraction", "UPDATE weighings SET net_counts = 2000.5 WHERE id = 2",
         "record", 2, "hash", 2},
        {"a record deleted", "DELETE FROM weighings WHERE id = 5", "record", 5, "gap", 0},
        {"the first deleted", "DELETE FROM weighings WHERE id = 1", "record", 1, "gap", 0},
        {"the last deleted", "DELETE FROM weighings WHERE id = 10", "record", 10, "gap", 0},
        {"two reordered",
         "UPDATE weighings SET id = -3 WHERE id = 3; UPDATE weighings SET id = 3 WHERE id = 4; "
         "UPDATE weighings SET id = 4 WHERE id = -3",
         "record", 3, "order", 3},
        {"a hash rewritten",
         "UPDATE weighings SET hash = replace(hash, substr(hash, 1, 1), 'f') "
         "WHERE id = 7",
         "record", 7, "mac", 7},
        {"a mac rewritten", "UPDATE weighings SET mac = substr(mac, 2) || '0' WHERE id = 9",
         "record", 9, "mac", 9},
        {"an event changed", "UPDATE events SET detail = '{\"x\":1}' WHERE id = 1", "event", 1,
         "hash", 0},
        {"the head moved back", "UPDATE head SET last_id = 9 WHERE chain = 'weighings'", "record",
         10, "order", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        fs::copy(source.Path(), dir.Path(), fs::copy_options::recursive);
        const std::string db = dir / "weighings.db";
        const Ran changed = Sql(db, c.sql);
        ASSERT_EQ(changed.status, 0) << changed.output;

        auto reg = OpenOrFail(Options(dir, 1000000, 90, false));
        const auto v = reg->Verify();
        ASSERT_TRUE(v.done) << v.error;
        EXPECT_FALSE(v.Good());
        const gateway::ChainCheck& chain = std::string(c.chain) == "record" ? v.records : v.events;
        EXPECT_EQ(chain.failedId, c.id) << v.ToJson().dump();
        EXPECT_EQ(chain.reason, c.reason) << v.ToJson().dump();

        // Every answer marks it: the single record and the pages.
        std::string error;
        if (c.marked != 0) {
            const auto one = reg->Get(c.marked, error);
            ASSERT_TRUE(one) << error;
            EXPECT_EQ((*one)["check"], c.reason);
            const auto page = reg->Find({}, error);
            ASSERT_TRUE(page) << error;
            bool seen = false;
            for (const auto& r : (*page)["weighings"])
                if (r["id"] == c.marked) seen = r["check"] == c.reason;
            EXPECT_TRUE(seen) << page->dump();
        }
        if (std::string(c.reason) == "gap" && c.id < 10) {
            // The record after a missing one cannot show where it belongs.
            EXPECT_EQ((*reg->Get(c.id + 1, error))["check"], "gap");
        }
        reg.reset();

        // The gateway's own command names the id and the reason, and fails.
        const std::string config =
            Config(dir, "database = \"weighings.db\"\nkey_file = \"weighings.db.key\"\n");
        const Ran ran = Shell(Gateway(config, "--verify-weighings"));
        EXPECT_EQ(ran.status, 2) << ran.output;
        EXPECT_NE(ran.output.find(std::string(c.chain) + " " + std::to_string(c.id) +
                                  " fails verification: " + c.reason + " ("),
                  std::string::npos)
            << ran.output;
        // The prune removes nothing from it.
        EXPECT_EQ(Shell(Gateway(config, "--prune-weighings")).status, 1);
    }

    // The untouched register is good, and the command says so.
    const std::string config =
        Config(source, "database = \"weighings.db\"\nkey_file = \"weighings.db.key\"\n");
    const Ran ran = Shell(Gateway(config, "--verify-weighings"));
    EXPECT_EQ(ran.status, 0) << ran.output;
    EXPECT_NE(ran.output.find(": good: 10 records checked (ids 1 to 10), 0 failing; 1 event "
                              "checked (ids 1 to 1), 0 failing"),
              std::string::npos)
        << ran.output;
    const Ran pruned = Shell(Gateway(config, "--prune-weighings"));
    EXPECT_EQ(pruned.status, 0) << pruned.output;
    EXPECT_NE(pruned.output.find("removed 0 records older than 90 days"), std::string::npos)
        << pruned.output;
}

TEST(RegisterConfig, EveryKeyIsChecked) {
    TempDir dir;
    const struct {
        const char* table;   // after "[register]\n" on line 4
        int status;          // of --check
        const char* message; // part of the output
    } cases[] = {
        {"", 0, "good"},
        {"database = \"w.db\"\ncapacity = 10\nretention_days = 1\n", 0, "good"},
        {"capacity = 0\n", 78,
         ":5: [register], key \"capacity\": 0 is out of range (1 to "
         "1000000000)"},
        {"retention_days = \"90\"\n", 78,
         ":5: [register], key \"retention_days\": expected an integer, found a string"},
        {"retention_days = 36501\n", 78, "36501 is out of range (1 to 36500)"},
        {"database = 5\n", 78,
         ":5: [register], key \"database\": expected a string, found an "
         "integer"},
        {"database = \"\"\n", 78, "key \"database\": expected a file's path"},
        {"database = \"a.db\"\nkey_file = \"a.db\"\n", 78,
         ":6: [register], key \"key_file\": must not be the database itself"},
        {"size = 1\n", 78,
         ":5: [register], key \"size\": unknown key (use database, key_file, "
         "capacity or retention_days)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        const Ran ran = Shell(Gateway(Config(dir, c.table), "--check"));
        EXPECT_EQ(ran.status, c.status) << ran.output;
        EXPECT_NE(ran.output.find(c.message), std::string::npos) << ran.output;
    }
    // "register" must be a table; it is named among the file's tables.
    WriteFile(dir / "bad.toml", "register = 5\nregistry = 1\n");
    const Ran ran = Shell(Gateway(dir / "bad.toml", "--check"));
    EXPECT_EQ(ran.status, 78);
    EXPECT_NE(ran.output.find("bad.toml:1: \"register\" must be a table ([register]), found an "
                              "integer"),
              std::string::npos)
        << ran.output;
    EXPECT_NE(ran.output.find("(use [gateway], [[scale]], [[converter]], [mqtt] or [register])"),
              std::string::npos)
        << ran.output;

    // The paths: relative ones from the file's folder; the database's default in the state
    // directory, the key beside it.
    Ran none = Shell(Gateway(Config(dir, "database = \"sub/w.db\"\n"), "--verify-weighings"));
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.output.find("there is no register at " + (dir / "sub/w.db")), std::string::npos)
        << none.output;
    if (!fs::exists("/var/lib/tarvel/weighings.db")) {
        none = Shell(Gateway(Config(dir, ""), "--verify-weighings"));
        EXPECT_EQ(none.status, 1);
        EXPECT_NE(none.output.find("there is no register at /var/lib/tarvel/weighings.db"),
                  std::string::npos)
            << none.output;
    }
    // No [register]: nothing to verify.
    WriteFile(dir / "plain.toml", "[gateway]\nname = \"yard1\"\n");
    none = Shell(Gateway(dir / "plain.toml", "--verify-weighings"));
    EXPECT_EQ(none.status, 78);
    EXPECT_NE(none.output.find("has no [register] table"), std::string::npos) << none.output;
}

// The gateway opens the register before it serves: the key is made at the first start, each
// start logs the program's and the file's SHA-256 (and whether the file changed), each stop is
// logged; a key file that others may read stops it from starting.
TEST(RegisterGateway, LogsStartsAndStopsAndRefusesAnUnsafeKey) {
    TempDir dir;
    const std::string table = "database = \"weighings.db\"\n";
    auto config = [&](const std::string& extra) {
        const std::string path = dir / "gateway.toml";
        WriteFile(path, "[gateway]\nname = \"yard1\"\nhttp = \"127.0.24.1:8080\"\n" + extra +
                            "\n[register]\n" + table);
        return path;
    };
    // Starts the gateway, waits for it to serve (at most 10 s), stops it with SIGTERM.
    auto serve = [&](const std::string& file) {
        return Shell("cd " + Quote(dir.Path().string()) + " && (" + TARVEL_GATEWAY + " --config " +
                     Quote(file) +
                     " 2>log & pid=$!; for i in $(seq 100); do "
                     "grep -q serving log && break; sleep 0.1; done; kill -TERM $pid; wait $pid; "
                     "st=$?; cat log; exit $st)");
    };
    const std::string file = config("");
    Ran ran = serve(file);
    ASSERT_EQ(ran.status, 0) << ran.output;
    EXPECT_NE(
        ran.output.find("register " + (dir / "weighings.db") + ": 0 records, 1000000 more fit"),
        std::string::npos)
        << ran.output;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "weighings.db.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto sha256 = [&] {
        return Shell("sha256sum " + Quote(file) + " | cut -c1-64").output.substr(0, 64);
    };
    const std::string first = sha256();

    ran = serve(config("stale_after_ms = 3000\n")); // the file changed
    ASSERT_EQ(ran.status, 0) << ran.output;
    EXPECT_NE(ran.output.find("the configuration changed since the last start"), std::string::npos)
        << ran.output;
    const std::string second = sha256();
    const Ran events =
        Sql(dir / "weighings.db", "SELECT kind, json_extract(detail, '$.config_sha256'), "
                                  "json_extract(detail, '$.config_changed'), "
                                  "json_extract(detail, '$.version') FROM events ORDER BY id");
    EXPECT_EQ(events.output, "start|" + first + "||" TARVEL_TEST_VERSION "\nstop|||\nstart|" +
                                 second + "|1|" TARVEL_TEST_VERSION "\nstop|||\n")
        << events.output;

    ASSERT_EQ(::chmod((dir / "weighings.db.key").c_str(), 0644), 0);
    ran = Shell(std::string(TARVEL_GATEWAY) + " --config " + Quote(file));
    EXPECT_EQ(ran.status, 1) << ran.output;
    EXPECT_NE(ran.output.find("may be read by others (mode 0644)"), std::string::npos)
        << ran.output;
}

} // namespace
