#include "log.h"

#include "LiveCore.h"
#include "record.h"

#include <cstdio>
#include <mutex>

namespace gateway {

void Log(const std::string& text) {
    static std::mutex mu;
    try {
        const std::string line =
            tarvel::record::FormatTime(live::Core::NowUnixMs()) + " tarvel-gateway: " + text + "\n";
        std::lock_guard lock(mu);
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    } catch (...) {
    }
}

} // namespace gateway
