// The crash test's child: registers weighings from several threads until it is killed, and
// writes the id of each one the register answered as stored, one per line, on stdout.
//
//   register_crash_child DATABASE KEY_FILE THREADS
#include "register.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: register_crash_child DATABASE KEY_FILE THREADS\n");
        return 64;
    }
    gateway::Register::Options o;
    o.settings.database = argv[1];
    o.settings.keyFile = argv[2];
    o.gateway = "crash";
    o.software = {"test", std::string(64, 'a')};
    std::string error;
    auto reg = gateway::Register::Open(o, error);
    if (!reg) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::mutex out;
    auto say = [&out](const std::string& line) {
        std::lock_guard lock(out);
        // write(2) straight away: a line is out before the next registration begins.
        const std::string text = line + "\n";
        if (::write(1, text.data(), text.size()) < 0) std::_Exit(3);
    };
    say("ready");
    std::vector<std::thread> threads;
    for (int t = 0; t < std::atoi(argv[3]); ++t) {
        threads.emplace_back([&, t] {
            for (int n = 0;; ++n) {
                gateway::Weighing w;
                w.scale = "scale" + std::to_string(t);
                w.model = "5817";
                w.frame = "\x02"
                          "1SN" +
                          std::to_string(100000 + n) + "\r";
                w.timeMs = 1796598772123 + n;
                w.net = 1000 + n;
                w.netText = std::to_string(w.net.value());
                w.decimals = 1;
                w.stable = true;
                w.reference = "thread " + std::to_string(t) + " #" + std::to_string(n);
                const auto r = reg->Add(w);
                if (r.outcome != gateway::Register::Outcome::Stored) {
                    say("failed " + r.error);
                    continue;
                }
                say(r.record["id"].dump());
            }
        });
    }
    for (auto& t : threads)
        t.join();
}
