// What the register's tests share: a folder of their own, a weighing, a register in it, and
// running a program for its output and exit status.
#pragma once

#include "register.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace regtest {

namespace fs = std::filesystem;

// A fresh folder under the temporary directory, removed with everything in it.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tarvel-register-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

constexpr int64_t kT0 = 1796598772123; // 2026-12-06T23:12:52.123Z
constexpr int64_t kDay = 86400000;

inline gateway::Weighing Sample(const std::string& scale, int64_t net, int64_t timeMs = kT0,
                                const std::string& reference = "") {
    gateway::Weighing w;
    w.scale = scale;
    w.model = "5817";
    w.frame = std::string("\x02"
                          "1SN") +
              std::to_string(100000 + net) + "000500\r";
    w.timeMs = timeMs;
    w.gross = net + 500;
    w.net = net;
    w.tare = 500;
    w.decimals = 2;
    w.grossText = std::to_string(net + 500);
    w.netText = std::to_string(net);
    w.tareText = "5.00";
    w.unit = "kg";
    w.stable = true;
    w.reference = reference;
    return w;
}

inline gateway::Register::Options Options(const TempDir& dir, uint64_t capacity = 1000000,
                                          uint32_t retentionDays = 90, bool create = true) {
    gateway::Register::Options o;
    o.settings.database = dir / "weighings.db";
    o.settings.keyFile = dir / "weighings.db.key";
    o.settings.capacity = capacity;
    o.settings.retentionDays = retentionDays;
    o.gateway = "yard1";
    o.software = {"2.0.15", std::string(64, 'a')};
    o.create = create;
    return o;
}

inline std::unique_ptr<gateway::Register> OpenOrFail(const gateway::Register::Options& o) {
    std::string error;
    auto r = gateway::Register::Open(o, error);
    EXPECT_TRUE(r) << error;
    return r;
}

struct Ran {
    int status = -1;    // the exit status, -1 when it did not exit
    std::string output; // stdout and stderr
};

// Runs a shell command line and takes its output.
inline Ran Shell(const std::string& command) {
    Ran r;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        r.output.append(buf, n);
    const int st = ::pclose(p);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs SQL on a database with the sqlite3 program.
inline Ran Sql(const std::string& db, const std::string& sql) {
    return Shell(std::string(SQLITE3_PROGRAM) + " " + Quote(db) + " " + Quote(sql));
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

} // namespace regtest
