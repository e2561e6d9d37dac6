#include "log.h"

#include "record.h"

#include <chrono>
#include <cstdio>
#include <mutex>

namespace gateway {

void Log(const std::string& text) {
    static std::mutex mu;
    try {
        using namespace std::chrono;
        const int64_t now =
            duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
        const std::string line =
            tarvel::record::FormatTime(now) + " tarvel-gateway: " + text + "\n";
        std::lock_guard lock(mu);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
}

} // namespace gateway
