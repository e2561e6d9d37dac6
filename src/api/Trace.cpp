#include "Trace.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

namespace trace {

namespace {

struct Sink {
    std::FILE* out = nullptr;
    std::mutex mutex;

    Sink() {
        const char* v = std::getenv("TARVEL_TRACE");
        if (v == nullptr || v[0] == '\0' || std::strcmp(v, "0") == 0) return;
        if (std::strcmp(v, "1") == 0) {
            out = stderr;
            return;
        }
        out = std::fopen(v, "a");
        if (out == nullptr) {
            out = stderr;
            std::fprintf(stderr, "tarvel6: cannot open the trace file %s; tracing to stderr\n", v);
        }
    }
};

Sink& TheSink() {
    static Sink sink;
    return sink;
}

const bool g_on = TheSink().out != nullptr;

} // namespace

bool On() noexcept {
    return g_on;
}

void Line(const std::string& text) noexcept {
    try {
        Sink& s = TheSink();
        if (s.out == nullptr) return;
        using namespace std::chrono;
        const auto now = system_clock::now();
        const std::time_t secs = system_clock::to_time_t(now);
        const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
        std::lock_guard<std::mutex> lock(s.mutex); // also guards gmtime's buffer
        const std::tm* tm = std::gmtime(&secs);
        char stamp[32] = "--:--:--.---";
        if (tm != nullptr)
            std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm->tm_hour, tm->tm_min,
                          tm->tm_sec, static_cast<int>(ms));
        std::fprintf(s.out, "tarvel6 %s %s\n", stamp, text.c_str());
        std::fflush(s.out);
    } catch (...) {
    }
}

} // namespace trace
