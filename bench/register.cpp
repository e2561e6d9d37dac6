// (h) The register of weighings at the store level: 8 threads register one weighing after
// another into a real SQLite file on the disk (WAL, synchronous=FULL); how many a second, how
// long each waits for its answer (committed, read back and checked), and the database's size
// per 100,000 records.
#include "bench.h"

#include "register.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace bench {

namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 8;

double ProcessCpuUs() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double ThreadCpuUs() {
    rusage u{};
    ::getrusage(RUSAGE_THREAD, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

double FileBytes(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<double>(st.st_size) : 0.0;
}

gateway::Weighing Weighing(int scale, int n) {
    gateway::Weighing w;
    w.scale = "truck" + std::to_string(scale);
    w.model = "5817";
    // A 5817 frame: STX, three status characters, weight and tare in six digits, CR, check.
    w.frame = Fmt("\x02"
                  "1SN%06d000500\r7",
                  n % 1000000);
    w.timeMs = 1796598772123 + n;
    w.gross = 12845 + n % 100;
    w.net = 12345 + n % 100;
    w.tare = 500;
    w.decimals = 2;
    w.grossText = Fmt("%10.2f", static_cast<double>(*w.gross) / 100);
    w.netText = Fmt("%10.2f", static_cast<double>(*w.net) / 100);
    w.tareText = "      5.00";
    w.unit = "kg";
    w.stable = true;
    w.reference = Fmt("truck ABC-%04d", n % 10000);
    return w;
}

} // namespace

void RegisterPart(const Options& o) {
    // On the disk, beside the working directory: a temporary folder may be in memory.
    std::string dir = (fs::current_path() / "tarvel-bench-register-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) throw std::runtime_error("(h) mkdtemp failed");
    gateway::Register::Options ro;
    ro.settings.database = dir + "/weighings.db";
    ro.settings.keyFile = dir + "/weighings.db.key";
    ro.gateway = "bench";
    ro.software = gateway::RunningSoftware("bench");
    std::string error;
    auto reg = gateway::Register::Open(ro, error);
    if (!reg) throw std::runtime_error("(h) " + error);

    const auto window = std::chrono::seconds(o.quick ? 5 : 30);
    // 8 threads for the window: each at `perSecond` (0: as fast as the answers come).
    auto run = [&](const char* what, double perSecond, int round) {
        std::atomic<bool> stop{false};
        std::atomic<long> failed{0};
        std::mutex mu;
        std::vector<double> latencies; // ms
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        const double cpuStart = ProcessCpuUs();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                std::vector<double> mine;
                auto due = Clock::now() + std::chrono::microseconds(t * 5000);
                for (int n = 0; !stop; ++n) {
                    if (perSecond > 0) {
                        std::this_thread::sleep_until(due);
                        due += std::chrono::microseconds(static_cast<long>(1e6 / perSecond));
                    }
                    const auto w = Weighing(t, round * 1000000 + n);
                    const auto before = Clock::now();
                    const auto r = reg->Add(w);
                    mine.push_back(Us(Clock::now() - before) / 1000.0);
                    if (r.outcome != gateway::Register::Outcome::Stored) failed++;
                }
                std::lock_guard lock(mu);
                latencies.insert(latencies.end(), mine.begin(), mine.end());
            });
        }
        std::this_thread::sleep_for(window);
        stop = true;
        for (auto& t : threads)
            t.join();
        const double seconds = Us(Clock::now() - start) / 1e6;
        const double cpuUs = (ProcessCpuUs() - cpuStart) / std::max<double>(1, latencies.size());
        const Summary s = Summarize(latencies);
        const double rate = static_cast<double>(latencies.size()) / seconds;
        AddRow(what,
               Fmt("%.0f/s; answered after %.1f ms median, %.1f ms p99, %.1f ms max; %.0f us "
                   "CPU each%s",
                   rate, s.median, s.p99, s.max, cpuUs,
                   failed ? Fmt(" (%ld FAILED)", failed.load()).c_str() : ""),
               perSecond > 0 ? Verdict(rate >= 0.97 * kThreads * perSecond && s.p99 < 20,
                                       "p99 < 20 ms at 200/s")
                             : Verdict(rate >= 200, ">= 200/s"));
    };
    run("(h) registrations at the store, 8 threads at 25/s each (committed, read back, checked)",
        25, 0);
    run("(h) registrations at the store, 8 threads as fast as they are answered", 0, 1);

    const auto verifyStart = Clock::now();
    const double verifyCpu = ThreadCpuUs();
    const auto v = reg->Verify();
    const double verifyCpuUs = ThreadCpuUs() - verifyCpu;
    const double verifyMs = Us(Clock::now() - verifyStart) / 1000.0;
    reg.reset(); // the last connection's close folds the journal into the file
    const double records = static_cast<double>(v.records.checked);
    const double bytes = FileBytes(ro.settings.database) + FileBytes(ro.settings.database + "-wal");
    AddRow("(h) database size per 100,000 records",
           Fmt("%.1f MB (%.0f records in %.1f MB)", bytes / records * 1e5 / 1e6, records,
               bytes / 1e6));
    AddRow("(h) verification of the whole register",
           Fmt("%.0f records in %.0f ms (%.1f us each, %.1f us of CPU)%s", records, verifyMs,
               verifyMs * 1000 / std::max(records, 1.0), verifyCpuUs / std::max(records, 1.0),
               v.Good() ? "" : " FAILED"));
    g_notes.push_back(
        Fmt("(h) %s, one transaction per group of waiting registrations", dir.c_str()));
    std::error_code ec;
    fs::remove_all(dir, ec);
}

void RegisterMethod(const Options& o) {
    if (!o.Has('h')) return;
    std::printf("- (h) The register alone, no HTTP: 8 threads each call Register::Add for %d s "
                "with a 5817 weighing of its own scale, first 25 times a second each (the goal's "
                "200/s), then in a loop; into a fresh SQLite file in the "
                "working directory (WAL, synchronous=FULL). A latency is Add's call to its "
                "answer: queued, stored with the others waiting in one transaction, committed to "
                "the disk, read back and checked. The size is the file's after the run, its "
                "journal folded in; the verification walks every record (SHA-256, HMAC and the "
                "link to the one before).\n",
                o.quick ? 5 : 30);
}

} // namespace bench
